// The sentences that report the tuner's registers, on the simulated chip:
// tuning status with its alternating refresh and decoder reset, firmware,
// block errors, and the signal-quality measurement behind "$PXRSNR".
#include "tests/rds/CaptureRig.h"

namespace capturetest {
namespace {

using TunerSentences = CaptureRig;

TEST_F(TunerSentences, TuningStatusRefreshesEverySecondLineAndResetsTheDecoderOnANewStation)
{
    world.addStation(9470, 42, 28);
    world.addStation(9600, 30, 28);
    bringUp();
    tuneChipTo(9470);
    ReadRegisters(10, 11);
    gDriver.tuner.statusStale = 0;
    gDriver.rds.tmcQuality = 60;
    gDriver.rds.decoder.confirmedPi = 0xD3A1;
    takeLines();

    // First line: the shadow as it stands, and a new station for the decoder.
    std::uint64_t reads = world.chip().busReads();
    reportTuningStatus();
    EXPECT_EQ(takeLines(), Lines{"$PLTTQ,9470,42,60,1,0*6a"});
    EXPECT_EQ(world.chip().busReads(), reads);
    EXPECT_EQ(gDriver.rds.decoder.confirmedPi, 0u);
    EXPECT_EQ(gDriver.rds.decoderFrequency, 9470u);
    EXPECT_EQ(gDriver.sentences.currentFrequency, 9470);
    EXPECT_EQ(gDriver.tuner.statusStale, 1);

    // Second line reads STATUSRSSI and READCHAN; the third does not. The
    // decoder is left alone at the same frequency.
    gDriver.rds.decoder.confirmedPi = 0xD3A1;
    world.band().find(9470)->rssi = 44;
    reportTuningStatus();
    EXPECT_EQ(world.chip().busReads(), reads + 1);
    EXPECT_EQ(gDriver.tuner.statusStale, 0);
    reportTuningStatus();
    EXPECT_EQ(world.chip().busReads(), reads + 1);
    EXPECT_EQ(gDriver.tuner.statusStale, 1);
    EXPECT_EQ(takeLines(), (Lines{framed("$PLTTQ,9470,44,60,1,0"), framed("$PLTTQ,9470,44,60,1,0")}));
    EXPECT_EQ(gDriver.rds.decoder.confirmedPi, 0xD3A1u);

    // Another station (read into the shadow, as a tune does), with the
    // status marked stale: the decoder is reset and the status read again
    // before the line goes out.
    tuneChipTo(9600);
    ReadRegisters(10, 11);
    gDriver.tuner.statusStale = 1;
    reads = world.chip().busReads();
    gDriver.tuner.settings.bandMode = 2;
    reportTuningStatus();
    EXPECT_EQ(takeLines(), Lines{framed("$PLTTQ,9600,30,60,1,2")});
    EXPECT_EQ(world.chip().busReads(), reads + 1);
    EXPECT_EQ(gDriver.rds.decoder.confirmedPi, 0u);
    EXPECT_EQ(gDriver.rds.decoderFrequency, 9600u);
    EXPECT_EQ(gDriver.sentences.currentFrequency, 9600);

    // SF/BL set: the channel is not valid. The bus guard taken: no read, and
    // the status still counts as fresh afterwards.
    gDriver.tuner.shadow.set(STATUSRSSI, gDriver.tuner.shadow.get(STATUSRSSI) | kStatusSfBl);
    gDriver.tuner.statusStale = 0;
    reportTuningStatus();
    gDriver.tuner.busGuard = 1;
    reads = world.chip().busReads();
    reportTuningStatus();
    gDriver.tuner.busGuard = 0;
    EXPECT_EQ(world.chip().busReads(), reads);
    EXPECT_EQ(gDriver.tuner.statusStale, 0);
    EXPECT_EQ(takeLines(), (Lines{framed("$PLTTQ,9600,30,60,0,2"), framed("$PLTTQ,9600,30,60,0,2")}));
}

TEST_F(TunerSentences, FirmwareReadsTheRegisterFileAndBlockErrorsNeedTheDebugFlag)
{
    bringUp();
    gDriver.tuner.shadow.set(CHIPID, 0);
    gDriver.tuner.statusStale = 1;
    emitFirmware();
    // CHIPID 0x1253: firmware 19, DEV 9, REV 4; DEVICEID 0x1242.
    const int test2 = world.chip().reg(TEST2) & 0xF;
    EXPECT_EQ(takeLines(), Lines{framed("$PXRFW,19," + std::to_string(test2) + ",9,4,4674")});
    EXPECT_EQ(gDriver.tuner.statusStale, 0);

    gDriver.tuner.shadow.set(STATUSRSSI, 0);
    gDriver.tuner.shadow.set(READCHAN, 0);
    gDriver.sentences.outputFilter.flags = kDefaultFilterFlags;
    emitBlockErrors();
    EXPECT_TRUE(takeLines().empty());
    gDriver.sentences.outputFilter.flags = kDefaultFilterFlags | kFilterDebug;
    emitBlockErrors();
    gDriver.tuner.shadow.set(STATUSRSSI, kStatusBlera.set(0x8000, 2));
    gDriver.tuner.shadow.set(READCHAN, kReadchanBlerb.set(kReadchanBlerc.set(72, 3), 1));
    emitBlockErrors();
    EXPECT_EQ(takeLines(), (Lines{"$GPBLER,A 0,B 0,C 0,D 0*0a", framed("$GPBLER,A 2,B 1,C 3,D 0")}));
}

TEST_F(TunerSentences, SignalQualityIsMeasuredOnlyWhenTheModeAsksForIt)
{
    world.addStation(9470, 42, 28);
    bringUp();
    tuneChipTo(9470);
    ReadRegisters(10, 9);
    takeLines();

    for (std::uint8_t mode : {0, 3, 8, 11}) {
        gDriver.tuner.receiverMode = mode;
        const std::uint64_t transfers = world.chip().busReads() + world.chip().busWrites();
        MeasureSignalQuality(emitSignalQuality);
        EXPECT_EQ(world.chip().busReads() + world.chip().busWrites(), transfers) << "mode " << int{mode};
    }
    EXPECT_TRUE(takeLines().empty());

    // Step one ends 20 ms after it starts (seen by the poll at 30 ms), step
    // two 40 ms after (seen at 60 ms), then the 30 ms pause.
    std::uint16_t before[kRegisterCount];
    for (unsigned reg = POWERCFG; reg <= SYSCONFIG3; ++reg) {
        before[reg] = world.chip().reg(static_cast<Register>(reg));
    }
    for (std::uint8_t mode : {4, 12}) {
        gDriver.tuner.receiverMode = mode;
        const sim::Micros start = kernel.now();
        MeasureSignalQuality(emitSignalQuality);
        EXPECT_EQ(kernel.now(), start + 120 * kMs) << "mode " << int{mode};
        EXPECT_EQ(takeLines(), Lines{framed("$PXRSNR,9470,42,28,0,0,0,0")}) << "mode " << int{mode};
        EXPECT_EQ(gDriver.tuner.qualityResult, 28);
        EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
        for (unsigned reg = POWERCFG; reg <= SYSCONFIG3; ++reg) {
            EXPECT_EQ(world.chip().reg(static_cast<Register>(reg)), before[reg]) << "register " << reg;
            EXPECT_EQ(shadow(reg), before[reg]) << "register " << reg;
        }
    }

    // A chip that answers step one with 0x0100 never ends the first poll:
    // after 50 polls the measurement is dropped without a sentence and the
    // registers (interrupts included) are back.
    world.chip().setQualityAnswers(0x0100, 0x0100);
    gDriver.tuner.qualityResult = 0;
    const sim::Micros start = kernel.now();
    MeasureSignalQuality(emitSignalQuality);
    EXPECT_EQ(kernel.now(), start + 50 * 30 * kMs);
    EXPECT_TRUE(takeLines().empty());
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
    EXPECT_EQ(gDriver.tuner.qualityResult, 0);
    EXPECT_EQ(world.chip().reg(SYSCONFIG1), 0xD804);

    // The same 0x0100 ends the second step, which looks at the low byte only.
    world.chip().setQualityAnswers(0x0000, 0x0100);
    const sim::Micros again = kernel.now();
    MeasureSignalQuality(emitSignalQuality);
    EXPECT_EQ(kernel.now(), again + 120 * kMs);
    EXPECT_EQ(takeLines(), Lines{framed("$PXRSNR,9470,42,28,0,0,0,0")});
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
}

}  // namespace
}  // namespace capturetest
