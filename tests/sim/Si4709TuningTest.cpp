// Tune and seek on a small band: timing, the channel reached, STC, SF/BL,
// thresholds, and the interrupt pulses they cause.
#include "ChipRig.h"

namespace simtest {
namespace {

using ChipTuning = ChipRig;

// Channels at 100 kHz from 87.5 MHz: 8850 is channel 10, 9500 is 75, 10500 is 175.
void addSmallBand(sim::World& world)
{
    world.addStation(8850, 40, 25);
    world.addStation(9500, 50, 30).stereo = false;
    world.addStation(10500, 35, 20);
}

TEST_F(ChipTuning, TuneSetsStcAfterSixtyMillisecondsWithTheStationsSignal)
{
    addSmallBand(world);
    powerUp(kInterruptConfig & ~kSysconfig1Stcien);
    startTune(10);
    Sleep(59);
    EXPECT_FALSE(status() & kStatusStc);
    Sleep(2);
    std::uint16_t s = status();
    EXPECT_TRUE(s & kStatusStc);
    EXPECT_EQ(kReadchanChan.get(shadow[READCHAN]), 10u);
    EXPECT_EQ(kStatusRssi.get(s), 40u);
    EXPECT_TRUE(s & kStatusSt);
    EXPECT_FALSE(s & kStatusAfcrl);
    EXPECT_EQ(world.soc().tunerInterruptEdges(), 0u);  // STCIEN off
    endTune();
    EXPECT_FALSE(status() & kStatusStc);

    // Mono station; then an empty channel: no carrier, noise-level RSSI.
    tuneTo(75);
    EXPECT_FALSE(status() & kStatusSt);
    EXPECT_EQ(world.chip().frequency(), 9500);
    // A station leaving the air, and another coming on its frequency, are
    // heard at once on the channel the chip stays on.
    world.band().remove(9500);
    EXPECT_EQ(kStatusRssi.get(status()), static_cast<unsigned>(world.band().noiseRssi()));
    world.addStation(9500, 45, 30);
    EXPECT_EQ(kStatusRssi.get(status()), 45u);
    tuneTo(50);
    s = status();
    EXPECT_TRUE(s & kStatusAfcrl);
    EXPECT_EQ(kStatusRssi.get(s), static_cast<unsigned>(world.band().noiseRssi()));

    // Clearing TUNE before STC ends the tune on the channel, without STC.
    startTune(175);
    Sleep(20);
    endTune();
    EXPECT_EQ(readChannel(), 175u);
    Sleep(100);
    EXPECT_FALSE(status() & kStatusStc);
}

TEST_F(ChipTuning, SeekStepsSixtyMillisecondsPerChannelUpDownAndRoundTheBand)
{
    addSmallBand(world);
    powerUp(kInterruptConfig & ~kSysconfig1Rds);
    struct Case {
        bool up;
        unsigned steps;
        unsigned reached;
    };
    // From channel 0: up to 10, up to 75, down to 10, up twice to 175, then up
    // round the top edge (205) back to 10.
    const Case cases[] = {{true, 10, 10}, {true, 65, 75},   {false, 65, 10},
                          {true, 65, 75}, {true, 100, 175}, {true, 41, 10}};
    std::uint64_t edges = world.soc().tunerInterruptEdges();
    for (const Case& c : cases) {
        startSeek(c.up);
        Sleep(static_cast<DWORD>(c.steps * 60 - 1));
        EXPECT_FALSE(status() & kStatusStc) << c.reached;
        EXPECT_TRUE(world.chip().seeking());
        Sleep(2);
        const std::uint16_t s = status();
        EXPECT_TRUE(s & kStatusStc) << c.reached;
        EXPECT_FALSE(s & kStatusSfBl);
        EXPECT_EQ(kReadchanChan.get(shadow[READCHAN]), c.reached);
        EXPECT_EQ(world.soc().tunerInterruptEdges(), ++edges) << "one STC pulse per seek";
        endSeek();
        EXPECT_FALSE(status() & kStatusStc);
    }
    // SKMODE 1 from 175 upwards: stops at the top channel with SF/BL.
    tuneTo(175);
    startSeek(true, true);
    Sleep(31 * 60 + 1);
    const std::uint16_t s = status();
    EXPECT_TRUE(s & kStatusStc);
    EXPECT_TRUE(s & kStatusSfBl);
    EXPECT_EQ(kReadchanChan.get(shadow[READCHAN]), 205u);
    endSeek();
    EXPECT_FALSE(status() & (kStatusStc | kStatusSfBl));
}

TEST_F(ChipTuning, SeekOnAnEmptyBandComesBackWithSfBlAndClearingSeekStopsIt)
{
    powerUp();
    tuneTo(100);
    startSeek(false);
    // 205 other channels, then back at the start: 206 steps.
    Sleep(206 * 60 - 1);
    EXPECT_FALSE(status() & kStatusStc);
    Sleep(2);
    std::uint16_t s = status();
    EXPECT_TRUE(s & kStatusStc);
    EXPECT_TRUE(s & kStatusSfBl);
    EXPECT_EQ(kReadchanChan.get(shadow[READCHAN]), 100u);
    endSeek();

    // A seek cleared while it runs stops where it is and never sets STC.
    world.addStation(10000, 60, 40);  // channel 125, never reached
    startSeek(true);
    Sleep(5 * 60 + 30);
    endSeek();
    EXPECT_EQ(readChannel(), 105u);
    Sleep(2000);
    EXPECT_FALSE(status() & kStatusStc);
    EXPECT_EQ(world.chip().channel(), 105u);
}

TEST_F(ChipTuning, SeekStopsOnlyWhereRssiReachesSeekthAndSnrReachesSksnr)
{
    world.addStation(8950, 15, 30);  // channel 20: weak
    world.addStation(9150, 30, 6);   // channel 40: strong but noisy
    world.addStation(9350, 30, 30);  // channel 60: strong and clean
    struct Case {
        unsigned seekth;
        unsigned sksnr;
        unsigned reached;
    };
    // SKSNR n asks for 2n dB.
    const Case cases[] = {{20, 0, 40}, {20, 3, 40}, {20, 4, 60}, {10, 0, 20}, {15, 15, 20}, {31, 0, 0}};
    for (const Case& c : cases) {
        resetChip();
        powerUp(kInterruptConfig, c.seekth, c.sksnr);
        startSeek(true);
        Sleep(207 * 60);
        const std::uint16_t s = status();
        EXPECT_TRUE(s & kStatusStc);
        EXPECT_EQ(kReadchanChan.get(shadow[READCHAN]), c.reached) << c.seekth << "/" << c.sksnr;
        EXPECT_EQ((s & kStatusSfBl) != 0, c.reached == 0);
        endSeek();
    }
}

TEST_F(ChipTuning, BandAndSpacingSetTheChannelGridAndTheEdges)
{
    world.addStation(8950, 40, 25);  // 76-90 MHz at 100 kHz: channel 135 of 0..140
    world.addStation(9050, 60, 40);  // above 90 MHz: out of this band
    powerUp();
    shadow[SYSCONFIG2] = kSysconfig2Band.set(shadow[SYSCONFIG2], 2);
    ASSERT_TRUE(send(SYSCONFIG2));
    EXPECT_EQ(world.chip().topChannel(), 140u);
    startSeek(true);
    Sleep(135 * 60 + 1);
    EXPECT_TRUE(status() & kStatusStc);
    EXPECT_EQ(kReadchanChan.get(shadow[READCHAN]), 135u);
    EXPECT_EQ(world.chip().frequency(), 8950);
    endSeek();
    // Round the band (140, then 0..134) and back without another station.
    startSeek(true);
    Sleep(141 * 60 + 1);
    EXPECT_TRUE(status() & kStatusSfBl);
    EXPECT_EQ(kReadchanChan.get(shadow[READCHAN]), 135u);
    endSeek();

    // 87.5-108 MHz at 200 kHz: 102 channels above the bottom; 50 kHz: 410.
    shadow[SYSCONFIG2] = kSysconfig2Space.set(kSysconfig2Band.set(shadow[SYSCONFIG2], 0), 0);
    ASSERT_TRUE(send(SYSCONFIG2));
    EXPECT_EQ(world.chip().topChannel(), 102u);
    tuneTo(10);
    EXPECT_EQ(world.chip().frequency(), 8950);
    EXPECT_FALSE(status() & kStatusAfcrl);
    shadow[SYSCONFIG2] = kSysconfig2Space.set(shadow[SYSCONFIG2], 2);
    ASSERT_TRUE(send(SYSCONFIG2));
    EXPECT_EQ(world.chip().topChannel(), 410u);
    tuneTo(60);
    EXPECT_EQ(world.chip().frequency(), 9050);
}

TEST_F(ChipTuning, InterruptPulsesOnlyWhenEnabledAndConfigured)
{
    addSmallBand(world);
    // GPIO2 not set up as the interrupt output: STCIEN alone gives no edge.
    powerUp(kSysconfig1Stcien);
    tuneTo(10);
    EXPECT_EQ(world.soc().tunerInterruptEdges(), 0u);
    EXPECT_EQ(world.chip().stcCount(), 1u);

    shadow[SYSCONFIG1] = kSysconfig1Stcien | (kGpio2Interrupt << 2);
    ASSERT_TRUE(send(SYSCONFIG1));
    startTune(75);
    Sleep(61);
    EXPECT_EQ(world.soc().tunerInterruptEdges(), 1u);
    // The pulse is 5 ms low, then the line is released.
    EXPECT_FALSE(world.soc().tunerInterruptLevel());
    Sleep(3);
    EXPECT_FALSE(world.soc().tunerInterruptLevel());
    Sleep(2);
    EXPECT_TRUE(world.soc().tunerInterruptLevel());
    endTune();
    tuneTo(10);
    EXPECT_EQ(world.soc().tunerInterruptEdges(), 2u);
}

}  // namespace
}  // namespace simtest
