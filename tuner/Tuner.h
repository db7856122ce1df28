// Tuner control: the Si4709 reached through a shadow of its sixteen registers
// (guarded register transfers over the platform's I2C bus), the reset and
// power sequences that drive its reset and bus-mode lines, the frequency and
// channel arithmetic and the receiver settings (band, de-emphasis, seek
// thresholds, volume). Calls only the platform layer (platform/Platform.h)
// and the Windows CE surface, and writes only its own fields (TunerState);
// of other state it reads the pending control request and the recovery
// frequency (control/) and the control thread's stop flag. What a tune, seek
// or measurement must tell the rest of the driver, its caller does, or passes
// in as a routine to call.
#pragma once

#include "platform/BusTypes.h"
#include "tuner/Si4709Registers.h"
#include "tuner/TunerState.h"

#include <cstdint>

// ---- Raw transfers and the register shadow -----------------------------------

// One raw transfer of length bytes: 1 on success, 0 on failure or while the
// bus is off.
BYTE I2C_Write(I2CHandle* handle, BYTE* data, DWORD length);
BYTE I2C_Read(I2CHandle* handle, BYTE* data, DWORD length);

// Reads from register 10 upward (wrapping after 15 to 0) into the shadow; how
// many registers follows from first and last. On failure the shadow keeps its
// values. True when the chip answered. Registers whose bit is set in `keep`
// keep their shadow values even when read.
bool ReadRegisters(unsigned first, unsigned last, std::uint16_t keep = 0);
// Sends shadow registers 2 up to last (2..15). True when the chip took them.
bool WriteRegisters(unsigned last);

// The bus try-lock: a transfer that finds it taken is skipped, never waited for.
bool TryTakeBusGuard();
// Takes the guard, waiting for it in 1 ms steps for at most kBusGuardWaitMs.
// A holder never waits while it holds it, so a holder that runs leaves it
// within one transfer; false only when the holder cannot run.
bool WaitForBusGuard();
void ReleaseBusGuard();
// ReadRegisters / WriteRegisters under the bus guard; false when skipped
// (counted in skippedReads / skippedWrites) or when the transfer failed.
bool GuardedReadRegisters(unsigned first, unsigned last, std::uint16_t keep = 0);
bool GuardedWriteRegisters(unsigned last);
// The whole register file read back into the shadow (a guarded read that
// wraps round). SettingsLost when
// SYSCONFIG1, or band, spacing and volume, came back as 0 where the shadow
// held a setting: the chip was reset behind the driver's back (a supply dip)
// and its settings must be programmed again.
enum class RegisterReadBack { Missed, InStep, SettingsLost };
RegisterReadBack ReadBackRegisterFile();
// STATUSRSSI and READCHAN fresh into the shadow (a guarded read, skipped
// while another transfer runs); statusStale is cleared either way.
bool ReadStatus();  // false when the read failed or was skipped
// For the tuning status reports: a report uses the status registers as the
// last read left them once and reads them itself the next time, unless some
// other routine read them meanwhile; so while nothing else reads them, every
// second report reads them fresh.
void RefreshStatusForReport();

// ---- Reset and power sequences -----------------------------------------------

// Pulses the reset line (300 ms low) with the bus-mode line high. False when a
// power-down came during the pulse: the line is left low, the chip in reset.
bool TunerReset();
void TunerHardwareInit();
// The second reset at load and the first programming of the receiver
// settings, after TunerDefaults has stored the tuner's own start values.
void TunerFirstConfig();
void TunerDefaults();
void PIO_init();
// Opens the bus again when an open failed (no memory, the bus driver refused);
// true when a bus is open (or another thread is opening it).
bool ReopenBus();
// Holds the chip in reset; returns the frequency it was on (what a recovery
// tunes back to). Register accesses only: a power handler may call it.
std::uint16_t TunerPowerDown();
// Closes the open bus device. False when none was open. The record stays as
// it is: a worker that has not parked yet may be inside a transfer
// with it, and finds the device closed; the record is rewritten only by the
// next open, under the bus guard.
bool CloseBus();

// ---- Frequencies and receiver settings ----------------------------------------

// Frequencies are in 10 kHz units (8750 = 87.50 MHz).
constexpr std::uint16_t kTopFrequency = 10800;

// False above the top of the band the chip is set to; below the bottom a
// frequency is tuned to the bottom.
bool FrequencyInBand(std::uint16_t frequency);
std::uint16_t FrequencyToChannel(std::uint16_t frequency);
std::uint16_t ChannelFrequency();
// The frequency of a channel number on the band the shadow's SYSCONFIG2 sets.
std::uint16_t FrequencyOfChannel(unsigned channel);
// Where a recovery tunes the receiver back to: where it is going while a
// recovery or a power-down is pending (as ChannelFrequency), otherwise the
// channel the driver last put the chip on, which a chip reset by a supply
// dip no longer reports.
std::uint16_t KeptFrequency();
// Programs band mode, seek threshold and volume of the settings record (as
// they stand when it starts). False when any of its transfers failed or was
// skipped: the shadow then holds what the driver meant to write, not what the
// chip took.
bool ApplyReceiverSettings(const ReceiverSettings& settings);
// After ApplyReceiverSettings returned true: false when SYSCONFIG2 as read
// back at its end lacks the record's band, spacing or volume (a freshly reset
// chip is on 200 kHz spacing, muted).
bool ReceiverSettingsReachedChip(const ReceiverSettings& settings);
// Seek threshold and SNR from QFI and QFN, over the register file read back
// first; false when that read found the chip's settings lost.
bool ApplySeekSettings();
void SetVolume(std::uint8_t value);

// ---- Tune, seek and signal quality ----------------------------------------------
// They run on the control thread. While they wait for the chip, tunerBusy is 1
// and the interrupt thread only sets stcSeen; a new controlRequest ends them
// within one wait step. Callers read the reached frequency themselves.

// Tunes to frequency; 0 re-tunes the channel already in CHANNEL.
void Tune(std::uint16_t frequency);
// A seek to the next station (up when nonzero, else down) in two halves:
// StartSeek sets SEEK and leaves tunerBusy 1; the caller may drop what
// belongs to the station being left before CompleteSeek waits for the chip.
// While the second wait hears no interrupt, CompleteSeek calls displayStep
// with the direction on every sixth idle pass (200 ms each).
void StartSeek(std::uint8_t up);
void CompleteSeek(std::uint8_t up, void (*displayStep)(std::uint8_t up));
// The chip's two-step quality test on the current station when receiverMode
// bit 2 is set; `report` is called with the result in qualityResult while the
// shadow still holds the status the test ended with. Abandoned silently when
// the chip does not finish a step within kQualityPollLimit polls. False, with
// no test made, when the register file read at its start found the chip's
// settings lost (see ReadBackRegisterFile).
bool MeasureSignalQuality(void (*report)());
constexpr unsigned kQualityPollLimit = 50;
