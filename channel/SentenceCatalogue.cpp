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
    char text[kSentenceBufferBytes];
    const std::int32_t fields[] = {frequency, 2, 0, 0, kTuningFormStarted};
    formatFields(text, sizeof text, kTuningStatusFormat, fields, 5);
    emitSentence(text);
}

void emitRawGroup(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d)
{
    char text[kSentenceBufferBytes];
    const std::int32_t fields[] = {a, b, c, d};
    formatFields(text, sizeof text, kRawGroupFormat, fields, 4);
    emitSentence(text);
}

void emitTmcGroup(std::uint16_t b, std::uint16_t c, std::uint16_t d)
{
    if (!outputFilterAllows(kFilterTmcGroup)) return;
    char text[kSentenceBufferBytes];
    const std::int32_t fields[] = {b >> 12, b & 0xFF, c >> 8, c & 0xFF, d >> 8, d & 0xFF};
    formatFields(text, sizeof text, kTmcGroupFormat, fields, 6);
    emitSentence(text);
}

void emitProgrammeIdentity()
{
    const std::uint32_t pi = gDriver.rds.decoder.confirmedPi.load();
    if (!outputFilterAllows(kFilterProgrammeIdentity) || pi == 0) return;
    char text[kSentenceBufferBytes];
    const std::int32_t fields[] = {static_cast<std::int32_t>((pi >> 12) & 0xF), static_cast<std::int32_t>(pi & 0xFFFF)};
    formatFields(text, sizeof text, kProgrammeIdentityFormat, fields, 2);
    emitSentence(text);
}

void emitDebugCounters()
{
    if (!outputFilterAllows(kFilterDebug)) return;
    RdsState& rds = gDriver.rds;
    // Read and cleared in one step: a group the group thread counts meanwhile
    // goes into the next line instead of being wiped unreported.
    const int decoded = rds.decodedGroupCount.exchange(0);
    char text[kDebugCountersLimit];
    const std::int32_t fields[] = {decoded, loadInt(rds.rdsSeen), loadInt(rds.tmcSeen), loadInt(rds.interruptCount)};
    formatFields(text, sizeof text, kDebugCountersFormat, fields, 4);
    emitSentence(text);
}

void emitFilterMasks()
{
    const OutputFilter& filter = gDriver.sentences.outputFilter;
    char text[kSentenceBufferBytes];
    const std::int32_t fields[] = {loadInt(filter.tmcMask), loadInt(filter.maskA), loadInt(filter.maskB)};
    formatFields(text, sizeof text, kFilterMasksFormat, fields, 3);
    emitSentence(text);
}

void emitFilterFlags()
{
    char text[kSentenceBufferBytes];
    const std::int32_t fields[] = {loadInt(gDriver.sentences.outputFilter.flags)};
    formatFields(text, sizeof text, kFilterFlagsFormat, fields, 1);
    emitSentence(text);
}

void emitConfigCode(std::uint32_t code)
{
    char text[kSentenceBufferBytes];
    const std::int32_t fields[] = {static_cast<std::int32_t>(code)};
    formatFields(text, sizeof text, kConfigCodeFormat, fields, 1);
    emitSentence(text);
}
