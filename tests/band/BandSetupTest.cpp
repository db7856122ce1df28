// Putting a band description on the air: stations as described, events in
// time order (file order at one moment, past ones at once), recorded logs
// looping, and one seed giving the same groups.
#include "sim/band/BandSetup.h"
#include "sim/band/BandFile.h"
#include "sim/band/LoggedRdsSource.h"
#include "tests/support/TestSeed.h"

#include <gtest/gtest.h>

namespace {

using sim::RdsGroup;

constexpr sim::Micros kPeriod = 87'600;

std::vector<RdsGroup> receive(sim::Kernel& kernel, sim::Band& band, std::uint16_t frequency, std::size_t count)
{
    std::vector<RdsGroup> groups;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t slot = sim::slotAt(kernel.now());
        groups.push_back(band.receive(*band.find(frequency), slot, kernel.random(sim::Stream::Band)));
        kernel.advance(kPeriod);
    }
    return groups;
}

// What two stations of the built-in band send for 30 s, as received.
std::vector<RdsGroup> defaultBandGroups(std::uint64_t seed)
{
    sim::Kernel kernel{sim::KernelOptions{.seed = seed}};
    sim::Band band;
    sim::installBand(kernel, band, sim::band::defaultBand());
    auto groups = receive(kernel, band, 9470, 340);
    const auto damaged = receive(kernel, band, 10480, 340);
    groups.insert(groups.end(), damaged.begin(), damaged.end());
    return groups;
}

TEST(BandSetupTest, SameSeedSameGroupsAndErrors)
{
    const auto first = defaultBandGroups(testSeed());
    EXPECT_EQ(first, defaultBandGroups(testSeed()));
    EXPECT_NE(first, defaultBandGroups(testSeed() + 1));
    const auto damaged =
        std::count_if(first.begin() + 340, first.end(), [](const RdsGroup& g) { return !g.errorFree(); });
    EXPECT_GT(damaged, 10) << "3 % of blocks damaged on 104.8 MHz";
    EXPECT_TRUE(std::all_of(first.begin(), first.begin() + 340, [](const RdsGroup& g) { return g.errorFree(); }));
}

TEST(BandSetupTest, StationsAsDescribedAndEventsInTimeAndFileOrder)
{
    sim::Kernel kernel{sim::KernelOptions{.seed = testSeed(), .schedule = testSchedule()}};
    sim::Band band;
    Sleep(3000);  // the band goes on the air at 3 s
    sim::installBand(kernel, band,
                     sim::band::parseBandFile(R"({"noiseRssi": 3, "stations": [
        {"frequency": 9470, "rssi": 42, "snr": 25, "stereo": false,
         "rds": {"pi": "0xD3A1", "name": "RADIO 1", "blockErrorRate": 0.25},
         "events": [{"at": 5, "rssi": 10}, {"at": 1, "snr": 11}, {"at": 5, "rssi": 20, "rds": false},
                    {"at": 7, "rds": true, "blockErrorRate": 0}]},
        {"frequency": 8830, "events": [{"at": 5, "rssi": 30}, {"at": 6, "stereo": false}]}]})",
                                              "b.json"));
    EXPECT_EQ(band.noiseRssi(), 3);
    sim::Station& radio1 = *band.find(9470);
    const sim::Station& other = *band.find(8830);
    EXPECT_EQ(radio1.pi, 0xD3A1);
    EXPECT_FALSE(radio1.stereo);
    EXPECT_EQ(radio1.blockErrorRate, 0.25);
    const auto source = radio1.rds;
    ASSERT_NE(source, nullptr);
    EXPECT_FALSE(other.rds);

    Sleep(1);
    EXPECT_EQ(radio1.snr, 11) << "an event already past applies at once";
    Sleep(1998);  // 4.999 s
    EXPECT_EQ(radio1.rssi, 42);
    EXPECT_EQ(other.rssi, 40);
    Sleep(2);
    EXPECT_EQ(radio1.rssi, 20) << "the later of two events at one moment wins";
    EXPECT_EQ(radio1.rds, nullptr);
    EXPECT_EQ(other.rssi, 30);
    EXPECT_TRUE(other.stereo);
    Sleep(1000);
    EXPECT_FALSE(other.stereo);
    Sleep(1000);
    EXPECT_EQ(radio1.rds, source) << "the same source comes back";
    EXPECT_EQ(radio1.blockErrorRate, 0.0);
}

TEST(BandSetupTest, RecordedLogLoopsAndLostBlocksAreUncorrectable)
{
    auto log = std::make_shared<sim::band::RdsLog>(
        sim::band::parseRdsLog("---- 0408 E20D 4C41\nFE37 0409 ---- 5449\nFE37 2400 4C41 5449\n", "x.spy"));
    EXPECT_EQ(sim::LoggedRdsSource::firstPi(*log), 0xFE37);
    sim::LoggedRdsSource source(log, 5);
    std::vector<RdsGroup> groups;
    for (int i = 0; i < 7; ++i) groups.push_back(source.next());
    EXPECT_EQ(source.loops(), 2u);
    EXPECT_EQ(groups[0].errors, (std::array<std::uint8_t, 4>{3, 0, 0, 0}));
    EXPECT_EQ(groups[4].errors, (std::array<std::uint8_t, 4>{0, 0, 3, 0}));
    EXPECT_EQ(groups[4].blocks[3], 0x5449);
    EXPECT_EQ(groups[5], (RdsGroup{{0xFE37, 0x2400, 0x4C41, 0x5449}, {0, 0, 0, 0}}));
    EXPECT_NE(groups[0].blocks[0], groups[3].blocks[0]) << "a lost block's bits are drawn anew each time round";
}

}  // namespace
