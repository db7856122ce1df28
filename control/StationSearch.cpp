#include "control/StationSearch.h"

#include "channel/Sentences.h"
#include "control/Control.h"
#include "driver/DriverContext.h"
#include "rds/GroupDecoder.h"
#include "rds/GroupQueue.h"
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

void reportStation()
{
    reportTuningStatus();
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
        if (requestPending()) return Wait::Request;
        if (skippable && control().skipStation.load() != 0) return Wait::Skipped;
    }
    return Wait::Done;
}

// What the search does after a period of waiting on a station.
enum class Period { GoOn, Stop, Request };

// Waits up to `periods` periods of `steps` wait steps for `flag`, or until the
// station is skipped; `afterPeriod` runs after each period. False when a
// request ended the search.
bool waitForFlag(const Shared<std::uint8_t>& flag, unsigned steps, unsigned periods, Period (*afterPeriod)())
{
    for (unsigned period = 0; period < periods; ++period) {
        if (flag.load() != 0 || control().skipStation.load() != 0) break;
        if (waitSteps(steps, true) == Wait::Request) return false;
        const Period next = afterPeriod();
        if (next == Period::Request) return false;
        if (next == Period::Stop) break;
    }
    return true;
}

// The first RDS group: up to six periods of QFS steps, a status read after each.
bool waitForRds()
{
    return waitForFlag(rds().rdsSeen, gDriver.tuner.settings.QFS.load(), kRdsWaitPeriods, [] {
        ReadStatus();
        return Period::GoOn;
    });
}

// A TMC group on a station that sends RDS: up to five periods of QFT steps,
// each followed by a read of the whole register file and a report, and ended
// early when the station has stopped sending RDS. The search may sit on a
// station for many seconds while commands change settings on another
// thread; a transfer skipped meanwhile leaves the shadow out of step with
// the chip, and every write sends the shadow from POWERCFG up. The full read
// brings the shadow back in step once a period, and finds a chip that a
// supply dip reset: its recovery is taken before the next seek, or by the
// control loop once the search has ended.
bool waitForTmc()
{
    return waitForFlag(rds().tmcSeen, gDriver.tuner.settings.QFT.load(), kTmcWaitPeriods, [] {
        if (ReadBackRegisterFile() == RegisterReadBack::SettingsLost) control().recoveryNeeded.store(1);
        ReadStatus();
        reportStation();
        if (requestPending()) return Period::Request;
        return rds().rdsSeen.load() == 0 ? Period::Stop : Period::GoOn;
    });
}

// A recovery the interrupt thread asked for, carried out before the search's
// first tune (without the control loop's pause). Settings lost on the bus ask
// for another reset before the next seek, which goes on from the station the
// search was on, not from the bottom of the band where the reset left the chip
// (a search's start tunes there itself).
void recoverBeforeSearch(bool tuneBack)
{
    if (control().recoveryNeeded.exchange(0) != 1) return;
    const std::uint16_t station = KeptFrequency();
    if (resetAndReprogramTuner() && tuneBack) Tune(station);
}

enum class Pass { NextStation, End };

// One station: seek, settle, report, then the RDS and TMC waits.
Pass searchOneStation()
{
    // A chip that hung during the search never completes a seek; the
    // interrupt thread's time-out then asks for a reset, taken here before
    // the next seek, or the search would step over a dead chip for ever.
    recoverBeforeSearch(true);
    control().skipStation.store(0);
    rds().rdsSeen.store(0);
    rds().tmcSeen.store(0);
    rds().tmcQuality.store(0);

    Seek(control().searchUp.load());
    if (waitSteps(kSettleSteps, false) == Wait::Request) return Pass::End;
    reportStation();

    // Without either wait flag the search is a plain seek.
    if (!filterHas(kFilterSearchWaitsForRds | kFilterAutoSearch)) return Pass::End;
    if (waitSteps(kPreMeasureSteps, false) == Wait::Request) return Pass::End;
    if (!MeasureSignalQuality(emitSignalQuality)) control().recoveryNeeded.store(1);
    ReadStatus();

    // A railed frequency control means no valid channel: no RDS to wait for.
    if ((gDriver.tuner.shadow.get(STATUSRSSI) & kStatusAfcrl) == 0) {
        if (!waitForRds()) return Pass::End;
        reportStation();
        rds().tmcQuality.store(0);
        if (filterHas(kFilterAutoSearch) && rds().rdsSeen.load() == 1 && !waitForTmc()) return Pass::End;
    }

    const std::uint8_t tmc = rds().tmcSeen.load();
    if (tmc == 1) rds().tmcQuality.store(kFoundTmcQuality);
    if (tmc != 0) return Pass::End;
    return control().stopSearch.load() == 0 ? Pass::NextStation : Pass::End;
}

}  // namespace

void Seek(std::uint8_t up)
{
    StartSeek(up);
    // Groups still queued, and the station the decoder knows, belong to the
    // station being left.
    emptyGroupQueue();
    resetRdsDecoder();
    CompleteSeek(up, stepDisplayFrequency);
}

void startSearch()
{
    rds().rdsSeen.store(0);
    rds().tmcSeen.store(0);
    ReadStatus();
    const std::uint16_t frequency = KeptFrequency();
    control().stopSearch.store(0);
    searchTmcStation(frequency);
}

void searchTmcStation(std::uint16_t frequency)
{
    gDriver.sentences.currentFrequency.store(frequency);
    recoverBeforeSearch(false);
    Tune(frequency);
    ReadStatus();
    // The hardware seek wraps round the band, so the search has no pass limit
    // of its own: it ends on TMC, on a request or after a stopSearch.
    while (searchOneStation() == Pass::NextStation) {}
}
