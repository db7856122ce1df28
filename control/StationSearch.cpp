#include "control/StationSearch.h"

#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "tuner/Tuner.h"

using namespace si4709;

namespace {

constexpr DWORD kWaitStepMs = 10;
// After the seek the chip's AFC and RDS need this long before the first report.
constexpr unsigned kSettleSteps = 30;
// ... and this much more before the signal is measured.
constexpr unsigned kPreMeasureSteps = 30;
// Periods of QFS (RDS) and QFT (TMC) steps a station gets at most.
constexpr unsigned kRdsWaitPeriods = 6;
constexpr unsigned kTmcWaitPeriods = 5;
// tmcQuality of a station the search accepted: about a minute of credit
// before the control loop gives up on it without further TMC groups.
constexpr std::uint16_t kFoundTmcQuality = 60;

ControlState& control()
{
    return gDriver.control;
}

RdsState& rds()
{
    return gDriver.rds;
}

bool requestPending()
{
    return control().controlRequest.load() != kRequestNone;
}

bool filterHas(std::uint16_t bits)
{
    return (gDriver.sentences.outputFilter.flags.load() & bits) != 0;
}

// STATUSRSSI and READCHAN fresh into the shadow.
void readStatus()
{
    GuardedReadRegisters(STATUSRSSI, READCHAN);
    gDriver.sentences.statusStale.store(0);
}

void reportStation()
{
    emitTuningStatus();
    emitDebugCounters();  // only with the debug flag; clears decodedGroupCount
}

// What ended a run of wait steps.
enum class Wait { Done, Skipped, Request };

// `steps` sleeps of 10 ms. A pending request ends the wait (and the search);
// with `skippable`, skipStation ends it early.
Wait waitSteps(unsigned steps, bool skippable)
{
    for (unsigned i = 0; i < steps; ++i) {
        Sleep(kWaitStepMs);
        if (requestPending())
            return Wait::Request;
        if (skippable && control().skipStation.load() != 0)
            return Wait::Skipped;
    }
    return Wait::Done;
}

// Waits for the first RDS group: up to six periods of QFS steps, a status read
// after each. False when a request ended the search.
bool waitForRds()
{
    const unsigned steps = gDriver.tuner.settings.QFS.load();
    for (unsigned period = 0; period < kRdsWaitPeriods; ++period) {
        if (rds().rdsSeen.load() != 0 || control().skipStation.load() != 0)
            break;
        if (waitSteps(steps, true) == Wait::Request)
            return false;
        readStatus();
    }
    return true;
}

// Waits for a TMC group on a station that sends RDS: up to five periods of QFT
// steps, each followed by a full register read and a report. False when a
// request ended the search.
bool waitForTmc()
{
    const unsigned steps = gDriver.tuner.settings.QFT.load();
    for (unsigned period = 0; period < kTmcWaitPeriods; ++period) {
        if (rds().tmcSeen.load() != 0 || control().skipStation.load() != 0)
            break;
        if (waitSteps(steps, true) == Wait::Request)
            return false;
        GuardedReadRegisters(STATUSRSSI, BOOTCONFIG);  // the whole register file
        readStatus();
        reportStation();
        if (requestPending())
            return false;
        if (rds().rdsSeen.load() == 0)
            break;
    }
    return true;
}

// A recovery the interrupt thread asked for, carried out before the search's
// first tune (without the control loop's pause).
void recoverBeforeSearch()
{
    if (control().recoveryNeeded.exchange(0) != 1)
        return;
    InterruptDone(gDriver.lifecycle.sysIntr);
    TunerReset();
    const ReceiverSettings& settings = gDriver.tuner.settings;
    const bool transferred = ApplyReceiverSettings(
        settings.bandMode.load(), settings.seekThresholdByte.load(), settings.volume.load());
    // Settings lost on the bus: reset again before the next seek.
    if (!transferred || !ReceiverSettingsReachedChip(settings.bandMode.load(), settings.volume.load()))
        control().recoveryNeeded.store(1);
}

enum class Pass { NextStation, End };

// One station: seek, settle, report, then the RDS and TMC waits.
Pass searchOneStation()
{
    // A chip that hung during the search never completes a seek; the
    // interrupt thread's time-out then asks for a reset, taken here before
    // the next seek, or the search would step over a dead chip for ever.
    recoverBeforeSearch();
    control().skipStation.store(0);
    rds().rdsSeen.store(0);
    rds().tmcSeen.store(0);
    rds().tmcQuality.store(0);

    Seek(control().searchUp.load());
    if (waitSteps(kSettleSteps, false) == Wait::Request)
        return Pass::End;
    reportStation();

    // Without either wait flag the search is a plain seek.
    if (!filterHas(kFilterSearchWaitsForRds | kFilterAutoSearch))
        return Pass::End;
    if (waitSteps(kPreMeasureSteps, false) == Wait::Request)
        return Pass::End;
    MeasureSignalQuality();
    readStatus();

    // A railed frequency control means no valid channel: no RDS to wait for.
    if ((gDriver.tuner.shadow.get(STATUSRSSI) & kStatusAfcrl) == 0) {
        if (!waitForRds())
            return Pass::End;
        reportStation();
        rds().tmcQuality.store(0);
        if (filterHas(kFilterAutoSearch) && rds().rdsSeen.load() == 1 && !waitForTmc())
            return Pass::End;
    }

    const std::uint8_t tmc = rds().tmcSeen.load();
    if (tmc == 1)
        rds().tmcQuality.store(kFoundTmcQuality);
    if (tmc != 0)
        return Pass::End;
    return control().stopSearch.load() == 0 ? Pass::NextStation : Pass::End;
}

}  // namespace

void startSearch()
{
    rds().rdsSeen.store(0);
    rds().tmcSeen.store(0);
    readStatus();
    const std::uint16_t frequency = ChannelFrequency();
    control().stopSearch.store(0);
    searchTmcStation(frequency);
}

void searchTmcStation(std::uint16_t frequency)
{
    gDriver.sentences.currentFrequency.store(frequency);
    recoverBeforeSearch();
    Tune(frequency);
    readStatus();
    // The hardware seek wraps round the band, so the search has no pass limit
    // of its own: it ends on TMC, on a request or after a stopSearch.
    while (searchOneStation() == Pass::NextStation) {
    }
}
