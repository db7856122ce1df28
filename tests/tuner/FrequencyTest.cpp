// Frequency and channel arithmetic on the register shadow, per band mode.
#include "driver/DriverContext.h"
#include "tuner/Tuner.h"

#include <gtest/gtest.h>

using namespace si4709;

namespace {

// SYSCONFIG2 of band modes 0 (87.5 MHz, 100 kHz), 1 (76 MHz, 100 kHz) and
// 2 (87.5 MHz, 200 kHz), and of 50 kHz spacing.
constexpr std::uint16_t kMode0 = 0x1410, kMode1 = 0x1490, kMode2 = 0x1400, kSpacing50 = 0x1420;

std::uint16_t channelOf(std::uint16_t sysconfig2, std::uint16_t frequency)
{
    gDriver.tuner.shadow.set(SYSCONFIG2, sysconfig2);
    return FrequencyToChannel(frequency);
}

std::uint16_t frequencyOf(std::uint16_t sysconfig2, unsigned channel)
{
    gDriver.tuner.shadow.set(SYSCONFIG2, sysconfig2);
    gDriver.tuner.shadow.set(READCHAN, 0xFC00 | channel);  // BLER bits must not leak in
    return ChannelFrequency();
}

TEST(Frequency, ChannelsFollowBandBottomAndSpacing)
{
    LoadDriverContext();
    EXPECT_EQ(channelOf(kMode0, 10800), 205);
    EXPECT_EQ(channelOf(kMode0, 8740), 0);  // below the band: the bottom
    EXPECT_EQ(channelOf(kMode2, 8750), 0);
    EXPECT_EQ(channelOf(kMode2, 8769), 0);
    EXPECT_EQ(channelOf(kMode2, 8770), 1);
    EXPECT_EQ(channelOf(kMode1, 8750), 115);
    EXPECT_EQ(channelOf(kSpacing50, 8755), 1);
}

TEST(Frequency, ChannelFrequencyFallsBackToRecoveryFrequency)
{
    LoadDriverContext();
    gDriver.control.recoveryFrequency = 9420;
    EXPECT_EQ(frequencyOf(kMode0, 205), 10800);
    EXPECT_EQ(frequencyOf(kMode0, 206), 9420);  // 10810: above the band top
    EXPECT_EQ(frequencyOf(kMode1, 100), 8600);
    EXPECT_EQ(frequencyOf(kMode2, 103), 9420);
    EXPECT_EQ(frequencyOf(kSpacing50, 410), 10800);
    EXPECT_EQ(frequencyOf(kSpacing50, 411), 9420);

    // While a resume is pending the chip's channel means nothing yet.
    gDriver.control.controlRequest = 100;
    EXPECT_EQ(frequencyOf(kMode0, 50), 9420);
    gDriver.control.controlRequest = 1;
    EXPECT_EQ(frequencyOf(kMode0, 50), 9250);
}

}  // namespace
