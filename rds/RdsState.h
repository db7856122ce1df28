// RDS and TMC decoding: the group decoder's state (PI confirmation, station
// name, repeat filter) and the reception flags and counters it raises.
// The decoder's own state is guarded by DecoderState::guard, shared by
// decodeGroup, resetRdsDecoder and blankStationName. The decoder calls the
// sentence routines of channel/ and reads the tuner's frequency and status
// (tuner/Tuner.h); lock order: decoder guard, then ring guard.
#pragma once

#include "platform/ce/WinCE.h"
#include "rds/GroupQueue.h"
#include "rds/RdsGroup.h"

#include "platform/ce/Shared.h"
#include <cstdint>

constexpr unsigned kPiCandidateCount = 8;
constexpr unsigned kStationNameLength = 8;
constexpr unsigned kRepeatHistoryLength = 3;

// A PI code heard recently, waiting for confirmation.
struct PiCandidate {
    std::uint16_t code;  // 0: free
    std::uint8_t hits;
    std::uint8_t age;  // calls since it was last heard
};

// The programme service name, assembled with a per-position confidence.
struct StationNameState {
    std::uint8_t psCurrent[kStationNameLength];        // character believed at each position
    std::uint8_t psAlternative[kStationNameLength];    // a challenger seen at that position
    std::uint8_t psConfidence[kStationNameLength];     // 0..3; confirmed at 2 or more
    std::uint8_t stationName[kStationNameLength];      // the confirmed name
    std::uint8_t lastEmittedName[kStationNameLength];  // name of the last "$PLTCH"; never reset
};

struct GroupBlocks {
    std::uint16_t A;
    std::uint16_t B;
    std::uint16_t C;
    std::uint16_t D;
};

// The last copies of groups 8A and 3A, entry 0 the newest. An entry that was
// never filled never agrees with another.
struct RepeatFilter {
    GroupBlocks tmcHistory[kRepeatHistoryLength];
    GroupBlocks tmcLastAccepted;
    GroupBlocks odaHistory[kRepeatHistoryLength];
    std::uint8_t tmcFilled;  // entries of tmcHistory ever filled, 0..3
    std::uint8_t odaFilled;  // entries of odaHistory ever filled, 0..3
};

struct DecoderState {
    // Serialises decodeGroup with resetRdsDecoder and blankStationName, which
    // run on other threads. Created once per load (InitDecoderGuard).
    CRITICAL_SECTION guard;
    PiCandidate piCandidates[kPiCandidateCount];
    // The confirmed PI (16 bits), 0 when none; read by the PI sentence.
    Shared<std::uint32_t> confirmedPi{0};
    StationNameState name;
    RepeatFilter repeats;
    std::uint8_t piSentenceCounter;  // groups 0A since the last periodic PI sentence
};

struct RdsState {
    GroupQueue groupQueue{};
    DecoderState decoder{};

    // Reception flags and counters that cross threads without a lock. The
    // decoder and the RDS capture raise them (rdsSeen and interruptCount come
    // from the capture too); reception control, the station search and the
    // commands read, clear and lower them.
    Shared<std::uint8_t> rdsSeen{0};            // a group passed the block-error test
    Shared<std::uint8_t> tmcSeen{0};            // a TMC group was accepted
    Shared<std::uint16_t> tmcQuality{0};        // 0..100: +5 per TMC group, -1 a second
    Shared<std::uint8_t> decodedGroupCount{0};  // groups decoded since the last debug sentence; wraps
    Shared<std::uint16_t> interruptCount{0};    // tuner interrupts since the group thread's last pass
    // Frequency (10 kHz units) of the station the decoder follows: a tuning
    // status report that finds the tuner elsewhere resets the decoder.
    Shared<std::uint32_t> decoderFrequency{0};
};
