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
// Nothing here runs in cooperative mode, which keeps its exact timing; but
// a cooperative run may count its points (countPoints), for the systematic
// exploration below.
#include "sim/kernel/KernelImpl.h"
#include "sim/kernel/RaceDetector.h"

#include "platform/ce/Shared.h"

#include <cstdio>
#include <cstdlib>
#include <execinfo.h>

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
    if (landing) {
        landingStep();
        return;
    }
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

// Landing: systematic exploration with a preemption bound of one (Musuvathi
// and Qadeer's CHESS). A counting pass plays a scenario cooperatively and
// records the points of a stretch of it; each replay makes one forced switch
// at one of them and is cooperative everywhere else, so a failure found there
// reproduces from the scenario and the point number alone.
//
// A point's place is a digest of the return addresses on the stack where it
// is passed: the shared-value access or the CE call and the calls that led
// there. So the same access reached from two callers are two places, and a
// poll passed a thousand times is one.
namespace sim {

namespace {
constexpr int kPlaceFrames = 12;
}  // namespace

void Kernel::countPoints()
{
    Impl& k = *impl_;
    if (k.preemptive()) fatal("points are counted for landings in the cooperative mode only");
    k.landing = true;
    k.passesPoints = true;
    k.nextMarkedPoint = 0;  // every point goes to landingStep
    gCePreemptive = true;
}

void Kernel::recordPlaces(bool on)
{
    impl_->recordingPlaces = on;
}

const std::vector<Kernel::PointPlace>& Kernel::recordedPlaces() const
{
    return impl_->placesSeen;
}

void Kernel::landAt(std::uint64_t point, std::function<void()> release, HANDLE thread)
{
    Impl& k = *impl_;
    Waitable* object = k.lookup(thread);
    if (object == nullptr || object->kind != Waitable::ThreadObject) fatal("a landing needs a live thread");
    if (point <= k.points) fatal("a landing is asked for a point already passed");
    k.landings.push_back({point, std::move(release), static_cast<Thread*>(object)});
    std::sort(k.landings.begin(), k.landings.end(),
              [](const Impl::Landing& a, const Impl::Landing& b) { return a.point > b.point; });
}

void Kernel::watchPoints(std::function<void()> watch)
{
    impl_->pointWatch = std::move(watch);
}

std::uint32_t Kernel::landed() const
{
    return impl_->landedCount;
}

void Kernel::Impl::recordPlace()
{
    void* frames[kPlaceFrames];
    const int n = backtrace(frames, kPlaceFrames);
    // FNV-1a over the addresses: the same stack gives the same digest.
    std::uint64_t digest = 0xcbf2'9ce4'8422'2325u;
    for (int i = 0; i < n; ++i) {
        digest ^= reinterpret_cast<std::uintptr_t>(frames[i]);
        digest *= 0x100'0000'01b3u;
    }
    placesSeen.push_back({points, current->id, digest});
}

// A counted point: nothing costs time and nothing switches, except at the
// landing's point, where the thread passing it yields to the landing thread
// (made ready by the release) and goes on when the cooperative schedule
// comes back to it.
void Kernel::Impl::landingStep()
{
    if (recordingPlaces) recordPlace();
    if (pointWatch) {
        ++atomicDepth;
        pointWatch();
        --atomicDepth;
    }
    if (landings.empty() || landings.back().point != points) return;
    Landing landing = std::move(landings.back());
    landings.pop_back();
    ++atomicDepth;
    landing.release();
    --atomicDepth;
    Thread* to = landing.thread;
    if (to->state != Thread::Ready || held(to) || to == current) return;
    ++landedCount;
    cancelWake(to);
    const auto tie = static_cast<std::uint32_t>(streams[unsigned(Stream::Scheduler)].next());
    const TimelineEntry entry = TimelineEntry::wake(now, tie, sequence++, to);
    makeReady(current);
    ++preemptions;
    blockCooperative(&entry);
}

}  // namespace sim

bool gCePreemptive = false;
