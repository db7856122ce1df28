// A band from a band file on the air, heard through the chip model: events
// change a station at their virtual time (TMC stops, RDS goes off and comes
// back with a new name, a station fades out of a seek's reach and returns),
// and a recorded log arrives with its lost blocks uncorrectable.
#include "sim/band/BandFile.h"
#include "sim/band/BandSetup.h"
#include "tests/sim/ChipRig.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace simtest {
namespace {

struct Heard {
    sim::Micros at;
    std::array<std::uint16_t, 4> blocks;
    std::array<unsigned, 4> errors;
    unsigned type() const { return blocks[1] >> 12; }
};

class BandOnAir : public ChipRig {
protected:
    HANDLE event = nullptr;

    void install(const std::string& json)
    {
        sim::installBand(kernel, world.band(), sim::band::parseBandFile(json, "test-band.json"));
    }

    void listenForGroups()
    {
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_TRUE(InterruptInitialize(kSysIntrTuner, event, nullptr, 0));
    }

    void TearDown() override
    {
        if (event != nullptr) {
            InterruptDisable(kSysIntrTuner);
            CloseHandle(event);
        }
        ChipRig::TearDown();
    }

    // Every group the chip delivers until virtual time `until` (ms).
    std::vector<Heard> groupsUntil(sim::Micros untilMs)
    {
        std::vector<Heard> heard;
        while (kernel.now() < untilMs * 1000) {
            const DWORD wait = static_cast<DWORD>((untilMs * 1000 - kernel.now() + 999) / 1000);
            if (WaitForSingleObject(event, wait) != WAIT_OBJECT_0)
                break;
            EXPECT_TRUE(fetch(6));
            if (shadow[STATUSRSSI] & kStatusRdsr) {
                heard.push_back({kernel.now(),
                                 {shadow[RDSA], shadow[RDSB], shadow[RDSC], shadow[RDSD]},
                                 {kStatusBlera.get(shadow[STATUSRSSI]), kReadchanBlerb.get(shadow[READCHAN]),
                                  kReadchanBlerc.get(shadow[READCHAN]), kReadchanBlerd.get(shadow[READCHAN])}});
            }
            InterruptDone(kSysIntrTuner);
        }
        return heard;
    }
};

std::string nameIn(const std::vector<Heard>& groups)
{
    std::string name(8, '?');
    for (const Heard& g : groups) {
        if (g.type() == 0) {
            name[2 * (g.blocks[1] & 3)] = static_cast<char>(g.blocks[3] >> 8);
            name[2 * (g.blocks[1] & 3) + 1] = static_cast<char>(g.blocks[3] & 0xFF);
        }
    }
    return name;
}

TEST_F(BandOnAir, EventsStopTmcSilenceRdsAndBringItBackRenamed)
{
    install(R"({"stations": [{"frequency": 9470, "rssi": 42, "snr": 25,
        "rds": {"pi": "0xD3A1", "name": "RADIO 1", "tmc": true, "tmcCycle": 14},
        "events": [{"at": 20, "tmc": false}, {"at": 30, "rds": false}, {"at": 40, "rds": true, "name": "LATE"}]}]})");
    powerUp(kSysconfig1Rdsien | kSysconfig1Rds | (kGpio2Interrupt << 2));
    listenForGroups();
    tuneTo(72);  // 94.7 MHz

    const auto withTmc = groupsUntil(20'000);
    unsigned messages = 0, announcements = 0;
    for (const Heard& g : withTmc) {
        EXPECT_EQ(g.blocks[0], 0xD3A1);
        messages += g.type() == 8;
        announcements += g.type() == 3;
    }
    EXPECT_GE(messages, 2 * 9u) << "a message every 2 s, each at least twice";
    EXPECT_GT(announcements, 8u);
    EXPECT_EQ(nameIn(withTmc), "RADIO 1 ");

    const auto withoutTmc = groupsUntil(30'000);
    EXPECT_NEAR(static_cast<double>(withoutTmc.size()), 10'000 / 87.6, 1.0);
    for (const Heard& g : withoutTmc)
        EXPECT_TRUE(g.type() != 8 && g.type() != 3) << "type " << g.type() << " at " << g.at;

    const std::uint64_t delivered = world.chip().groupsDelivered();
    EXPECT_TRUE(groupsUntil(40'000).empty()) << "no RDS from 30 s to 40 s";
    EXPECT_EQ(world.chip().groupsDelivered(), delivered);
    EXPECT_FALSE(status() & kStatusRdss);

    const auto back = groupsUntil(45'000);
    ASSERT_FALSE(back.empty());
    EXPECT_LT(back.front().at, 40'000'000u + 87'600u);
    EXPECT_EQ(nameIn(back), "LATE    ");
    for (const Heard& g : back)
        EXPECT_NE(g.type(), 8u) << "TMC stays off";
}

TEST_F(BandOnAir, AStationFadedToZeroIsPassedBySeekUntilItReturns)
{
    install(R"({"stations": [{"frequency": 8830, "rssi": 30},
        {"frequency": 9470, "rssi": 42, "events": [{"at": 12, "rssi": 0}, {"at": 25, "rssi": 42}]},
        {"frequency": 9910, "rssi": 34}]})");
    powerUp(kInterruptConfig & ~kSysconfig1Rds, /*seekth*/ 20);
    auto seekUp = [&] {
        startSeek(true);
        Sleep(7000);
        EXPECT_TRUE(status() & kStatusStc);
        endSeek();
        return world.chip().frequency();
    };
    EXPECT_EQ(seekUp(), 8830);
    EXPECT_EQ(seekUp(), 9470) << "passed at about 11 s, before the fade";

    tuneTo(8);  // back to 88.3 MHz
    ASSERT_GT(kernel.now(), 12'000'000u);
    EXPECT_EQ(seekUp(), 9910) << "94.7 MHz faded out at 12 s";
    tuneTo(72);
    EXPECT_EQ(kStatusRssi.get(status()), 0u);

    Sleep(4000);
    ASSERT_GT(kernel.now(), 25'000'000u);
    tuneTo(8);
    EXPECT_EQ(seekUp(), 9470) << "back at 25 s";
    EXPECT_EQ(kStatusRssi.get(status()), 42u);
}

TEST_F(BandOnAir, RecordedLogArrivesWithLostBlocksUncorrectable)
{
    const auto folder = std::filesystem::temp_directory_path() / ("corvane-onair-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "log.spy") << "<recorder=\"RDS Spy\">\r\n"
                                         "FE37 0408 E20D 4C41\r\n"
                                         "FE37 0409 ---- 5449\r\n"
                                         "---- ---- ---- ----\r\n";
    std::ofstream(folder / "band.json") << R"({"stations": [{"frequency": 10120, "rds": {"log": "log.spy"}}]})";
    sim::installBand(kernel, world.band(), sim::band::readBandFile(folder / "band.json"));
    std::filesystem::remove_all(folder);
    EXPECT_EQ(world.band().find(10120)->pi, 0xFE37);

    powerUp(kSysconfig1Rdsien | kSysconfig1Rds | (kGpio2Interrupt << 2));
    listenForGroups();
    tuneTo(137);  // 101.2 MHz
    const auto heard = groupsUntil(kernel.now() / 1000 + 7 * 88);
    ASSERT_EQ(heard.size(), 7u);
    for (std::size_t i = 0; i < heard.size(); ++i) {
        const Heard& g = heard[i];
        switch (i % 3) {
        case 0:
            EXPECT_EQ(g.blocks, (std::array<std::uint16_t, 4>{0xFE37, 0x0408, 0xE20D, 0x4C41}));
            EXPECT_EQ(g.errors, (std::array<unsigned, 4>{0, 0, 0, 0}));
            break;
        case 1:
            EXPECT_EQ(g.blocks[3], 0x5449);
            EXPECT_EQ(g.errors, (std::array<unsigned, 4>{0, 0, 3, 0}));
            break;
        default:
            EXPECT_EQ(g.errors, (std::array<unsigned, 4>{3, 3, 3, 3}));
        }
    }
}

TEST_F(BandOnAir, RecordedBroadcastGivesItsNameAndTmcThroughTheChip)
{
    const auto logs = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path() /
                      "shared" / "rds";
    if (!std::filesystem::exists(logs / "FE37-france-2018-01-02.spy"))
        GTEST_SKIP() << "recorded logs not found at " << logs;
    const auto band = logs / "band.json";  // not written: logs are found beside this name
    sim::installBand(kernel, world.band(),
                     sim::band::parseBandFile(
                         R"({"stations": [{"frequency": 10120, "rds": {"log": "FE37-france-2018-01-02.spy"}}]})", band));
    powerUp(kSysconfig1Rdsien | kSysconfig1Rds | (kGpio2Interrupt << 2));
    listenForGroups();
    tuneTo(137);
    const auto heard = groupsUntil(60'000);
    std::vector<Heard> clean;
    unsigned messages = 0, damaged = 0;
    for (const Heard& g : heard) {
        if (g.errors != std::array<unsigned, 4>{0, 0, 0, 0}) {
            ++damaged;
            continue;
        }
        EXPECT_EQ(g.blocks[0], 0xFE37);
        clean.push_back(g);
        messages += g.type() == 8;
    }
    EXPECT_EQ(nameIn(clean), "LATINA  ");
    EXPECT_GT(messages, 50u);
    EXPECT_GT(damaged, 0u) << "about 1 % of the recorded blocks were lost";
    EXPECT_LT(damaged, heard.size() / 20);
}

}  // namespace
}  // namespace simtest
