// Receiver settings as the chip ends up holding them: band modes, seek
// thresholds and their spill, volume and mute.
#include "tests/tuner/TunerRig.h"

#include <memory>

namespace tunertest {
namespace {

class ReceiverSettingsRig : public TunerRig {
protected:
    void SetUp() override { bringUp(); }

    std::uint16_t chip(Register reg) { return world.chip().reg(reg); }

    void apply(std::uint8_t mode, std::uint8_t seekThreshold, std::uint8_t volume)
    {
        ReceiverSettings& settings = gDriver.tuner.settings;
        settings.bandMode = mode;
        settings.seekThresholdByte = seekThreshold;
        settings.volume = volume;
        ApplyReceiverSettings(settings);
    }
};

TEST_F(ReceiverSettingsRig, BandModesSetBandSpacingAndDeemphasis)
{
    apply(1, 20, 15);
    EXPECT_EQ(chip(SYSCONFIG1), 0xD004);
    EXPECT_EQ(chip(SYSCONFIG2), 0x149F);
    EXPECT_EQ(world.chip().bandBottom(), 7600);
    EXPECT_FALSE(world.chip().audio().deemphasis50us);

    apply(2, 20, 15);
    EXPECT_EQ(chip(SYSCONFIG2), 0x140F);

    // The threshold byte handed in is ORed over QFI's, volume 0 clears DMUTE.
    gDriver.tuner.settings.QFI = 0x21;
    apply(0, 0x12, 0);
    EXPECT_EQ(chip(SYSCONFIG1), 0xD804);
    EXPECT_EQ(chip(SYSCONFIG2), 0x3310);
    EXPECT_EQ(chip(POWERCFG), 0x0801);
}

TEST_F(ReceiverSettingsRig, SeekSettingsOrInTheSnrUntilReapplied)
{
    // QFN 16 lands in bit 8 and leaves SKSNR at 0.
    gDriver.tuner.settings.QFN = 16;
    apply(0, 20, 15);
    EXPECT_EQ(chip(SYSCONFIG3), 0x0300);
    EXPECT_EQ(kSysconfig3Sksnr.get(chip(SYSCONFIG3)), 0);

    // A new QFI replaces SEEKTH only; a lower QFN is ORed over the old value.
    gDriver.tuner.settings.QFI = 25;
    gDriver.tuner.settings.QFN = 3;
    EXPECT_TRUE(ApplySeekSettings());
    EXPECT_EQ(chip(SYSCONFIG2), 0x191F);
    EXPECT_EQ(chip(SYSCONFIG3), 0x0330);
    EXPECT_EQ(chip(POWERCFG), 0x4801);  // read back and written unchanged

    apply(0, 25, 15);
    EXPECT_EQ(chip(SYSCONFIG3), 0x0230);
    EXPECT_EQ(chip(SYSCONFIG2), 0x191F);
}

TEST_F(ReceiverSettingsRig, ReadBackFindsAChipThatASupplyDipReset)
{
    // On 200 kHz spacing at volume 0 the chip holds what a reset leaves in
    // band, spacing and volume: that alone is no loss.
    apply(2, 20, 0);
    EXPECT_EQ(ReadBackRegisterFile(), RegisterReadBack::InStep);

    apply(0, 20, 15);
    world.chip().supplyDip();
    EXPECT_EQ(ReadBackRegisterFile(), RegisterReadBack::SettingsLost);

    // A tune writes POWERCFG to SYSCONFIG1 from the shadow: the chip powers up
    // again with RDS on but keeps its reset volume and band, which the seek
    // settings' read-back would otherwise take into the shadow for good.
    apply(0, 20, 15);
    world.chip().supplyDip();
    EXPECT_TRUE(GuardedWriteRegisters(SYSCONFIG1));
    EXPECT_EQ(chip(POWERCFG), 0x4801);
    EXPECT_FALSE(ApplySeekSettings());
    EXPECT_EQ(kSysconfig2Volume.get(chip(SYSCONFIG2)), 0);

    world.bus().failTransfers(0, 1);
    EXPECT_EQ(ReadBackRegisterFile(), RegisterReadBack::Missed);
}

// The volume command's V0 on 200 kHz spacing writes band, spacing and volume
// as 0, as a reset leaves them. A read-back it lands in (at every point of
// the read-back's span, on another thread that takes the processor there)
// must not take that for a chip that lost its settings: a needless recovery.
class VolumeDuringReadBack : public TunerRig {
protected:
    VolumeDuringReadBack() : TunerRig(sim::Schedule::Random) {}
};

DWORD WINAPI volumeZeroWhenSignalled(LPVOID event)
{
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    SetVolume(0);
    return 0;
}

TEST_F(VolumeDuringReadBack, AVolumeOfZeroOnTwoHundredKilohertzSpacingIsNoLostSetting)
{
    bringUp();
    for (unsigned point = 1; point <= 60; ++point) {
        SCOPED_TRACE(point);
        gDriver.tuner.settings.bandMode = 2;
        gDriver.tuner.settings.volume = 15;
        ApplyReceiverSettings(gDriver.tuner.settings);
        const HANDLE signal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        const HANDLE volume = CreateThread(nullptr, 0, volumeZeroWhenSignalled, signal, 0, nullptr);
        CeSetThreadPriority(volume, 100);
        Sleep(1);
        auto live = std::make_shared<bool>(true);
        kernel.atPoint(kernel.preemptionPoints() + point, [signal, live] {
            if (*live) SetEvent(signal);
        });
        EXPECT_NE(ReadBackRegisterFile(), RegisterReadBack::SettingsLost);
        *live = false;
        SetEvent(signal);  // landed after the read-back: it runs now
        EXPECT_EQ(WaitForSingleObject(volume, 1000), WAIT_OBJECT_0);
        CloseHandle(volume);
        CloseHandle(signal);
    }
}

TEST_F(ReceiverSettingsRig, VolumeCommandSetsDmuteOnlyForZero)
{
    SetVolume(0);
    EXPECT_EQ(chip(POWERCFG), 0x4801);
    EXPECT_EQ(chip(SYSCONFIG2), 0x1410);

    SetVolume(0x1F);  // only the low four bits are a volume
    EXPECT_EQ(chip(POWERCFG), 0x0801);
    EXPECT_EQ(chip(SYSCONFIG2), 0x141F);

    SetVolume(15);
    EXPECT_EQ(chip(POWERCFG), 0x0801);
    EXPECT_EQ(chip(SYSCONFIG2), 0x141F);
    SetVolume(0);
    EXPECT_EQ(chip(POWERCFG), 0x4801);
    EXPECT_EQ(chip(SYSCONFIG2), 0x1410);

    SetVolume(8);
    EXPECT_EQ(chip(SYSCONFIG2), 0x1418);
    EXPECT_EQ(gDriver.tuner.settings.volume, 15);  // the stored volume stays

    // Reapplying the settings brings back the stored volume with DMUTE set.
    apply(0, 20, gDriver.tuner.settings.volume);
    EXPECT_EQ(chip(POWERCFG), 0x4801);
    EXPECT_EQ(chip(SYSCONFIG2), 0x141F);
}

}  // namespace
}  // namespace tunertest
