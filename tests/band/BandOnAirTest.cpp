// A band from a band file on the air, heard through the chip model: events
// change a station at their virtual time (TMC stops, RDS goes off and comes
// back with a new name, a station fades out of a seek's reach and returns);
// and the built-in band offers a seek no RDS, then RDS, then TMC, losing the
// groups that air while the chip seeks.
#include "sim/band/BandFile.h"
#include "sim/band/BandSetup.h"
#include "tests/sim/ChipRig.h"

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
            if (WaitForSingleObject(event, wait) != WAIT_OBJECT_0) break;
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
    for (const Heard& g : back) EXPECT_NE(g.type(), 8u) << "TMC stays off";
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

TEST_F(BandOnAir, SeekingUpTheBuiltInBandMeetsNoRdsThenRdsThenTmc)
{
    sim::installBand(kernel, world.band(), sim::band::defaultBand());
    powerUp(kSysconfig1Rdsien | kSysconfig1Stcien | kSysconfig1Rds | (kGpio2Interrupt << 2), /*seekth*/ 20);
    listenForGroups();
    struct Stop {
        std::uint16_t frequency;
        bool rds, tmc;
    };
    for (const Stop& expected : {Stop{8830, false, false}, Stop{8970, true, false}, Stop{9470, true, true}}) {
        const std::uint64_t lostBefore = world.chip().groupsLostWhileBusy();
        const std::uint64_t seekSlot = sim::slotAt(kernel.now());
        startSeek(true);
        const sim::Micros seekDeadline = kernel.now() + 10'000'000;
        while (!(status() & kStatusStc)) {
            ASSERT_LT(kernel.now(), seekDeadline) << "no seek complete";
            ASSERT_EQ(WaitForSingleObject(event, 10'000), WAIT_OBJECT_0);
            InterruptDone(kSysIntrTuner);
        }
        endSeek();
        EXPECT_EQ(world.chip().frequency(), expected.frequency);
        const auto heard = groupsUntil(kernel.now() / 1000 + 5000);
        EXPECT_EQ(!heard.empty(), expected.rds) << expected.frequency;
        const bool tmc = std::any_of(heard.begin(), heard.end(), [](const Heard& g) { return g.type() == 8; }) &&
                         std::any_of(heard.begin(), heard.end(), [](const Heard& g) { return g.type() == 3; });
        EXPECT_EQ(tmc, expected.tmc) << expected.frequency;
        // The station found sent on while the chip sought: every slot from
        // the one the seek began in up to the first heard whole is lost. A
        // station without RDS has nothing to lose.
        const std::uint64_t firstHeard = heard.empty() ? seekSlot : sim::slotAt(heard.front().at) - 1;
        EXPECT_EQ(world.chip().groupsLostWhileBusy() - lostBefore, firstHeard - seekSlot) << expected.frequency;
        if (expected.tmc) {
            EXPECT_EQ(heard.front().blocks[0], 0xD3A1);
            EXPECT_EQ(nameIn(heard), "RADIO 1 ");
        }
    }
}

}  // namespace
}  // namespace simtest
