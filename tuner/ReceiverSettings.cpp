#include "driver/DriverContext.h"
#include "platform/ce/WinCE.h"
#include "tuner/Tuner.h"

using namespace si4709;

namespace {

// SYSCONFIG1 with RDSIEN, STCIEN, RDS and GPIO2 as interrupt output; with DE
// for 50 us de-emphasis, without it for 75 us.
constexpr std::uint16_t kSysconfig1Interrupts75us = static_cast<std::uint16_t>(
    kSysconfig1Rdsien | kSysconfig1Stcien | kSysconfig1Rds | kSysconfig1Gpio2.set(0, kGpio2Interrupt));  // 0xD004
constexpr std::uint16_t kSysconfig1Interrupts50us = kSysconfig1Interrupts75us | kSysconfig1De;      // 0xD804
static_assert(kSysconfig1Interrupts50us == 0xD804);

// SYSCONFIG2 low byte (band and spacing, volume 0) of each band mode.
constexpr std::uint16_t kBandModeLowByte[] = {0x10, 0x90, 0x00};
constexpr std::uint16_t kSysconfig2Initial = 0x0A;  // low byte before the band mode is applied

constexpr DWORD kPowerUpMs = 110;

RegisterShadow& shadow()
{
    return gDriver.tuner.shadow;
}

// SKSNR from QFN with bit 9 set; QFN values from 16 up spill into bit 8.
std::uint16_t SeekSnrBits()
{
    return static_cast<std::uint16_t>((gDriver.tuner.settings.QFN.load() | 0x20) << 4);
}

// SEEKTH from QFI's low byte.
std::uint16_t SeekThresholdBits()
{
    return static_cast<std::uint16_t>(gDriver.tuner.settings.QFI.load() << 8);
}

}  // namespace

bool ApplyReceiverSettings(const ReceiverSettings& settings)
{
    RegisterShadow& regs = shadow();
    const std::uint8_t mode = settings.bandMode.load();
    const std::uint8_t seekThreshold = settings.seekThresholdByte.load();
    const std::uint8_t volume = settings.volume.load();

    // Start from the chip's own register file.
    for (unsigned reg = 0; reg < kRegisterCount; ++reg) {
        if (reg != SYSCONFIG2) {
            regs.set(reg, 0);
        }
    }
    bool transferred = GuardedReadRegisters(10, 9);
    regs.set(SYSCONFIG1, kSysconfig1Interrupts75us);
    regs.set(SYSCONFIG2, SeekThresholdBits() | kSysconfig2Initial);
    regs.set(SYSCONFIG3, regs.get(SYSCONFIG3) | SeekSnrBits());
    gDriver.tuner.statusStale.store(0);
    transferred &= GuardedReadRegisters(11, 11);

    // Power up first, then bring in band, spacing, mute and RDS mode.
    regs.set(POWERCFG, kPowercfgEnable);
    transferred &= GuardedWriteRegisters(POWERCFG);

    regs.set(SYSCONFIG1, kSysconfig1Interrupts75us);
    regs.set(SYSCONFIG2, regs.get(SYSCONFIG2) | (seekThreshold << 8));
    if (mode < sizeof kBandModeLowByte / sizeof kBandModeLowByte[0]) {
        regs.set(SYSCONFIG1, mode == 0 ? kSysconfig1Interrupts50us : kSysconfig1Interrupts75us);
        regs.set(SYSCONFIG2, (regs.get(SYSCONFIG2) & 0xFF00) | kBandModeLowByte[mode]);
    }
    std::uint16_t powercfg = regs.get(POWERCFG);
    powercfg = volume != 0 ? (powercfg | kPowercfgDmute) : (powercfg & ~kPowercfgDmute);
    regs.set(POWERCFG, powercfg | kPowercfgRdsm);
    transferred &= GuardedWriteRegisters(POWERCFG);

    regs.set(SYSCONFIG2, regs.get(SYSCONFIG2) | (volume & 0x0F));
    regs.set(SYSCONFIG3, SeekSnrBits());
    transferred &= GuardedWriteRegisters(SYSCONFIG3);

    Sleep(kPowerUpMs);
    transferred &= GuardedReadRegisters(10, 9);
    gDriver.tuner.statusStale.store(0);
    return transferred;
}

bool ReceiverSettingsReachedChip(const ReceiverSettings& settings)
{
    const std::uint8_t mode = settings.bandMode.load();
    const std::uint8_t volume = settings.volume.load();
    if (mode >= sizeof kBandModeLowByte / sizeof kBandModeLowByte[0])
        return true;
    const std::uint16_t expected = kBandModeLowByte[mode] | (volume & 0x0F);
    return (shadow().get(SYSCONFIG2) & 0x00FF) == expected;
}

void ApplySeekSettings()
{
    RegisterShadow& regs = shadow();
    GuardedReadRegisters(5, 5);
    regs.set(SYSCONFIG2, (regs.get(SYSCONFIG2) & 0x00FF) | SeekThresholdBits());
    // ORed in: a lower QFN only reaches the chip when the settings are reapplied.
    regs.set(SYSCONFIG3, regs.get(SYSCONFIG3) | SeekSnrBits());
    GuardedWriteRegisters(SYSCONFIG3);
}

void SetVolume(std::uint8_t value)
{
    RegisterShadow& regs = shadow();
    // DMUTE is set for volume 0 and cleared otherwise: the reverse of what
    // ApplyReceiverSettings does with the stored volume.
    const std::uint16_t powercfg = regs.get(POWERCFG);
    regs.set(POWERCFG, value == 0 ? (powercfg | kPowercfgDmute) : (powercfg & ~kPowercfgDmute));
    regs.set(SYSCONFIG2, kSysconfig2Volume.set(regs.get(SYSCONFIG2), value & 0x0F));
    GuardedWriteRegisters(SYSCONFIG2);
}
