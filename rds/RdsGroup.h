// One RDS group as captured from the chip: the four blocks and the
// block-error status word built from the chip's BLERA..BLERD fields.
#pragma once

#include <cstdint>

struct RdsGroup {
    std::uint16_t A;       // RDSA: programme identification
    std::uint16_t B;       // RDSB: group type 15:12, version 11, ...
    std::uint16_t C;       // RDSC
    std::uint16_t D;       // RDSD
    std::uint16_t status;  // block errors, 0..3 each (3 = uncorrectable), below
};

// Error fields of RdsGroup::status.
constexpr unsigned kStatusShiftBlockB = 14;
constexpr unsigned kStatusShiftBlockC = 12;
constexpr unsigned kStatusShiftBlockD = 10;
constexpr unsigned kStatusShiftBlockA = 0;
constexpr std::uint16_t kBlockErrorMask = 0x3;
constexpr std::uint16_t kBlockUncorrectable = 3;

constexpr std::uint16_t blockErrors(std::uint16_t status, unsigned shift)
{
    return static_cast<std::uint16_t>((status >> shift) & kBlockErrorMask);
}

// Builds a status word from the four error fields (each 0..3).
constexpr std::uint16_t makeGroupStatus(unsigned a, unsigned b, unsigned c, unsigned d)
{
    return static_cast<std::uint16_t>(
        ((b & kBlockErrorMask) << kStatusShiftBlockB) | ((c & kBlockErrorMask) << kStatusShiftBlockC) |
        ((d & kBlockErrorMask) << kStatusShiftBlockD) | ((a & kBlockErrorMask) << kStatusShiftBlockA));
}
