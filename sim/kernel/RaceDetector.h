// What the simulated kernel tells ThreadSanitizer in the race-detection build
// (CORVANE_TSAN): only the driver is instrumented, so the sanitizer sees driver
// memory accesses and nothing else. Each simulated thread is a sanitizer fiber,
// switched without any implicit ordering, so two simulated threads count as
// concurrent unless one of the kernel's synchronisation objects orders them:
// the kernel announces those orderings as release/acquire pairs on an address
// that stands for the object. The kernel's own work (its lists, the simulated
// hardware) is shared by every thread without such ordering and is kept out of
// sight while it runs. In every other build these calls compile to nothing.
#pragma once

#if defined(CORVANE_TSAN)
#include <sanitizer/tsan_interface.h>

#include <cstdio>
#include <unordered_map>

// Exported by the sanitizer runtime, though its header does not declare them:
// the running thread's own memory accesses go unobserved between the two.
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace sim::race {

#if defined(CORVANE_TSAN)

// How deep each fiber is in kernel code that runs unobserved. The sanitizer
// refuses to let a fiber end inside such code, yet a simulated thread can end
// there (an exit, or a kernel destroyed while the thread waits).
inline std::unordered_map<void*, unsigned>& unobservedDepth()
{
    static std::unordered_map<void*, unsigned> depth;
    return depth;
}
inline void beginUnobserved()
{
    __tsan_ignore_thread_begin();
    ++unobservedDepth()[__tsan_get_current_fiber()];
}
inline void endUnobserved()
{
    --unobservedDepth()[__tsan_get_current_fiber()];
    __tsan_ignore_thread_end();
}

// The fiber of the OS thread that builds the kernel (simulated thread 1).
inline void* currentFiber()
{
    return __tsan_get_current_fiber();
}
inline void* createFiber(const char* name)
{
    void* fiber = __tsan_create_fiber(0);
    __tsan_set_fiber_name(fiber, name);
    return fiber;
}
inline void* createFiber(unsigned threadId)
{
    char name[32];
    std::snprintf(name, sizeof name, "simulated thread %u", threadId);
    return createFiber(name);
}
// Leaves what the fiber still had open, then lets it go.
inline void destroyFiber(void*& fiber)
{
    if (fiber == nullptr) return;
    __tsan_ignore_thread_begin();
    auto found = unobservedDepth().find(fiber);
    const unsigned open = found == unobservedDepth().end() ? 0 : found->second;
    if (found != unobservedDepth().end()) unobservedDepth().erase(found);
    __tsan_ignore_thread_end();
    void* self = __tsan_get_current_fiber();
    __tsan_switch_to_fiber(fiber, __tsan_switch_to_fiber_no_sync);
    for (unsigned i = 0; i < open; ++i) __tsan_ignore_thread_end();
    __tsan_switch_to_fiber(self, __tsan_switch_to_fiber_no_sync);
    __tsan_destroy_fiber(fiber);
    fiber = nullptr;
}
// When the kernel goes, its threads go with it: whoever carries on after it
// (the test, the next kernel) comes after everything they did.
inline void joinAtTeardown(void* fiber, const void* thread)
{
    void* self = __tsan_get_current_fiber();
    if (fiber != nullptr && fiber != self) {
        __tsan_switch_to_fiber(fiber, __tsan_switch_to_fiber_no_sync);
        __tsan_release(const_cast<void*>(thread));
        __tsan_switch_to_fiber(self, __tsan_switch_to_fiber_no_sync);
    }
    __tsan_acquire(const_cast<void*>(thread));  // an exited thread released there
}
// Just before the stack switch: the sanitizer learns who runs next, and that
// nothing the previous thread did is ordered before it by the switch itself.
inline void switchTo(void* fiber)
{
    __tsan_switch_to_fiber(fiber, __tsan_switch_to_fiber_no_sync);
}

// A happens-before edge: everything before release(x) in one thread is seen by
// whoever runs acquire(x) later.
inline void release(const void* object)
{
    __tsan_release(const_cast<void*>(object));
}
inline void acquire(const void* object)
{
    __tsan_acquire(const_cast<void*>(object));
}

// Kernel code (and the hardware it drives) runs unobserved for as long as one
// of these lives; sanitizer edges announced meanwhile still count.
class KernelScope {
public:
    KernelScope() { beginUnobserved(); }
    ~KernelScope() { endUnobserved(); }
    KernelScope(const KernelScope&) = delete;
    KernelScope& operator=(const KernelScope&) = delete;
};

// Runs `action` (a free) with the running thread observed again, whatever
// kernel scopes it is in: the sanitizer marks the memory freed by this thread,
// and a later access that nothing orders after the free is a report.
template <class Action>
void observed(Action&& action)
{
    void* fiber = __tsan_get_current_fiber();
    const unsigned depth = unobservedDepth()[fiber];
    for (unsigned i = 0; i < depth; ++i) __tsan_ignore_thread_end();
    action();
    for (unsigned i = 0; i < depth; ++i) __tsan_ignore_thread_begin();
}

// The simulated hardware is a thread of its own to the sanitizer, one that is
// never observed: an interrupt it delivers orders nothing that the thread which
// happened to be running did before it.
inline void* createHardwareFiber()
{
    void* self = __tsan_get_current_fiber();
    void* hardware = createFiber("simulated hardware");
    __tsan_switch_to_fiber(hardware, __tsan_switch_to_fiber_no_sync);
    beginUnobserved();
    __tsan_switch_to_fiber(self, __tsan_switch_to_fiber_no_sync);
    return hardware;
}
class HardwareScope {
public:
    explicit HardwareScope(void* hardware) : previous_(__tsan_get_current_fiber())
    {
        __tsan_switch_to_fiber(hardware, __tsan_switch_to_fiber_no_sync);
    }
    ~HardwareScope() { __tsan_switch_to_fiber(previous_, __tsan_switch_to_fiber_no_sync); }
    HardwareScope(const HardwareScope&) = delete;
    HardwareScope& operator=(const HardwareScope&) = delete;

private:
    void* previous_;
};

#else

inline void* currentFiber()
{
    return nullptr;
}
inline void* createFiber(unsigned)
{
    return nullptr;
}
inline void destroyFiber(void*&)
{}
inline void joinAtTeardown(void*, const void*)
{}
inline void switchTo(void*)
{}
inline void release(const void*)
{}
inline void acquire(const void*)
{}
template <class Action>
void observed(Action&& action)
{
    action();
}
class KernelScope {
public:
    KernelScope() {}  // user-provided: a scope is never an unused variable
    KernelScope(const KernelScope&) = delete;
    KernelScope& operator=(const KernelScope&) = delete;
};
inline void* createHardwareFiber()
{
    return nullptr;
}
class HardwareScope {
public:
    explicit HardwareScope(void*) {}
    HardwareScope(const HardwareScope&) = delete;
    HardwareScope& operator=(const HardwareScope&) = delete;
};

#endif

}  // namespace sim::race
