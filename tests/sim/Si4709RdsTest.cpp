// RDS reception as the driver's interrupt thread sees it: one group every
// 87.6 ms of air time with its block errors, RDSR and its fall, standard and
// verbose mode, groups lost while RDS is off, and the signal-quality test that
// borrows the RDS registers.
#include "ChipRig.h"

namespace simtest {
namespace {

using ChipRds = ChipRig;

const std::vector<sim::RdsGroup> kGroups = {
    {{0xD3C2, 0x0408, 0xE20D, 0x5241}, {0, 0, 0, 0}},
    {{0xD3C2, 0x0409, 0xCDCD, 0x4449}, {0, 1, 2, 0}},
    {{0xD3C2, 0x8400, 0x1234, 0x5678}, {1, 0, 3, 2}},
};
constexpr unsigned kStationChannel = 69;  // 94.40 MHz
constexpr sim::Micros kGroupPeriod = 87'600;

TEST_F(ChipRds, GroupsArriveEvery87_6MillisecondsWithTheirBlockErrors)
{
    world.addStation(9440, 45, 28, kGroups);
    powerUp(kInterruptConfig & ~kSysconfig1Stcien);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(InterruptInitialize(kSysIntrTuner, event, nullptr, 0));

    const sim::Micros tuned = kernel.now() + 60'000;
    startTune(kStationChannel);
    // The station has been sending since the start of the run; the chip hears
    // the first slot that begins after the tune, whole, and has it at its end.
    const std::uint64_t firstSlot = (tuned + kGroupPeriod - 1) / kGroupPeriod;
    for (unsigned k = 1; k <= 7; ++k) {
        ASSERT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
        const std::uint64_t slot = firstSlot + k - 1;
        EXPECT_EQ(kernel.now(), (slot + 1) * kGroupPeriod) << "group " << k;
        ASSERT_TRUE(fetch(6));
        const sim::RdsGroup& sent = kGroups[slot % kGroups.size()];
        EXPECT_TRUE(shadow[STATUSRSSI] & kStatusRdsr);
        EXPECT_TRUE(shadow[STATUSRSSI] & kStatusRdss);
        for (unsigned b = 0; b < 4; ++b) {
            EXPECT_EQ(shadow[RDSA + b], sent.blocks[b]) << "group " << k << " block " << b;
        }
        EXPECT_EQ(kStatusBlera.get(shadow[STATUSRSSI]), sent.errors[0]);
        EXPECT_EQ(kReadchanBlerb.get(shadow[READCHAN]), sent.errors[1]);
        EXPECT_EQ(kReadchanBlerc.get(shadow[READCHAN]), sent.errors[2]);
        EXPECT_EQ(kReadchanBlerd.get(shadow[READCHAN]), sent.errors[3]);
        InterruptDone(kSysIntrTuner);
    }
    // RDSR falls 40 ms after the group.
    Sleep(39);
    EXPECT_TRUE(status() & kStatusRdsr);
    Sleep(2);
    EXPECT_FALSE(status() & kStatusRdsr);
    EXPECT_TRUE(shadow[STATUSRSSI] & kStatusRdss);
    EXPECT_EQ(world.chip().groupsDelivered(), 7u);
    InterruptDisable(kSysIntrTuner);
    CloseHandle(event);
}

TEST_F(ChipRds, StandardModePassesOnlyCleanGroupsAndRdsNeedsRdsAndAStation)
{
    sim::Station& station = world.addStation(9440, 45, 28, kGroups);
    constexpr std::uint16_t kInterruptOutput = kGpio2Interrupt << 2;
    powerUp(kSysconfig1Rds | kInterruptOutput);
    shadow[POWERCFG] &= static_cast<std::uint16_t>(~kPowercfgRdsm);
    ASSERT_TRUE(send(POWERCFG));
    tuneTo(kStationChannel);
    Sleep(9 * 87 + 10);
    EXPECT_EQ(world.chip().groupsDelivered(), 3u);
    ASSERT_TRUE(fetch(6));
    EXPECT_EQ(shadow[RDSB], 0x0408);
    EXPECT_EQ(shadow[READCHAN] & ~kReadchanChan.mask(), 0);
    EXPECT_EQ(world.soc().tunerInterruptEdges(), 0u);  // neither RDSIEN nor STCIEN

    // RDS switched off: nothing more arrives and the decoder loses sync.
    shadow[SYSCONFIG1] = kInterruptOutput;
    ASSERT_TRUE(send(SYSCONFIG1));
    const std::uint64_t lostBefore = world.chip().groupsLostWhileBusy();
    const std::uint64_t offSlot = sim::slotAt(kernel.now());
    Sleep(1000);
    EXPECT_EQ(world.chip().groupsDelivered(), 3u);
    EXPECT_FALSE(status() & kStatusRdss);

    // Back on, verbose, with every block damaged by the band: all delivered
    // from the first slot heard whole. The station sent on meanwhile: every
    // slot from the one RDS went off in is lost, and counted.
    station.blockErrorRate = 1.0;
    shadow[SYSCONFIG1] = kSysconfig1Rds | kSysconfig1Rdsien | kInterruptOutput;
    shadow[POWERCFG] |= kPowercfgRdsm;
    ASSERT_TRUE(send(SYSCONFIG1));
    const std::uint64_t onSlot = sim::slotAt(kernel.now() + kGroupPeriod - 1);
    Sleep(static_cast<DWORD>((sim::slotStart(onSlot + 4) - kernel.now()) / 1000 + 1));
    EXPECT_EQ(world.chip().groupsDelivered(), 7u);
    EXPECT_EQ(world.chip().groupsLostWhileBusy() - lostBefore, onSlot - offSlot);
    EXPECT_EQ(world.soc().tunerInterruptEdges(), 4u);  // one pulse per group
    ASSERT_TRUE(fetch(2));
    EXPECT_NE(kStatusBlera.get(shadow[STATUSRSSI]), 0u);
    EXPECT_NE(kReadchanBlerb.get(shadow[READCHAN]), 0u);

    // The station stops sending RDS: sync lost, no more groups.
    station.rds = nullptr;
    Sleep(300);
    EXPECT_EQ(world.chip().groupsDelivered(), 7u);
    EXPECT_FALSE(status() & kStatusRdss);
}

void writeRds(std::array<std::uint16_t, 16>& shadow, std::array<std::uint16_t, 4> blocks)
{
    std::copy(blocks.begin(), blocks.end(), &shadow[RDSA]);
}

TEST_F(ChipRds, QualityTestClearsRdsdStepByStepAndReportsTheSnr)
{
    world.addStation(9440, 45, 28, kGroups);
    powerUp(kInterruptConfig);
    tuneTo(kStationChannel);
    ASSERT_TRUE(fetch(16));  // the whole file, as the driver saves it

    // Step two without step one first gives no result.
    writeRds(shadow, {0, 0, 0x0C00, 0x0008});
    ASSERT_TRUE(send(RDSD));
    Sleep(41);
    ASSERT_TRUE(fetch(6));
    EXPECT_EQ(shadow[RDSD], 0x0100);
    EXPECT_EQ(shadow[RDSA] & 0xFF, 0);

    writeRds(shadow, {0, 0, 0, 0x00FF});
    ASSERT_TRUE(send(RDSD));
    Sleep(19);
    ASSERT_TRUE(fetch(6));
    EXPECT_EQ(shadow[RDSD], 0x00FF);
    Sleep(2);
    ASSERT_TRUE(fetch(6));
    EXPECT_EQ(shadow[RDSD], 0);

    writeRds(shadow, {0, 0, 0x0C00, 0x0008});
    ASSERT_TRUE(send(RDSD));
    Sleep(39);
    ASSERT_TRUE(fetch(6));
    EXPECT_EQ(shadow[RDSC], 0x0C00);
    EXPECT_EQ(shadow[RDSD], 0x0008);
    Sleep(2);
    ASSERT_TRUE(fetch(6));
    EXPECT_EQ(shadow[RDSD] & 0xFF, 0);
    EXPECT_EQ(shadow[RDSA] & 0xFF, 28);

    // A chip that never finishes keeps the registers lent: no group lands,
    // and other values written there are not a test command.
    world.chip().stallQualityTest(true);
    writeRds(shadow, {0, 0, 0, 0x00FF});
    ASSERT_TRUE(send(RDSD));
    const std::uint64_t before = world.chip().groupsDelivered();
    Sleep(500);
    writeRds(shadow, {1, 2, 3, 4});
    ASSERT_TRUE(send(RDSD));
    ASSERT_TRUE(fetch(6));
    EXPECT_EQ(shadow[RDSA], 0);
    EXPECT_EQ(shadow[RDSD], 0x00FF);
    EXPECT_EQ(world.chip().groupsDelivered(), before);

    world.chip().stallQualityTest(false);
    writeRds(shadow, {0, 0, 0, 0x00FF});
    ASSERT_TRUE(send(RDSD));
    Sleep(200);
    EXPECT_GT(world.chip().groupsDelivered(), before);
}

}  // namespace
}  // namespace simtest
