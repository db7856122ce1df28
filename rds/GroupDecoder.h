// The RDS group decoder: turns captured groups into the PI, station-name,
// alternative-frequency, TMC and raw group sentences and raises the
// reception flags (rdsSeen, tmcSeen, tmcQuality, decodedGroupCount); and the
// tuning status report, which keeps the decoder on the tuned station.
// decodeGroup runs on the group thread; resetRdsDecoder and blankStationName
// may run on any thread at the same time and take the same guard.
#pragma once

#include "rds/RdsGroup.h"
#include "rds/RdsState.h"

#include <cstdint>

// Create and delete the decoder's guard. InitDecoderGuard runs once per load,
// before the first resetRdsDecoder and before any worker thread exists;
// ReleaseDecoderGuard at unload, once no thread decodes or resets.
void InitDecoderGuard();
void ReleaseDecoderGuard();

// Decodes one group (the group thread, in capture order).
void decodeGroup(const RdsGroup& group);

// Forgets the station: confirmed PI, PI candidates and the station-name state.
// Keeps lastEmittedName, the repeat histories and the reception counters.
void resetRdsDecoder();

// Sets the confirmed name to eight spaces (a tune to a given frequency).
void blankStationName();

// Reports the tuning status (any thread). A station other than the one the
// decoder follows resets the decoder first: the new station's PI and name
// must not carry the old one's. The status registers are read as
// RefreshStatusForReport decides.
void reportTuningStatus();

// Sentence emitters of the decoder; called with the guard held.
void emitStationName();                               // "$PLTCH" when the name changed
void emitAlternativeFrequency(std::uint16_t blockC);  // "$PXRAF"

// The steps of decodeGroup, called with the guard held.
void confirmPi(std::uint16_t code);
void updateStationName(unsigned position, std::uint8_t character);
// Passes groups 8A and 3A that two of their last three copies agree on.
// Returns false to reject; on acceptance `blocks` holds the group to pass on.
bool filterRepeats(unsigned groupType, GroupBlocks& blocks);
