// The register values the tuner programs for its sequences, built from the
// field definitions of the register map and checked against the words the
// receiver is known to run with.
#pragma once

#include "tuner/Si4709Registers.h"

#include <cstdint>

// The chip's interrupts for seek/tune complete and RDS ready, and RDS itself:
// what the signal-quality test switches off while it borrows the RDS registers.
constexpr std::uint16_t kSysconfig1Interrupts =
    si4709::kSysconfig1Rdsien | si4709::kSysconfig1Stcien | si4709::kSysconfig1Rds;
// SYSCONFIG1 with those and GPIO2 as the interrupt output; with DE for 50 us
// de-emphasis, without it for 75 us. A tune or seek always leaves the chip on
// 50 us.
constexpr std::uint16_t kSysconfig1Interrupts75us =
    kSysconfig1Interrupts | si4709::kSysconfig1Gpio2.of(si4709::kGpio2Interrupt);
constexpr std::uint16_t kSysconfig1Interrupts50us = kSysconfig1Interrupts75us | si4709::kSysconfig1De;
static_assert(kSysconfig1Interrupts75us == 0xD004);
static_assert(kSysconfig1Interrupts50us == 0xD804);

// Band, spacing and volume in SYSCONFIG2: what the band mode and the volume
// set, and what a supply dip's reset clears.
constexpr std::uint16_t kSysconfig2BandSpaceVolume =
    si4709::kSysconfig2Band.mask() | si4709::kSysconfig2Space.mask() | si4709::kSysconfig2Volume.mask();
static_assert(kSysconfig2BandSpaceVolume == 0x00FF);

// The seek's own signal-to-noise setting: SKSNR 6 with bit 9 set. The next
// ApplyReceiverSettings brings the QFN value back.
constexpr std::uint16_t kSysconfig3Seek = si4709::kSysconfig3Bit9 | si4709::kSysconfig3Sksnr.of(6);
static_assert(kSysconfig3Seek == 0x0260);
