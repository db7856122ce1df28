#include "driver/DriverContext.h"
#include "platform/Diagnostics.h"
#include "platform/Platform.h"
#include "tuner/RegisterValues.h"
#include "tuner/Tuner.h"
#include "tuner/TunerMessages.h"

namespace {

TunerState& tuner()
{
    return gDriver.tuner;
}

bool busOff()
{
    return tuner().i2cOff.load() == 1;
}

BYTE transferBytes(I2CHandle* handle, DWORD direction, BYTE* data, DWORD length)
{
    const bool write = direction == kI2CDirectionWrite;
    if (busOff()) {
        return 0;
    }
    if (handle == nullptr) {
        PrintErrorLocation(kSourceDriver, write ? kLineWriteHandleNull : kLineReadHandleNull);
        NKDbgPrintfW(kMsgHandleNull);
        return 0;
    }
    if (!I2CTransfer(handle, si4709::kBusAddress, direction, data, length)) {
        PrintErrorLocation(kSourceDriver, write ? kLineWriteFailed : kLineReadFailed);
        NKDbgPrintfW(write ? kMsgWriteFailed : kMsgReadFailed);
        return 0;
    }
    return 1;
}

}  // namespace

BYTE I2C_Write(I2CHandle* handle, BYTE* data, DWORD length)
{
    return transferBytes(handle, kI2CDirectionWrite, data, length);
}

BYTE I2C_Read(I2CHandle* handle, BYTE* data, DWORD length)
{
    return transferBytes(handle, kI2CDirectionRead, data, length);
}

bool ReadRegisters(unsigned first, unsigned last, std::uint16_t keep)
{
    if (busOff()) {
        return false;
    }
    // The chip has no register pointer: a read always starts at STATUSRSSI,
    // so reaching register `last` in 10..15 takes last - 9 registers; below
    // that the read has to wrap round.
    DWORD length;
    if (last >= si4709::kFirstReadRegister && last < si4709::kRegisterCount) {
        length = 2 * (last - 9);
    } else if (last > first) {
        length = (2 * (last - first + 1)) & 0xFF;
    } else {
        length = 2 * si4709::kRegisterCount;
    }
    // Register numbers out of 0..15 could ask for more than the whole file.
    if (length == 0 || length > kI2CMaxTransfer) {
        return false;
    }

    BYTE data[kI2CMaxTransfer];
    if (!I2C_Read(tuner().pI2CHandle.load(), data, length)) {
        return false;
    }
    for (DWORD i = 0; i < length / 2; ++i) {
        const unsigned reg = (si4709::kFirstReadRegister + i) % si4709::kRegisterCount;
        if ((keep >> reg & 1) == 0) tuner().shadow.set(reg, (data[2 * i] << 8) | data[2 * i + 1]);
    }
    return true;
}

bool WriteRegisters(unsigned last)
{
    if (busOff()) {
        return false;
    }
    // Registers 2 to last, as many bytes as the bus takes in one transfer;
    // a last register beyond the register file would send whatever follows
    // the shadow, so it is refused like an oversized write.
    const DWORD length = (2 * (last - 1)) & 0xFF;
    if (length == 0 || length > kI2CMaxTransfer || last >= si4709::kRegisterCount) {
        return false;
    }
    BYTE data[kI2CMaxTransfer];
    for (DWORD i = 0; i < length / 2; ++i) {
        const std::uint16_t value = tuner().shadow.get(si4709::kFirstWriteRegister + i);
        data[2 * i] = static_cast<BYTE>(value >> 8);
        data[2 * i + 1] = static_cast<BYTE>(value);
    }
    return I2C_Write(tuner().pI2CHandle.load(), data, length) != 0;
}

bool TryTakeBusGuard()
{
    // Test and set in one step: two threads can never both find it free.
    return tuner().busGuard.exchange(1, std::memory_order_acquire) == 0;
}

bool WaitForBusGuard()
{
    constexpr unsigned kBusGuardWaitMs = 50;
    for (unsigned waited = 0; !TryTakeBusGuard(); ++waited) {
        if (waited == kBusGuardWaitMs) return false;
        Sleep(1);
    }
    return true;
}

void ReleaseBusGuard()
{
    tuner().busGuard.store(0, std::memory_order_release);
}

namespace {

// After a seek the chip is kept where the first read of READCHAN once it is
// over finds it (KeptFrequency): a read of any thread.
void keepChannelAfterSeek(unsigned last)
{
    if (last == si4709::STATUSRSSI || tuner().keptFrequency.load() != 0 || tuner().tunerBusy.load() != 0) return;
    tuner().keptFrequency.store(FrequencyOfChannel(si4709::kReadchanChan.get(tuner().shadow.get(si4709::READCHAN))));
}

}  // namespace

bool GuardedReadRegisters(unsigned first, unsigned last, std::uint16_t keep)
{
    if (!TryTakeBusGuard()) {
        tuner().skippedReads.store(static_cast<std::uint16_t>(tuner().skippedReads.load() + 1));
        return false;
    }
    const bool read = ReadRegisters(first, last, keep);
    ReleaseBusGuard();
    if (read) keepChannelAfterSeek(last);
    return read;
}

bool GuardedWriteRegisters(unsigned last)
{
    if (!TryTakeBusGuard()) {
        tuner().skippedWrites.store(static_cast<std::uint16_t>(tuner().skippedWrites.load() + 1));
        return false;
    }
    const bool written = WriteRegisters(last);
    ReleaseBusGuard();
    return written;
}

RegisterReadBack ReadBackRegisterFile()
{
    // The settings registers change only by the driver's writes, or all at
    // once when a supply dip resets the chip. The driver never writes
    // SYSCONFIG1 as 0, nor band, spacing and volume as 0 over a setting it
    // made: found so, the chip has lost what it was programmed with, even
    // when a later write from the shadow (a tune's POWERCFG and SYSCONFIG1)
    // has already powered it up again, muted.
    //
    // A settings pass may run on another thread meanwhile. It never puts 0 in
    // the shadow's SYSCONFIG1, nor takes the chip's into it before its writes,
    // so SYSCONFIG1 holds as evidence. Band, spacing and volume it rebuilds in
    // steps, and on 200 kHz spacing at volume 0 it writes them as 0 on
    // purpose: across a pass they prove nothing either way.
    const std::uint32_t passesBegun = tuner().settingsPassesBegun.load();
    const bool passUnderWay = tuner().settingsPassesEnded.load() != passesBegun;
    const RegisterShadow& regs = tuner().shadow;
    const std::uint16_t sysconfig1 = regs.get(si4709::SYSCONFIG1);
    const std::uint16_t sysconfig2 = regs.get(si4709::SYSCONFIG2) & kSysconfig2BandSpaceVolume;
    if (!GuardedReadRegisters(si4709::STATUSRSSI, si4709::BOOTCONFIG)) {
        return RegisterReadBack::Missed;
    }
    // What was read, then whether a pass began: a pass that changed the
    // shadow after the read (the volume command's, say) began before it
    // did, and is counted.
    const std::uint16_t readSysconfig1 = regs.get(si4709::SYSCONFIG1);
    const std::uint16_t readSysconfig2 = regs.get(si4709::SYSCONFIG2) & kSysconfig2BandSpaceVolume;
    const bool passOverlapped = passUnderWay || tuner().settingsPassesBegun.load() != passesBegun;
    const bool sysconfig1Lost = sysconfig1 != 0 && readSysconfig1 == 0;
    const bool sysconfig2Lost = !passOverlapped && sysconfig2 != 0 && readSysconfig2 == 0;
    return sysconfig1Lost || sysconfig2Lost ? RegisterReadBack::SettingsLost : RegisterReadBack::InStep;
}

bool ReadStatus()
{
    const bool read = GuardedReadRegisters(si4709::STATUSRSSI, si4709::READCHAN);
    tuner().statusStale.store(0);
    return read;
}

// Two threads may report at once and both flip statusStale, so that one
// report more or fewer reads the registers: harmless, so plain loads and
// stores suffice.
void RefreshStatusForReport()
{
    if (tuner().statusStale.load() != 0) {
        ReadStatus();
    } else {
        tuner().statusStale.store(1);
    }
}
