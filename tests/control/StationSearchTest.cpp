// The TMC station search on a simulated band: which stations it stops on, how
// long it waits on each, and what ends it.
#include "ControlRig.h"

#include <memory>

namespace controltest {
namespace {

// Each within the 49 seek passes of the next (the chip seeks 60 ms a channel).
constexpr std::uint16_t kNoRds = 8900;
constexpr std::uint16_t kRdsOnly = 9100;
constexpr std::uint16_t kTmc = 9300;

class StationSearch : public ControlRig {
protected:
    using ControlRig::ControlRig;

    // A station without RDS, one with RDS but no TMC, one with TMC.
    void addBand(std::uint16_t noRds, std::uint16_t rdsOnly, std::uint16_t tmc)
    {
        world.addStation(noRds, 40, 25);
        world.addStation(rdsOnly, 42, 25, stationGroups(0xD3C2, false));
        world.addStation(tmc, 44, 25, stationGroups(0xD3C3, true));
    }

    // Runs until the search that `code` starts has ended; false on a timeout.
    bool search(std::uint8_t code, std::uint8_t expectedState, unsigned limitMs = 120'000)
    {
        request(code);
        if (runUntil([&] { return searchState() == expectedState; }, 20) == 0) return false;
        searchEnd = runUntil([&] { return searchState() == kSearchIdle; }, limitMs);
        qualityAtEnd = tmcQuality();
        return searchEnd != 0;
    }

    std::vector<sim::Micros> gaps(const std::vector<Status>& found) const
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

    sim::Micros searchEnd = 0;
    std::uint16_t qualityAtEnd = 0;
};

TEST_F(StationSearch, UpSearchWaitsOnEachStationAndEndsOnTheTmcStation)
{
    addBand(kNoRds, kRdsOnly, kTmc);
    bringUp();
    ASSERT_TRUE(search(kRequestSearchUp, kSearchingUp));

    EXPECT_EQ(world.chip().frequency(), kTmc);
    EXPECT_EQ(qualityAtEnd, 60);
    EXPECT_EQ(gDriver.control.searchUp.load(), 1);

    // No RDS: after the settle report, 300 ms and six RDS periods of 3 s, one
    // more report, and the next seek at once (no TMC wait).
    const std::vector<Status> silent = liveStatuses(kNoRds);
    ASSERT_EQ(silent.size(), 2u);
    EXPECT_EQ(silent[1].time - silent[0].time, 18'300 * kMs);
    EXPECT_TRUE(seekStartedAt(silent[1].time));

    // RDS without TMC: the RDS wait ends at its first check, then five TMC
    // periods of 3 s with a report after each, then the next seek.
    const std::vector<Status> rdsOnly = liveStatuses(kRdsOnly);
    ASSERT_EQ(rdsOnly.size(), 7u);
    const std::vector<sim::Micros> expected = {300 * kMs, 3000 * kMs, 3000 * kMs, 3000 * kMs, 3000 * kMs, 3000 * kMs};
    EXPECT_EQ(gaps(rdsOnly), expected);
    EXPECT_TRUE(seekStartedAt(rdsOnly.back().time));
    for (const Status& s : rdsOnly) EXPECT_EQ(s.quality, 0u);

    // Each station's first report comes after the 300 ms settle that follows
    // the seek's end.
    for (std::uint16_t frequency : {kNoRds, kRdsOnly, kTmc}) {
        const sim::Micros settled = liveStatuses(frequency).front().time;
        sim::Micros seekEnd = 0;
        for (sim::Micros end : busyEnds)
            if (end < settled) seekEnd = end;
        EXPECT_EQ(settled - seekEnd, 300 * kMs) << frequency;
    }

    // Three seeks: one per station, none after the TMC station.
    EXPECT_EQ(seekStarts.size(), 3u);
    ASSERT_FALSE(liveStatuses(kTmc).empty());
    EXPECT_GT(searchEnd, seekStarts.back());
}

TEST_F(StationSearch, DownSearchVisitsTheStationsBelow)
{
    addBand(9300, 9100, 8900);
    world.addStation(9700, 44, 25, stationGroups(0xD3C4, true));  // above the start: never visited
    bringUp();
    gDriver.control.autoSearch.store(0);
    request(kRequestTune, 9500);
    runFor(500);
    ASSERT_EQ(world.chip().frequency(), 9500);
    lines.clear();
    // The RDS wait counts QFS steps, the TMC wait QFT steps.
    gDriver.tuner.settings.QFS.store(200);
    gDriver.tuner.settings.QFT.store(250);

    ASSERT_TRUE(search(kRequestSearchDown, kSearchingDown));
    EXPECT_EQ(world.chip().frequency(), 8900);
    EXPECT_EQ(qualityAtEnd, 60);
    EXPECT_EQ(gDriver.control.searchUp.load(), 0);
    ASSERT_EQ(liveStatuses(9300).size(), 2u);
    EXPECT_EQ(gaps(liveStatuses(9300)), std::vector<sim::Micros>{12'300 * kMs});
    ASSERT_EQ(liveStatuses(9100).size(), 7u);
    EXPECT_EQ(gaps(liveStatuses(9100)).back(), 2500 * kMs);
    EXPECT_TRUE(liveStatuses(9700).empty());
    EXPECT_LT(liveStatuses(9300).front().time, liveStatuses(9100).front().time);
    EXPECT_EQ(seekStarts.size(), 3u);
}

TEST_F(StationSearch, SkipStationEndsTheTmcWaitWithinOneStep)
{
    world.addStation(kRdsOnly, 42, 25, stationGroups(0xD3C2, false));
    world.addStation(kTmc, 44, 25, stationGroups(0xD3C3, true));
    bringUp();
    request(kRequestSearchUp);
    ASSERT_NE(runUntil([&] { return liveStatuses(kRdsOnly).size() == 2; }, 30'000), 0u);
    runFor(1234);  // inside the first TMC period
    ASSERT_NE(skipWithinOneStep(), 0u);
    // The cut period still ends with its report.
    EXPECT_EQ(liveStatuses(kRdsOnly).size(), 3u);
    ASSERT_NE(runUntil([&] { return searchState() == kSearchIdle; }, 60'000), 0u);
    EXPECT_EQ(world.chip().frequency(), kTmc);
    EXPECT_EQ(gDriver.control.skipStation.load(), 0);
}

// RDS lost on the station during the TMC wait (it stops sending, and the flag
// that said it had is down once the last groups are decoded): the wait ends
// with the period under way, and the search seeks on at its report instead
// of sitting out four more.
TEST_F(StationSearch, TheTmcWaitEndsWhenTheStationLosesRds)
{
    sim::Station& rdsOnly = world.addStation(kRdsOnly, 42, 25, stationGroups(0xD3C2, false));
    world.addStation(kTmc, 44, 25, stationGroups(0xD3C3, true));
    bringUp();
    request(kRequestSearchUp);
    ASSERT_NE(runUntil([&] { return liveStatuses(kRdsOnly).size() == 2; }, 30'000), 0u);
    const std::size_t seeks = seekStarts.size();
    runFor(1234);  // inside the first TMC period
    rdsOnly.rds = nullptr;
    runFor(300);  // the groups still queued are decoded
    gDriver.rds.rdsSeen.store(0);
    ASSERT_NE(runUntil([&] { return seekStarts.size() > seeks; }, 20'000), 0u);
    const std::vector<Status> reports = liveStatuses(kRdsOnly);
    ASSERT_EQ(reports.size(), 3u) << "one TMC period, not five";
    EXPECT_EQ(reports[2].time, seekStarts[seeks]);
    ASSERT_NE(runUntil([&] { return searchState() == kSearchIdle; }, 60'000), 0u);
    EXPECT_EQ(world.chip().frequency(), kTmc);
}

TEST_F(StationSearch, StopSearchEndsTheSearchAfterTheCurrentStation)
{
    addBand(kNoRds, kRdsOnly, kTmc);
    bringUp();
    request(kRequestSearchUp);
    ASSERT_NE(runUntil([&] { return liveStatuses(kNoRds).size() == 1; }, 30'000), 0u);
    const sim::Micros settled = liveStatuses(kNoRds).front().time;
    runFor(5000);
    gDriver.control.stopSearch.store(1);

    const sim::Micros end = runUntil([&] { return searchState() == kSearchIdle; }, 30'000);
    ASSERT_NE(end, 0u);
    // The station's waits run out in full; no further seek.
    EXPECT_EQ(end - settled, 18'300 * kMs);
    EXPECT_EQ(seekStarts.size(), 1u);
    EXPECT_EQ(world.chip().frequency(), kNoRds);
    EXPECT_EQ(tmcQuality(), 0);
    // With stopSearch set the loop starts no search of its own.
    runFor(5000);
    EXPECT_EQ(seekStarts.size(), 1u);
    EXPECT_EQ(world.chip().frequency(), kNoRds);
    EXPECT_EQ(liveStatuses(kNoRds, end + 1).size(), 5u);  // the idle ticks
}

TEST_F(StationSearch, ARequestDuringAnyWaitEndsTheSearchWithinOneStep)
{
    addBand(kNoRds, kRdsOnly, kTmc);
    bringUp();
    gDriver.control.autoSearch.store(0);

    // Each case: start from the bottom, wait for the point, then ask for a tune.
    struct Case {
        const char* wait;
        std::function<bool()> reached;
        unsigned delayMs;
    };
    const Case cases[] = {
        {"settle",
         [&] { return seekStarts.size() == 1 && !world.chip().seeking() && gDriver.tuner.tunerBusy.load() == 0; }, 100},
        {"RDS wait", [&] { return liveStatuses(kNoRds).size() == 1; }, 1300},
        {"TMC wait", [&] { return liveStatuses(kRdsOnly).size() == 2; }, 1500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wait);
        request(kRequestTune, 8750);
        runFor(500);
        ASSERT_EQ(world.chip().frequency(), 8750);
        lines.clear();
        seekStarts.clear();
        request(kRequestSearchUp);
        ASSERT_NE(runUntil(c.reached, 60'000), 0u);
        runFor(c.delayMs);
        ASSERT_NE(searchState(), kSearchIdle);
        tuneWithinOneStep(10500, 300);
        EXPECT_EQ(searchState(), kSearchIdle);
    }
}

// Preempted, with this thread above the workers: a worker then runs only on the
// scheduler's random switches, one point at a time, and this thread sees each
// step and writes a request into the gap after it.
class StationSearchPreempted : public StationSearch {
protected:
    StationSearchPreempted() : StationSearch(sim::Schedule::Random) { kernel.setRandomSwitchChance(1.0 / 16); }

    // Writes a tune request as soon as `reached` holds, and tells whether the
    // search noticed it at once (`ended` within 3 ms) rather than after its
    // next wait step of 10 ms or seek pass of 20 ms.
    bool noticedAtOnce(const std::function<bool()>& reached, const std::function<bool()>& ended)
    {
        CeSetThreadPriority(kernel.threadHandle(1), 250);
        for (const sim::Micros start = kernel.now(); !reached();) {
            if (kernel.now() - start > 300 * kMs) return false;
            Sleep(0);
        }
        request(kRequestTune, 10500);
        CeSetThreadPriority(kernel.threadHandle(1), 251);
        return runUntil(ended, 3) != 0;
    }
};

// The gaps between a wait's last check and the check that follows a report:
// after a TMC-wait period's register read and report, and after a seek's idle
// pass that stepped the display.
TEST_F(StationSearchPreempted, ARequestWrittenDuringAReportIsNoticedAfterIt)
{
    addBand(kNoRds, kRdsOnly, kTmc);
    bringUp();
    gDriver.control.autoSearch.store(0);
    gDriver.tuner.settings.QFT.store(5);
    int tmcWaitHits = 0;
    int seekHits = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        request(kRequestTune, 8750);
        runFor(600);
        request(kRequestSearchUp);
        // The seek to the station without RDS idles: a display step every 6th
        // pass of 200 ms.
        const std::uint8_t before = gDriver.control.stepCounter.load();
        ASSERT_NE(runUntil([&] { return gDriver.control.stepCounter.load() != before; }, 20'000), 0u);
        Sleep(6 * 200 - 10);
        const std::uint8_t steps = gDriver.control.stepCounter.load();
        seekHits += noticedAtOnce([&] { return gDriver.control.stepCounter.load() != steps; },
                                  [&] { return gDriver.tuner.tunerBusy.load() == 0; });
        runFor(600);

        // A TMC-wait period ends with a read of the whole register file.
        request(kRequestTune, 8750);
        runFor(600);
        lines.clear();
        request(kRequestSearchUp);
        ASSERT_NE(runUntil([&] { return liveStatuses(kRdsOnly).size() == 2; }, 60'000), 0u);
        world.bus().setRecording(true);
        world.bus().clearRecorded();
        tmcWaitHits += noticedAtOnce(
            [&] {
                const auto& done = world.bus().recorded();
                return std::any_of(done.begin(), done.end(), [](const auto& t) { return t.data.size() == 32; });
            },
            [&] { return gDriver.control.controlRequest.load() == kRequestNone; });
        world.bus().setRecording(false);
        runFor(600);
        EXPECT_EQ(world.chip().frequency(), 10500);
    }
    EXPECT_GT(tmcWaitHits, 0);
    EXPECT_GT(seekHits, 0);
}

TEST_F(StationSearch, AChannelWithoutCarrierCostsOnePassWithoutWaits)
{
    // Too far for one seek: the seek gives up on an empty channel on its way.
    world.addStation(9600, 44, 25, stationGroups(0xD3C3, true));
    bringUp();
    ASSERT_TRUE(search(kRequestSearchUp, kSearchingUp));
    EXPECT_EQ(world.chip().frequency(), 9600);

    std::vector<Status> empty;
    for (const Status& s : statuses())
        if (s.form == 0 && s.frequency != 9600) empty.push_back(s);
    ASSERT_FALSE(empty.empty());
    for (const Status& s : empty) {
        EXPECT_EQ(s.rssi, 8u);  // the noise level
        // Settle report, 300 ms, the railed frequency control seen: seek on.
        EXPECT_TRUE(seekStartedAt(s.time + 300 * kMs)) << s.frequency;
    }
    EXPECT_EQ(seekStarts.size(), empty.size() + 1);
}

TEST_F(StationSearch, WithoutTheWaitFlagsASearchIsOneSeek)
{
    addBand(kNoRds, kRdsOnly, kTmc);
    bringUp();
    setFlags(0, kFilterSearchWaitsForRds | kFilterAutoSearch);
    ASSERT_TRUE(search(kRequestSearchUp, kSearchingUp));
    EXPECT_EQ(world.chip().frequency(), kNoRds);
    ASSERT_EQ(seekStarts.size(), 1u);
    ASSERT_FALSE(busyEnds.empty());
    // The seek, the settle and one report: nothing more.
    EXPECT_EQ(searchEnd - busyEnds.back(), 300 * kMs);
    EXPECT_EQ(liveStatuses(kNoRds).size(), 1u);

    // The RDS flag alone waits for RDS but not for TMC: the station with RDS
    // gets its settle report and one more, then the search moves on.
    setFlags(kFilterSearchWaitsForRds);
    ASSERT_TRUE(search(kRequestSearchUp, kSearchingUp, 60'000));
    const std::vector<Status> rdsOnly = liveStatuses(kRdsOnly);
    ASSERT_GE(rdsOnly.size(), 2u);
    EXPECT_EQ(rdsOnly[1].time - rdsOnly[0].time, 300 * kMs);
    EXPECT_TRUE(seekStartedAt(rdsOnly[1].time));
}

}  // namespace
}  // namespace controltest

namespace controltest {
namespace {

// A fault of the chip or the bus at each stage of a search up from the band's
// bottom (in the first seek, the settle, the RDS wait on the silent station,
// the seek on, the TMC waits on the station with RDS only, the seek to the TMC
// station and its waits): it is repaired as when idle, and the receiver ends
// on the TMC station, powered, in step with its settings, with TMC coming in.
enum class SearchFault { SupplyDip, HungChip, FailingBus, SlowBus };

struct SearchFaultCase {
    SearchFault fault;
    unsigned atMs;  // after the search started
};

class StationSearchFaults : public StationSearch, public testing::WithParamInterface<SearchFaultCase> {};

TEST_P(StationSearchFaults, EachIsRepairedAsWhenIdle)
{
    const SearchFaultCase c = GetParam();
    addBand(kNoRds, kRdsOnly, kTmc);
    bringUp();
    const std::uint8_t volume = gDriver.tuner.settings.volume.load();
    request(kRequestSearchUp);
    runFor(c.atMs);
    ASSERT_NE(searchState(), kSearchIdle) << "the search ended before the fault";
    switch (c.fault) {
    case SearchFault::SupplyDip:
        world.chip().supplyDip();
        break;
    case SearchFault::HungChip:
        world.chip().hang();
        break;
    case SearchFault::FailingBus:
        world.bus().failTransfers(0, 6);
        break;
    case SearchFault::SlowBus:
        world.bus().setTransferDelay(20'000, 20'000);
        runFor(3000);
        world.bus().setTransferDelay(0);
        break;
    }
    const auto onTheTmcStation = [&] {
        const sim::Si4709& chip = world.chip();
        return searchState() == kSearchIdle && chip.poweredUp() && !chip.hung() && chip.frequency() == kTmc &&
               !chip.audio().muted && chip.audio().volume == volume && tmcQuality() > 0;
    };
    EXPECT_NE(runUntil(onTheTmcStation, 180'000), 0u)
        << "on " << world.chip().frequency() << ", search state " << +searchState() << ", TMC credit " << tmcQuality()
        << (world.chip().hung() ? ", hung" : "") << (world.chip().poweredUp() ? "" : ", not powered");
}

std::vector<SearchFaultCase> searchFaultCases()
{
    // The first seek ends at about 0.1 s; the silent station's waits run to
    // 18.7 s, the station with RDS only's to about 34 s.
    const unsigned stages[] = {30, 250, 2000, 18'750, 19'300, 25'000, 34'100, 34'500, 36'000};
    std::vector<SearchFaultCase> cases;
    for (SearchFault fault :
         {SearchFault::SupplyDip, SearchFault::HungChip, SearchFault::FailingBus, SearchFault::SlowBus})
        for (unsigned at : stages) cases.push_back({fault, at});
    return cases;
}

// Names by fault and moment ("HungChipAt2000ms"), for reproduce lines.
std::string searchFaultName(const testing::TestParamInfo<SearchFaultCase>& info)
{
    const char* const faults[] = {"SupplyDip", "HungChip", "FailingBus", "SlowBus"};
    return std::string(faults[static_cast<int>(info.param.fault)]) + "At" + std::to_string(info.param.atMs) + "ms";
}

INSTANTIATE_TEST_SUITE_P(Stages, StationSearchFaults, testing::ValuesIn(searchFaultCases()), searchFaultName);

}  // namespace
}  // namespace controltest
