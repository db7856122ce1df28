// Windows CE thread, wait and synchronisation calls on the simulated kernel.
#include "sim/kernel/KernelImpl.h"

#include <cstdio>
#include <cstdlib>

using sim::Event;
using sim::kernelImpl;
using sim::Thread;
using sim::Waitable;

namespace {

Thread* threadOf(HANDLE handle, const char* call)
{
    Waitable* w = kernelImpl().lookupForCall(handle, call);
    return w != nullptr && w->kind == Waitable::ThreadObject ? static_cast<Thread*>(w) : nullptr;
}

Event* eventOf(HANDLE handle, const char* call)
{
    Waitable* w = kernelImpl().lookupForCall(handle, call);
    return w != nullptr && w->kind == Waitable::EventObject ? static_cast<Event*>(w) : nullptr;
}

// The waiter CE releases first: the highest priority, the longest waiting
// among equals.
Thread* firstWaiter(const Waitable& w)
{
    auto& k = kernelImpl();
    Thread* best = nullptr;
    for (Thread* t : w.waiters)
        if (best == nullptr || k.rank(t) < k.rank(best)) best = t;
    return best;
}

// The most a thread's suspend count may reach (MAXIMUM_SUSPEND_COUNT).
constexpr std::uint32_t kMaximumSuspendCount = 127;
// What Win32 answers a suspension past the maximum with.
constexpr DWORD kErrorSignalRefused = 156;

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
    kernelImpl().systemCall(__func__);
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
        ++k.holds;
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
    kernelImpl().systemCall(__func__);
    Thread* t = threadOf(thread, __func__);
    if (t == nullptr) return failWith(ERROR_INVALID_HANDLE);
    if (priority < 0 || priority > 255) return failWith(ERROR_INVALID_PARAMETER);
    t->priority = priority;
    return TRUE;
}

int CeGetThreadPriority(HANDLE thread)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    Thread* t = threadOf(thread, __func__);
    return t ? t->priority : 0x7FFFFFFF;
}

namespace sim {

void Kernel::holdThread(HANDLE thread, bool held)
{
    Impl& k = *impl_;
    Waitable* w = k.lookup(thread);
    if (w == nullptr || w->kind != Waitable::ThreadObject) return;
    auto* t = static_cast<Thread*>(w);
    if ((t == k.current && k.atomicDepth == 0) || t->state == Thread::Exited) return;
    if (held) {
        if (t->suspendCount++ == 0) ++k.holds;
        return;
    }
    if (t->suspendCount == 0 || --t->suspendCount != 0) return;
    --k.holds;
    if (t->state == Thread::Parked && !k.held(t)) k.makeReady(t);
}

}  // namespace sim

DWORD SuspendThread(HANDLE thread)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    Thread* t = threadOf(thread, __func__);
    if (t == nullptr || t->state == Thread::Exited) {
        failWith(ERROR_INVALID_HANDLE);
        return 0xFFFFFFFFu;
    }
    // "Calling SuspendThread on a kernel thread does not suspend the thread."
    // CE 6.0 documents only the failure value; Compact 2013 answers
    // 0xFFFFFFFE. The handle and the call are valid, the kernel just does not
    // do it to its own threads: ERROR_NOT_SUPPORTED says so, where an invalid
    // handle or parameter would send the caller looking for a wrong argument.
    // A caller that counts on it freezes nothing: the verifier says so.
    if (t->process == sim::Process::Kernel) {
        k.report("SuspendThread on thread " + std::to_string(t->id) + ": it has no effect on a kernel thread");
        failWith(ERROR_NOT_SUPPORTED);
        return 0xFFFFFFFFu;
    }
    // "If the thread is making a kernel call, SuspendThread fails": read
    // strictly, from the call's start to its return, a blocking wait or sleep
    // included. Busy, and worth repeating, as the reference advises.
    const bool makingCall = t != k.current && (t->enteringCall || t->blockedInCall);
    if (makingCall) {
        failWith(ERROR_BUSY);
        return 0xFFFFFFFFu;
    }
    // Past the maximum the call fails and the count stays.
    if (t->suspendCount >= kMaximumSuspendCount) {
        failWith(kErrorSignalRefused);
        return 0xFFFFFFFFu;
    }
    const DWORD previous = t->suspendCount++;
    if (previous == 0) ++k.holds;
    if (t == k.current) {  // suspending oneself blocks at once
        t->state = Thread::Parked;
        k.cancelWake(t);
        k.block();
    }
    return previous;
}

DWORD ResumeThread(HANDLE thread)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    Thread* t = threadOf(thread, __func__);
    if (t == nullptr) {
        failWith(ERROR_INVALID_HANDLE);
        return 0xFFFFFFFFu;
    }
    const DWORD previous = t->suspendCount;
    if (previous > 0 && --t->suspendCount == 0) {
        --k.holds;
        if (t->state == Thread::Parked && !k.held(t)) k.makeReady(t);
    }
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
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    Waitable* w = k.lookupEvenClosed(object);
    if (w != nullptr && w->closed) {
        k.report("handle closed twice");
        return failWith(ERROR_INVALID_HANDLE);
    }
    if (w == nullptr) return failWith(ERROR_INVALID_HANDLE);
    if (w->kind == Waitable::ThreadObject && static_cast<Thread*>(w)->id == 1) return failWith(ERROR_INVALID_HANDLE);
    w->closed = true;
    // Closing wakes no one: "If an event handle is closed after
    // WaitForSingleObject is called, it will never be signaled and only return
    // after timeout has expired." A waiter left so is the closer's error.
    if (!w->waiters.empty())
        k.report("handle closed while thread " + std::to_string(w->waiters.front()->id) +
                 " waits on it: the wait can only time out");
    if (w->kind == Waitable::DeviceFile) static_cast<sim::DeviceFile*>(w)->device->close();
    return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    return kernelImpl().addObject(std::make_unique<Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    Event* e = eventOf(event, __func__);
    if (e == nullptr) return failWith(ERROR_INVALID_HANDLE);
    sim::race::release(e);
    if (e->manualReset) {
        e->signaled = true;
        while (!e->waiters.empty()) k.wake(firstWaiter(*e), WAIT_OBJECT_0);
    } else if (!e->waiters.empty()) {
        k.wake(firstWaiter(*e), WAIT_OBJECT_0);  // releases one waiter, stays unsignalled
    } else {
        e->signaled = true;
    }
    k.preemptionPoint();  // a thread it readied may run first
    return TRUE;
}

BOOL ResetEvent(HANDLE event)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    Event* e = eventOf(event, __func__);
    if (e == nullptr) return failWith(ERROR_INVALID_HANDLE);
    // No ordering: CE does not say that a reset synchronises with anything.
    e->signaled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    Waitable* w = k.lookupForCall(object, __func__);
    Thread* self = k.current;
    if (w == nullptr || w->kind == Waitable::DeviceFile) {
        self->lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (w->kind == Waitable::EventObject) {
        auto* e = static_cast<Event*>(w);
        e->waitedOn = true;
        // The kernel keeps one waiter per interrupt event. The page names the
        // case but no error code; this one is ours.
        if (e->interrupt != 0 && !e->waiters.empty()) {
            self->lastError = ERROR_INVALID_PARAMETER;
            return WAIT_FAILED;
        }
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
    k.cancelWake(self);
    if (milliseconds != INFINITE) k.wakeAt(self, k.now + sim::Micros(milliseconds) * 1000);
    k.block();
    if (self->waitResult == WAIT_OBJECT_0) sim::race::acquire(w);
    return self->waitResult;
}

void Sleep(DWORD milliseconds)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    Thread* self = k.current;
    if (milliseconds == INFINITE) {
        std::fprintf(stderr, "simulated kernel: Sleep(INFINITE) would hang thread %u\n", self->id);
        std::abort();
    }
    // Sleep(0) gives up the rest of the time slice: the thread is ready again
    // at once and runs after the threads due now that rank as high or higher.
    self->state = Thread::Sleeping;
    // Cooperative mode queues no wake for a running thread: it runs because
    // its wake came out of the timeline. A preemptive point may have left one.
    if (k.preemptive()) k.cancelWake(self);
    k.sleepUntil(self, k.now + sim::Micros(milliseconds) * 1000);
}

DWORD GetTickCount()
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    return static_cast<DWORD>(kernelImpl().now / 1000);
}
