// Sentence channel, output side: the OutputFilter that selects the sentences
// and the fields of the sentence routines. Written by the commands and by
// start-up (BringUpTuner), read by every sentence routine on any thread.
#pragma once

#include "platform/ce/Shared.h"
#include <cstdint>

// Which sentences go out and which group types are sent raw or count as TMC.
// Zero at load; start-up stores the defaults before the chip's first
// configuration.
struct OutputFilter {
    Shared<std::uint16_t> flags{0};    // kFilter... enable bits
    Shared<std::uint16_t> maskA{0};    // bit n: raw group sentence for groups nA
    Shared<std::uint16_t> maskB{0};    // bit n: raw group sentence for groups nB
    Shared<std::uint16_t> tmcMask{0};  // bit n: groups nA are TMC groups
};

// Bits of OutputFilter::flags. The other bits are kept and reported but
// change nothing.
constexpr std::uint16_t kFilterTmcGroup = 0x0002;              // "$PLTTM"
constexpr std::uint16_t kFilterStationName = 0x0010;           // "$PLTCH"
constexpr std::uint16_t kFilterAutoSearch = 0x0020;            // automatic search; search waits for RDS and TMC
constexpr std::uint16_t kFilterSearchWaitsForRds = 0x0040;     // search waits for RDS
constexpr std::uint16_t kFilterProgrammeIdentity = 0x0100;     // "$PLTMT"
constexpr std::uint16_t kFilterDebug = 0x0200;                 // "$GPDBG", "$GPBLER"
constexpr std::uint16_t kFilterAlternativeFrequency = 0x2000;  // "$PXRAF"

// The values start-up stores (storeDefaultOutputFilter).
constexpr std::uint16_t kDefaultFilterFlags = 0x01F7;
constexpr std::uint16_t kDefaultFilterMaskA = 0x011A;  // 1A, 3A, 4A, 8A
constexpr std::uint16_t kDefaultFilterMaskB = 0;
constexpr std::uint16_t kDefaultFilterTmcMask = 0x0108;  // 3A, 8A

struct SentenceState {
    OutputFilter outputFilter;
    // Frequency (10 kHz units) in the last tuning status sentence.
    Shared<std::uint16_t> currentFrequency{8750};
};
