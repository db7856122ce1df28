// Inside the simulated kernel: the objects behind handles, the timeline and the
// thread switch. Shared by the kernel's source files only.
#pragma once

#include "sim/kernel/Kernel.h"
#include "sim/kernel/RaceDetector.h"

#include <chrono>
#include <algorithm>
#include <map>

namespace sim {

using Context = void*;  // a saved stack context (boost fcontext)

struct Thread;

// Something a thread can wait on through a handle.
struct Waitable {
    enum Kind : std::uint8_t { EventObject, ThreadObject, DeviceFile };
    Kind kind;
    bool closed = false;
    std::vector<Thread*> waiters;  // in arrival order
    explicit Waitable(Kind k) : kind(k) {}
    virtual ~Waitable() = default;
};

struct Event : Waitable {
    bool manualReset;
    bool signaled;
    Event(bool manual, bool initial) : Waitable(EventObject), manualReset(manual), signaled(initial) {}
};

struct DeviceFile : Waitable {
    Device* device;
    std::u16string name;
    explicit DeviceFile(Device* d, std::u16string n) : Waitable(Kind::DeviceFile), device(d), name(std::move(n)) {}
};

struct Thread : Waitable {
    enum State : std::uint8_t { Running, Ready, Sleeping, Waiting, Locking, Parked, Exited };
    DWORD id = 0;
    HANDLE handle = nullptr;
    State state = Ready;
    Context context = nullptr;
    void* stackMemory = nullptr;  // mapping including the guard page
    std::size_t stackMapping = 0;
    const void* stackBottom = nullptr;  // usable stack, for the address sanitizer
    std::size_t stackSize = 0;
    void* fakeStack = nullptr;
    void* raceFiber = nullptr;  // the thread as the race detector knows it
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    int priority = 251;
    std::uint32_t suspendCount = 0;
    bool wakePending = false;  // woke while suspended: runs when resumed
    DWORD lastError = 0;
    Micros lastRun = 0;
    DWORD exitCode = 0;
    std::uint64_t wakeGeneration = 0;  // stale timeline entries carry an older one
    Waitable* waitingOn = nullptr;
    DWORD waitResult = 0;
    Thread() : Waitable(ThreadObject) {}
};

struct Lock {
    std::vector<Thread*> waiters;
};

struct TimelineEntry {
    Micros time;
    std::uint32_t tieBreak;
    std::uint64_t sequence;
    Thread* thread;            // a thread to wake, or null for a hardware event
    std::uint64_t generation;  // thread: its wakeGeneration; event: the event id
    // At the same virtual time hardware events come before thread wakes, so a
    // thread always sees the hardware as it stands at that time; ties between
    // threads are broken by the seed.
    bool operator>(const TimelineEntry& o) const {
        if (time != o.time) return time > o.time;
        if ((thread == nullptr) != (o.thread == nullptr)) return thread != nullptr;
        if (tieBreak != o.tieBreak) return tieBreak > o.tieBreak;
        return sequence > o.sequence;
    }
};

// A binary min-heap of entries that can also drop the entries that went stale
// (a thread woken before its timed wake, a cancelled hardware event), which
// would otherwise pile up until their time: the RDS interrupt thread leaves one
// 60 s time-out behind on every interrupt.
class Timeline {
public:
    bool empty() const { return heap_.empty(); }
    std::size_t size() const { return heap_.size(); }
    const TimelineEntry& top() const { return heap_.front(); }
    void push(const TimelineEntry& e)
    {
        heap_.push_back(e);
        std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
    }
    void pop()
    {
        std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
        heap_.pop_back();
    }
    template <class Stale>
    void compact(Stale stale)
    {
        std::erase_if(heap_, stale);
        std::make_heap(heap_.begin(), heap_.end(), std::greater<>{});
    }

private:
    std::vector<TimelineEntry> heap_;
};

struct Interrupt {
    HANDLE event = nullptr;
    bool initialised = false;
    bool masked = false;
    bool pending = false;
    std::uint64_t delivered = 0;
};

struct RegisterRange {
    std::uintptr_t begin;
    std::uintptr_t end;
    RegisterDevice* device;
};

struct Kernel::Impl {
    KernelOptions options;
    std::uint32_t instance = 0;  // tells critical sections of an earlier kernel apart
    Micros now = 0;
    Random streams[static_cast<unsigned>(Stream::Count)];

    // Threads and handles.
    std::vector<std::unique_ptr<Waitable>> objects;  // handle value = (index + 1) * 4
    std::vector<Thread*> threads;                    // by id - 1
    Thread* current = nullptr;
    Thread* exitedToFree = nullptr;
    void* hardwareFiber = nullptr;  // the race detector's view of hardware events

    // The timeline of thread wakes and hardware events.
    Timeline timeline;
    std::uint64_t sequence = 0;
    std::map<EventId, std::function<void()>> hardwareEvents;
    EventId nextEventId = 1;

    std::vector<Lock> locks;  // by LockId index - 1
    std::map<DWORD, Interrupt> interrupts;
    double loseInterruptProbability = 0;
    Micros spuriousMeanInterval = 0;
    DWORD spuriousSysIntr = 0;
    std::uint64_t spuriousChain = 0;  // one chain of spurious edges at a time

    std::map<std::u16string, Device*, std::less<>> devices;
    std::vector<RegisterRange> registers;

    std::uint32_t allocPass = 0, allocFail = 0;
    bool allocCountdown = false;
    double allocFailProbability = 0;
    std::size_t liveAllocations = 0;

    std::vector<DebugLine> debugLog;
    std::function<void(const DebugLine&)> debugSink;
    std::uint64_t switches = 0;
    std::vector<TraceEntry> trace;

    bool paced = false;
    double speed = 1.0;
    std::chrono::steady_clock::time_point paceOrigin;
    Micros paceOriginVirtual = 0;

    // Scheduler (Scheduler.cpp)
    HANDLE addObject(std::unique_ptr<Waitable> object);
    Waitable* lookup(HANDLE handle) const;
    void makeReady(Thread* t);                       // wake now
    void wakeAt(Thread* t, Micros when);             // timed wake
    void compactTimeline();
    void wake(Thread* t, DWORD result);              // end a wait with a result
    void block();                                    // current thread gives up the processor
    void switchTo(Thread* next, bool exiting);
    [[noreturn]] void exitCurrent(DWORD code);
    void runDueEvents(Micros until);
    void runHardwareEvent(const TimelineEntry& e);
    void pace(Micros target);
    Thread* createThread(LPTHREAD_START_ROUTINE start, LPVOID parameter);
    void freeStack(Thread* t);
    Lock& lockFor(CRITICAL_SECTION* section);
};

Kernel::Impl& kernelImpl();

}  // namespace sim
