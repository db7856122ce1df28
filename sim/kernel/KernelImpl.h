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

using Context = void*;  // a stopped stack (FibreSwitch.h)

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
    std::uint64_t wakes = 0;            // returns from a blocking call it blocked in
    std::uint64_t switchesTo = 0;       // times it was given the processor
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
    std::uint32_t key;  // the entry's place in its queue's index: a thread's id - 1, an event's slot
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

// The entries of one kind (wakes or hardware events), each knowing its
// position by its key (at most one entry per key), so an entry that is no
// longer wanted (a wait ended before its time-out, a sleep's wake overtaken, a
// cancelled hardware event) leaves at once and only live entries are held.
// Without that the RDS interrupt thread alone would leave one 60 s time-out
// behind at every interrupt. The live set is small (a wake per thread that
// sleeps or waits with a time-out, a few hardware events: five wakes and two
// events in steady reception), so the entries sit unordered in one array with
// the earliest one's position kept: adding or removing one is a move and a
// compare, and only taking away the earliest looks at the others. That
// measured faster than a binary heap with positions, whose sifting cost
// about as much as a scan of so few. What comes out first is the entries'
// total order (operator>), whatever their positions. Steady running
// allocates nothing: both arrays only grow to the largest live set and key.
class EntryQueue {
public:
    static constexpr std::uint32_t kAbsent = 0xFFFF'FFFFu;
    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    const TimelineEntry& top() const { return entries_[first_]; }
    // The earliest entry's time, kNever when empty: one load, for the
    // preemption point's fast path.
    Micros firstTime() const { return firstTime_; }
    static constexpr Micros kNever = ~Micros(0) >> 1;
    bool contains(std::uint32_t key) const { return key < position_.size() && position_[key] != kAbsent; }
    // Adds the entry, replacing the one its key held.
    void push(const TimelineEntry& e)
    {
        if (e.key >= position_.size()) [[unlikely]]
            growPositions(e.key);
        std::uint32_t at = position_[e.key];
        if (at == kAbsent) {
            at = static_cast<std::uint32_t>(entries_.size());
            position_[e.key] = at;
            entries_.push_back(e);
            if (at == 0) {
                setFirst(at);
                second_ = kAbsent;
                return;
            }
            placed(at, e);
            return;
        }
        const bool later = e > entries_[at];
        entries_[at] = e;
        if (at == first_) {
            if (later)
                findFirst();
            else
                setFirst(at);  // earlier still: the second stays
        } else if (at == second_) {
            if (entries_[first_] > e) {
                second_ = first_;
                setFirst(at);
            } else if (later) {
                second_ = kAbsent;  // another may come before it now
            }
        } else {
            placed(at, e);
        }
    }
    void pop() { removeAt(first_); }
    // Takes the earliest entry out and puts `e` in its place: a pop and a
    // push in one. The key of `e` holds no entry.
    TimelineEntry replaceTop(const TimelineEntry& e)
    {
        const TimelineEntry top = entries_[first_];
        position_[top.key] = kAbsent;
        if (e.key >= position_.size()) [[unlikely]]
            growPositions(e.key);
        entries_[first_] = e;
        position_[e.key] = first_;
        if (!(e > top)) {
            setFirst(first_);  // still the earliest; the second stays
        } else if (second_ == kAbsent) {
            findFirst();
        } else if (e > entries_[second_]) {
            setFirst(second_);
            second_ = kAbsent;  // `e` or one behind the second
        } else {
            setFirst(first_);
        }
        return top;
    }
    void remove(std::uint32_t key)
    {
        if (contains(key)) removeAt(position_[key]);
    }
    // Calls visit for every entry due at `now`, in the order they are held
    // (which the seeded order of additions and removals decides).
    template <class Visit>
    void forEachDue(Micros now, Visit&& visit) const
    {
        for (const TimelineEntry& e : entries_)
            if (e.time <= now) visit(e);
    }

private:
    // Out of line: the pushes stay short where they are inlined.
    [[gnu::noinline]] void growPositions(std::uint32_t key) { position_.resize(key + 1, kAbsent); }
    // `e`, neither the earliest nor the second before, is now at `at`.
    void placed(std::uint32_t at, const TimelineEntry& e)
    {
        if (entries_[first_] > e) {
            second_ = first_;
            setFirst(at);
        } else if (second_ != kAbsent && entries_[second_] > e) {
            second_ = at;
        }
    }
    void removeAt(std::uint32_t at)
    {
        position_[entries_[at].key] = kAbsent;
        const auto last = static_cast<std::uint32_t>(entries_.size() - 1);
        if (at != last) {
            entries_[at] = entries_[last];
            position_[entries_[at].key] = at;
        }
        entries_.pop_back();
        if (first_ == at) {
            if (second_ == kAbsent) {
                findFirst();
                return;
            }
            setFirst(second_ == last ? at : second_);
            second_ = kAbsent;
            return;
        }
        if (second_ == at)
            second_ = kAbsent;
        else if (second_ == last)
            second_ = at;
        if (first_ == last) first_ = at;
    }
    // Looks at every entry: the earliest, and the one after it.
    void findFirst()
    {
        second_ = kAbsent;
        if (entries_.empty()) {
            first_ = 0;
            firstTime_ = kNever;
            return;
        }
        std::uint32_t first = 0;
        std::uint32_t second = kAbsent;
        for (std::uint32_t i = 1; i < entries_.size(); ++i) {
            if (entries_[first] > entries_[i]) {
                second = first;
                first = i;
            } else if (second == kAbsent || entries_[second] > entries_[i]) {
                second = i;
            }
        }
        setFirst(first);
        second_ = second;
    }
    void setFirst(std::uint32_t at)
    {
        first_ = at;
        firstTime_ = entries_[at].time;
    }
    std::vector<TimelineEntry> entries_;
    std::vector<std::uint32_t> position_;  // by key: where its entry is, or kAbsent
    std::uint32_t first_ = 0;              // where the earliest entry is (when there is one)
    // Where the earliest of the others is, kAbsent when not known: taking the
    // earliest out then needs no look at the others. A thread made ready now
    // and taken at once (every switch in the preemptive modes) leaves the
    // earliest wake before it as the earliest again.
    std::uint32_t second_ = kAbsent;
    Micros firstTime_ = kNever;  // its time
};

// Thread wakes and hardware events, kept in two queues and seen as one: at the
// same virtual time hardware events come first, so a thread always sees the
// hardware as it stands at that time. Hardware that falls due while a thread
// runs is found without touching the wakes.
class Timeline {
public:
    bool empty() const { return wakes.empty() && events.empty(); }
    std::size_t size() const { return wakes.size() + events.size(); }
    // Whether the earliest entry is a hardware event (the timeline not empty).
    bool eventFirst() const { return wakes.empty() || events.firstTime() <= wakes.firstTime(); }
    // The earliest time of any entry (of a wake or of a hardware event).
    Micros next() const { return std::min(wakes.firstTime(), events.firstTime()); }
    EntryQueue wakes;
    EntryQueue events;
};

// The pending hardware events, in slots that are used again: steady running
// allocates nothing (an action small enough for std::function's own buffer, as
// the simulation's are, is stored in place). An id names its slot and the
// slot's use, so the id of an event that ran or was cancelled finds nothing.
class HardwareEvents {
public:
    using Id = std::uint64_t;
    // Takes the action (`action` is left empty).
    Id add(std::function<void()>& action)
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
        slot.action.swap(action);  // a free slot's action is empty
        ++live_;
        return (Id(slot.use) << 32) | index;
    }
    bool live(Id id) const { return find(id) != nullptr; }
    // Removes the event, its action swapped into the empty `action`; false
    // when it is gone already.
    bool take(Id id, std::function<void()>& action)
    {
        Slot* slot = find(id);
        if (slot == nullptr) return false;
        action.swap(slot->action);
        slot->live = false;
        free_.push_back(static_cast<std::uint32_t>(id));
        --live_;
        return true;
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
    // The lowest begin and highest end of the ranges: an address outside is
    // no register, told with two compares (the driver's interlocked calls on
    // its own shared values ask at every pass). Empty: low above high.
    std::uintptr_t registersLow = ~std::uintptr_t{0};
    std::uintptr_t registersHigh = 0;
    void boundRegisters();

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
    // Threads whose suspension count is above zero, plus one while the system
    // is suspended: 0 means no thread is held, one load for a point's fast path.
    std::uint32_t holds = 0;
    Thread* systemCaller = nullptr;

    std::vector<DebugLine> debugLog;
    std::function<void(const DebugLine&)> debugSink;
    std::uint64_t switches = 0;
    std::vector<TraceEntry> trace;
    [[gnu::noinline]] void traceEntry(TraceEntry::Kind kind, DWORD thread);  // under traceSwitches

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
    // Set in the preemptive modes and by countPoints(): the CE calls and the
    // shared-value accesses are points.
    bool passesPoints = false;

    // Landing (Preemption.cpp): cooperative, every point counted and taken
    // out of line (nextMarkedPoint stays 0).
    bool landing = false;
    bool recordingPlaces = false;
    std::vector<Kernel::PointPlace> placesSeen;
    struct Landing {
        std::uint64_t point;
        std::function<void()> release;
        Thread* thread;
    };
    std::vector<Landing> landings;  // by point, the next one last
    std::uint32_t landedCount = 0;
    std::function<void()> pointWatch;
    void landingStep();
    void recordPlace();

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
    // The current thread, its state set and its earlier wake cancelled, sleeps
    // until `when`. Cooperative mode: when its wake would come out of the
    // timeline first (before every hardware event, which goes first at the
    // same time, and before every other wake in the timeline's order, ties
    // included), the thread would be the next to run, so it runs on at once
    // without queueing the wake; the tie is drawn and the sequence counted
    // all the same, so that later ties come out as they would have.
    void sleepUntil(Thread* self, Micros when)
    {
        if (!preemptive()) {
            const auto tie = static_cast<std::uint32_t>(streams[unsigned(Stream::Scheduler)].next());
            const TimelineEntry wake = TimelineEntry::wake(when, tie, sequence++, self);
            if (when < timeline.events.firstTime() && (timeline.wakes.empty() || timeline.wakes.top() > wake) &&
                !held(self)) [[likely]] {
                pace(when);
                if (when > now) now = when;
                self->state = Thread::Running;
                ++self->wakes;  // the processor idled until this wake
                return;
            }
            // The earliest wake, before every hardware event, runs next: this
            // one takes its place in the timeline. (A running thread has no
            // wake queued in cooperative mode.)
            if (!timeline.wakes.empty() && timeline.wakes.firstTime() < timeline.events.firstTime() &&
                wake > timeline.wakes.top()) {
                const TimelineEntry next = timeline.wakes.replaceTop(wake);
                blockTaking(next);
                return;
            }
            timeline.wakes.push(wake);
        } else {
            wakeAt(self, when);
        }
        block();
    }
    void cancelWake(Thread* t) { timeline.wakes.remove(t->id - 1); }  // its queued wake, if any, leaves
    void wake(Thread* t, DWORD result);                               // end a wait with a result
    void block();                                                     // current thread gives up the processor
    void blockUnmarked();
    // Cooperative mode: the same, with the next wake already taken out of
    // the timeline (`taken`, or none).
    void blockTaking(const TimelineEntry& taken);
    void blockCooperative(const TimelineEntry* taken);
    bool preemptive() const { return options.schedule != Schedule::Cooperative; }
    // In the header, so that a point's fast path is inlined where points are
    // passed: the timeline's earliest entry is beyond what the point may cost
    // (so no thread is due and no hardware event falls due), nothing is
    // marked for this point and the thread is not held. Pacing catches up at
    // the next point that does something.
    void preemptionPoint()
    {
        if (!passesPoints || atomicDepth > 0) return;
        ++points;
        if (points < nextMarkedPoint && timeline.next() > now + kMaxPointCost && (holds == 0 || !held(current))) {
            now += kPointCost;
            return;
        }
        slowPointMarked();
    }
    // The point at a shared-value access: the driver passes it only while the
    // kernel runs a preemptive mode (gCePreemptive). The same test as above;
    // what is not the fast path is one call, so this saves no registers.
    void sharedAccessPoint()
    {
        if (atomicDepth > 0) return;
        ++points;
        if (points < nextMarkedPoint && timeline.next() > now + kMaxPointCost && (holds == 0 || !held(current))) {
            now += kPointCost;
            return;
        }
        slowPointMarked();
    }
    [[gnu::noinline]] void slowPointMarked();   // slowPoint(current), then markNextPoint()
    static constexpr Micros kMaxPointCost = 3;  // microseconds a point may cost
    static constexpr Micros kPointCost = 2;     // what a point costs where nothing falls due within kMaxPointCost
    void slowPoint(Thread* self);               // a point where something may happen
    void markNextPoint();                       // nextMarkedPoint from the alarms and pct's change points
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
    void pace(Micros target)  // inline: called at every step, paced only under --speed
    {
        if (paced) paceWall(target);
    }
    void paceWall(Micros target);
    Thread* createThread(LPTHREAD_START_ROUTINE start, LPVOID parameter);
    [[gnu::noinline]] void freeStack(Thread* t);  // once per thread: out of the switch's way
    // The section's wait list; one not initialised under this kernel, or
    // deleted, is reported (lockForMisused). Inline: every section call asks.
    Lock& lockFor(CRITICAL_SECTION* section, const char* call)
    {
        if (lockValid(section)) [[likely]]
            return locks[(section->LockId & 0xFFFFFF) - 1];
        return lockForMisused(section, call);
    }
    Lock& lockForMisused(CRITICAL_SECTION* section, const char* call);
    // Whether the section was initialised under this kernel and not deleted.
    bool lockValid(const CRITICAL_SECTION* section) const
    {
        const std::uint32_t id = section->LockId;
        const std::uint32_t index = id & 0xFFFFFF;
        return (id >> 24) == instance && index != 0 && index <= locks.size() && !locks[index - 1].deleted;
    }
    // The wait list of a valid section.
    const std::vector<Thread*>& lockWaiters(const CRITICAL_SECTION* section) const
    {
        return locks[(section->LockId & 0xFFFFFF) - 1].waiters;
    }
    // Gives the section a fresh wait list under this kernel, unowned.
    void newLock(CRITICAL_SECTION* section);

    // Verifier.cpp
    // The start of every call into the CE surface that is a system call: a
    // preemption point, and forbidden inside a power handler.
    // Inline: every CE call starts here.
    void systemCall(const char* name)
    {
        if (powerHandler != nullptr) [[unlikely]]
            callInPowerHandler(name);
        // Cooperative mode has no point here (unless counted), so no thread
        // can see the mark.
        if (!passesPoints) return;
        // A thread stopped here is making a kernel call: it cannot be suspended.
        Thread* self = current;
        if (self != nullptr) self->enteringCall = true;
        preemptionPoint();
        if (self != nullptr) self->enteringCall = false;
    }
    void callInPowerHandler(const char* name);
    void report(const std::string& what);
    // Held by a suspension of its own or by the system's.
    bool held(const Thread* t) const { return t->suspendCount > 0 || (systemSuspended && t != systemCaller); }
    Thread* threadById(DWORD id) const { return id >= 1 && id <= threads.size() ? threads[id - 1] : nullptr; }
};

// The live kernel (a platform call with none alive aborts): inline, since every
// call into the CE surface asks for it.
extern Kernel::Impl* gLiveKernel;
[[noreturn]] void noLiveKernel();
inline Kernel::Impl& kernelImpl()
{
    if (gLiveKernel == nullptr) [[unlikely]]
        noLiveKernel();
    return *gLiveKernel;
}

}  // namespace sim
