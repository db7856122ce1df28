// decodeGroup and the operations that share its guard.
#include "rds/GroupDecoder.h"

#include "channel/SentenceTexts.h"
#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "tuner/Tuner.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned kGroupTypeShift = 12;
constexpr std::uint16_t kVersionB = 0x0800;
constexpr std::uint16_t kSegmentAddressMask = 0x3;
constexpr unsigned kGroupTypeBasic = 0;        // 0A/0B: station name, AF
constexpr unsigned kGroupTypeOda = 3;          // 3A: open data application identification
constexpr unsigned kGroupTypeTmc = 8;          // 8A: TMC user messages
constexpr std::uint8_t kPiSentenceEvery = 10;  // the 11th group 0A sends the PI again
constexpr std::uint16_t kTmcQualityStep = 5;
constexpr std::uint16_t kTmcQualityMax = 100;

class DecoderLock {
public:
    DecoderLock() { EnterCriticalSection(&gDriver.rds.decoder.guard); }
    ~DecoderLock() { LeaveCriticalSection(&gDriver.rds.decoder.guard); }
    DecoderLock(const DecoderLock&) = delete;
    DecoderLock& operator=(const DecoderLock&) = delete;
};

bool uncorrectable(std::uint16_t status, unsigned shift)
{
    return blockErrors(status, shift) == kBlockUncorrectable;
}

bool typeSelected(std::uint16_t mask, unsigned groupType)
{
    return mask != 0 && (mask & (1u << groupType)) != 0;
}

// Counts one group that passed the block-error test. The control thread reads
// and clears the count in one step, so the increment is one step too.
void countDecodedGroup()
{
    RdsState& rds = gDriver.rds;
    rds.decodedGroupCount.fetchAdd(1);
    rds.rdsSeen.store(1);
}

// The control thread lowers tmcQuality once a second and a search or a tune
// sets it outright, all without a lock: the raise is one compare-and-swap
// step, so neither the decrement nor a reset in between is overwritten.
void countTmcGroup()
{
    RdsState& rds = gDriver.rds;
    rds.tmcSeen.store(1);
    std::uint16_t seen = rds.tmcQuality.load();
    std::uint16_t raised;
    do {
        raised = static_cast<std::uint16_t>(seen + kTmcQualityStep);
        if (raised > kTmcQualityMax) raised = kTmcQualityMax;
    } while (!rds.tmcQuality.compareExchange(seen, raised));
}

void decodeBasicGroup(const GroupBlocks& blocks, bool versionA, std::uint16_t status)
{
    const unsigned position = (blocks.B & kSegmentAddressMask) * 2u;
    updateStationName(position, static_cast<std::uint8_t>(blocks.D >> 8));
    updateStationName(position + 1, static_cast<std::uint8_t>(blocks.D & 0xFF));
    if (!versionA) return;
    if (blockErrors(status, kStatusShiftBlockC) == 0) emitAlternativeFrequency(blocks.C);
    DecoderState& decoder = gDriver.rds.decoder;
    if (++decoder.piSentenceCounter > kPiSentenceEvery) {
        emitProgrammeIdentity();
        decoder.piSentenceCounter = 0;
    }
}

}  // namespace

void InitDecoderGuard()
{
    InitializeCriticalSection(&gDriver.rds.decoder.guard);
}

void ReleaseDecoderGuard()
{
    DeleteCriticalSection(&gDriver.rds.decoder.guard);
}

void decodeGroup(const RdsGroup& group)
{
    if (uncorrectable(group.status, kStatusShiftBlockB) || uncorrectable(group.status, kStatusShiftBlockC) ||
        uncorrectable(group.status, kStatusShiftBlockD))
        return;

    DecoderLock lock;
    countDecodedGroup();
    const unsigned groupType = group.B >> kGroupTypeShift;
    const bool versionA = (group.B & kVersionB) == 0;

    confirmPi(group.A);
    const std::uint32_t pi = gDriver.rds.decoder.confirmedPi.load();
    if (pi == 0) return;
    GroupBlocks blocks{static_cast<std::uint16_t>(pi), group.B, group.C, group.D};

    if (versionA && (groupType == kGroupTypeTmc || groupType == kGroupTypeOda) && !filterRepeats(groupType, blocks))
        return;

    if (groupType == kGroupTypeBasic) decodeBasicGroup(blocks, versionA, group.status);

    const OutputFilter& filter = gDriver.sentences.outputFilter;
    if (versionA && typeSelected(filter.tmcMask.load(), groupType)) {
        countTmcGroup();
        emitTmcGroup(blocks.B, blocks.C, blocks.D);
    }
    if (versionA && typeSelected(filter.maskA.load(), groupType)) emitRawGroup(blocks.A, blocks.B, blocks.C, blocks.D);
    if (!versionA && typeSelected(filter.maskB.load(), groupType)) emitRawGroup(blocks.A, blocks.B, blocks.C, blocks.D);
}

void resetRdsDecoder()
{
    DecoderLock lock;
    DecoderState& decoder = gDriver.rds.decoder;
    decoder.confirmedPi.store(0);
    std::memset(decoder.piCandidates, 0, sizeof decoder.piCandidates);
    StationNameState& name = decoder.name;
    std::memset(name.psCurrent, 0, sizeof name.psCurrent);
    std::memset(name.psAlternative, 0, sizeof name.psAlternative);
    std::memset(name.psConfidence, 0, sizeof name.psConfidence);
    std::memset(name.stationName, 0, sizeof name.stationName);
}

// Run by the control, interrupt and command threads alike, without a lock:
// two of them may both find a new station and reset the decoder twice, which
// is harmless.
void reportTuningStatus()
{
    Shared<std::uint32_t>& followed = gDriver.rds.decoderFrequency;
    if (ChannelFrequency() != followed.load()) {
        resetRdsDecoder();
        followed.store(ChannelFrequency());
    }
    RefreshStatusForReport();
    emitTuningStatus();
}

void blankStationName()
{
    DecoderLock lock;
    std::memset(gDriver.rds.decoder.name.stationName, ' ', kStationNameLength);
}

void emitAlternativeFrequency(std::uint16_t blockC)
{
    if (!outputFilterAllows(kFilterAlternativeFrequency) || gDriver.rds.decoder.confirmedPi.load() == 0) return;
    const std::int32_t fields[] = {blockC};
    emitFields(kAlternativeFrequencyFormat, fields, 1);
}
