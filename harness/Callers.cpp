#include "harness/Callers.h"

#include <stdexcept>
#include <utility>

namespace harness {

CallerThread::CallerThread(std::string name, int priority) : name_(std::move(name))
{
    InitializeCriticalSection(&guard_);
    work_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    doneEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    arrival_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // Should it run before it gets its priority, it only waits for work.
    thread_ = CreateThread(nullptr, 0, &CallerThread::run, this, 0, nullptr);
    if (work_ == nullptr || doneEvent_ == nullptr || arrival_ == nullptr || thread_ == nullptr)
        throw std::runtime_error("the simulated kernel could not start the " + name_ + " thread");
    CeSetThreadPriority(thread_, priority);
}

// The thread itself is never ended (it waits for work until the kernel goes);
// the section stays, as the thread may still hold it.
CallerThread::~CallerThread() = default;

DWORD WINAPI CallerThread::run(LPVOID self)
{
    static_cast<CallerThread*>(self)->loop();
    return 0;
}

// Never ends: the thread waits for work until the kernel goes.
void CallerThread::loop()
{
    for (;;) {
        {
            EnterCriticalSection(&guard_);
            while (jobs_.empty()) {
                LeaveCriticalSection(&guard_);
                WaitForSingleObject(work_, INFINITE);
                EnterCriticalSection(&guard_);
            }
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            LeaveCriticalSection(&guard_);
            waitFor(job);
            EnterCriticalSection(&guard_);
            busy_ = true;
            startedAt_ = sim::Kernel::current().now();
            LeaveCriticalSection(&guard_);
            job.work();
        }  // the job, and what it holds, is gone before the caller hears it is done
        EnterCriticalSection(&guard_);
        busy_ = false;
        ++done_;
        LeaveCriticalSection(&guard_);
        SetEvent(doneEvent_);
    }
}

void CallerThread::waitFor(const Job& job)
{
    sim::Kernel& kernel = sim::Kernel::current();
    const sim::Micros now = kernel.now();
    if (job.notBefore <= now) return;
    const DWORD ms = static_cast<DWORD>((job.notBefore - now + 999) / 1000);
    if (job.atPoint == 0 || kernel.schedule() == sim::Schedule::Cooperative) {
        Sleep(ms);
        return;
    }
    // The alarm of an earlier wait that ended on its time-out sets nothing.
    const std::uint64_t use = ++arrivalUse_;
    ResetEvent(arrival_);
    kernel.atPoint(job.atPoint, [this, use] {
        if (use == arrivalUse_) SetEvent(arrival_);
    });
    WaitForSingleObject(arrival_, ms);
    ++arrivalUse_;
}

void CallerThread::post(std::function<void()> job, sim::Micros notBefore, std::uint64_t atPoint)
{
    EnterCriticalSection(&guard_);
    jobs_.push_back(Job{std::move(job), notBefore, atPoint});
    ++posted_;
    LeaveCriticalSection(&guard_);
    SetEvent(work_);
}

bool CallerThread::call(std::function<void()> job, sim::Micros bound)
{
    sim::Kernel& kernel = sim::Kernel::current();
    const sim::Micros deadline = kernel.now() + bound;
    post(std::move(job));
    EnterCriticalSection(&guard_);
    const std::uint64_t mine = posted_;
    LeaveCriticalSection(&guard_);
    while (!doneUpTo(mine)) {
        const sim::Micros now = kernel.now();
        if (now >= deadline) return false;
        WaitForSingleObject(doneEvent_, static_cast<DWORD>((deadline - now + 999) / 1000));
    }
    return true;
}

bool CallerThread::doneUpTo(std::uint64_t job) const
{
    EnterCriticalSection(&guard_);
    const bool done = done_ >= job;
    LeaveCriticalSection(&guard_);
    return done;
}

bool CallerThread::idle() const
{
    EnterCriticalSection(&guard_);
    const bool idle = done_ == posted_;
    LeaveCriticalSection(&guard_);
    return idle;
}

sim::Micros CallerThread::busyFor() const
{
    EnterCriticalSection(&guard_);
    const sim::Micros busy = busy_ ? sim::Kernel::current().now() - startedAt_ : 0;
    LeaveCriticalSection(&guard_);
    return busy;
}

}  // namespace harness
