// Frequency and channel arithmetic on the register shadow, for each band mode.
#include "driver/DriverContext.h"
#include "tuner/Tuner.h"

#include <gtest/gtest.h>

using namespace si4709;

namespace {

// SYSCONFIG2 low byte of band modes 0 (87.5 MHz, 100 kHz), 1 (76 MHz, 100 kHz)
// and 2 (87.5 MHz, 200 kHz), as the settings write it.
constexpr std::uint16_t kMode0 = 0x1410;
constexpr std::uint16_t kMode1 = 0x1490;
constexpr std::uint16_t kMode2 = 0x1400;
constexpr std::uint16_t kSpacing50 = 0x1420;

void setBand(std::uint16_t sysconfig2)
{
    gDriver.tuner.shadow.set(SYSCONFIG2, sysconfig2);
}

std::uint16_t frequencyOfChannel(unsigned channel)
{
    // The BLER bits above the channel must not leak into the result.
    gDriver.tuner.shadow.set(READCHAN, 0xFC00 | channel);
    return ChannelFrequency();
}

}  // namespace

TEST(Frequency, ChannelsFollowBandBottomAndSpacing)
{
    LoadDriverContext();
    setBand(kMode0);
    EXPECT_EQ(FrequencyToChannel(10800), 205);
    EXPECT_EQ(FrequencyToChannel(8740), 0);  // below the band: the bottom
    EXPECT_EQ(FrequencyToChannel(8759), 0);
    EXPECT_EQ(FrequencyToChannel(8760), 1);

    setBand(kMode2);
    EXPECT_EQ(FrequencyToChannel(8750), 0);
    EXPECT_EQ(FrequencyToChannel(8769), 0);
    EXPECT_EQ(FrequencyToChannel(8770), 1);

    setBand(kMode1);
    EXPECT_EQ(FrequencyToChannel(7600), 0);
    EXPECT_EQ(FrequencyToChannel(8750), 115);

    setBand(kSpacing50);
    EXPECT_EQ(FrequencyToChannel(8755), 1);
    // Above the band the channel is not limited to the 10-bit field.
    EXPECT_EQ(FrequencyToChannel(65535), (65535 - 8750) / 5);
}

TEST(Frequency, ChannelFrequencyFallsBackToRecoveryFrequency)
{
    LoadDriverContext();
    gDriver.tuner.recoveryFrequency = 9420;

    setBand(kMode0);
    EXPECT_EQ(frequencyOfChannel(0), 8750);
    EXPECT_EQ(frequencyOfChannel(205), 10800);
    EXPECT_EQ(frequencyOfChannel(206), 9420);  // 10810: above the band top

    setBand(kMode1);
    EXPECT_EQ(frequencyOfChannel(100), 8600);
    EXPECT_EQ(frequencyOfChannel(321), 9420);

    setBand(kMode2);
    EXPECT_EQ(frequencyOfChannel(102), 10790);
    EXPECT_EQ(frequencyOfChannel(103), 9420);

    setBand(kSpacing50);
    EXPECT_EQ(frequencyOfChannel(410), 10800);
    EXPECT_EQ(frequencyOfChannel(411), 9420);  // 10805
    EXPECT_EQ(frequencyOfChannel(0x3FF), 9420);

    // While a resume is pending the chip's channel means nothing yet.
    setBand(kMode0);
    gDriver.tuner.controlRequest = 100;
    EXPECT_EQ(frequencyOfChannel(50), 9420);
    gDriver.tuner.controlRequest = 1;
    EXPECT_EQ(frequencyOfChannel(50), 9250);
}
