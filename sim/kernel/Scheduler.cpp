// The scheduler: one simulated thread runs at a time on its own stack; a thread
// gives up the processor only inside a blocking call. The next thing to happen
// is the earliest entry of the timeline (a thread's wake or a hardware event);
// entries due at the same virtual time are ordered by a draw from the
// scheduler's random stream, so the seed alone decides ties.
#include "sim/kernel/KernelImpl.h"

#include "sim/kernel/FibreSwitch.h"

#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

#if defined(CORVANE_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace sim {

namespace {

[[noreturn]] void fatal(const char* what)
{
    std::fprintf(stderr, "simulated kernel: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void startSwitch(Thread* from, Thread* to, bool exiting)
{
#if defined(CORVANE_ASAN)
    __sanitizer_start_switch_fiber(exiting ? nullptr : &from->fakeStack, to->stackBottom, to->stackSize);
#else
    (void)from, (void)to, (void)exiting;
#endif
    race::switchTo(to->raceFiber);
}

// Runs on the stack just switched to: remembers where the previous thread
// stopped, and frees its stack once it has exited for good.
void finishSwitch(fibre::Transfer transfer)
{
    Kernel::Impl& k = kernelImpl();
    auto* from = static_cast<Thread*>(transfer.data);
    from->context = transfer.from;
#if defined(CORVANE_ASAN)
    const void* bottom = nullptr;
    std::size_t size = 0;
    __sanitizer_finish_switch_fiber(k.current->fakeStack, &bottom, &size);
    if (from->stackMemory == nullptr && bottom != nullptr) {
        from->stackBottom = bottom;  // the creating thread's own stack
        from->stackSize = size;
    }
#endif
    if (from->state == Thread::Exited) k.freeStack(from);
}

void threadEntry(fibre::Transfer transfer)
{
    finishSwitch(transfer);
    Kernel::Impl& k = kernelImpl();
    Thread* self = k.current;
    race::acquire(&self->start);  // sees what its creator did before CreateThread
    DWORD code = self->start(self->parameter);
    k.exitCurrent(code);
}

}  // namespace

namespace {
// Out of the switch's way: with it inline the switch saved six registers of
// its own around the stack switch, which saves them again.
[[gnu::noinline, gnu::cold]] void reportUnloadedRun(Kernel::Impl& k, const Thread* t)
{
    k.report("thread " + std::to_string(t->id) + " ran after COM_Deinit returned: its code is unloaded");
}

// The switch itself, inline in the cooperative blocking step below.
[[gnu::always_inline]] inline void switchThreads(Kernel::Impl& k, Thread* next, bool exiting)
{
    Thread* prev = k.current;
    if (next->unloaded) [[unlikely]]
        reportUnloadedRun(k, next);
    k.current = next;
    next->lastRun = k.now;
    ++next->switchesTo;
    ++k.switches;
    if (k.options.traceSwitches) [[unlikely]]
        k.traceEntry(TraceEntry::Switch, next->id);
    startSwitch(prev, next, exiting);
    const fibre::Transfer transfer = fibre::jump(next->context, prev);
    finishSwitch(transfer);
}
}  // namespace

void Kernel::Impl::switchTo(Thread* next, bool exiting)
{
    switchThreads(*this, next, exiting);
}

HANDLE Kernel::Impl::addObject(std::unique_ptr<Waitable> object)
{
    objects.push_back(std::move(object));
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(objects.size() * 4));
}

Waitable* Kernel::Impl::lookupEvenClosed(HANDLE handle) const
{
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value == 0 || value % 4 != 0 || value / 4 > objects.size()) return nullptr;
    return objects[value / 4 - 1].get();
}

Waitable* Kernel::Impl::lookup(HANDLE handle) const
{
    Waitable* object = lookupEvenClosed(handle);
    return object != nullptr && !object->closed ? object : nullptr;
}

// Handle values are never handed out twice, so a closed one is told apart from
// one that never was: using it is the program's error, not the caller's input.
Waitable* Kernel::Impl::lookupForCall(HANDLE handle, const char* call)
{
    Waitable* object = lookupEvenClosed(handle);
    if (object != nullptr && object->closed) {
        report(std::string("handle used after CloseHandle (") + call + ")");
        return nullptr;
    }
    return object;
}

void Kernel::Impl::wakeAt(Thread* t, Micros when)
{
    const std::uint32_t tie = static_cast<std::uint32_t>(streams[unsigned(Stream::Scheduler)].next());
    timeline.wakes.push(TimelineEntry::wake(when, tie, sequence++, t));  // replaces its earlier wake
}

void Kernel::Impl::makeReady(Thread* t)
{
    t->state = Thread::Ready;  // a timed wake still queued is overtaken
    wakeAt(t, now);
}

void Kernel::Impl::wake(Thread* t, DWORD result)
{
    if (Waitable* w = t->waitingOn) {
        std::erase(w->waiters, t);
        t->waitingOn = nullptr;
    }
    t->waitResult = result;
    makeReady(t);
}

void Kernel::Impl::paceWall(Micros target)
{
    if (target <= now) return;
    const double wallMicros = double(target - paceOriginVirtual) / speed;
    std::this_thread::sleep_until(paceOrigin + std::chrono::microseconds(static_cast<std::int64_t>(wallMicros)));
}

// Out of line: with the trace inline, the switch and a hardware event's run
// saved registers for it at every call.
void Kernel::Impl::traceEntry(TraceEntry::Kind kind, DWORD thread)
{
    trace.push_back({now, kind, thread});
}

namespace {
// One hardware event, inline where events are run: at a point or a blocking
// step of the preemptive modes hundreds of thousands run an hour.
[[gnu::always_inline]] inline void runHardwareEvent(Kernel::Impl& k, const TimelineEntry& e)
{
    std::function<void()> action;
    if (!k.hardwareEvents.take(e.event(), action)) return;  // cancelled
    k.pace(e.time);
    if (e.time > k.now) k.now = e.time;
    race::HardwareScope hardware(k.hardwareFiber);
    if (k.options.traceSwitches) [[unlikely]]
        k.traceEntry(TraceEntry::HardwareEvent, 0);
    ++k.atomicDepth;  // hardware runs between threads: the calls it makes are no preemption points
    action();
    --k.atomicDepth;
}
// The same, out of line: the cooperative blocking step runs few events and
// keeps its registers for the switch.
[[gnu::noinline]] void runHardwareEventApart(Kernel::Impl& k, const TimelineEntry& e)
{
    runHardwareEvent(k, e);
}
}  // namespace

void Kernel::Impl::runDueEvents(Micros until)
{
    // Hardware keeps time while a thread is busy: every event due runs in time
    // order, also behind thread wakes, which wait for the next blocking call
    // (or preemption point).
    while (timeline.events.firstTime() <= until && !timeline.events.empty()) {
        TimelineEntry e = timeline.events.top();
        timeline.events.pop();
        runHardwareEvent(*this, e);
    }
}

namespace {
// A thread that blocks does so inside a system call (a sleep, a wait, a
// section, its own suspension): it cannot be suspended until it returns, and
// its return is a wake of its own.
struct InCall {
    Thread* thread;
    explicit InCall(Thread* t) : thread(t) { thread->blockedInCall = true; }
    ~InCall()
    {
        thread->blockedInCall = false;
        ++thread->wakes;
    }
};
}  // namespace

void Kernel::Impl::block()
{
    InCall inCall{current};
    blockUnmarked();
}

void Kernel::Impl::blockTaking(const TimelineEntry& taken)
{
    InCall inCall{current};
    blockCooperative(&taken);
}

void Kernel::Impl::blockUnmarked()
{
    if (preemptive()) {
        blockPreemptive(nullptr);
        return;
    }
    blockCooperative(nullptr);
}

void Kernel::Impl::blockCooperative(const TimelineEntry* taken)
{
    Thread* self = current;
    const bool exiting = self->state == Thread::Exited;
    for (;;) {
        TimelineEntry e;
        if (taken != nullptr) {
            e = *taken;
            taken = nullptr;
        } else {
            if (timeline.empty()) {
                if (exiting) fatal("the last runnable thread exited: every other thread waits forever");
                fatal("deadlock: every simulated thread waits forever and no hardware event is due");
            }
            if (timeline.eventFirst()) {
                const TimelineEntry event = timeline.events.top();
                timeline.events.pop();
                runHardwareEventApart(*this, event);
                continue;
            }
            e = timeline.wakes.top();
            timeline.wakes.pop();
        }
        Thread* t = e.thread();
        pace(e.time);
        if (e.time > now) now = e.time;
        if (t->state == Thread::Waiting) {  // the wait timed out
            std::erase(t->waitingOn->waiters, t);
            t->waitingOn = nullptr;
            t->waitResult = WAIT_TIMEOUT;
        }
        if (held(t)) {  // suspension takes effect at this blocking point
            t->state = Thread::Parked;
            continue;
        }
        t->state = Thread::Running;
        if (t == self) return;
        switchThreads(*this, t, exiting);
        return;
    }
}

void Kernel::Impl::exitCurrent(DWORD code)
{
    race::KernelScope kernel;
    Thread* self = current;
    if (self->id == 1) fatal("the creating thread may not exit");
    if (self->sectionsHeld > 0)
        report("thread " + std::to_string(self->id) + " exits holding " + std::to_string(self->sectionsHeld) +
               " critical section(s): their waiters wait for ever");
    self->state = Thread::Exited;
    self->exitCode = code;
    race::release(self);  // a wait on the thread sees all it did
    cancelWake(self);
    // A wait through a handle closed meanwhile is never satisfied.
    if (!self->closed)
        while (!self->waiters.empty()) wake(self->waiters.front(), WAIT_OBJECT_0);
    block();
    fatal("an exited thread was scheduled");
}

Thread* Kernel::Impl::createThread(LPTHREAD_START_ROUTINE start, LPVOID parameter)
{
    auto owned = std::make_unique<Thread>();
    Thread* t = owned.get();
    t->id = static_cast<DWORD>(threads.size() + 1);
    t->start = start;
    t->parameter = parameter;
    if (current != nullptr) t->process = current->process;

    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::size_t size = options.stackBytes;
#if defined(CORVANE_ASAN) || defined(CORVANE_TSAN)
    if (size == 0) size = 1024 * 1024;
#else
    if (size == 0) size = 256 * 1024;
#endif
    size = (size + page - 1) / page * page;
    void* memory =
        mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) fatal("cannot map a thread stack");
    mprotect(memory, page, PROT_NONE);  // guard page below the stack
    t->stackMemory = memory;
    t->stackMapping = size + page;
    t->stackBottom = static_cast<char*>(memory) + page;
    t->stackSize = size;
    t->context = fibre::make(static_cast<char*>(memory) + page + size, size, threadEntry);
    t->raceFiber = race::createFiber(t->id);

    if (options.schedule == Schedule::Pct) t->pctRank = streams[unsigned(Stream::Scheduler)].below(1u << 30);
    threads.push_back(t);
    t->handle = addObject(std::move(owned));
    return t;
}

void Kernel::Impl::freeStack(Thread* t)
{
    if (t->stackMemory == nullptr) return;
    race::destroyFiber(t->raceFiber);
#if defined(CORVANE_ASAN)
    // A thread that never returned leaves its frames' redzones poisoned; a
    // later stack mapped at the same address must not inherit them.
    __asan_unpoison_memory_region(t->stackBottom, t->stackSize);
#endif
    munmap(t->stackMemory, t->stackMapping);
    t->stackMemory = nullptr;
    t->stackBottom = nullptr;
    t->stackSize = 0;
    t->context = nullptr;
}

}  // namespace sim
