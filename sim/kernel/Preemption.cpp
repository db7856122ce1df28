// Preemption as the device has it, for the preemptive scheduling modes.
//
// Every call a simulated thread makes into the CE surface, and every access to
// a value the driver shares between threads, is a preemption point. At a point:
// - a few microseconds of virtual time pass, and the hardware events that
//   fall due meanwhile run, so an interrupt or a finished tune lands in the
//   middle of a driver sequence. A point costs kPointCost; where a hardware
//   event or a wake falls within the most a point may cost, the cost is drawn
//   (0 to kMaxPointCost), so the seed decides on which side of the point the
//   event lands;
// - a thread whose suspension count is above zero stops there, whatever
//   critical sections it holds (SuspendThread on the device stops a user
//   thread in its own code wherever it is; kernel threads it does not stop);
// - the processor goes to a ready thread that should run first: a higher CE
//   priority (random mode) or a higher drawn priority (pct); an equal priority
//   once the running thread's time slice is used up; and in random mode, with
//   a seeded chance, to any other ready thread drawn at random, priority or
//   not. That last rule is stricter than the device, whose single processor
//   never runs a lower priority while a higher one is ready: the driver must
//   not rely on priorities for correctness, since its threads' priorities come
//   from the registry and the application's threads are not ours to know.
//
// In random mode that chance is one in two (setRandomSwitchChance): every
// thread that is ready, a harness caller or a worker a hardware event woke,
// cuts into the running one within a few points, whatever the priorities.
//
// pct (Burckhardt et al., probabilistic concurrency testing) runs in rounds of
// kPctRound points: each round gives every live thread a fresh random priority
// and draws two change points in it; at a change point the running thread
// drops below every other. One round is the scheme as published (depth 3 over
// kPctRound steps); rounds repeat it over a run of hours. Besides, a point
// where another thread is due is a change point with a seeded chance
// (kPctChoiceChange): the scheme's steps counted where a choice exists, as
// Coyote counts them, so that the change points fall where they change
// something.
//
// Most points change nothing: no other thread is due, no hardware event falls
// due, no alarm or pct change point is reached and the thread is not held.
// Such a point costs a compare and a counter (and its fixed time), no draw
// and no search: draws are made only where a choice exists.
//
// Nothing here runs in cooperative mode, which keeps its exact timing.
#include "sim/kernel/KernelImpl.h"
#include "sim/kernel/RaceDetector.h"

#include "platform/ce/Shared.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {
constexpr Micros kQuantum = 100'000;  // time slice among equal priorities (CE default)
constexpr std::uint64_t kPctRound = 20'000;
constexpr double kPctChoiceChange = 1.0 / 3;  // pct: chance of a change point where another thread is due
constexpr std::uint32_t kDemoted = 0x8000'0000u;

[[noreturn]] void fatal(const char* what)
{
    std::fprintf(stderr, "simulated kernel: %s\n", what);
    std::fflush(stderr);
    std::abort();
}
}  // namespace

const char* scheduleName(Schedule schedule)
{
    switch (schedule) {
    case Schedule::Random:
        return "random";
    case Schedule::Pct:
        return "pct";
    case Schedule::Cooperative:
        break;
    }
    return "cooperative";
}

std::optional<Schedule> parseSchedule(std::string_view name)
{
    for (Schedule s : {Schedule::Cooperative, Schedule::Random, Schedule::Pct})
        if (name == scheduleName(s)) return s;
    return std::nullopt;
}

std::uint64_t Kernel::Impl::rank(const Thread* t) const
{
    return options.schedule == Schedule::Pct ? t->pctRank : static_cast<std::uint64_t>(t->priority);
}

// Inline at its callers, the preemptive blocking step and a point: twice a switch.
[[gnu::always_inline]] inline Thread* Kernel::Impl::bestDue(const Thread* except) const
{
    if (timeline.wakes.firstTime() > now) return nullptr;  // none due: the earliest is later
    const TimelineEntry* best = nullptr;
    timeline.wakes.forEachDue(now, [&](const TimelineEntry& e) {
        if (e.thread() == except) return;
        if (best == nullptr || rank(e.thread()) < rank(best->thread()) ||
            (rank(e.thread()) == rank(best->thread()) && e.tieBreak < best->tieBreak))
            best = &e;
    });
    return best != nullptr ? best->thread() : nullptr;
}

Thread* Kernel::Impl::randomDue(const Thread* except)
{
    // The queue's order depends only on the order of additions and removals,
    // which the seed decides: the draw is reproducible.
    std::uint32_t count = 0;
    timeline.wakes.forEachDue(now, [&](const TimelineEntry& e) { count += e.thread() != except; });
    if (count == 0) return nullptr;
    std::uint32_t pick = streams[unsigned(Stream::Scheduler)].below(count);
    Thread* chosen = nullptr;
    timeline.wakes.forEachDue(now, [&](const TimelineEntry& e) {
        if (e.thread() != except && pick-- == 0) chosen = e.thread();
    });
    return chosen;
}

// Inline in the preemptive blocking step, its only caller: a million an hour in a soak.
[[gnu::always_inline]] inline bool Kernel::Impl::claim(Thread* t)
{
    cancelWake(t);                      // its queued entry is used up
    if (t->state == Thread::Waiting) {  // the wait timed out
        std::erase(t->waitingOn->waiters, t);
        t->waitingOn = nullptr;
        t->waitResult = WAIT_TIMEOUT;
    }
    if (held(t)) {
        t->state = Thread::Parked;
        return false;
    }
    t->state = Thread::Running;
    return true;
}

// The running thread gives up the processor (it blocked, or it yields at a
// point after making itself ready). `chosen`, when set, is due and runs next.
void Kernel::Impl::blockPreemptive(Thread* chosen)
{
    Thread* self = current;
    const bool exiting = self->state == Thread::Exited;
    for (;;) {
        runDueEvents(now);
        Thread* next = chosen != nullptr ? chosen : bestDue(nullptr);
        chosen = nullptr;
        if (next == nullptr) {
            if (timeline.empty())
                fatal(exiting ? "the last runnable thread exited: every other thread waits forever"
                              : "deadlock: every simulated thread waits forever and no hardware event is due");
            const Micros when = timeline.next();
            pace(when);
            if (when > now) now = when;
            continue;
        }
        if (!claim(next)) continue;
        sliceStart = now;
        if (next == self) return;
        switchTo(next, exiting);
        return;
    }
}

void Kernel::Impl::slowPointMarked()
{
    slowPoint(current);
    markNextPoint();
}

void Kernel::Impl::pctNewRound()
{
    Random& r = streams[unsigned(Stream::Scheduler)];
    for (Thread* t : threads)
        if (t->state != Thread::Exited) t->pctRank = r.below(1u << 30);
    pctDemotions = 0;
    pctChange[0] = points + r.below(kPctRound);
    pctChange[1] = points + r.below(kPctRound);
    pctRoundEnd = points + kPctRound;
}

void Kernel::Impl::markNextPoint()
{
    std::uint64_t mark = ~std::uint64_t(0);
    if (!pointAlarms.empty()) mark = pointAlarms.begin()->first;
    if (options.schedule == Schedule::Pct) {
        mark = std::min(mark, pctRoundEnd);
        for (std::uint64_t change : pctChange)
            if (change > points) mark = std::min(mark, change);
    }
    nextMarkedPoint = mark;
}

void Kernel::Impl::pctStep()
{
    if (points >= pctRoundEnd) pctNewRound();
    if (points == pctChange[0] || points == pctChange[1]) current->pctRank = kDemoted + ++pctDemotions;
}

void Kernel::Impl::slowPoint(Thread* self)
{
    if (!pointAlarms.empty() && pointAlarms.begin()->first <= points) firePointAlarms();
    Random& r = streams[unsigned(Stream::Scheduler)];
    const Micros cost = timeline.next() > now + kMaxPointCost ? kPointCost : r.below(kMaxPointCost + 1);
    if (cost > 0) {
        runDueEvents(now + cost);
        pace(now + cost);
        now += cost;
    }
    if (held(self)) {  // stops here, whatever it holds
        self->state = Thread::Parked;
        cancelWake(self);
        block();
        return;
    }
    if (options.schedule == Schedule::Pct) pctStep();
    // The timeline is ordered by time: nothing at its top due means no other
    // thread is ready (the common case, and a cheap one).
    if (timeline.wakes.firstTime() > now) return;  // kNever when none is queued
    Thread* next = bestDue(self);
    if (next == nullptr) return;
    const bool higher = rank(next) < rank(self);
    const bool sliceOver = rank(next) == rank(self) && now - sliceStart >= kQuantum;
    if (!higher && !sliceOver) {
        if (options.schedule == Schedule::Pct) {
            // A change point drawn among the points where another thread
            // could run: the running thread drops below every other there.
            if (!r.chance(kPctChoiceChange)) return;
            self->pctRank = kDemoted + ++pctDemotions;
            next = bestDue(self);
        } else {
            if (!r.chance(randomSwitchChance)) return;
            next = randomDue(self);
        }
    }
    makeReady(self);
    ++preemptions;
    blockPreemptive(next);
}

}  // namespace sim

namespace sim {

void Kernel::Impl::firePointAlarms()
{
    while (!pointAlarms.empty() && pointAlarms.begin()->first <= points) {
        const HardwareEvents::Id id = hardwareEvents.add(pointAlarms.begin()->second);
        pointAlarms.erase(pointAlarms.begin());
        const std::uint32_t tie = static_cast<std::uint32_t>(streams[unsigned(Stream::Scheduler)].next());
        timeline.events.push(TimelineEntry::hardware(now, tie, sequence++, id));
    }
    runDueEvents(now);
}

}  // namespace sim

bool gCePreemptive = false;
