// The simulated Windows CE kernel: the host side of platform/ce/WinCE.h.
//
// One simulated thread runs at a time, each on its own stack, switched in user
// space on one OS thread. Virtual time (microseconds) jumps to the next deadline
// when no thread can run. Hardware events are callbacks on the same timeline and
// run between threads. Every random choice is drawn from generators derived from
// one seed, one per subsystem, so a scenario replays byte for byte.
//
// The thread that constructs the Kernel becomes simulated thread 1: a test or the
// command-line program plays the device manager and the application, and its own
// Sleep lets the world run.
#pragma once

#include "platform/ce/WinCE.h"

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Micros = std::uint64_t;

// The independent random streams. Extra draws in one never disturb another.
enum class Stream : unsigned { Scheduler, Bus, Band, Interrupts, Memory, Faults, Count };

// xoshiro256** seeded through splitmix64: fast, and identical on every host.
class Random {
public:
    explicit Random(std::uint64_t seed = 1);
    // Inline: the scheduler draws one for every wake and event.
    std::uint64_t next()
    {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    // Uniform in [0, bound), 0 for bound 0.
    std::uint32_t below(std::uint32_t bound)
    {
        return bound == 0 ? 0 : static_cast<std::uint32_t>((next() >> 32) * bound >> 32);
    }
    bool chance(double probability);  // true with the given probability
    double unit();                    // uniform in [0, 1)

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t s_[4];
};

// Seeds each stream from the run's seed (one stream per Stream value).
void seedStreams(std::uint64_t seed, std::span<Random> streams);

// The process a thread belongs to. A module loaded in the kernel process (a
// driver, by default, and the device and power managers) runs its threads in
// kernel mode, and "calling SuspendThread on a kernel thread does not suspend
// the thread": the call fails and changes nothing. An application's threads
// are user threads: suspension is counted, and a user thread that is making a
// kernel call (inside any system call, a blocking wait or sleep included)
// cannot be suspended then either. A thread belongs to its creator's process;
// the thread that creates the Kernel is of the kernel process.
enum class Process { Kernel, Application };

// How the scheduler interleaves threads.
// cooperative: a thread gives up the processor only inside a blocking call; code
//   takes no virtual time (exact-timing tests rely on it).
// random: every call into the CE surface and every access to a shared value is
//   a preemption point that costs a few microseconds (drawn by the seed where a
//   hardware event falls within them, 2 otherwise); the highest CE
//   priority runs, equal priorities share by time slice, and at any point the
//   processor goes to a randomly drawn other ready thread with a seeded chance.
// pct: the same points and costs; threads run by random distinct priorities
//   that are demoted at a few seeded change points (probabilistic concurrency
//   testing, drawn afresh every round of points).
// In both preemptive modes SuspendThread stops a user thread where it stands.
enum class Schedule { Cooperative, Random, Pct };
const char* scheduleName(Schedule schedule);
std::optional<Schedule> parseSchedule(std::string_view name);

struct KernelOptions {
    std::uint64_t seed = 1;
    Schedule schedule = Schedule::Cooperative;
    bool paced = false;  // virtual time follows the wall clock
    double speed = 1.0;  // paced: virtual seconds per wall second
    bool traceSwitches = false;
    std::size_t stackBytes = 0;  // per simulated thread; 0 picks a default
};

struct DebugLine {
    Micros time;
    DWORD threadId;
    std::string text;  // UTF-8, exactly as formatted (line ends included)
};

struct TraceEntry {
    enum Kind : std::uint8_t { Switch, HardwareEvent, Interrupt };
    Micros time;
    Kind kind;
    DWORD threadId;  // the thread switched to; for events, 0
};

// A device reached by name through CreateFileW / DeviceIoControl ("I2C1:").
class Device {
public:
    virtual ~Device() = default;
    // Return false (and set error) to refuse the open.
    virtual bool open(DWORD access, DWORD shareMode, DWORD& error) { return true; }
    virtual BOOL ioControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) = 0;
    virtual void close() {}
};

// Registers behind an address range, reached by READ_REGISTER_ULONG,
// WRITE_REGISTER_ULONG and InterlockedCompareExchange.
class RegisterDevice {
public:
    virtual ~RegisterDevice() = default;
    virtual std::uint32_t read32(std::uint32_t offset) = 0;
    virtual void write32(std::uint32_t offset, std::uint32_t value) = 0;
    // Called before a compare-exchange reads the register: lets a test change
    // the register under the driver's feet.
    virtual void beforeCompareExchange(std::uint32_t offset) {}
};

class Kernel {
public:
    explicit Kernel(const KernelOptions& options = {});
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The live kernel. The platform calls require one.
    static Kernel& current();
    static bool exists();

    Micros now() const;
    std::uint64_t seed() const;
    Schedule schedule() const;
    // Random mode: the chance that a point where another thread is due
    // (without a higher priority) hands it the processor. By default one in
    // two; a test that keeps one thread on top and lets the others advance
    // a point at a time now and then sets it lower.
    void setRandomSwitchChance(double chance);
    // Preemption points passed so far (0 in cooperative mode, unless counted).
    std::uint64_t preemptionPoints() const;
    // Switches at a preemption point: another thread took the processor from
    // one that could have gone on.
    std::uint64_t preemptions() const;
    Random& random(Stream stream);

    // ---- Hardware events ---------------------------------------------------
    using EventId = std::uint64_t;
    EventId at(Micros when, std::function<void()> action);
    EventId after(Micros delay, std::function<void()> action);
    // In the preemptive modes: runs `action` as a hardware event at the
    // preemption point numbered `point` (preemptionPoints() counts them), in
    // the middle of whatever thread passes it; never in cooperative mode. An
    // arrival drawn among the points of a stretch of time lands inside the
    // threads' sequences, where a drawn time would mostly find them idle.
    void atPoint(std::uint64_t point, std::function<void()> action);
    void cancel(EventId id);
    // Moves virtual time forward inside the running thread, running the
    // hardware events that fall due meanwhile: what a busy wait on a hardware
    // counter costs. Other threads run only at the next blocking call.
    void advance(Micros delay);

    // ---- Landing: one forced switch at a chosen point ----------------------
    // Systematic exploration with a preemption bound of one, as CHESS does it:
    // a run is played once to count its preemption points and then again
    // once per chosen point, with exactly one switch there. From
    // countPoints() on (cooperative mode only) every call into the CE surface
    // and every shared-value access is a numbered point, as in the preemptive
    // modes, but none costs time or switches threads: the run keeps the
    // cooperative timing and choices, so a replay passes the same points in
    // the same order up to its landing.
    void countPoints();
    // A point as recording saw it: its number, the thread that passed it, and
    // its place, a digest of the call stack there (the code that passed the
    // point and the calls that led to it; equal within one process).
    struct PointPlace {
        std::uint64_t point;
        DWORD thread;
        std::uint64_t place;
    };
    // Records every point passed while on (their numbers from
    // preemptionPoints()).
    void recordPlaces(bool on);
    const std::vector<PointPlace>& recordedPlaces() const;
    // At point `point`, `release` runs (as a hardware event runs: its calls
    // are no points) and, when it made `thread` ready, the thread passing the
    // point stays ready and the processor goes to `thread` right there. A run
    // may have more than one landing (a bound of two or more).
    void landAt(std::uint64_t point, std::function<void()> release, HANDLE thread);
    // How many landings took place: their points were passed and their
    // threads got the processor.
    std::uint32_t landed() const;
    // Runs `watch` at every counted point, before the landing there (as a
    // hardware event runs: its calls are no points and switch nothing), for
    // rules that must hold at every step of a run, not only at its end;
    // nullptr ends it.
    void watchPoints(std::function<void()> watch);

    // ---- Interrupt controller ----------------------------------------------
    // An edge on the line of sysIntr. Delivered (its event set) when the line is
    // initialised and unmasked; otherwise kept pending until InterruptDone.
    void raiseInterrupt(DWORD sysIntr);
    // Faults: an edge is lost with this probability; spurious edges arrive at
    // random with the given mean interval (0: none).
    void setInterruptFaults(double loseProbability, Micros spuriousMeanInterval, DWORD spuriousSysIntr);
    std::uint64_t interruptsDelivered(DWORD sysIntr) const;
    bool interruptInitialised(DWORD sysIntr) const;

    // ---- Devices and registers ---------------------------------------------
    void addDevice(std::u16string_view name, Device* device);
    void removeDevice(std::u16string_view name);
    void mapRegisters(void* hostAddress, std::size_t size, RegisterDevice* device);
    void unmapRegisters(void* hostAddress);

    // ---- Memory ------------------------------------------------------------
    // LocalAlloc fails after `pass` successes, `fail` times in a row.
    void failAllocations(std::uint32_t pass, std::uint32_t fail);
    void setAllocationFailureProbability(double probability);
    std::size_t liveAllocations() const;

    // ---- Observability -----------------------------------------------------
    const std::vector<DebugLine>& debugLog() const;
    void clearDebugLog();
    // Each debug line is also handed to the sink (the program's --debug).
    void setDebugSink(std::function<void(const DebugLine&)> sink);
    std::uint64_t switches() const;
    const std::vector<TraceEntry>& trace() const;
    int priority(HANDLE thread) const;
    std::uint32_t suspendCount(HANDLE thread) const;
    // Moves a thread to another process (the harness's application threads,
    // a test's user thread); its later creations belong there too.
    void setProcess(HANDLE thread, Process process);
    Process process(HANDLE thread) const;
    bool threadExited(HANDLE thread) const;
    DWORD threadId(HANDLE thread) const;
    HANDLE threadHandle(DWORD id) const;  // null for an unknown id
    std::size_t liveThreads() const;
    // Virtual time at which the thread last got the processor (0: never).
    Micros lastRun(HANDLE thread) const;
    // What a thread costs a processor that idles whenever it can: how often
    // it came back from a blocking call it had blocked in (a sleep, a wait, a
    // contended critical section: each a wake of the processor for it), how
    // often it was given the processor, and whether it is blocked now in a
    // call of its own (not stopped by a suspension or a hold).
    struct ThreadActivity {
        std::uint64_t wakes = 0;
        std::uint64_t switchesTo = 0;
        bool blocked = false;
    };
    ThreadActivity activity(HANDLE thread) const;
    // The processor taken from a thread for a while by work the simulation
    // does not model (a higher-priority thread elsewhere on the device):
    // held, it stops at its next preemption point or blocking step, whatever
    // it holds, and runs on once let go. A kernel thread too; no call of the
    // program's. The running thread only from a hardware event (it stops at
    // the point the event ran at).
    void holdThread(HANDLE thread, bool held);
    // One line per thread: id, state, priority, suspension count, sections
    // held, when it last ran; what a hang report needs.
    std::string describeThreads() const;

    // Paced mode: before virtual time jumps, wait for the wall clock.
    void setPaced(bool paced, double speed = 1.0);

    // ---- Verifier ----------------------------------------------------------
    // What Windows CE leaves undefined or what would crash a device fails the
    // run, as Application Verifier stops a program on Windows: a handle closed
    // while a thread waits on it, closed twice or used after close; a critical
    // section left by a thread that does not own it, deleted while held or
    // waited on, used after deletion or before initialisation; a thread that
    // exits holding a section; memory freed twice or not by its allocator; a
    // system call inside a power handler; a step of a thread whose module was
    // unloaded; a SuspendThread of a kernel thread, which has no effect on a
    // device. The handler receives each report; without one (the default)
    // the report and the reproduce line are printed and the process aborts.
    // After a handler returns the call goes on as CE would, or as leniently as
    // the simulation can.
    using VerifierHandler = std::function<void(const std::string& report)>;
    void setVerifierHandler(VerifierHandler handler);
    std::uint64_t verifierReports() const;
    // The one command that replays the run, printed with a verifier report.
    static void setReproduceLine(std::string line);
    // For the CE calls implemented outside the kernel (the SoC's memory
    // calls): the start of a system call, and a misuse found in one.
    void systemCall(const char* name);
    void reportMisuse(const std::string& what);

    // ---- System power --------------------------------------------------------
    // The system's suspend as the kernel performs it: every thread but the
    // caller (the world outside the device) stops where it stands, and the
    // power-down handler runs in the power-handler context: it cannot be
    // preempted, and any system call but debug output and SetInterruptEvent
    // halts the system (a verifier failure). Register accesses and interlocked
    // exchanges are plain memory operations on the device and are allowed.
    void suspendSystem(const std::function<void()>& powerDownHandler, const char* name = "COM_PowerDown");
    // The resume: the power-up handler runs in the same context, then the
    // threads go on. Without a suspend before it, only the handler runs.
    void resumeSystem(const std::function<void()>& powerUpHandler, const char* name = "COM_PowerUp");
    bool systemSuspended() const;
    // The device manager unloaded the module these threads run in: a further
    // step of any of them is a verifier failure. So whatever they did comes
    // before what the caller does next (the release of their memory), also
    // for the race detector.
    void moduleUnloaded(const std::vector<DWORD>& threadIds);
    // Threads created so far (the ids run from 1 up to this).
    DWORD threadCount() const;

    struct Impl;

private:
    void scheduleSpurious();
    // at and after: the action moves once, into its slot.
    EventId schedule(Micros when, std::function<void()>& action);
    std::unique_ptr<Impl> impl_;
};

// Formats an NKDbgPrintfW format with Windows rules (%s is a wide string, %S a
// narrow one) into UTF-8. Exposed for tests.
std::string formatWide(const WCHAR* format, std::va_list args);
std::string toUtf8(std::u16string_view text);

}  // namespace sim
