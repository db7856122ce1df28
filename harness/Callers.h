// The threads that call a driver's entry points on a device. Nothing
// serialises them for the driver:
// - the device manager loads and unloads the driver (XXX_Init, XXX_Deinit) on
//   a thread of device.exe, at THREAD_PRIORITY_NORMAL (251), the priority every
//   thread starts with;
// - the power manager sends the device power states (IOCTL_POWER_SET) from its
//   own threads; the one that sets the devices' states after a resume runs at
//   99, the documented default of ResumePriority256 (CE 6.0, "Real-Time
//   Priority System Levels"), above every driver's worker;
// - the application opens, reads, writes and sends its requests from its own
//   threads, at THREAD_PRIORITY_NORMAL unless it says otherwise; a navigation
//   application may have more than one.
// XXX_PowerDown and XXX_PowerUp are not here: the kernel calls them itself at
// the system's suspend and resume (Kernel::suspendSystem).
//
// Each caller is a simulated thread with a queue of jobs. A job may be given a
// virtual time before which it does not start: the call then lands at that
// moment, whatever thread is running, as a call on the device lands whenever
// its caller's thread is scheduled. The queue and the counts are kept under a
// critical section, and a job is destroyed before its caller hears that it is
// done: the race detector then sees every step ordered.
#pragma once

#include "platform/ce/WinCE.h"
#include "sim/kernel/Kernel.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace harness {

inline constexpr int kDeviceManagerPriority = 251;
inline constexpr int kPowerManagerPriority = 99;
inline constexpr int kApplicationPriority = 251;

class CallerThread {
public:
    CallerThread(std::string name, int priority);
    ~CallerThread();
    CallerThread(const CallerThread&) = delete;
    CallerThread& operator=(const CallerThread&) = delete;

    const std::string& name() const { return name_; }
    HANDLE handle() const { return thread_; }

    // Queues `job`; it starts once the jobs before it are done, not before
    // virtual time `notBefore`, or (in the preemptive modes) at the
    // preemption point numbered `atPoint` if that comes first: the caller's
    // thread is then made ready in the middle of whatever runs.
    void post(std::function<void()> job, sim::Micros notBefore = 0, std::uint64_t atPoint = 0);
    // Runs `job` on this thread and waits for it, at most `bound` of virtual
    // time; false when it had not returned by then (it goes on running).
    bool call(std::function<void()> job, sim::Micros bound);
    // Every job posted so far is done.
    bool idle() const;
    // How long the job running now has been running (0: none runs).
    sim::Micros busyFor() const;

private:
    struct Job {
        std::function<void()> work;
        sim::Micros notBefore;
        std::uint64_t atPoint;
    };
    void waitFor(const Job& job);
    static DWORD WINAPI run(LPVOID self);
    bool doneUpTo(std::uint64_t job) const;
    void loop();

    std::string name_;
    HANDLE thread_ = nullptr;
    HANDLE work_ = nullptr;       // set when a job is queued
    HANDLE doneEvent_ = nullptr;  // set when a job is done
    HANDLE arrival_ = nullptr;    // set at the point a job waits for
    std::uint64_t arrivalUse_ = 0;
    mutable CRITICAL_SECTION guard_;  // over the queue and the counts below
    std::deque<Job> jobs_;
    std::uint64_t posted_ = 0;
    std::uint64_t done_ = 0;
    sim::Micros startedAt_ = 0;
    bool busy_ = false;
};

}  // namespace harness
