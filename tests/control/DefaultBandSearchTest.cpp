// The whole driver on the built-in band, used as an application uses it: the
// automatic search at start-up and the "+" and "-" commands written to the
// port walk the band station by station, spend on each station without TMC
// exactly the waits it deserves, and stop on the stations that send TMC.
#include "control/ControlState.h"
#include "driver/DriverContext.h"
#include "sim/band/BandFile.h"
#include "tests/control/ReceptionLog.h"
#include "tests/support/DriverFixtures.h"

namespace {

using namespace controltest;

class DefaultBandSearch : public DeviceTest, protected ReceptionLog {
protected:
    DefaultBandSearch() : DeviceTest(kExactTimings), ReceptionLog(kernel, world, [this] { return device.readPort(); })
    {
        device.installBand(sim::band::defaultBand());
    }

    void SetUp() override
    {
        load();
        readBetweenSteps();
    }

    std::uint8_t searchState() const { return gDriver.control.searchState.load(); }

    // Runs one whole search: until it has started and then ended. The TMC
    // quality the search left, read the moment it ended.
    std::uint16_t searchToTheEnd()
    {
        EXPECT_NE(runUntil([&] { return searchState() != kSearchIdle; }, 3000), 0u) << "no search started";
        EXPECT_NE(runUntil([&] { return searchState() == kSearchIdle; }, 120'000), 0u) << "the search never ended";
        return gDriver.rds.tmcQuality.load();
    }

    static std::vector<sim::Micros> gaps(const std::vector<Status>& found)
    {
        std::vector<sim::Micros> result;
        for (std::size_t i = 1; i < found.size(); ++i) result.push_back(found[i].time - found[i - 1].time);
        return result;
    }
    bool seekStartedAt(sim::Micros time) const
    {
        for (sim::Micros start : seekStarts)
            if (start == time) return true;
        return false;
    }
};

// A station with RDS but no TMC: its first report after the settle, 300 ms
// later the report after the RDS wait (the groups are already there), then
// five TMC periods of 3 s with a report after each; the next seek follows at
// once.
const std::vector<sim::Micros> kRdsWithoutTmc = {300 * kMs, 3000 * kMs, 3000 * kMs, 3000 * kMs, 3000 * kMs, 3000 * kMs};

TEST_F(DefaultBandSearch, TheAutomaticSearchAtStartUpStopsOnTheFirstTmcStation)
{
    // Nobody asks for it: the first tick finds no TMC credit and searches up.
    const sim::Micros started = runUntil([&] { return searchState() == kSearchingUp; }, 3000);
    ASSERT_NE(started, 0u);
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestNone);
    EXPECT_EQ(searchToTheEnd(), 60);
    EXPECT_EQ(world.chip().frequency(), 9470);

    // 88.3 MHz, no RDS: settle report, 300 ms, six RDS periods of 3 s, one
    // more report and the next seek at once.
    const std::vector<Status> silent = liveStatuses(8830, started);
    ASSERT_EQ(silent.size(), 2u);
    EXPECT_EQ(silent[1].time - silent[0].time, 18'300 * kMs);
    EXPECT_TRUE(seekStartedAt(silent[1].time));

    // 89.7 MHz "KLASSIK", RDS without TMC.
    const std::vector<Status> klassik = liveStatuses(8970, started);
    ASSERT_EQ(klassik.size(), 7u);
    EXPECT_EQ(gaps(klassik), kRdsWithoutTmc);
    EXPECT_TRUE(seekStartedAt(klassik.back().time));
    for (const Status& s : klassik) EXPECT_EQ(s.quality, 0u);
    EXPECT_TRUE(sawLine("$PLTCH,\"KLASSIK \"*0b"));

    // 94.7 MHz "RADIO 1" sends TMC: the search ends there and the station's
    // name and TMC groups reach the application.
    EXPECT_LT(klassik.back().time, liveStatuses(9470, started).front().time);
    runUntil([] { return false; }, 3000);
    EXPECT_TRUE(sawLine("$PLTCH,\"RADIO 1 \"*0f"));
    EXPECT_GT(countLines("$PLTTM,"), 0u);  // 3A or 8A
    EXPECT_EQ(searchState(), kSearchIdle);
    EXPECT_EQ(world.chip().frequency(), 9470);
}

TEST_F(DefaultBandSearch, PlusAndMinusWrittenToThePortSearchOnBothWays)
{
    ASSERT_EQ(searchToTheEnd(), 60);
    ASSERT_EQ(world.chip().frequency(), 9470);

    // "+": past the damaged 99.1 MHz "CITY FM" (RDS, no TMC) and the weak
    // 102.3 MHz carrier (too weak to stop the seek) to 104.8 MHz "INFO 24".
    const sim::Micros up = kernel.now();
    write("$PLTCM,+\r\n");
    ASSERT_NE(runUntil([&] { return searchState() == kSearchingUp; }, 200), 0u);
    EXPECT_TRUE(sawLine("$PLTTS,1,503*48"));
    EXPECT_EQ(searchToTheEnd(), 60);
    EXPECT_EQ(world.chip().frequency(), 10480);
    const std::vector<Status> city = liveStatuses(9910, up);
    ASSERT_EQ(city.size(), 7u);
    EXPECT_EQ(gaps(city), kRdsWithoutTmc);
    EXPECT_TRUE(liveStatuses(10230, up).empty());

    // "-": back down past "CITY FM" to "RADIO 1".
    const sim::Micros down = kernel.now();
    write("$PLTCM,-\r\n");
    ASSERT_NE(runUntil([&] { return searchState() == kSearchingDown; }, 200), 0u);
    EXPECT_EQ(searchToTheEnd(), 60);
    EXPECT_EQ(world.chip().frequency(), 9470);
    EXPECT_EQ(gaps(liveStatuses(9910, down)), kRdsWithoutTmc);
    EXPECT_EQ(gDriver.control.searchUp.load(), 0);
}

TEST_F(DefaultBandSearch, PlusAgainLeavesTheStationAndXEndsTheSearchAfterIt)
{
    // The first station up the band has no RDS: "+" again during its RDS wait
    // leaves it within one 10 ms step of the parser setting skipStation.
    ASSERT_NE(runUntil([&] { return liveStatuses(8830, 0).size() == 1; }, 30'000), 0u);
    runUntil([] { return false; }, 2000);
    const std::size_t seeks = seekStarts.size();
    write("$PLTCM,+\r\n");
    const sim::Micros skipped = runUntil([&] { return gDriver.control.skipStation.load() == 1; }, 200);
    ASSERT_NE(skipped, 0u);
    const sim::Micros seek = runUntil([&] { return seekStarts.size() > seeks; }, 50);
    ASSERT_NE(seek, 0u);
    EXPECT_LE(seek - skipped, 10 * kMs);
    EXPECT_EQ(searchState(), kSearchingUp) << "the same search goes on";

    // "X" on "KLASSIK": the search ends after that station's waits, without
    // TMC, and no automatic search follows.
    ASSERT_NE(runUntil([&] { return liveStatuses(8970, 0).size() == 2; }, 30'000), 0u);
    write("$PLTCM,X\r\n");
    const sim::Micros ended = runUntil([&] { return searchState() == kSearchIdle; }, 30'000);
    ASSERT_NE(ended, 0u);
    EXPECT_EQ(liveStatuses(8970, 0).size(), 7u);
    EXPECT_EQ(world.chip().frequency(), 8970);
    runUntil([] { return false; }, 5000);
    EXPECT_EQ(world.chip().frequency(), 8970);
    EXPECT_EQ(searchState(), kSearchIdle);
    EXPECT_EQ(liveStatuses(8970, ended + 1).size(), 5u) << "one report a tick while idle";
}

}  // namespace
