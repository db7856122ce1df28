// The chip's bus side: acknowledge rules, register order on reads and writes,
// power-up and identity, protocol violations.
#include "ChipRig.h"

namespace simtest {
namespace {

using ChipBus = ChipRig;

TEST_F(ChipBus, ReadsWrapFromStatusToBootconfigAndWritesStartAtPowercfg)
{
    // Before power-up only the part number and revision show.
    ASSERT_TRUE(fetch(16));
    EXPECT_EQ(shadow[DEVICEID], 0x1242);
    EXPECT_EQ(shadow[CHIPID], 0x1000);

    // Fourteen distinct words into POWERCFG..RDSD; only 0x02..0x09 are writable.
    for (unsigned r = POWERCFG; r <= RDSD; ++r) {
        shadow[r] = static_cast<std::uint16_t>(0x0100 * r + 0x20 + r);
    }
    shadow[POWERCFG] = 0;  // stay powered down
    ASSERT_TRUE(send(RDSD));

    std::array<BYTE, 32> raw{};
    ASSERT_TRUE(transfer(kI2CDirectionRead, raw.data(), 32));
    // Bytes 0..11 are STATUSRSSI..RDSD (untouched by the write), 12.. DEVICEID on.
    EXPECT_EQ(raw[12], 0x12);
    EXPECT_EQ(raw[13], 0x42);
    for (unsigned r = CHANNEL; r <= BOOTCONFIG; ++r) {
        const unsigned at = 12 + 2 * r;
        EXPECT_EQ(raw[at] << 8 | raw[at + 1], 0x0100 * r + 0x20 + r) << "register " << r;
    }
    for (unsigned i = 0; i < 12; ++i) {
        EXPECT_EQ(raw[i], 0) << "byte " << i;
    }
    // A short read stops after the bytes asked for: 6 bytes end in RDSA.
    shadow[RDSB] = 0xBEEF;
    ASSERT_TRUE(fetch(3));
    EXPECT_EQ(shadow[RDSB], 0xBEEF);
}

TEST_F(ChipBus, PowerUpTakes110MillisecondsAndShowsTheChipId)
{
    const sim::Micros start = kernel.now();
    shadow[POWERCFG] = kPowercfgEnable | kPowercfgDmute;
    ASSERT_TRUE(send(POWERCFG));
    Sleep(109);
    ASSERT_TRUE(fetch(16));
    EXPECT_EQ(shadow[CHIPID], 0x1000);
    // A tune before the chip is ready is lost.
    startTune(10);
    Sleep(2);
    ASSERT_TRUE(fetch(16));
    EXPECT_EQ(shadow[CHIPID], 0x1253);
    EXPECT_EQ(kernel.now() - start, 111'000u);
    Sleep(100);
    EXPECT_FALSE(status() & kStatusStc);
    EXPECT_EQ(world.chip().channel(), 0u);

    // DISABLE with ENABLE powers down again.
    shadow[POWERCFG] |= kPowercfgDisable;
    ASSERT_TRUE(send(POWERCFG));
    ASSERT_TRUE(fetch(16));
    EXPECT_EQ(shadow[CHIPID], 0x1000);
    EXPECT_FALSE(world.chip().poweredUp());
}

TEST_F(ChipBus, MalformedTransfersAreRefusedAndCounted)
{
    BYTE bytes[32] = {};
    EXPECT_FALSE(transfer(kI2CDirectionWrite, bytes, 3));   // half a register
    EXPECT_FALSE(transfer(kI2CDirectionWrite, bytes, 30));  // past RDSD
    EXPECT_FALSE(transfer(kI2CDirectionRead, bytes, 5));
    EXPECT_EQ(world.chip().violations(), 3u);
    EXPECT_TRUE(transfer(kI2CDirectionWrite, bytes, 28));
    EXPECT_EQ(world.chip().busWrites(), 1u);
    expectedViolations = 3;
}

TEST_F(ChipBus, ChipAnswersOnlyOutOfResetInTwoWireMode)
{
    BYTE bytes[2] = {};
    EXPECT_TRUE(transfer(kI2CDirectionRead, bytes, 2));

    // Held in reset: no acknowledge.
    pin(sim::kGpioResetControl, sim::kPinOutputLevel, 0);
    EXPECT_TRUE(world.chip().inReset());
    EXPECT_FALSE(transfer(kI2CDirectionRead, bytes, 2));
    EXPECT_FALSE(transfer(kI2CDirectionWrite, bytes, 2));

    // Released with the bus-mode line low: 3-wire mode, deaf to I2C until reset.
    resetChip(false);
    EXPECT_FALSE(world.chip().inReset());
    EXPECT_FALSE(world.chip().twoWireMode());
    EXPECT_FALSE(transfer(kI2CDirectionRead, bytes, 2));
    // Raising bus mode later changes nothing: it is latched at the edge.
    pin(sim::kGpioBusModeControl, 0, sim::kPinOutputLevel);
    EXPECT_FALSE(transfer(kI2CDirectionRead, bytes, 2));

    // A bus-mode line whose pad is not selected is not driven: pulled low.
    pin(sim::kGpioPadSelect, sim::kPadSelectBusMode, 0);
    pin(sim::kGpioResetControl, sim::kPinOutputLevel, 0);
    Sleep(1);
    pin(sim::kGpioResetControl, 0, sim::kPinOutputLevel);
    EXPECT_FALSE(world.chip().twoWireMode());

    resetChip(true);
    EXPECT_TRUE(world.chip().twoWireMode());
    EXPECT_TRUE(transfer(kI2CDirectionRead, bytes, 2));
    EXPECT_EQ(world.chip().unacknowledged(), 4u);
}

TEST_F(ChipBus, HungChipIsSilentUntilTheNextReset)
{
    powerUp();
    world.addStation(8850, 40, 25);
    world.chip().hang();
    BYTE bytes[2] = {};
    EXPECT_FALSE(transfer(kI2CDirectionRead, bytes, 2));
    shadow[CHANNEL] = kChannelTune | 10;
    EXPECT_FALSE(send(CHANNEL));
    Sleep(200);
    EXPECT_EQ(world.soc().tunerInterruptEdges(), 0u);
    resetChip();
    EXPECT_TRUE(transfer(kI2CDirectionRead, bytes, 2));
    EXPECT_FALSE(world.chip().poweredUp());  // the reset powered it down
}

TEST_F(ChipBus, SupplyDipLeavesTheChipAtItsPowerOnValuesStillOnTheBus)
{
    powerUp();
    world.addStation(8850, 40, 25);
    shadow[CHANNEL] = kChannelTune | 10;
    ASSERT_TRUE(send(CHANNEL));
    Sleep(100);
    world.chip().supplyDip();
    EXPECT_EQ(world.chip().supplyDips(), 1u);
    EXPECT_FALSE(world.chip().poweredUp());
    ASSERT_TRUE(fetch(16));
    EXPECT_EQ(shadow[POWERCFG], 0u);
    EXPECT_EQ(shadow[SYSCONFIG1], 0u) << "RDS and interrupts off";
    EXPECT_EQ(shadow[SYSCONFIG2], 0u) << "volume 0, band and spacing at reset";
    EXPECT_EQ(shadow[CHIPID], sim::kChipIdBeforePowerUp);
    EXPECT_EQ(world.chip().audio().volume, 0u);
    const std::uint64_t pulses = world.soc().tunerInterruptEdges();
    Sleep(500);
    EXPECT_EQ(world.soc().tunerInterruptEdges(), pulses) << "no interrupt from a powered-down chip";
    // Held in reset the chip has nothing to lose.
    pin(sim::kGpioResetControl, sim::kPinOutputLevel, 0);
    world.chip().supplyDip();
    EXPECT_EQ(world.chip().supplyDips(), 1u);
}

}  // namespace
}  // namespace simtest
