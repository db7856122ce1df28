// The search and tune commands, and the number reading of command texts.
#include "channel/CommandActions.h"

#include "channel/Commands.h"
#include "channel/SentenceTexts.h"
#include "channel/Sentences.h"
#include "control/Control.h"
#include "control/ControlState.h"
#include "driver/DriverContext.h"
#include "rds/GroupDecoder.h"
#include "rds/GroupQueue.h"
#include "tuner/Tuner.h"

namespace {

constexpr unsigned kRecoveryWaitSteps = 300;
constexpr DWORD kRecoveryWaitStepMs = 10;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Drops what is queued for the application: the sentences of the old
// station would only mislead it.
void discardQueuedOutput()
{
    gDriver.channel.outputRing.reset(kOutputRingSize);
}

}  // namespace

std::int32_t CommandText::numberAt(std::size_t position) const
{
    std::size_t i = position;
    while (isBlank(at(i))) ++i;
    bool negative = false;
    if (at(i) == '+' || at(i) == '-') {
        negative = at(i) == '-';
        ++i;
    }
    std::uint32_t value = 0;
    for (char c = at(i); c >= '0' && c <= '9'; c = at(++i)) value = value * 10u + static_cast<std::uint32_t>(c - '0');
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

void waitOutRecovery()
{
    for (unsigned step = 0; step < kRecoveryWaitSteps && gDriver.control.controlRequest.load() == kRequestRecover;
         ++step) {
        Sleep(kRecoveryWaitStepMs);
    }
}

bool postCommandRequest(std::uint8_t code)
{
    // A recovery a power-up asked for is what opens the bus again; written
    // over before the control thread took it, it left the receiver deaf for
    // good. It can come after the wait at the command's start, so the wait is
    // also made where the request is swapped: a recovery that comes in
    // between makes the swap fail and is waited out.
    return PostRequest(code, kRecoveryWaitSteps);
}

void searchFromCommand(std::uint8_t direction)
{
    ControlState& control = gDriver.control;
    const bool up = direction == kSearchingUp;
    control.searchUp.store(up ? 1 : 0);

    if (control.searchState.load() == direction) {
        // A search this way is running: it leaves the current station at once.
        control.skipStation.store(1);
        if (up) emitFilterFlags();
        return;
    }

    // The stop goes out first, so the running search gives up at its next
    // step. A dropped command leaves no stop behind: nothing would take it,
    // and it would keep the automatic search off for good.
    control.stopSearch.store(1);
    if (!postCommandRequest(up ? kRequestSearchUp : kRequestSearchDown)) {
        control.stopSearch.store(0);
        return;
    }
    emptyGroupQueue();
    discardQueuedOutput();
    control.autoSearch.store(1);
    control.skipStation.store(0);
    resetRdsDecoder();
    emitFilterFlags();
}

void tuneFromCommand(TuneKind kind, std::uint16_t frequency)
{
    // A frequency beyond the band leaves the receiver where it is.
    if (!FrequencyInBand(frequency)) return;
    ControlState& control = gDriver.control;
    RdsState& rds = gDriver.rds;
    rds.rdsSeen.store(0);
    rds.tmcSeen.store(0);
    rds.tmcQuality.store(0);
    // Off until the request is posted, so that the control loop starts no
    // search of its own in between; a dropped command leaves it as it was,
    // or the receiver would never look for TMC again.
    const std::uint8_t autoSearch = control.autoSearch.load();
    control.autoSearch.store(0);
    blankStationName();
    discardQueuedOutput();
    emptyGroupQueue();
    control.skipStation.store(0);
    resetRdsDecoder();

    // The frequency first: the control thread reads it when it sees the code.
    control.requestedFrequency.store(frequency);
    if (!postCommandRequest(kind == TuneKind::Only ? kRequestTune : kRequestTuneThenSearch)) {
        control.autoSearch.store(autoSearch);
        return;
    }
    if (kind == TuneKind::ThenSearchAutomatically) control.autoSearch.store(1);
    emitTuningStarted(frequency);
}

void emitSearchSettings()
{
    const ReceiverSettings& settings = gDriver.tuner.settings;
    const std::int32_t fields[] = {settings.QFI.load(), settings.QFS.load(), settings.QFT.load(), settings.QFN.load()};
    emitFields(kSearchSettingsFormat, fields, 4);
}
