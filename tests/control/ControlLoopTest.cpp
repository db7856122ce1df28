// The control loop: the idle ticks, requests taken between them, the TMC
// quality running down into an automatic search, and the tuner recovery.
#include "ControlRig.h"

#include <memory>

namespace controltest {
namespace {

using ControlLoop = ControlRig;

TEST_F(ControlLoop, IdleTicksReportOnceASecondAndARequestIsTakenWithinOneStep)
{
    world.addStation(9100, 42, 25);
    bringUp();
    gDriver.control.autoSearch.store(0);
    setFlags(kFilterDebug);
    runFor(10'000);

    // 99 steps of 10 ms and the tick: one report and one debug line a tick.
    const std::vector<Status> ticks = liveStatuses(8750);
    ASSERT_EQ(ticks.size(), 10u);
    for (std::size_t i = 1; i < ticks.size(); ++i) EXPECT_EQ(ticks[i].time - ticks[i - 1].time, 990 * kMs);
    EXPECT_EQ(countLines("$GPDBG,ISR,"), ticks.size());
    for (const Line& line : lines) {
        if (line.text.rfind("$GPDBG", 0) == 0) {
            EXPECT_EQ(line.text.substr(0, 42), "$GPDBG,ISR,0,bank 0, M0, S0, RDS0, TMC0,0*");
        }
    }

    // Without the debug flag, the reports alone.
    setFlags(0, kFilterDebug);
    const sim::Micros quiet = kernel.now();
    runFor(3000);
    EXPECT_EQ(liveStatuses(8750, quiet).size(), 3u);
    EXPECT_EQ(countLines("$GPDBG", quiet), 0u);

    // A request half-way through a second: taken within 10 ms, and the tick
    // of that second does not run.
    runFor(400);
    const sim::Micros written = kernel.now();
    gDriver.rds.tmcQuality.store(40);
    request(kRequestTune, 9100);
    const sim::Micros tuning = runUntil([&] { return world.chip().tuning(); }, 50);
    ASSERT_NE(tuning, 0u);
    EXPECT_LE(tuning - written, 10 * kMs);
    EXPECT_EQ(tmcQuality(), 0);
    runFor(900);
    EXPECT_TRUE(liveStatuses(8750, written).empty());
    EXPECT_EQ(world.chip().frequency(), 9100);
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestNone);
}

TEST_F(ControlLoop, TmcRunsOutAndTheLoopSearchesOnByItself)
{
    sim::Station& first = world.addStation(9100, 42, 25, stationGroups(0xD3C2, true));
    world.addStation(9300, 44, 25, stationGroups(0xD3C3, true));
    bringUp();
    request(kRequestSearchUp);
    ASSERT_NE(runUntil([&] { return searchState() == kSearchingUp; }, 20), 0u);
    ASSERT_NE(runUntil([&] { return searchState() == kSearchIdle; }, 60'000), 0u);
    ASSERT_EQ(world.chip().frequency(), 9100);
    runFor(5000);
    EXPECT_GT(tmcQuality(), 60);  // raised by the TMC groups

    // The station goes on with RDS but stops sending TMC.
    first.rds = std::make_shared<sim::FixedRdsSource>(stationGroups(0xD3C2, false));
    const sim::Micros stopped = kernel.now();
    const std::size_t seeks = seekStarts.size();
    const std::uint16_t left = tmcQuality();
    ASSERT_NE(runUntil([&] { return searchState() != kSearchIdle; }, 110'000), 0u);

    // One point a tick: the last report on the station shows 1, and the
    // search (a tune back to the station, then the seek) starts in that tick.
    const std::vector<Status> ticks = liveStatuses(9100, stopped);
    ASSERT_GE(ticks.size(), 2u);
    EXPECT_EQ(ticks.back().quality, 1u);
    EXPECT_EQ(ticks[ticks.size() - 2].quality, 2u);
    EXPECT_NEAR(static_cast<double>(ticks.size()), left, 2.0);
    EXPECT_EQ(searchState(), kSearchingUp);
    ASSERT_NE(runUntil([&] { return searchState() == kSearchIdle; }, 60'000), 0u);
    EXPECT_EQ(world.chip().frequency(), 9300);
    EXPECT_EQ(seekStarts.size(), seeks + 1);
    EXPECT_GE(tmcQuality(), 60);
}

TEST_F(ControlLoop, NoAutomaticSearchWhenSwitchedOff)
{
    world.addStation(9100, 42, 25, stationGroups(0xD3C2, false));
    world.addStation(9300, 44, 25, stationGroups(0xD3C3, true));
    bringUp();
    gDriver.control.autoSearch.store(0);
    request(kRequestTune, 9100);
    runFor(500);
    gDriver.rds.tmcQuality.store(3);
    runFor(6000);
    EXPECT_EQ(tmcQuality(), 0);
    EXPECT_TRUE(seekStarts.empty());

    gDriver.control.autoSearch.store(1);
    // Also without the flag bit (stopSearch: see the station search tests);
    // then with everything allowing it, within a tick.
    setFlags(0, kFilterAutoSearch);
    runFor(3000);
    EXPECT_TRUE(seekStarts.empty());
    setFlags(kFilterAutoSearch);
    ASSERT_NE(runUntil([&] { return !seekStarts.empty(); }, 1100), 0u);
    EXPECT_EQ(searchState(), kSearchingUp);
}

TEST_F(ControlLoop, RecoveryResetsTheChipAfterThreeSecondsAndTunesBack)
{
    world.addStation(9300, 44, 25, stationGroups(0xD3C3, false));
    bringUp();
    gDriver.control.autoSearch.store(0);
    const std::size_t resets = world.resetHistory().size();
    gDriver.control.recoveryFrequency.store(9300);
    const sim::Micros written = kernel.now();
    request(kRequestRecover);

    // The code stays 100 through the pause; nothing is reported meanwhile.
    runFor(2990);
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestRecover);
    EXPECT_EQ(world.resetHistory().size(), resets);
    EXPECT_TRUE(statuses(written).empty());
    ASSERT_NE(runUntil([&] { return world.resetHistory().size() > resets; }, 20), 0u);
    // 300 steps of 10 ms from the step at which the loop took the code.
    EXPECT_GT(kernel.now() - written, 3000 * kMs);
    EXPECT_LE(kernel.now() - written, 3010 * kMs);

    ASSERT_NE(runUntil([&] { return gDriver.control.controlRequest.load() == kRequestNone; }, 1000), 0u);
    runFor(500);
    EXPECT_EQ(world.chip().frequency(), 9300);

    // A tune that replaces the code 100 during the pause waits for the reset
    // and is carried out from there, with no tune back to the old station
    // first.
    world.addStation(8900, 40, 25);
    const std::size_t before = world.resetHistory().size();
    request(kRequestRecover);
    runFor(1500);
    request(kRequestTune, 8900);
    ASSERT_NE(runUntil([&] { return world.resetHistory().size() > before; }, 2000), 0u);
    bool backOnTheOld = false;
    ASSERT_NE(runUntil(
                  [&] {
                      backOnTheOld |= world.chip().frequency() == 9300;
                      return world.chip().frequency() == 8900;
                  },
                  2000),
              0u);
    EXPECT_FALSE(backOnTheOld);
    ASSERT_NE(runUntil([&] { return gDriver.control.controlRequest.load() == kRequestNone; }, 1000), 0u);
    runFor(500);
    EXPECT_EQ(world.chip().frequency(), 8900);

    // Every transfer of a recovery fails: the shadow holds the settings the
    // driver meant to write, but the next tick starts another recovery.
    request(kRequestRecover);
    runFor(2990);
    world.bus().failTransfers(0, 1'000'000);
    ASSERT_NE(runUntil([&] { return gDriver.control.controlRequest.load() == kRequestNone; }, 1000), 0u);
    world.bus().clearFaults();
    EXPECT_NE(runUntil([&] { return gDriver.control.controlRequest.load() == kRequestRecover; }, 2000), 0u);
}

TEST_F(ControlLoop, AChipThatStopsInterruptingIsRecoveredOnTheFrequencyItWasOn)
{
    world.addStation(9300, 44, 25, stationGroups(0xD3C3, false));
    bringUp();
    gDriver.control.autoSearch.store(0);
    request(kRequestTune, 9300);
    runFor(1000);
    ASSERT_EQ(world.chip().frequency(), 9300);
    const std::size_t resets = world.resetHistory().size();
    world.chip().hang();
    const sim::Micros hung = kernel.now();

    // The interrupt thread's minute without interrupts, the next tick's
    // trigger, then the 3 s pause of the recovery.
    ASSERT_NE(runUntil([&] { return gDriver.control.controlRequest.load() == kRequestRecover; }, 62'000), 0u);
    const sim::Micros triggered = kernel.now();
    EXPECT_GE(triggered - hung, 60'000 * kMs);
    EXPECT_LE(triggered - hung, 61'000 * kMs);
    EXPECT_EQ(gDriver.control.recoveryFrequency.load(), 9300);
    EXPECT_EQ(gDriver.control.recoveryNeeded.load(), 0);
    ASSERT_NE(runUntil([&] { return world.resetHistory().size() > resets; }, 3100), 0u);
    EXPECT_EQ(kernel.now() - triggered, 3000 * kMs);
    runFor(1000);
    EXPECT_FALSE(world.chip().hung());
    EXPECT_EQ(world.chip().frequency(), 9300);
    gDriver.rds.rdsSeen.store(0);
    runFor(1000);
    EXPECT_EQ(gDriver.rds.rdsSeen.load(), 1);
}

TEST_F(ControlLoop, PoweredDownIsQuietAndShutdownDuringARecoveryIsNotLost)
{
    world.addStation(9300, 44, 25, stationGroups(0xD3C3, false));
    bringUp();
    gDriver.control.autoSearch.store(0);
    request(kRequestPoweredDown);
    const sim::Micros down = kernel.now();
    runFor(5000);
    EXPECT_TRUE(lines.empty() || lines.back().time < down);
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestPoweredDown);

    // Power-up asks for a recovery; the driver is unloaded during its pause.
    const std::size_t resets = world.resetHistory().size();
    request(kRequestRecover);
    runFor(1000);
    request(kRequestShutdown);
    gDriver.lifecycle.stopControlThread.store(1);
    const sim::Micros ended = runUntil([&] { return kernel.threadExited(threads[2]); }, 100);
    ASSERT_NE(ended, 0u);
    EXPECT_EQ(world.resetHistory().size(), resets);
}

}  // namespace
}  // namespace controltest
