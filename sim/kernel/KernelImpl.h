// Inside the simulated kernel: the objects behind handles, the timeline and the
// thread switch. Shared by the kernel's source files only.
#pragma once

#include "sim/kernel/Kernel.h"
#include "sim/kernel/RaceDetector.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <unordered_map>
#include <unordered_set>

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
    DWORD interrupt = 0;    // the logical interrupt bound to it by InterruptInitialize
    bool waitedOn = false;  // ever passed to a wait: InterruptInitialize refuses it then
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
    Waitable* waitingOn = nullptr;
    DWORD waitResult = 0;
    std::uint32_t pctRank = 0;          // pct: lower runs first (random, or demoted)
    void* faultGuard = nullptr;         // the innermost CeGuardedCall of this thread
    std::uint32_t sectionsHeld = 0;     // critical sections it owns now
    bool unloaded = false;              // its module was unloaded under it: it may not run again
    Process process = Process::Kernel;  // the process that owns it: its creator's
    bool enteringCall = false;          // stopped at the start of a system call (its preemption point)
    bool blockedInCall = false;         // blocked inside a system call, or woken and not yet back
    Thread() : Waitable(ThreadObject) {}
};

struct Lock {
    std::vector<Thread*> waiters;
    bool deleted = false;  // DeleteCriticalSection ran; the section is unusable until initialised again
};

// A thread's wake or a hardware event. Wakes and events are kept apart (see
// Timeline), so an entry need not say which it is: 32 bytes, cheap to move.
struct TimelineEntry {
    Micros time;
    std::uint32_t tieBreak;
    std::uint32_t key;  // the entry's place in its heap's index: a thread's id - 1, an event's slot
    std::uint64_t sequence;
    std::uint64_t payload;  // the thread to wake, or the hardware event's id

    static TimelineEntry wake(Micros time, std::uint32_t tie, std::uint64_t sequence, Thread* t)
    {
        return {time, tie, t->id - 1, sequence, reinterpret_cast<std::uint64_t>(t)};
    }
    static TimelineEntry hardware(Micros time, std::uint32_t tie, std::uint64_t sequence, std::uint64_t id)
    {
        return {time, tie, static_cast<std::uint32_t>(id), sequence, id};
    }
    Thread* thread() const { return reinterpret_cast<Thread*>(payload); }
    std::uint64_t event() const { return payload; }
    // Ties are broken by the seed (tieBreak is drawn), then by the order of
    // arrival.
    bool operator>(const TimelineEntry& o) const
    {
        if (time != o.time) return time > o.time;
        if (tieBreak != o.tieBreak) return tieBreak > o.tieBreak;
        return sequence > o.sequence;
    }
};

// A binary min-heap in which every entry knows its position (by its key: at
// most one entry per key), so an entry that is no longer wanted (a wait ended
// before its time-out, a sleep's wake overtaken, a cancelled hardware event)
// leaves at once and the heap holds only live entries. Without that the RDS
// interrupt thread alone would leave one 60 s time-out behind at every
// interrupt, and every push and pop would work on a heap several times the
// live set. The order is the entries' total order (operator>), so which heap
// layout holds them never changes what comes out first. Steady running
// allocates nothing: both vectors only grow to the largest live set and key.
class EntryHeap {
public:
    static constexpr std::uint32_t kAbsent = 0xFFFF'FFFFu;
    bool empty() const { return heap_.empty(); }
    std::size_t size() const { return heap_.size(); }
    const TimelineEntry& top() const { return heap_.front(); }
    bool contains(std::uint32_t key) const { return key < position_.size() && position_[key] != kAbsent; }
    // Adds the entry, replacing the one its key held (in its place, moved
    // up or down as its time says).
    void push(const TimelineEntry& e)
    {
        if (e.key >= position_.size()) position_.resize(e.key + 1, kAbsent);
        const std::uint32_t at = position_[e.key];
        if (at == kAbsent) {
            heap_.push_back(e);
            up(heap_.size() - 1);
            return;
        }
        const bool earlier = heap_[at] > e;
        heap_[at] = e;
        if (earlier)
            up(at);
        else
            down(at);
    }
    void pop() { removeAt(0); }
    void remove(std::uint32_t key)
    {
        if (contains(key)) removeAt(position_[key]);
    }
    // Calls visit for every entry due at `now`, skipping whole subtrees that
    // are later (a parent is never later than its children).
    template <class Visit>
    void forEachDue(Micros now, Visit&& visit, std::size_t at = 0) const
    {
        if (at >= heap_.size() || heap_[at].time > now) return;
        visit(heap_[at]);
        forEachDue(now, visit, 2 * at + 1);
        forEachDue(now, visit, 2 * at + 2);
    }

private:
    void place(std::size_t at, const TimelineEntry& e)
    {
        heap_[at] = e;
        position_[e.key] = static_cast<std::uint32_t>(at);
    }
    void removeAt(std::size_t at)
    {
        position_[heap_[at].key] = kAbsent;
        const TimelineEntry last = heap_.back();
        heap_.pop_back();
        if (at == heap_.size()) return;
        place(at, last);
        if (at > 0 && heap_[(at - 1) / 2] > last)
            up(at);
        else
            down(at);
    }
    void up(std::size_t at)
    {
        const TimelineEntry e = heap_[at];
        while (at > 0) {
            const std::size_t parent = (at - 1) / 2;
            if (!(heap_[parent] > e)) break;
            place(at, heap_[parent]);
            at = parent;
        }
        place(at, e);
    }
    void down(std::size_t at)
    {
        const TimelineEntry e = heap_[at];
        const std::size_t n = heap_.size();
        for (;;) {
            std::size_t child = 2 * at + 1;
            if (child >= n) break;
            if (child + 1 < n && heap_[child] > heap_[child + 1]) ++child;
            if (!(e > heap_[child])) break;
            place(at, heap_[child]);
            at = child;
        }
        place(at, e);
    }
    std::vector<TimelineEntry> heap_;
    std::vector<std::uint32_t> position_;  // by key: where its entry is, or kAbsent
};

// Thread wakes and hardware events, kept in two heaps and seen as one: at the
// same virtual time hardware events come first, so a thread always sees the
// hardware as it stands at that time. Hardware that falls due while a thread
// runs is found without touching the wakes.
class Timeline {
public:
    bool empty() const { return wakes.empty() && events.empty(); }
    std::size_t size() const { return wakes.size() + events.size(); }
    // Whether the earliest entry is a hardware event (the timeline not empty).
    bool eventFirst() const { return wakes.empty() || (!events.empty() && events.top().time <= wakes.top().time); }
    // The earliest time of any entry (of a wake or of a hardware event).
    Micros next() const
    {
        const Micros wake = wakes.empty() ? kNever : wakes.top().time;
        const Micros event = events.empty() ? kNever : events.top().time;
        return wake < event ? wake : event;
    }
    static constexpr Micros kNever = ~Micros(0) >> 1;
    EntryHeap wakes;
    EntryHeap events;
};

// The pending hardware events, in slots that are used again: steady running
// allocates nothing (an action small enough for std::function's own buffer, as
// the simulation's are, is stored in place). An id names its slot and the
// slot's use, so the id of an event that ran or was cancelled finds nothing.
class HardwareEvents {
public:
    using Id = std::uint64_t;
    Id add(std::function<void()> action)
    {
        std::uint32_t index;
        if (free_.empty()) {
            index = static_cast<std::uint32_t>(slots_.size());
            slots_.emplace_back();
        } else {
            index = free_.back();
            free_.pop_back();
        }
        Slot& slot = slots_[index];
        ++slot.use;
        slot.live = true;
        slot.action = std::move(action);
        ++live_;
        return (Id(slot.use) << 32) | index;
    }
    bool live(Id id) const { return find(id) != nullptr; }
    // Removes the event; its action, or an empty one when it is gone already.
    std::function<void()> take(Id id)
    {
        Slot* slot = find(id);
        if (slot == nullptr) return {};
        std::function<void()> action = std::move(slot->action);
        release(*slot, id);
        return action;
    }
    void cancel(Id id)
    {
        if (Slot* slot = find(id)) release(*slot, id);
    }
    std::size_t size() const { return live_; }

private:
    struct Slot {
        std::uint32_t use = 0;
        bool live = false;
        std::function<void()> action;
    };
    Slot* find(Id id) const
    {
        const auto index = static_cast<std::uint32_t>(id);
        if (index >= slots_.size()) return nullptr;
        const Slot& slot = slots_[index];
        return slot.live && slot.use == static_cast<std::uint32_t>(id >> 32) ? const_cast<Slot*>(&slot) : nullptr;
    }
    void release(Slot& slot, Id id)
    {
        slot.live = false;
        slot.action = nullptr;
        free_.push_back(static_cast<std::uint32_t>(id));
        --live_;
    }
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> free_;
    std::size_t live_ = 0;
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
    HardwareEvents hardwareEvents;

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
    std::unordered_map<void*, std::size_t> allocations;  // LocalAlloc's live blocks
    std::unordered_set<void*> freedBlocks;               // freed and not handed out again

    // The verifier (Verifier.cpp).
    std::function<void(const std::string&)> verifierHandler;
    std::uint64_t verifierReports = 0;
    const char* powerHandler = nullptr;  // the power handler running now, if any
    bool systemSuspended = false;        // every thread but systemCaller is held
    Thread* systemCaller = nullptr;

    std::vector<DebugLine> debugLog;
    std::function<void(const DebugLine&)> debugSink;
    std::uint64_t switches = 0;
    std::vector<TraceEntry> trace;

    // Preemption (Preemption.cpp).
    std::uint32_t atomicDepth = 0;  // > 0 while hardware or a device model runs: no switch
    std::uint64_t points = 0;
    std::uint64_t preemptions = 0;  // switches at a point, the running thread still ready
    double randomSwitchChance = 0.5;
    std::multimap<std::uint64_t, std::function<void()>> pointAlarms;  // by the point they are due at
    Micros sliceStart = 0;                                            // when the running thread got the processor
    std::uint64_t pctRoundEnd = 0;                                    // pct: the point at which the next round starts
    std::uint64_t nextMarkedPoint = 0;  // the next point with an alarm or a pct change: no fast path there
    std::uint64_t pctChange[2] = {};
    std::uint32_t pctDemotions = 0;

    bool paced = false;
    double speed = 1.0;
    std::chrono::steady_clock::time_point paceOrigin;
    Micros paceOriginVirtual = 0;

    // Scheduler (Scheduler.cpp)
    HANDLE addObject(std::unique_ptr<Waitable> object);
    Waitable* lookup(HANDLE handle) const;
    // As lookup, for a call a thread makes: a handle already closed is a
    // verifier failure (and then as invalid as any other).
    Waitable* lookupForCall(HANDLE handle, const char* call);
    Waitable* lookupEvenClosed(HANDLE handle) const;
    void makeReady(Thread* t);            // wake now
    void wakeAt(Thread* t, Micros when);  // timed wake
    void cancelWake(Thread* t);           // its queued wake, if any, leaves the timeline
    void wake(Thread* t, DWORD result);   // end a wait with a result
    void block();                         // current thread gives up the processor
    void blockUnmarked();
    bool preemptive() const { return options.schedule != Schedule::Cooperative; }
    void preemptionPoint();
    void slowPoint(Thread* self);  // a point where something may happen
    void markNextPoint();          // nextMarkedPoint from the alarms and pct's change points
    void firePointAlarms();
    void blockPreemptive(Thread* chosen);
    bool claim(Thread* t);                      // a due thread takes the processor (false: it parks)
    std::uint64_t rank(const Thread* t) const;  // lower runs first
    Thread* bestDue(const Thread* except) const;
    Thread* randomDue(const Thread* except);
    void pctStep();
    void pctNewRound();
    void switchTo(Thread* next, bool exiting);
    [[noreturn]] void exitCurrent(DWORD code);
    void runDueEvents(Micros until);
    void runHardwareEvent(const TimelineEntry& e);
    void pace(Micros target);
    Thread* createThread(LPTHREAD_START_ROUTINE start, LPVOID parameter);
    void freeStack(Thread* t);
    Lock& lockFor(CRITICAL_SECTION* section, const char* call);
    // Gives the section a fresh wait list under this kernel, unowned.
    void newLock(CRITICAL_SECTION* section);

    // Verifier.cpp
    // The start of every call into the CE surface that is a system call: a
    // preemption point, and forbidden inside a power handler.
    void systemCall(const char* name);
    void report(const std::string& what);
    // Held by a suspension of its own or by the system's.
    bool held(const Thread* t) const { return t->suspendCount > 0 || (systemSuspended && t != systemCaller); }
    Thread* threadById(DWORD id) const { return id >= 1 && id <= threads.size() ? threads[id - 1] : nullptr; }
};

Kernel::Impl& kernelImpl();

}  // namespace sim
