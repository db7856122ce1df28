// The request codes not met elsewhere: tune then search, search on in either
// direction, codes the loop does not know; and the station search's own
// corners: leaving a station during its RDS wait, a request during the wait
// before the measurement, a recovery carried out as the search starts.
#include "ControlRig.h"

namespace controltest {
namespace {

class RequestCodes : public ControlRig {
protected:
    void addBand()
    {
        world.addStation(8900, 40, 25);
        world.addStation(9100, 42, 25, stationGroups(0xD3C2, false));
        world.addStation(9300, 44, 25, stationGroups(0xD3C3, true));
        world.addStation(9700, 44, 25, stationGroups(0xD3C4, true));
    }
    sim::Micros untilIdle(unsigned limitMs = 120'000)
    {
        return runUntil([&] { return searchState() == kSearchIdle; }, limitMs);
    }
};

TEST_F(RequestCodes, TuneThenSearchSearchOnBothWaysAndUnknownCodes)
{
    addBand();
    bringUp();
    gDriver.control.autoSearch.store(0);
    gDriver.control.searchUp.store(1);

    // 5: a tune to 95.00 MHz, then the search goes on up from there.
    request(kRequestTuneThenSearch, 9500);
    ASSERT_NE(runUntil([&] { return searchState() == kSearchingUp; }, 20), 0u);
    ASSERT_NE(untilIdle(), 0u);
    EXPECT_EQ(world.chip().frequency(), 9700);
    EXPECT_EQ(tmcQuality(), 60);
    EXPECT_EQ(seekStarts.size(), 1u);
    for (unsigned below : {8900u, 9100u, 9300u}) EXPECT_TRUE(liveStatuses(below).empty()) << below;

    // 4 with the direction down: searchState 2, down to the next TMC station.
    gDriver.control.searchUp.store(0);
    request(kRequestSearchOn);
    ASSERT_NE(runUntil([&] { return searchState() == kSearchingDown; }, 20), 0u);
    ASSERT_NE(untilIdle(), 0u);
    EXPECT_EQ(world.chip().frequency(), 9300);
    EXPECT_EQ(gDriver.control.searchUp.load(), 0);

    // A code the loop does not know stays pending: no ticks, no work, and the
    // loop sleeps between its looks (a spinning loop would never let this
    // thread run again).
    runFor(20);  // the search's last report is read
    const sim::Micros pending = kernel.now();
    request(7);
    runFor(3000);
    EXPECT_EQ(gDriver.control.controlRequest.load(), 7);
    EXPECT_TRUE(statuses(pending).empty());
    // The unload's 99 stays whatever else is asked for; a power-down's 200 is
    // replaced only by the power paths (the power-up's 100).
    gDriver.control.controlRequest.store(kRequestShutdown);
    EXPECT_EQ(ReplaceRequest(kRequestPoweredDown), kRequestShutdown);
    EXPECT_FALSE(PostRequest(kRequestRecover));
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestShutdown);
    gDriver.control.controlRequest.store(kRequestPoweredDown);
    EXPECT_FALSE(PostRequest(kRequestTune));
    EXPECT_EQ(ReplaceRequest(kRequestRecover), kRequestPoweredDown);
    gDriver.control.controlRequest.store(7);
    // Replaced by a tune, which is taken within one step.
    tuneWithinOneStep(8900, 500);
}

TEST_F(RequestCodes, SkipStationEndsTheRdsWaitWithinOneStep)
{
    world.addStation(8900, 40, 25);
    world.addStation(9300, 44, 25, stationGroups(0xD3C3, true));
    bringUp();
    request(kRequestSearchUp);
    ASSERT_NE(runUntil([&] { return liveStatuses(8900).size() == 1; }, 30'000), 0u);
    runFor(1300);  // the settle report, 300 ms, then a second into the first RDS period
    const sim::Micros seek = skipWithinOneStep();
    ASSERT_NE(seek, 0u);
    // The station still gets its report after the RDS wait, and no TMC wait.
    const std::vector<Status> reports = liveStatuses(8900);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].time, seek);
    ASSERT_NE(untilIdle(60'000), 0u);
    EXPECT_EQ(world.chip().frequency(), 9300);
}

TEST_F(RequestCodes, ARequestBeforeTheMeasurementEndsTheSearchWithinOneStep)
{
    world.addStation(8900, 40, 25);
    world.addStation(9300, 44, 25, stationGroups(0xD3C3, true));
    bringUp();
    gDriver.control.autoSearch.store(0);
    request(kRequestSearchUp);
    ASSERT_NE(runUntil([&] { return liveStatuses(8900).size() == 1; }, 30'000), 0u);
    runFor(150);  // half-way through the 300 ms before the measurement
    tuneWithinOneStep(10500, 300);
    EXPECT_EQ(searchState(), kSearchIdle);
    EXPECT_EQ(liveStatuses(8900).size(), 1u);
}

TEST_F(RequestCodes, ARecoveryAskedForIsCarriedOutAsTheSearchStartsWithoutThePause)
{
    world.addStation(9300, 44, 25, stationGroups(0xD3C3, true));
    bringUp();
    const std::size_t resets = world.resetHistory().size();
    gDriver.control.recoveryNeeded.store(1);
    const sim::Micros written = kernel.now();
    request(kRequestSearchUp);
    const sim::Micros reset = runUntil([&] { return world.resetHistory().size() > resets; }, 1000);
    ASSERT_NE(reset, 0u);
    EXPECT_LE(reset - written, 20 * kMs) << "no 3 s pause before this reset";
    EXPECT_EQ(gDriver.control.recoveryNeeded.load(), 0);
    ASSERT_NE(untilIdle(60'000), 0u);
    EXPECT_EQ(world.chip().frequency(), 9300);
    EXPECT_EQ(tmcQuality(), 60);
}

}  // namespace
}  // namespace controltest
