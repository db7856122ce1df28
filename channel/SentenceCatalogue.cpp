// The sentences of the catalogue that are built from driver fields alone (no
// register read): version, tune started, raw and TMC groups, programme
// identity, debug counters, filter masks and flags, configuration code.
#include "channel/Sentences.h"

#include "channel/SentenceTexts.h"
#include "driver/DriverContext.h"

namespace {

int loadInt(const Shared<std::uint8_t>& value)
{
    return value.load();
}
int loadInt(const Shared<std::uint16_t>& value)
{
    return value.load();
}

}  // namespace

void emitVersion()
{
    emitSentence(kVersionSentence);
}

void emitTuningStarted(std::uint16_t frequency)
{
    const std::int32_t fields[] = {frequency, 2, 0, 0, kTuningFormStarted};
    emitFields(kTuningStatusFormat, fields, 5);
}

void emitRawGroup(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d)
{
    const std::int32_t fields[] = {a, b, c, d};
    emitFields(kRawGroupFormat, fields, 4);
}

void emitTmcGroup(std::uint16_t b, std::uint16_t c, std::uint16_t d)
{
    if (!outputFilterAllows(kFilterTmcGroup)) return;
    const std::int32_t fields[] = {b >> 12, b & 0xFF, c >> 8, c & 0xFF, d >> 8, d & 0xFF};
    emitFields(kTmcGroupFormat, fields, 6);
}

void emitProgrammeIdentity()
{
    const std::uint32_t pi = gDriver.rds.decoder.confirmedPi.load();
    if (!outputFilterAllows(kFilterProgrammeIdentity) || pi == 0) return;
    const std::int32_t fields[] = {static_cast<std::int32_t>((pi >> 12) & 0xF), static_cast<std::int32_t>(pi & 0xFFFF)};
    emitFields(kProgrammeIdentityFormat, fields, 2);
}

void emitDebugCounters()
{
    if (!outputFilterAllows(kFilterDebug)) return;
    RdsState& rds = gDriver.rds;
    // Read and cleared in one step: a group the group thread counts meanwhile
    // goes into the next line instead of being wiped unreported.
    const int decoded = rds.decodedGroupCount.exchange(0);
    const std::int32_t fields[] = {decoded, loadInt(rds.rdsSeen), loadInt(rds.tmcSeen), loadInt(rds.interruptCount)};
    emitFields(kDebugCountersFormat, fields, 4);
}

void emitFilterMasks()
{
    const OutputFilter& filter = gDriver.sentences.outputFilter;
    const std::int32_t fields[] = {loadInt(filter.tmcMask), loadInt(filter.maskA), loadInt(filter.maskB)};
    emitFields(kFilterMasksFormat, fields, 3);
}

void emitFilterFlags()
{
    const std::int32_t fields[] = {loadInt(gDriver.sentences.outputFilter.flags)};
    emitFields(kFilterFlagsFormat, fields, 1);
}

void emitConfigCode(std::uint32_t code)
{
    const std::int32_t fields[] = {static_cast<std::int32_t>(code)};
    emitFields(kConfigCodeFormat, fields, 1);
}
