// The Si4709 register map: one index per register and a shift and width per
// field. The driver, the chip model and the tests all use these names.
// Registers are 16 bits, sent high byte first. Reads start at STATUSRSSI and
// wrap after RDSD to DEVICEID; writes start at POWERCFG.
#pragma once

#include <cstdint>

namespace si4709 {

constexpr std::uint8_t kBusAddress = 0x10;    // 7-bit address
constexpr std::uint8_t kWriteAddress = 0x20;  // 8-bit address, write
constexpr std::uint8_t kReadAddress = 0x21;   // 8-bit address, read
static_assert(kWriteAddress == kBusAddress << 1 && kReadAddress == (kBusAddress << 1 | 1));
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

// A field of a register: `width` bits from bit `shift` up. The mask is
// derived from the two, so it cannot disagree with the shift.
struct Field {
    std::uint8_t shift;
    std::uint8_t width;

    constexpr std::uint16_t mask() const { return static_cast<std::uint16_t>(((1u << width) - 1u) << shift); }
    constexpr std::uint16_t get(std::uint16_t reg) const { return static_cast<std::uint16_t>((reg & mask()) >> shift); }
    constexpr std::uint16_t set(std::uint16_t reg, unsigned value) const
    {
        return static_cast<std::uint16_t>((reg & ~mask()) | ((value << shift) & mask()));
    }
    // The field holding `value`, every other bit 0.
    constexpr std::uint16_t of(unsigned value) const { return set(0, value); }
};

// Bits high:low of a register, as the data sheet writes them.
template <unsigned High, unsigned Low>
constexpr Field bits()
{
    static_assert(Low <= High && High < 16, "a field lies within one 16-bit register");
    return Field{Low, High - Low + 1};
}

// A one-bit field, used as its mask: set with |, cleared with & ~, tested with &.
template <unsigned Bit>
constexpr std::uint16_t flag()
{
    return bits<Bit, Bit>().mask();
}

constexpr std::uint16_t kDeviceId = 0x1242;  // PN 1, MFGID 0x242

// DEVICEID
constexpr Field kDeviceIdPn = bits<15, 12>();
constexpr Field kDeviceIdMfgId = bits<11, 0>();
static_assert(kDeviceIdPn.of(1) + kDeviceIdMfgId.of(0x242) == kDeviceId);
// CHIPID
constexpr Field kChipIdRev = bits<15, 10>();
constexpr Field kChipIdDev = bits<9, 6>();
constexpr Field kChipIdFirmware = bits<5, 0>();

// POWERCFG
constexpr std::uint16_t kPowercfgDsmute = flag<15>();  // 0: soft mute on
constexpr std::uint16_t kPowercfgDmute = flag<14>();   // 0: muted
constexpr std::uint16_t kPowercfgMono = flag<13>();
constexpr std::uint16_t kPowercfgRdsm = flag<11>();    // verbose RDS: every group, with BLER
constexpr std::uint16_t kPowercfgSkmode = flag<10>();  // 1: seek stops at the band edge
constexpr std::uint16_t kPowercfgSeekup = flag<9>();
constexpr std::uint16_t kPowercfgSeek = flag<8>();
constexpr std::uint16_t kPowercfgDisable = flag<6>();
constexpr std::uint16_t kPowercfgEnable = flag<0>();

// CHANNEL
constexpr std::uint16_t kChannelTune = flag<15>();
constexpr Field kChannelChan = bits<9, 0>();

// SYSCONFIG1
constexpr std::uint16_t kSysconfig1Rdsien = flag<15>();
constexpr std::uint16_t kSysconfig1Stcien = flag<14>();
constexpr std::uint16_t kSysconfig1Rds = flag<12>();
constexpr std::uint16_t kSysconfig1De = flag<11>();  // 1: 50 us de-emphasis
constexpr std::uint16_t kSysconfig1Agcd = flag<10>();
constexpr Field kSysconfig1Blndadj = bits<7, 6>();
constexpr Field kSysconfig1Gpio3 = bits<5, 4>();
constexpr Field kSysconfig1Gpio2 = bits<3, 2>();
constexpr Field kSysconfig1Gpio1 = bits<1, 0>();
constexpr unsigned kGpio2Interrupt = 1;  // GPIO2 01: STC and RDS interrupt output

// SYSCONFIG2
constexpr Field kSysconfig2Seekth = bits<15, 8>();
constexpr Field kSysconfig2Band = bits<7, 6>();
constexpr Field kSysconfig2Space = bits<5, 4>();
constexpr Field kSysconfig2Volume = bits<3, 0>();  // 0 mutes
// BAND values; bit 7 is set for the bands that start at 76 MHz.
constexpr unsigned kBandEuropeUs = 0;   // 87.5-108 MHz
constexpr unsigned kBandJapanWide = 1;  // 76-108 MHz
constexpr unsigned kBandJapan = 2;      // 76-90 MHz
// SPACE values.
constexpr unsigned kSpace200kHz = 0;
constexpr unsigned kSpace100kHz = 1;
constexpr unsigned kSpace50kHz = 2;

// SYSCONFIG3
constexpr Field kSysconfig3Smuter = bits<15, 14>();
constexpr Field kSysconfig3Smutea = bits<13, 12>();
constexpr std::uint16_t kSysconfig3Bit9 = flag<9>();  // reserved; the driver sets it with every SKSNR
constexpr std::uint16_t kSysconfig3Volext = flag<8>();
constexpr Field kSysconfig3Sksnr = bits<7, 4>();
constexpr Field kSysconfig3Skcnt = bits<3, 0>();

// TEST1
constexpr std::uint16_t kTest1Xoscen = flag<15>();
constexpr std::uint16_t kTest1Ahizen = flag<14>();

// STATUSRSSI
constexpr std::uint16_t kStatusRdsr = flag<15>();
constexpr std::uint16_t kStatusStc = flag<14>();
constexpr std::uint16_t kStatusSfBl = flag<13>();
constexpr std::uint16_t kStatusAfcrl = flag<12>();
constexpr std::uint16_t kStatusRdss = flag<11>();
constexpr Field kStatusBlera = bits<10, 9>();
constexpr std::uint16_t kStatusSt = flag<8>();
constexpr Field kStatusRssi = bits<7, 0>();

// READCHAN
constexpr Field kReadchanBlerb = bits<15, 14>();
constexpr Field kReadchanBlerc = bits<13, 12>();
constexpr Field kReadchanBlerd = bits<11, 10>();
constexpr Field kReadchanChan = bits<9, 0>();

// Block error levels in verbose mode.
constexpr unsigned kBlerNone = 0;           // no errors
constexpr unsigned kBlerCorrected2 = 1;     // 1-2 bits corrected
constexpr unsigned kBlerCorrected5 = 2;     // 3-5 bits corrected
constexpr unsigned kBlerUncorrectable = 3;  // 6+ bits: data unreliable

// The signal-quality test. With RDS interrupts off, writing these words to
// RDSA..RDSD starts a step; the chip clears RDSD's busy bits when the step is
// done (step two may leave a flag in RDSD's high byte) and leaves the result,
// the station's SNR in dB, in RDSA's low byte.
constexpr std::uint16_t kQualityStepOne[4] = {0, 0, 0, 0x00FF};
constexpr std::uint16_t kQualityStepTwo[4] = {0, 0, 0x0C00, 0x0008};
constexpr std::uint16_t kQualityStepOneBusy = 0xFFFF;  // RDSD bits that stay set while step one runs
constexpr std::uint16_t kQualityStepTwoBusy = 0x00FF;  // ... and while step two runs
constexpr Field kQualityResult = bits<7, 0>();         // of RDSA

}  // namespace si4709
