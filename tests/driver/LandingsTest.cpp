// Every ordered pair of the device's callers and the driver's own events,
// the second landing at every place the first passes in the driver's code
// (tests/support/Landing.h), and triples where the first is the unload or a
// power call, sampled. The callers are a table and the pairs a rule
// (tests/driver/LandingCallers.h); after each landing the driver must be as
// the inputs it recorded say.
#include "channel/ChannelState.h"
#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "driver/Lifecycle.h"
#include "driver/WorkerParking.h"
#include "tests/driver/LandingCallers.h"
#include "tests/support/DriverFixtures.h"
#include "tests/support/Landing.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace {

// The power manager's and the application's power calls wait for the
// workers to park, which each does within a step of its loop: a second is
// far beyond (the park's own bound, for a bus that holds a transfer, is two).
constexpr sim::Micros kPowerCallBound = 1'000'000;

// A call as the run's watch sees it (a prepare's: the power manager's D3 or
// the application's suspend): the start and return of a power call, a call
// that may post a power-up's recovery, the unload's start.
void watched(Stage& s, const CallerKind& c, bool prepare, const std::function<void()>& body)
{
    using corvane::soak::PowerCall;
    const bool system = std::string(c.name) == "system-power" || std::string(c.name) == "resume-work";
    std::optional<PowerCall> call;
    unsigned state = 0;
    if (c.sets & kPowerManager) call = PowerCall::PowerManager, state = prepare ? 3 : unsigned(c.value);
    if (c.sets & kApplication) call = prepare || c.value == 1 ? PowerCall::Suspend : PowerCall::Resume;
    if (system) call = PowerCall::SystemSuspend;
    const bool powerUp = !prepare && (system || (c.sets & kLoad) || ((c.sets & kPowerManager) && state < 2) ||
                                      ((c.sets & kApplication) && c.value == 0));
    RunWatch& w = s.watch;
    if (c.sets & kUnload) w.off.stop(s.kernel.now());
    w.look(s.kernel, s.world);
    if (call) w.off.callStarted(s.kernel.now(), *call, state, corvane::soak::viewReceiver(s.world));
    w.powerUpsUnderWay += powerUp;
    w.loading = (c.sets & kLoad) != 0;
    unsigned& sameKind = (c.sets & kPowerManager) ? w.managerCalls : w.applicationCalls;
    if (call && !system) w.overlapped |= sameKind++ > 0;
    w.callsUnderWay += call.has_value();
    body();
    w.look(s.kernel, s.world);
    w.loading = false;
    w.powerUpsUnderWay -= powerUp;
    if (call && !system) --sameKind;
    if (call && --w.callsUnderWay == 0 && w.overlapped) {
        // Two calls of one caller overlapped: the power guard took them in an
        // order their starts do not tell, and the driver's record of it under
        // the guard says which came last.
        const LifecycleState& life = gDriver.lifecycle;
        const auto seen = corvane::soak::viewReceiver(s.world);
        w.off.callStarted(s.kernel.now(), PowerCall::PowerManager, life.powerManagerOff.load() ? 3 : 0, seen);
        w.off.callStarted(s.kernel.now(), life.appSuspended.load() ? PowerCall::Suspend : PowerCall::Resume, 0, seen);
        w.off.callReturned(s.kernel.now(), PowerCall::PowerManager, seen);
        w.off.callReturned(s.kernel.now(), PowerCall::Resume, seen);
        w.overlapped = false;
    }
    if (call) w.off.callReturned(s.kernel.now(), *call, corvane::soak::viewReceiver(s.world));
}

void callTimed(Stage& s, const CallerKind& c)
{
    const sim::Micros from = s.kernel.now();
    watched(s, c, false, [&] { c.call(s); });
    if (c.sets & (kPowerManager | kApplication))
        s.longestPowerCall = std::max(s.longestPowerCall, s.kernel.now() - from);
}

// The receiver runs: workers released, no request left, the chip out of
// reset on an open bus, and a command is carried out.
void expectRunning(Stage& s)
{
    const LifecycleState& life = gDriver.lifecycle;
    // A recovery the calls left (a tune a trigger disturbed asks for one
    // more) ends within its pause, reset and retune.
    Stage::waitFor([&] { return Stage::recovered() && !s.world.chip().inReset(); }, 10'000);
    EXPECT_EQ(life.driverState.load(), kDriverRunning);
    EXPECT_EQ(life.parkRequest.load(), 0) << "the workers are left parked";
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestNone) << "a request is left behind";
    EXPECT_FALSE(s.world.chip().inReset());
    EXPECT_EQ(s.world.bus().openHandles(), 1u);
    const unsigned target = s.world.chip().frequency() == 9470 ? 10120 : 9470;
    s.device.readPort();
    s.tune(target);
    Sleep(3000);
    EXPECT_EQ(s.world.chip().frequency(), target)
        << "a command after it all is carried out (request " << +gDriver.control.controlRequest.load() << ", bus off "
        << +gDriver.tuner.i2cOff.load() << ", power-up owed " << +gDriver.control.powerUpOwed.load() << ", chip "
        << (s.world.chip().inReset() ? "in reset" : "out of reset") << ", " << s.world.bus().openHandles()
        << " bus handles)";
}

// The receiver is off: request 200 kept, every worker parked, the chip in
// reset, the bus closed, and nothing a command asks reaches the chip.
void expectOff(Stage& s)
{
    const LifecycleState& life = gDriver.lifecycle;
    EXPECT_EQ(life.driverState.load(), kDriverPoweredDown);
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestPoweredDown);
    EXPECT_EQ(life.parkRequest.load(), 1);
    const HANDLE workers[] = {life.groupThread, life.interruptThread, life.controlThread, life.readerThread};
    for (unsigned w = 0; w < kWorkerCount; ++w)
        if (workers[w] != nullptr) {
            EXPECT_EQ(life.parked[w].load(), life.parkRound.load()) << "worker " << w << " is not parked while off";
        }
    EXPECT_TRUE(s.world.chip().inReset());
    EXPECT_EQ(s.world.bus().openHandles(), 0u);
    const std::uint64_t transfers = s.world.bus().transfers();
    s.tune(9470);
    s.device.writePort("$PLTCM,H2,10120\r\n");
    Sleep(3000);
    EXPECT_EQ(s.world.bus().transfers(), transfers) << "nothing reaches the chip while off";
    EXPECT_TRUE(s.world.chip().inReset());
}

// Nothing is left behind by whatever met: no stop flag, no lock held.
void expectNothingHeld()
{
    const LifecycleState& life = gDriver.lifecycle;
    for (const Shared<std::uint8_t>* stop :
         {&life.stopGroupThread, &life.stopInterruptThread, &life.stopControlThread, &life.stopReaderThread})
        EXPECT_EQ(stop->load(), 0) << "a stop flag is left set";
    for (const CRITICAL_SECTION* lock : std::initializer_list<const CRITICAL_SECTION*>{
             &life.powerGuard, &gDriver.channel.commandGuard, &gDriver.channel.outputRing.guard,
             &gDriver.channel.inputRing.guard, &gDriver.rds.groupQueue.guard, &gDriver.rds.decoder.guard})
        EXPECT_EQ(lock->OwnerThread, 0u) << "a lock is left held";
    EXPECT_EQ(gDriver.tuner.busGuard.load(), 0) << "the bus guard is left taken";
}

// What the calls that met recorded of one input (the power manager's state
// or the application's suspend): unchanged from the prepared value when no
// call set it, that call's value when one did, one of theirs when several did.
void expectRecorded(const char* what, unsigned seen, int prepared, const std::vector<int>& set)
{
    if (set.empty()) {
        EXPECT_EQ(seen, unsigned(prepared)) << what << " changed though no call set it";
        return;
    }
    bool one = false;
    for (int v : set) one |= seen == unsigned(v);
    EXPECT_TRUE(one) << what << " is " << seen << ", which no call that met set";
}

// One play: the first call, the later ones landing at `points` (or after the
// first returned, in the counting pass, which also records the first's span).
landing::Played playOnce(const std::vector<const CallerKind*>& calls, const std::vector<std::uint64_t>& points,
                         const std::string& line)
{
    SCOPED_TRACE("reproduce: " + line);
    landing::Played played;
    Stage s;
    const CallerKind& first = *calls[0];
    if (!(first.sets & kLoad)) {
        s.device.init();
        Sleep(1000);
    }
    // The prepared inputs: the power manager's off (D2 to D4) and the suspend.
    int pmOff = 0, suspended = 0;
    s.watch.start();
    s.kernel.watchPoints([&s] { s.watch.look(s.kernel, s.world); });
    // What the events prepare first: the power calls' prepares may leave
    // the receiver off, and a prepare's own store is no command.
    std::vector<const CallerKind*> prepares(calls);
    std::stable_partition(prepares.begin(), prepares.end(), [](const CallerKind* c) { return !c->powerCall(); });
    for (const CallerKind* c : prepares) {
        if (c->prepare == nullptr || (first.sets & kLoad)) continue;
        watched(s, *c, true, [&] { c->prepare(s); });
        if (c->sets & kPowerManager) pmOff = 1;
        if (c->sets & kApplication) suspended = 1;
    }
    if (!(first.sets & kLoad)) {
        Sleep(6000);
        s.device.readPort();
    }

    std::vector<std::unique_ptr<CallThread>> later;
    for (std::size_t i = 1; i < calls.size(); ++i) {
        const CallerKind* c = calls[i];
        later.push_back(std::make_unique<CallThread>(
            s, *c,
            [&s, c] {
                callTimed(s, *c);
                if (c->settle != nullptr) c->settle(s);
            },
            true));
    }
    for (std::size_t i = 0; i < points.size() && i < later.size(); ++i) {
        CallThread* call = later[i].get();
        s.kernel.landAt(
            points[i], [call] { call->release(); }, call->handle());
    }
    const bool counting = points.empty();
    std::uint64_t spanStart = 0, callEnd = 0;
    CallThread firstCall(
        s, first,
        [&] {
            s.kernel.recordPlaces(counting);
            spanStart = s.kernel.preemptionPoints();
            callTimed(s, first);
            callEnd = s.kernel.preemptionPoints();
            if (first.settle != nullptr) first.settle(s);
            s.kernel.recordPlaces(false);
        },
        false);
    EXPECT_TRUE(firstCall.join()) << first.name << " did not return";
    // Calls that did not land go after the first, one after the other; none
    // after an unload (the library is gone).
    for (auto& call : later) {
        if (call->released()) continue;
        if (first.sets & kUnload) call->skip();
        call->release();
        EXPECT_TRUE(call->join());
    }
    for (auto& call : later) EXPECT_TRUE(call->join()) << "a call that met did not return";
    played.landed = s.kernel.landed();
    if (counting) {
        const DWORD firstId = s.kernel.threadId(firstCall.handle());
        std::vector<DWORD> skipped{1};
        for (auto& call : later) skipped.push_back(s.kernel.threadId(call->handle()));
        for (const sim::Kernel::PointPlace& p : s.kernel.recordedPlaces()) {
            if (p.point < spanStart || std::find(skipped.begin(), skipped.end(), p.thread) != skipped.end()) continue;
            if (p.thread == firstId && p.point > callEnd) continue;  // the settle's own polling
            played.span.push_back({p.point, p.place * 31 + p.thread});
        }
    }

    Sleep(6000);  // a power-up's recovery is over
    s.kernel.watchPoints(nullptr);
    EXPECT_EQ(s.watch.failure, "") << "a rule broken during the run";
    bool unloaded = false;
    std::vector<int> pmSet, appSet;
    for (const CallerKind* c : calls) {
        unloaded |= (c->sets & kUnload) != 0;
        if (c->sets & kPowerManager) pmSet.push_back(c->value >= 2);
        if (c->sets & kApplication) appSet.push_back(c->value);
    }
    if (unloaded) {
        EXPECT_EQ(s.kernel.liveThreads(), 1u) << "a worker outlived the unload";
        EXPECT_LE(s.unloadTook, sim::Micros(kThreadEndWaitMs) * 1000) << "the unload's bound";
        EXPECT_EQ(s.world.bus().openHandles(), 0u);
        EXPECT_TRUE(s.world.chip().inReset());
        s.device.init();  // and a load after it all runs
        Sleep(1000);
        expectNothingHeld();
        expectRunning(s);
    } else {
        const LifecycleState& life = gDriver.lifecycle;
        expectRecorded("the power manager's off", life.powerManagerOff.load(), pmOff, pmSet);
        expectRecorded("the application's suspend", life.appSuspended.load(), suspended, appSet);
        expectNothingHeld();
        if (life.powerManagerOff.load() == 0 && life.appSuspended.load() == 0) {
            expectRunning(s);
        } else {
            expectOff(s);
            s.device.setPowerState(0);
            s.device.suspendResume(1);
            Sleep(6000);
            expectRunning(s);
        }
    }
    EXPECT_LE(s.longestPowerCall, kPowerCallBound) << "a power call waited for a worker that did not park";
    EXPECT_EQ(s.world.protocolViolations(), 0u);
    if (std::getenv("CORVANE_LANDING_DEBUG") != nullptr)
        for (const sim::DebugLine& line : s.kernel.debugLog())
            std::printf("%10.3f [%lu] %s", double(line.time) / 1e6, static_cast<unsigned long>(line.threadId),
                        line.text.c_str());
    for (const std::string& report : s.reports) ADD_FAILURE() << "verifier: " << report;
    s.kernel.setVerifierHandler(nullptr);
    return played;
}

// Landings that fail on faults found in the power handlers and not mended
// yet. They are still played and their reproduce lines printed, but their
// failures are not the test's; a pair of them that no longer fails does fail
// it, so that the list is cut back with the mend.
// None is known today.
const std::vector<std::string> kKnownFaults;

// A landing asked for by its line shows its failures, known or not.
bool gOneLanding = false;

bool knownFault(const std::string& names)
{
    return !gOneLanding && std::find(std::begin(kKnownFaults), std::end(kKnownFaults), names) != std::end(kKnownFaults);
}

std::string namesOf(const std::vector<const CallerKind*>& calls);

// One play, its failures taken aside: they are the test's unless the calls
// are a known fault.
landing::Played play(const std::vector<const CallerKind*>& calls, const std::vector<std::uint64_t>& points,
                     const std::string& line)
{
    testing::TestPartResultArray failures;
    landing::Played played;
    {
        testing::ScopedFakeTestPartResultReporter aside(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        played = playOnce(calls, points, line);
    }
    for (int i = 0; i < failures.size(); ++i) {
        const testing::TestPartResult& failure = failures.GetTestPartResult(i);
        if (!failure.failed()) continue;
        played.failed = true;
        if (!knownFault(namesOf(calls)))
            ADD_FAILURE_AT(failure.file_name(), failure.line_number()) << failure.message();
    }
    return played;
}

std::string namesOf(const std::vector<const CallerKind*>& calls)
{
    std::string names;
    for (const CallerKind* c : calls) names += (names.empty() ? "" : ",") + std::string(c->name);
    return names;
}

std::string reproduceLine(const std::vector<const CallerKind*>& calls, const std::vector<std::uint64_t>& points)
{
    std::string line = "CORVANE_SEED=" + std::to_string(testSeed()) + " CORVANE_LANDING=" + namesOf(calls);
    for (std::size_t i = 0; i < points.size(); ++i) line += (i == 0 ? "@" : ",") + std::to_string(points[i]);
    return line + " ./build/default/corvane_tests --gtest_filter='Landings.*'";
}

void expectFailuresAsKnown(const std::string& names, const landing::Coverage& coverage, bool onePoint)
{
    if (!knownFault(names)) {
        EXPECT_EQ(coverage.failures, 0u) << names;
    } else if (!onePoint) {
        std::printf("landings %s: a known fault, %zu landings failing\n", names.c_str(), coverage.failures);
        EXPECT_GT(coverage.failures, 0u) << names << " no longer fails: take it off kKnownFaults";
    }
}

landing::Coverage explore(const std::vector<const CallerKind*>& calls, const landing::Selection& selection)
{
    const auto playThem = [&](const std::vector<std::uint64_t>& points) {
        return play(calls, points, reproduceLine(calls, points));
    };
    const auto line = [&](const std::vector<std::uint64_t>& points) { return reproduceLine(calls, points); };
    std::optional<std::vector<std::uint64_t>> only;
    if (!selection.points.empty()) only = selection.points;
    const landing::Coverage coverage =
        landing::explore(playThem, line, selection.extra, testSeed(), only, selection.everyPointUpTo);
    landing::printCoverage(namesOf(calls), coverage);
    expectFailuresAsKnown(namesOf(calls), coverage, only.has_value());
    EXPECT_EQ(coverage.placesLanded, coverage.placesPassed) << namesOf(calls) << ": a place not landed on";
    return coverage;
}

// Triples: the unload or a power call first, two calls landing in its span,
// the third soon after the second; a fixed seeded sample of them.
constexpr std::size_t kTriples = 60;
constexpr unsigned kTripleLandings = 8;
constexpr unsigned kThirdWithin = 400;  // points after the second's landing

std::vector<std::vector<const CallerKind*>> sampledTriples()
{
    std::vector<std::vector<const CallerKind*>> all;
    for (const CallerKind& a : kCallers)
        for (const CallerKind& b : kCallers)
            for (const CallerKind& c : kCallers)
                if (a.powerCall() && canMeet(a, b) && canMeet(a, c) && canMeet(b, c)) all.push_back({&a, &b, &c});
    sim::Random draw(0x7472'6970'6c65u);
    std::vector<std::vector<const CallerKind*>> sample;
    while (sample.size() < kTriples && !all.empty()) {
        const std::uint32_t at = draw.below(static_cast<std::uint32_t>(all.size()));
        sample.push_back(all[at]);
        all.erase(all.begin() + at);
    }
    return sample;
}

landing::Coverage exploreTriple(const std::vector<const CallerKind*>& calls, std::uint64_t seed)
{
    const auto playThem = [&](const std::vector<std::uint64_t>& points) {
        return play(calls, points, reproduceLine(calls, points));
    };
    const auto line = [&](const std::vector<std::uint64_t>& points) { return reproduceLine(calls, points); };
    const landing::Coverage coverage =
        landing::exploreTwoLandings(playThem, line, kTripleLandings, kThirdWithin, testSeed() * 1000 + seed);
    landing::printCoverage(namesOf(calls), coverage);
    expectFailuresAsKnown(namesOf(calls), coverage, false);
    return coverage;
}

// The pairs the whole exploration takes, in a fixed order.
std::vector<std::vector<const CallerKind*>> everyPair()
{
    std::vector<std::vector<const CallerKind*>> pairs;
    for (const CallerKind& first : kCallers)
        for (const CallerKind& second : kCallers)
            if (canMeet(first, second)) pairs.push_back({&first, &second});
    return pairs;
}

}  // namespace

// A fixed sample in the default suite; every pair with CORVANE_LANDINGS=all
// (make explore-all), or the one CORVANE_LANDING names.
TEST(Landings, EveryOrderedPairOfCallersLandsAtEveryPlaceOfTheFirst)
{
    landing::Selection selection = landing::selectionFromEnvironment();
    gOneLanding = !selection.points.empty();
    if (!selection.names.empty()) {
        std::vector<const CallerKind*> calls;
        for (const std::string& name : selection.names) {
            const CallerKind* c = callerNamed(name);
            ASSERT_NE(c, nullptr) << "no caller " << name;
            calls.push_back(c);
        }
        if (calls.size() < 3 || !selection.points.empty()) {
            explore(calls, selection);
        } else {
            const auto triples = sampledTriples();
            const auto it = std::find(triples.begin(), triples.end(), calls);
            exploreTriple(calls, it == triples.end() ? 0 : std::size_t(it - triples.begin()));
        }
        return;
    }
    const auto pairs = everyPair();
    static const char* const kSample[][2] = {{"D3", "unload"},
                                             {"unload", "suspend"},
                                             {"unload", "private-command"},
                                             {"load", "system-power"},
                                             {"resume-work", "D3"}};
    // Under the sanitizers and the processor emulator a replay costs tens of
    // times more: the suite's sample is the first pair, at the first and last
    // point of each place (the native suite and CI's sample take the rest).
#if defined(CORVANE_ASAN) || defined(CORVANE_TSAN) || defined(CORVANE_EMULATED)
    constexpr std::size_t kSampled = 1;
    if (!selection.all && std::getenv("CORVANE_LANDING_EVERY") == nullptr) selection.everyPointUpTo = 0;
#else
    constexpr std::size_t kSampled = std::size(kSample);
#endif
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (!selection.takes(i)) continue;
        bool sampled = selection.all;
        for (const auto& pair : std::span(kSample, kSampled))
            sampled |= pairs[i][0]->name == std::string(pair[0]) && pairs[i][1]->name == std::string(pair[1]);
        if (sampled) explore(pairs[i], selection);
    }
    if (!selection.all) return;
    const auto triples = sampledTriples();
    for (std::size_t i = 0; i < triples.size(); ++i)
        if (selection.takes(pairs.size() + i)) exploreTriple(triples[i], i);
}

// The kernel's side of it: counted points cost no time and switch nothing, a
// watch looks at each (before its access); a landing hands the processor to
// the waiting thread at its point, there and only there.
TEST(Landings, ALandingSwitchesOnceAtItsPointAndCountedPointsCostNothing)
{
    sim::Kernel kernel(testKernelOptions(sim::Schedule::Cooperative));
    kernel.countPoints();
    Shared<std::uint32_t> value{0};
    struct Waiter {
        HANDLE arrival = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        Shared<std::uint32_t>* value;
        std::uint32_t seen = 99;
    } waiter{.value = &value};
    const HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* w = static_cast<Waiter*>(p);
            WaitForSingleObject(w->arrival, INFINITE);
            w->seen = w->value->load();
            return 0;
        },
        &waiter, 0, nullptr);
    Sleep(1);  // the waiter waits
    const std::uint64_t from = kernel.preemptionPoints();
    const sim::Micros then = kernel.now();
    // A watch runs at every point, and its own reads are none.
    std::uint32_t looks = 0, lastSeen = 0;
    kernel.watchPoints([&] {
        ++looks;
        lastSeen = value.load();
    });
    kernel.landAt(
        from + 3, [&] { SetEvent(waiter.arrival); }, thread);
    for (std::uint32_t i = 1; i <= 10; ++i) value.store(i);  // store i passes point from + i first
    EXPECT_EQ(kernel.now(), then) << "a counted point costs no time";
    EXPECT_EQ(kernel.preemptionPoints(), from + 11) << "the ten stores and the waiter's load";
    EXPECT_EQ(looks, 11u);
    EXPECT_EQ(lastSeen, 9u) << "a look comes before its point's access: the last, before the last store";
    kernel.watchPoints(nullptr);
    EXPECT_EQ(kernel.landed(), 1u);
    EXPECT_EQ(waiter.seen, 2u) << "the waiter ran at the third point, before the third store";
    WaitForSingleObject(thread, 1000);
    CloseHandle(thread);
    CloseHandle(waiter.arrival);
}
