// The Si4709 register map: one index per register and a mask and shift per
// field. The driver, the chip model and the tests all use these names.
// Registers are 16 bits, sent high byte first. Reads start at STATUSRSSI and
// wrap after RDSD to DEVICEID; writes start at POWERCFG.
#pragma once

#include <cstdint>

namespace si4709 {

constexpr std::uint8_t kBusAddress = 0x10;       // 7-bit address
constexpr std::uint8_t kWriteAddress = 0x20;     // 8-bit address, write
constexpr std::uint8_t kReadAddress = 0x21;      // 8-bit address, read
constexpr unsigned kRegisterCount = 16;
constexpr unsigned kFirstReadRegister = 0x0A;
constexpr unsigned kFirstWriteRegister = 0x02;

enum Register : std::uint8_t {
    DEVICEID = 0x00,
    CHIPID = 0x01,
    POWERCFG = 0x02,
    CHANNEL = 0x03,
    SYSCONFIG1 = 0x04,
    SYSCONFIG2 = 0x05,
    SYSCONFIG3 = 0x06,
    TEST1 = 0x07,
    TEST2 = 0x08,
    BOOTCONFIG = 0x09,
    STATUSRSSI = 0x0A,
    READCHAN = 0x0B,
    RDSA = 0x0C,
    RDSB = 0x0D,
    RDSC = 0x0E,
    RDSD = 0x0F,
};

struct Field {
    std::uint16_t mask;  // in place
    std::uint8_t shift;
    constexpr std::uint16_t get(std::uint16_t reg) const { return static_cast<std::uint16_t>((reg & mask) >> shift); }
    constexpr std::uint16_t set(std::uint16_t reg, unsigned value) const {
        return static_cast<std::uint16_t>((reg & ~mask) | ((value << shift) & mask));
    }
};

constexpr std::uint16_t kDeviceId = 0x1242;  // PN 1, MFGID 0x242

// DEVICEID
constexpr Field kDeviceIdPn{0xF000, 12};       // 15:12
constexpr Field kDeviceIdMfgId{0x0FFF, 0};     // 11:0
// CHIPID
constexpr Field kChipIdRev{0xFC00, 10};        // 15:10
constexpr Field kChipIdDev{0x03C0, 6};         // 9:6
constexpr Field kChipIdFirmware{0x003F, 0};    // 5:0

// POWERCFG
constexpr std::uint16_t kPowercfgDsmute = 1u << 15;   // 0: soft mute on
constexpr std::uint16_t kPowercfgDmute = 1u << 14;    // 0: muted
constexpr std::uint16_t kPowercfgMono = 1u << 13;
constexpr std::uint16_t kPowercfgRdsm = 1u << 11;     // verbose RDS: every group, with BLER
constexpr std::uint16_t kPowercfgSkmode = 1u << 10;   // 1: seek stops at the band edge
constexpr std::uint16_t kPowercfgSeekup = 1u << 9;
constexpr std::uint16_t kPowercfgSeek = 1u << 8;
constexpr std::uint16_t kPowercfgDisable = 1u << 6;
constexpr std::uint16_t kPowercfgEnable = 1u << 0;

// CHANNEL
constexpr std::uint16_t kChannelTune = 1u << 15;
constexpr Field kChannelChan{0x03FF, 0};       // 9:0

// SYSCONFIG1
constexpr std::uint16_t kSysconfig1Rdsien = 1u << 15;
constexpr std::uint16_t kSysconfig1Stcien = 1u << 14;
constexpr std::uint16_t kSysconfig1Rds = 1u << 12;
constexpr std::uint16_t kSysconfig1De = 1u << 11;     // 1: 50 us de-emphasis
constexpr std::uint16_t kSysconfig1Agcd = 1u << 10;
constexpr Field kSysconfig1Blndadj{0x00C0, 6};  // 7:6
constexpr Field kSysconfig1Gpio3{0x0030, 4};    // 5:4
constexpr Field kSysconfig1Gpio2{0x000C, 2};    // 3:2; 01 = interrupt output
constexpr Field kSysconfig1Gpio1{0x0003, 0};    // 1:0
constexpr unsigned kGpio2Interrupt = 1;

// SYSCONFIG2
constexpr Field kSysconfig2Seekth{0xFF00, 8};   // 15:8
constexpr Field kSysconfig2Band{0x00C0, 6};     // 7:6: 0 87.5-108, 1 76-108, 2 76-90 MHz
constexpr Field kSysconfig2Space{0x0030, 4};    // 5:4: 0 200 kHz, 1 100 kHz, 2 50 kHz
constexpr Field kSysconfig2Volume{0x000F, 0};   // 3:0; 0 mutes

// SYSCONFIG3
constexpr Field kSysconfig3Smuter{0xC000, 14};  // 15:14
constexpr Field kSysconfig3Smutea{0x3000, 12};  // 13:12
constexpr std::uint16_t kSysconfig3Volext = 1u << 8;
constexpr Field kSysconfig3Sksnr{0x00F0, 4};    // 7:4
constexpr Field kSysconfig3Skcnt{0x000F, 0};    // 3:0

// TEST1
constexpr std::uint16_t kTest1Xoscen = 1u << 15;
constexpr std::uint16_t kTest1Ahizen = 1u << 14;

// STATUSRSSI
constexpr std::uint16_t kStatusRdsr = 1u << 15;
constexpr std::uint16_t kStatusStc = 1u << 14;
constexpr std::uint16_t kStatusSfBl = 1u << 13;
constexpr std::uint16_t kStatusAfcrl = 1u << 12;
constexpr std::uint16_t kStatusRdss = 1u << 11;
constexpr Field kStatusBlera{0x0600, 9};        // 10:9
constexpr std::uint16_t kStatusSt = 1u << 8;
constexpr Field kStatusRssi{0x00FF, 0};         // 7:0

// READCHAN
constexpr Field kReadchanBlerb{0xC000, 14};     // 15:14
constexpr Field kReadchanBlerc{0x3000, 12};     // 13:12
constexpr Field kReadchanBlerd{0x0C00, 10};     // 11:10
constexpr Field kReadchanChan{0x03FF, 0};       // 9:0

// Block error levels in verbose mode.
constexpr unsigned kBlerNone = 0;           // no errors
constexpr unsigned kBlerCorrected2 = 1;     // 1-2 bits corrected
constexpr unsigned kBlerCorrected5 = 2;     // 3-5 bits corrected
constexpr unsigned kBlerUncorrectable = 3;  // 6+ bits: data unreliable

}  // namespace si4709
