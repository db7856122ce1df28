// Tune and seek on the simulated chip, with the RDS interrupt thread handing
// over the chip's completion interrupts, and the display steps of a long seek.
#include "control/StationSearch.h"
#include "tests/rds/CaptureRig.h"

namespace capturetest {
namespace {

using TuneSeek = CaptureRig;

std::vector<sim::RdsGroup> someGroups()
{
    return {{{0xD3A1, 0x1000, 0x0100, 0}, {0, 0, 0, 0}}};
}

TEST_F(TuneSeek, TuneHandsOverStcAndEndsOnTheNewChannel)
{
    world.addStation(9470, 42, 28);  // no RDS
    world.addStation(10110, 50, 30, someGroups());
    bringUpWithInterrupt();
    // STC 65 ms after TUNE, between two 10 ms passes.
    world.chip().timing().tune = 65 * kMs;
    startInterruptThread();
    Sleep(1);
    takeLines();

    // Without RDS nothing interrupts after STC: TUNE is cleared on the pass at
    // 70 ms and the wait for STC to fall runs its 50 passes.
    sim::Micros start = kernel.now();
    Tune(9470);
    EXPECT_EQ(kernel.now(), start + 570 * kMs);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
    EXPECT_EQ(world.chip().frequency(), 9470);
    EXPECT_FALSE(world.chip().tuning());
    EXPECT_EQ(world.chip().reg(CHANNEL), FrequencyToChannel(9470));
    EXPECT_EQ(world.chip().reg(SYSCONFIG1), 0xD804);
    EXPECT_EQ(shadow(STATUSRSSI) & kStatusStc, 0);
    EXPECT_EQ(ChannelFrequency(), 9470);
    EXPECT_EQ(gDriver.tuner.statusStale, 0);
    // The interrupt thread read nothing while the tune owned the chip.
    EXPECT_TRUE(takeLines().empty());

    // On an RDS station the first group's interrupt shows STC fallen. The
    // group is that of the first slot to begin after the tune, at the slot's
    // end; the tune ends on the first 10 ms pass after it.
    start = kernel.now();
    const sim::Micros group = sim::slotStart(sim::slotAt(start + 65 * kMs + sim::kGroupPeriod - 1) + 1);
    const sim::Micros cleared = start + 70 * kMs;
    Tune(10110);
    EXPECT_EQ(kernel.now(), cleared + (group - cleared + 10 * kMs - 1) / (10 * kMs) * (10 * kMs));
    EXPECT_EQ(ChannelFrequency(), 10110);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);

    // Frequency 0 tunes the channel already in CHANNEL again.
    const std::uint64_t stcBefore = world.chip().stcCount();
    Tune(0);
    EXPECT_EQ(world.chip().stcCount(), stcBefore + 1);
    EXPECT_EQ(world.chip().frequency(), 10110);

    // Another thread holds the bus guard as the tune writes TUNE: the write
    // is skipped, and made again at the next pass once the guard is free.
    gDriver.tuner.busGuard = 1;
    kernel.after(25 * kMs, [] { gDriver.tuner.busGuard = 0; });
    Tune(9470);
    EXPECT_EQ(world.chip().frequency(), 9470);
}

TEST_F(TuneSeek, TuneWithoutInterruptsGivesUpAfterFiftyPasses)
{
    world.addStation(9470, 42, 28);
    bringUp();  // no interrupt thread: stcSeen never comes
    const sim::Micros start = kernel.now();
    Tune(9470);
    EXPECT_EQ(kernel.now(), start + 500 * kMs);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
    EXPECT_EQ(world.chip().reg(CHANNEL) & kChannelTune, 0);  // TUNE cleared on the early end
    EXPECT_EQ(ChannelFrequency(), 9470);                     // and the status read once more
}

TEST_F(TuneSeek, ANewRequestEndsTuneAndSeekWithinOneStep)
{
    world.addStation(9470, 42, 28);
    bringUpWithInterrupt();
    startInterruptThread();
    Sleep(1);

    // During the wait for STC: ends on the next 10 ms pass.
    sim::Micros start = kernel.now();
    kernel.at(start + 35 * kMs, [] { gDriver.control.controlRequest = kRequestTune; });
    Tune(9470);
    EXPECT_EQ(kernel.now(), start + 40 * kMs);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
    EXPECT_EQ(world.chip().reg(CHANNEL) & kChannelTune, 0);
    gDriver.control.controlRequest = kRequestNone;

    // During the first wait of a seek: passes of 30 ms without interrupts.
    Tune(9470);
    start = kernel.now();
    kernel.at(start + 45 * kMs, [] { gDriver.control.controlRequest = kRequestSearchUp; });
    Seek(1);
    EXPECT_EQ(kernel.now(), start + 60 * kMs);
    EXPECT_FALSE(world.chip().seeking());
    EXPECT_EQ(world.chip().reg(POWERCFG) & kPowercfgSeek, 0);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
    gDriver.control.controlRequest = kRequestNone;

    // In the idle part of the second wait (only one station: the seek comes
    // back round to it and no group interrupts afterwards): within 10 ms.
    world.chip().timing().seekStep = 5 * kMs;
    start = kernel.now();
    const sim::Micros request = start + 1605 * kMs;
    kernel.at(request, [] { gDriver.control.controlRequest = kRequestTune; });
    Seek(1);
    EXPECT_GT(kernel.now(), request);
    EXPECT_LE(kernel.now(), request + 10 * kMs);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
}

TEST_F(TuneSeek, SeekFindsStationsBothWaysWrapsAndReportsAnEmptyBand)
{
    world.chip().timing().seekStep = 5 * kMs;  // the whole band within the wait
    world.addStation(9000, 45, 28, someGroups());
    world.addStation(10200, 45, 28, someGroups());
    world.addStation(9800, 15, 28, someGroups());  // below SEEKTH 20
    world.addStation(9900, 45, 10, someGroups());  // below the seek's SNR 12 dB
    bringUpWithInterrupt();
    startInterruptThread();
    Tune(9500);
    ASSERT_EQ(ChannelFrequency(), 9500);

    auto seek = [&](std::uint8_t up) {
        Seek(up);
        EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
        EXPECT_FALSE(world.chip().seeking());
        EXPECT_EQ(world.chip().reg(POWERCFG) & kPowercfgSeek, 0);
        return ChannelFrequency();
    };
    EXPECT_EQ(seek(1), 10200);
    EXPECT_EQ(world.chip().reg(SYSCONFIG3), 0x0260);
    EXPECT_EQ(seek(1), 9000);   // round the top edge
    EXPECT_EQ(seek(0), 10200);  // round the bottom edge
    EXPECT_EQ(seek(0), 9000);

    // Nothing to stop at: the chip comes back round and reports SF/BL; the
    // seek still ends and the chip is where it started.
    world.band().remove(9000);
    world.band().remove(10200);
    const std::uint64_t stcBefore = world.chip().stcCount();
    const sim::Micros start = kernel.now();
    Seek(1);
    EXPECT_EQ(world.chip().stcCount(), stcBefore + 1);
    // Ended by STC, not by the pass limit; then no group ever shows STC
    // fallen, so the second wait runs its 65 idle passes.
    EXPECT_GT(kernel.now() - start, 65 * 200 * kMs);
    EXPECT_LT(kernel.now() - start, 65 * 200 * kMs + 1500 * kMs);
    EXPECT_EQ(world.chip().reg(STATUSRSSI) & kStatusSfBl, 0);  // cleared with SEEK
    EXPECT_EQ(ChannelFrequency(), 9000);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
}

TEST_F(TuneSeek, SeekEmptiesTheQueueAndStepsTheDisplayWhileWaiting)
{
    world.addStation(9470, 42, 28);  // no RDS
    world.addStation(9600, 42, 28);  // no RDS
    bringUpWithInterrupt();
    startInterruptThread();
    Tune(9470);
    storeGroup(RdsGroup{1, 2, 3, 4, 0});
    gDriver.rds.decoder.confirmedPi = 0x1234;
    gDriver.sentences.currentFrequency = 9470;
    takeLines();

    // 13 channels of 60 ms, then the wait for STC to fall hears nothing: 65
    // idle passes of 200 ms, a display step every 6th, every 4th of them sent.
    const sim::Micros start = kernel.now();
    Seek(1);
    EXPECT_EQ(bankFill(0) + bankFill(1), 0u);
    EXPECT_EQ(gDriver.rds.decoder.confirmedPi, 0u);
    EXPECT_EQ(ChannelFrequency(), 9600);
    const sim::Micros waited = kernel.now() - start;
    EXPECT_GE(waited, 13 * 60 * kMs + 65 * 200 * kMs);
    EXPECT_LE(waited, 13 * 60 * kMs + 30 * kMs + 65 * 200 * kMs);
    EXPECT_EQ(takeLines(), (Lines{framed("$PLTTQ,9520,2,0,0,5"), framed("$PLTTQ,9570,2,0,0,5")}));
    EXPECT_EQ(gDriver.control.stepCounter, 2);  // 10 calls

    // The display step stays within 87.50 and 107.90 MHz.
    gDriver.control.stepCounter = 0;
    gDriver.sentences.currentFrequency = 10780;
    for (int i = 0; i < 8; ++i) {
        stepDisplayFrequency(1);
    }
    EXPECT_EQ(gDriver.sentences.currentFrequency, 10790);
    gDriver.sentences.currentFrequency = 8760;
    for (int i = 0; i < 4; ++i) {
        stepDisplayFrequency(0);
    }
    EXPECT_EQ(gDriver.sentences.currentFrequency, 8750);
    EXPECT_EQ(takeLines(),
              (Lines{framed("$PLTTQ,10790,2,0,0,5"), framed("$PLTTQ,10790,2,0,0,5"), framed("$PLTTQ,8750,2,0,0,5")}));
}

}  // namespace
}  // namespace capturetest
