#include "driver/DriverContext.h"
#include "platform/ce/WinCE.h"
#include "tuner/RegisterValues.h"
#include "tuner/Tuner.h"

using namespace si4709;

namespace {

// SYSCONFIG2 low byte (band and spacing, volume 0) of each band mode: 0 is
// 87.5-108 MHz on 100 kHz, 1 is 76-90 MHz on 100 kHz, 2 is 87.5-108 MHz on
// 200 kHz. Mode 0 alone has 50 us de-emphasis.
constexpr std::uint16_t kBandModeLowByte[] = {
    kSysconfig2Band.of(kBandEuropeUs) | kSysconfig2Space.of(kSpace100kHz),
    kSysconfig2Band.of(kBandJapan) | kSysconfig2Space.of(kSpace100kHz),
    kSysconfig2Band.of(kBandEuropeUs) | kSysconfig2Space.of(kSpace200kHz),
};
static_assert(kBandModeLowByte[0] == 0x10 && kBandModeLowByte[1] == 0x90 && kBandModeLowByte[2] == 0x00);
// The low byte before the band mode is applied: volume 10.
constexpr std::uint16_t kSysconfig2Initial = kSysconfig2Volume.of(10);
static_assert(kSysconfig2Initial == 0x0A);

constexpr DWORD kPowerUpMs = 110;

RegisterShadow& shadow()
{
    return gDriver.tuner.shadow;
}

// SKSNR from QFN with bit 9 set. QFN is not confined to SKSNR: values from
// 16 up spill into bit 8 and beyond, as the receiver has always taken them.
std::uint16_t seekSnrBits()
{
    return static_cast<std::uint16_t>((gDriver.tuner.settings.QFN.load() << kSysconfig3Sksnr.shift) | kSysconfig3Bit9);
}

// SEEKTH from QFI's low byte.
std::uint16_t seekThresholdBits()
{
    return kSysconfig2Seekth.of(gDriver.tuner.settings.QFI.load());
}

bool programReceiverSettings(const ReceiverSettings& settings)
{
    RegisterShadow& regs = shadow();
    const std::uint8_t mode = settings.bandMode.load();
    const std::uint8_t seekThreshold = settings.seekThresholdByte.load();
    const std::uint8_t volume = settings.volume.load();

    // Start from the chip's own register file: every write sends the shadow
    // from POWERCFG up, so the registers this routine does not set must hold
    // what the chip has. A read reaches POWERCFG only by wrapping round, so
    // it is the whole file. SYSCONFIG1 and SYSCONFIG2 are set below whatever
    // the chip holds: neither cleared nor read, they stay what a read-back on
    // another thread compares the chip with (a 0 there, the chip's after a
    // supply dip, would hide that dip from it).
    constexpr std::uint16_t kSetHere = 1u << SYSCONFIG1 | 1u << SYSCONFIG2;
    for (unsigned reg = 0; reg < kRegisterCount; ++reg) {
        if ((kSetHere >> reg & 1) == 0) {
            regs.set(reg, 0);
        }
    }
    bool transferred = GuardedReadRegisters(STATUSRSSI, BOOTCONFIG, kSetHere);
    regs.set(SYSCONFIG1, kSysconfig1Interrupts75us);
    regs.set(SYSCONFIG2, seekThresholdBits() | kSysconfig2Initial);
    regs.set(SYSCONFIG3, regs.get(SYSCONFIG3) | seekSnrBits());
    gDriver.tuner.statusStale.store(0);
    transferred &= GuardedReadRegisters(READCHAN, READCHAN);

    // Power up first, then bring in band, spacing, mute and RDS mode.
    regs.set(POWERCFG, kPowercfgEnable);
    transferred &= GuardedWriteRegisters(POWERCFG);

    regs.set(SYSCONFIG1, kSysconfig1Interrupts75us);
    regs.set(SYSCONFIG2, regs.get(SYSCONFIG2) | kSysconfig2Seekth.of(seekThreshold));
    if (mode < sizeof kBandModeLowByte / sizeof kBandModeLowByte[0]) {
        regs.set(SYSCONFIG1, mode == 0 ? kSysconfig1Interrupts50us : kSysconfig1Interrupts75us);
        regs.set(SYSCONFIG2, (regs.get(SYSCONFIG2) & ~kSysconfig2BandSpaceVolume) | kBandModeLowByte[mode]);
    }
    std::uint16_t powercfg = regs.get(POWERCFG);
    powercfg = volume != 0 ? (powercfg | kPowercfgDmute) : (powercfg & ~kPowercfgDmute);
    regs.set(POWERCFG, powercfg | kPowercfgRdsm);
    transferred &= GuardedWriteRegisters(POWERCFG);

    regs.set(SYSCONFIG2, regs.get(SYSCONFIG2) | kSysconfig2Volume.of(volume));
    regs.set(SYSCONFIG3, seekSnrBits());
    transferred &= GuardedWriteRegisters(SYSCONFIG3);

    Sleep(kPowerUpMs);
    transferred &= GuardedReadRegisters(STATUSRSSI, BOOTCONFIG);
    gDriver.tuner.statusStale.store(0);
    return transferred;
}

}  // namespace

bool ApplyReceiverSettings(const ReceiverSettings& settings)
{
    // Counted on both sides, so that a read-back on another thread knows a
    // pass rebuilt band, spacing and volume under it (ReadBackRegisterFile).
    gDriver.tuner.settingsPassesBegun.fetchAdd(1);
    const bool transferred = programReceiverSettings(settings);
    gDriver.tuner.settingsPassesEnded.fetchAdd(1);
    return transferred;
}

bool ReceiverSettingsReachedChip(const ReceiverSettings& settings)
{
    const std::uint8_t mode = settings.bandMode.load();
    const std::uint8_t volume = settings.volume.load();
    if (mode >= sizeof kBandModeLowByte / sizeof kBandModeLowByte[0]) return true;
    const std::uint16_t expected = kBandModeLowByte[mode] | kSysconfig2Volume.of(volume);
    return (shadow().get(SYSCONFIG2) & kSysconfig2BandSpaceVolume) == expected;
}

bool ApplySeekSettings()
{
    RegisterShadow& regs = shadow();
    // The whole register file: the write below sends POWERCFG to SYSCONFIG3
    // from the shadow, which must hold what the chip has, not what an earlier
    // skipped transfer left there.
    const bool kept = ReadBackRegisterFile() != RegisterReadBack::SettingsLost;
    regs.set(SYSCONFIG2, kSysconfig2Seekth.set(regs.get(SYSCONFIG2), gDriver.tuner.settings.QFI.load()));
    // ORed in: a lower QFN only reaches the chip when the settings are reapplied.
    regs.set(SYSCONFIG3, regs.get(SYSCONFIG3) | seekSnrBits());
    GuardedWriteRegisters(SYSCONFIG3);
    return kept;
}

// Counted as a settings pass: on 200 kHz spacing a volume of 0 writes band,
// spacing and volume as 0, as a reset leaves them, and a read-back it
// overlaps must not take that for a chip that lost its settings.
void SetVolume(std::uint8_t value)
{
    gDriver.tuner.settingsPassesBegun.fetchAdd(1);
    RegisterShadow& regs = shadow();
    // DMUTE is set for volume 0 and cleared otherwise: the reverse of what
    // ApplyReceiverSettings does with the stored volume.
    const std::uint16_t powercfg = regs.get(POWERCFG);
    regs.set(POWERCFG, value == 0 ? (powercfg | kPowercfgDmute) : (powercfg & ~kPowercfgDmute));
    regs.set(SYSCONFIG2, kSysconfig2Volume.set(regs.get(SYSCONFIG2), value));
    GuardedWriteRegisters(SYSCONFIG2);
    gDriver.tuner.settingsPassesEnded.fetchAdd(1);
}
