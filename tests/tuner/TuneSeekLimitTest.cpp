// The pass limits of tune and seek in virtual time: without interrupts a tune
// gives up after 50 passes of 10 ms and a seek after 50 passes of 30 ms; a
// completion seen only on the 50th pass still ends the tune the early way.
#include "control/StationSearch.h"
#include "tests/rds/CaptureRig.h"

namespace capturetest {
namespace {

using TuneSeekLimits = CaptureRig;

TEST_F(TuneSeekLimits, SeekWithoutInterruptsGivesUpAfterFiftyPassesOfThirtyMilliseconds)
{
    world.addStation(9470, 42, 28);
    world.addStation(10200, 45, 28);
    bringUp();  // no interrupt thread: stcSeen never comes
    gDriver.tuner.shadow.set(CHANNEL, FrequencyToChannel(9470) | kChannelTune);
    WriteRegisters(CHANNEL);
    Sleep(70);
    gDriver.tuner.shadow.set(CHANNEL, FrequencyToChannel(9470));
    WriteRegisters(CHANNEL);

    const sim::Micros start = kernel.now();
    Seek(1);
    EXPECT_EQ(kernel.now(), start + 50 * 30 * kMs);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
    // SEEK cleared on the early end; the chip, stopped, reports where it is.
    EXPECT_EQ(world.chip().reg(POWERCFG) & kPowercfgSeek, 0);
    EXPECT_FALSE(world.chip().seeking());
    EXPECT_EQ(world.chip().reg(SYSCONFIG3), 0x0260);
    EXPECT_EQ(world.chip().reg(SYSCONFIG1), 0xD804);
    EXPECT_EQ(ChannelFrequency(), world.chip().frequency());
    EXPECT_EQ(gDriver.tuner.statusStale, 0);
}

TEST_F(TuneSeekLimits, CompletionOnTheFiftiethPassEndsTheTuneEarlyAndOnTheFortyNinthWaitsForStcToFall)
{
    world.addStation(9470, 42, 28);  // no RDS: nothing interrupts after STC
    bringUpWithInterrupt();
    startInterruptThread();
    Sleep(1);

    // STC at 495 ms is seen on the pass at 500 ms, the last one: TUNE is
    // cleared and the tune ends there, without waiting for STC to fall.
    world.chip().timing().tune = 495 * kMs;
    sim::Micros start = kernel.now();
    Tune(9470);
    EXPECT_EQ(kernel.now(), start + 500 * kMs);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
    EXPECT_EQ(world.chip().reg(CHANNEL) & kChannelTune, 0);
    EXPECT_EQ(ChannelFrequency(), 9470);

    // STC at 485 ms, seen at 490 ms: TUNE cleared, then the wait for STC to
    // fall runs its 50 passes, since no group interrupts to show it.
    world.chip().timing().tune = 485 * kMs;
    start = kernel.now();
    Tune(9470);
    EXPECT_EQ(kernel.now(), start + 990 * kMs);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
    EXPECT_EQ(world.chip().reg(CHANNEL) & kChannelTune, 0);
}

TEST_F(TuneSeekLimits, RequestDuringTheWaitForStcToFallEndsTheTuneWithoutAFinalRead)
{
    world.addStation(9470, 42, 28);  // no RDS: STC stays up after TUNE is cleared
    bringUpWithInterrupt();
    startInterruptThread();
    Sleep(1);

    // STC at 60 ms, seen on the pass at 60 ms: TUNE cleared, then the second
    // wait. A request at 105 ms ends it on the pass at 110 ms.
    const sim::Micros start = kernel.now();
    std::uint64_t readsAtRequest = 0;
    kernel.at(start + 105 * kMs, [&] {
        readsAtRequest = world.chip().busReads();
        gDriver.control.controlRequest = kRequestTune;
    });
    Tune(9470);
    EXPECT_EQ(kernel.now(), start + 110 * kMs);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
    EXPECT_EQ(world.chip().reg(CHANNEL) & kChannelTune, 0);
    EXPECT_EQ(world.chip().busReads(), readsAtRequest);
    gDriver.control.controlRequest = kRequestNone;
}

}  // namespace
}  // namespace capturetest
