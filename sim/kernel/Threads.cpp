// Windows CE thread, wait and synchronisation calls on the simulated kernel.
#include "sim/kernel/KernelImpl.h"

#include <cstdio>
#include <cstdlib>

using sim::Event;
using sim::kernelImpl;
using sim::Thread;
using sim::Waitable;

namespace {

Thread* threadOf(HANDLE handle)
{
    Waitable* w = kernelImpl().lookup(handle);
    return w != nullptr && w->kind == Waitable::ThreadObject ? static_cast<Thread*>(w) : nullptr;
}

Event* eventOf(HANDLE handle)
{
    Waitable* w = kernelImpl().lookup(handle);
    return w != nullptr && w->kind == Waitable::EventObject ? static_cast<Event*>(w) : nullptr;
}

DWORD failWith(DWORD error)
{
    kernelImpl().current->lastError = error;
    return 0;
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    auto& k = kernelImpl();
    if (start == nullptr) {
        failWith(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Thread* t = k.createThread(start, parameter);
    sim::race::release(&t->start);
    constexpr DWORD kCreateSuspended = 0x4;
    if (creationFlags & kCreateSuspended) {
        t->suspendCount = 1;
        t->state = Thread::Parked;
    } else {
        k.makeReady(t);
    }
    if (threadId != nullptr) *threadId = t->id;
    return t->handle;
}

BOOL CeSetThreadPriority(HANDLE thread, int priority)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    Thread* t = threadOf(thread);
    if (t == nullptr || priority < 0 || priority > 255) return failWith(ERROR_INVALID_HANDLE);
    t->priority = priority;
    return TRUE;
}

int CeGetThreadPriority(HANDLE thread)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    Thread* t = threadOf(thread);
    return t ? t->priority : 0x7FFFFFFF;
}

DWORD SuspendThread(HANDLE thread)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    auto& k = kernelImpl();
    Thread* t = threadOf(thread);
    if (t == nullptr || t->state == Thread::Exited) {
        failWith(ERROR_INVALID_HANDLE);
        return 0xFFFFFFFFu;
    }
    const DWORD previous = t->suspendCount++;
    if (t == k.current) {  // suspending oneself blocks at once
        t->state = Thread::Parked;
        ++t->wakeGeneration;
        k.block();
    }
    return previous;
}

DWORD ResumeThread(HANDLE thread)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    auto& k = kernelImpl();
    Thread* t = threadOf(thread);
    if (t == nullptr) {
        failWith(ERROR_INVALID_HANDLE);
        return 0xFFFFFFFFu;
    }
    const DWORD previous = t->suspendCount;
    if (previous > 0 && --t->suspendCount == 0 && t->state == Thread::Parked) k.makeReady(t);
    k.preemptionPoint();  // the resumed thread may run first
    return previous;
}

void ExitThread(DWORD exitCode)
{
    kernelImpl().exitCurrent(exitCode);
}

DWORD GetCurrentThreadId()
{
    return kernelImpl().current->id;
}

BOOL CloseHandle(HANDLE object)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    auto& k = kernelImpl();
    Waitable* w = k.lookup(object);
    if (w == nullptr) return failWith(ERROR_INVALID_HANDLE);
    if (w->kind == Waitable::ThreadObject && static_cast<Thread*>(w)->id == 1) return failWith(ERROR_INVALID_HANDLE);
    w->closed = true;
    // A wait on a handle that goes away fails.
    while (!w->waiters.empty()) {
        Thread* t = w->waiters.front();
        t->lastError = ERROR_INVALID_HANDLE;
        k.wake(t, WAIT_FAILED);
    }
    if (w->kind == Waitable::DeviceFile) static_cast<sim::DeviceFile*>(w)->device->close();
    return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    return kernelImpl().addObject(std::make_unique<Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    auto& k = kernelImpl();
    Event* e = eventOf(event);
    if (e == nullptr) return failWith(ERROR_INVALID_HANDLE);
    sim::race::release(e);
    if (e->manualReset) {
        e->signaled = true;
        while (!e->waiters.empty()) k.wake(e->waiters.front(), WAIT_OBJECT_0);
    } else if (!e->waiters.empty()) {
        k.wake(e->waiters.front(), WAIT_OBJECT_0);  // releases one waiter, stays unsignalled
    } else {
        e->signaled = true;
    }
    k.preemptionPoint();  // a thread it readied may run first
    return TRUE;
}

BOOL ResetEvent(HANDLE event)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    Event* e = eventOf(event);
    if (e == nullptr) return failWith(ERROR_INVALID_HANDLE);
    sim::race::release(e);
    e->signaled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    auto& k = kernelImpl();
    Waitable* w = k.lookup(object);
    Thread* self = k.current;
    if (w == nullptr || w->kind == Waitable::DeviceFile) {
        self->lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (w->kind == Waitable::EventObject) {
        auto* e = static_cast<Event*>(w);
        if (e->signaled) {
            if (!e->manualReset) e->signaled = false;
            sim::race::acquire(w);
            return WAIT_OBJECT_0;
        }
    } else if (static_cast<Thread*>(w)->state == Thread::Exited) {
        sim::race::acquire(w);
        return WAIT_OBJECT_0;
    } else if (static_cast<Thread*>(w) == self) {
        self->lastError = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;
    w->waiters.push_back(self);
    self->waitingOn = w;
    self->state = Thread::Waiting;
    ++self->wakeGeneration;
    if (milliseconds != INFINITE) k.wakeAt(self, k.now + sim::Micros(milliseconds) * 1000);
    k.block();
    if (self->waitResult == WAIT_OBJECT_0) sim::race::acquire(w);
    return self->waitResult;
}

void Sleep(DWORD milliseconds)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    auto& k = kernelImpl();
    Thread* self = k.current;
    if (milliseconds == INFINITE) {
        std::fprintf(stderr, "simulated kernel: Sleep(INFINITE) would hang thread %u\n", self->id);
        std::abort();
    }
    self->state = Thread::Sleeping;
    ++self->wakeGeneration;
    k.wakeAt(self, k.now + sim::Micros(milliseconds) * 1000);
    k.block();
}

DWORD GetTickCount()
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    return static_cast<DWORD>(kernelImpl().now / 1000);
}

// ---- Critical sections -------------------------------------------------------

namespace sim {
Lock& Kernel::Impl::lockFor(CRITICAL_SECTION* section)
{
    // A section not initialised under this kernel (zeroed memory, or one left
    // from an earlier kernel in the same process) gets a wait list now.
    const std::uint32_t id = section->LockId;
    if ((id >> 24) != instance || (id & 0xFFFFFF) == 0 || (id & 0xFFFFFF) > locks.size()) {
        locks.emplace_back();
        section->LockId = (instance << 24) | static_cast<std::uint32_t>(locks.size());
        section->OwnerThread = 0;
        section->RecursionCount = 0;
    }
    return locks[(section->LockId & 0xFFFFFF) - 1];
}
}  // namespace sim

void InitializeCriticalSection(LPCRITICAL_SECTION section)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    section->LockId = 0;
    kernelImpl().lockFor(section);
}

void DeleteCriticalSection(LPCRITICAL_SECTION section)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    section->OwnerThread = 0;
    section->RecursionCount = 0;
}

void EnterCriticalSection(LPCRITICAL_SECTION section)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    auto& k = kernelImpl();
    Thread* self = k.current;
    k.lockFor(section);
    if (section->OwnerThread == self->id) {
        ++section->RecursionCount;
        return;
    }
    // Contended: wait until the owner leaves. Cooperative mode: every waiter
    // tries again and the first to run takes it, so a waiter suspended
    // meanwhile holds nothing. Preemptive modes: the leaving thread hands the
    // section to one waiter, even a suspended one, which then holds it frozen
    // until resumed. Windows CE hands over too; whether it skips suspended
    // waiters we do not know, so the simulation takes the harder case.
    while (section->OwnerThread != 0 && section->OwnerThread != self->id) {
        k.lockFor(section).waiters.push_back(self);
        self->state = Thread::Locking;
        ++self->wakeGeneration;
        k.block();
    }
    section->OwnerThread = self->id;
    section->RecursionCount = 1;
    sim::race::acquire(section);
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    auto& k = kernelImpl();
    k.lockFor(section);
    const DWORD self = k.current->id;
    if (section->OwnerThread == 0) {
        section->OwnerThread = self;
        section->RecursionCount = 1;
        sim::race::acquire(section);
        return TRUE;
    }
    if (section->OwnerThread == self) {
        ++section->RecursionCount;
        return TRUE;
    }
    return FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    auto& k = kernelImpl();
    sim::Lock& lock = k.lockFor(section);
    if (section->OwnerThread != k.current->id) {
        std::fprintf(stderr, "simulated kernel: thread %u leaves a critical section it does not own\n", k.current->id);
        std::abort();
    }
    if (--section->RecursionCount > 0) return;
    sim::race::release(section);
    section->OwnerThread = 0;
    if (k.preemptive()) {
        // Handed to the waiter of highest priority (earliest among equals).
        if (!lock.waiters.empty()) {
            auto best = lock.waiters.begin();
            for (auto it = lock.waiters.begin(); it != lock.waiters.end(); ++it)
                if (k.rank(*it) < k.rank(*best)) best = it;
            Thread* t = *best;
            lock.waiters.erase(best);
            section->OwnerThread = t->id;
            section->RecursionCount = 1;
            k.makeReady(t);
        }
        k.preemptionPoint();
        return;
    }
    // Every waiter tries again; the first to run takes the section.
    std::vector<Thread*> waiters;
    waiters.swap(lock.waiters);
    for (Thread* t : waiters) k.makeReady(t);
}
