#pragma once

#include "platform/BusTypes.h"
#include "tuner/Si4709Registers.h"

#include "platform/ce/Shared.h"
#include <cstdint>

// The driver's copies of the sixteen Si4709 registers: the last values read
// from the chip or prepared for it. Several threads read and write it without
// a lock; each element is one relaxed 16-bit store or load.
struct RegisterShadow {
    Shared<std::uint16_t> value[si4709::kRegisterCount] = {};

    std::uint16_t get(unsigned reg) const { return value[reg].load(); }
    void set(unsigned reg, unsigned v) { value[reg].store(static_cast<std::uint16_t>(v)); }
};

// What the search and settings commands choose, and what the chip is
// programmed with after every reset. Written by the command parser, read by
// the tuner sequences on other threads.
struct ReceiverSettings {
    Shared<std::uint16_t> QFI{20};               // seek RSSI threshold (SEEKTH)
    Shared<std::uint8_t> seekThresholdByte{20};  // QFI's low byte, used when the chip is reprogrammed
    Shared<std::uint16_t> QFS{300};              // RDS wait of the station search, 10 ms units
    Shared<std::uint16_t> QFT{300};              // TMC wait of the station search, 10 ms units
    Shared<std::uint16_t> QFN{1};                // seek signal-to-noise threshold (SKSNR)
    Shared<std::uint8_t> bandMode{0};            // 0, 1 or 2: band, spacing and de-emphasis
    Shared<std::uint8_t> volume{15};             // volume brought into the chip by the settings
};

// The chip register interface and its sequences.
struct TunerState {
    RegisterShadow shadow;
    // 0 right after STATUSRSSI and READCHAN were read into the shadow; the
    // status reports read them again when they find this not 0.
    Shared<std::uint8_t> statusStale{0};
    Shared<std::uint8_t> busGuard{0};        // 1 while a register transfer runs (try-lock)
    Shared<std::uint8_t> i2cOff{0};          // 1 while the bus is powered down: transfers are no-ops
    Shared<I2CHandle*> pI2CHandle{nullptr};  // the open bus driver, null when closed
    I2CHandle* busRecord = nullptr;          // behind pI2CHandle: one address from the first open to the unload
    Shared<std::uint8_t> busOpening{0};      // 1 while a thread opens the bus (try-lock)

    ReceiverSettings settings;
    Shared<std::uint8_t> receiverMode{0};  // MOD value: 1 locks the filters, 0x04 measures quality

    // Where the driver last put the chip: the channel of its last tune, or
    // where its last seek stopped (10 kHz units; 0 before the first). A chip
    // that a supply dip reset reads back the bottom of the band; this stays.
    Shared<std::uint16_t> keptFrequency{0};
    Shared<std::uint8_t> tunerBusy{0};      // 1 while a tune, seek or measurement waits for the chip
    Shared<std::uint8_t> stcSeen{0};        // set by the interrupt thread while tunerBusy is 1
    Shared<std::uint8_t> qualityResult{0};  // RDSA low byte after the chip's signal-quality test

    // Settings passes (ApplyReceiverSettings) begun and ended, from any thread:
    // a pass rebuilds band, spacing and volume in the shadow step by step, so
    // a read-back that a pass overlapped cannot judge them.
    Shared<std::uint32_t> settingsPassesBegun{0};
    Shared<std::uint32_t> settingsPassesEnded{0};

    // Guarded transfers skipped because another thread held the bus guard.
    // Counts for diagnosis, from any thread without a lock: two skips at once
    // may count as one, and they wrap.
    Shared<std::uint16_t> skippedReads{0};
    Shared<std::uint16_t> skippedWrites{0};
};
