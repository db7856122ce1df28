#include "control/Control.h"

#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "driver/WorkerParking.h"
#include "rds/GroupDecoder.h"
#include "tuner/Tuner.h"

namespace {

constexpr DWORD kIdleStepMs = 10;
// 99 idle steps plus the tick's own work make the loop's second.
constexpr unsigned kIdleSteps = 99;
// The chip is left alone this long before a recovery resets it.
constexpr unsigned kRecoveryPauseSteps = 300;
constexpr DWORD kPoweredDownSleepMs = 100;
// Codes that stay pending (shutdown, unknown) are looked at again this often,
// so that the loop never spins while it waits for its stop flag.
constexpr DWORD kPendingCodeSleepMs = 10;

ControlState& control()
{
    return gDriver.control;
}

void forgetReplacedSearch(std::uint8_t replaced, std::uint8_t code);

std::uint8_t pendingRequest()
{
    return control().controlRequest.load();
}

// Takes `code`: clears controlRequest unless another code has replaced it
// meanwhile, which then stays for the next dispatch. False in that case.
bool takeRequest(std::uint8_t code)
{
    return control().controlRequest.compareExchange(code, kRequestNone);
}

void forgetTmcQuality()
{
    gDriver.rds.tmcQuality.store(0);
}

std::uint8_t searchStateForDirection()
{
    return control().searchUp.load() == 1 ? kSearchingUp : kSearchingDown;
}

void tuneRequested()
{
    forgetTmcQuality();
    takeRequest(kRequestTune);
    Tune(control().requestedFrequency.load());
}

// Up and down set the direction of this and later searches; "search on"
// keeps the last one.
void searchRequested(std::uint8_t code)
{
    const bool givesDirection = code != kRequestSearchOn;
    const bool up = givesDirection ? code == kRequestSearchUp : control().searchUp.load() == 1;
    control().searchState.store(up ? kSearchingUp : kSearchingDown);
    forgetTmcQuality();
    takeRequest(code);
    if (givesDirection) control().searchUp.store(up ? 1 : 0);
    startSearch();
}

void tuneThenSearchRequested()
{
    forgetTmcQuality();
    takeRequest(kRequestTuneThenSearch);
    control().searchState.store(searchStateForDirection());
    Tune(control().requestedFrequency.load());
    startSearch();
}

// The end of a recovery: the chip, reset to channel 0, goes back to the
// recovery frequency. A request that replaced the code 100 meanwhile (a
// command that gave up waiting) runs after that, from the station: a search
// from channel 0 would find the same station again or wrap round the band.
// It is held back during the tune, which would otherwise end at its first
// step; a tune request, a shutdown or a power-down needs no retune.
void tuneBack()
{
    // Until the tune has ended the chip reports channel 0, the band's bottom:
    // a power-down meanwhile must save where it is going.
    control().retuning.store(1);
    std::uint8_t held = pendingRequest();
    do {
        if (held == kRequestTune || held == kRequestTuneThenSearch || held == kRequestShutdown ||
            held == kRequestPoweredDown) {
            control().retuning.store(0);
            return;
        }
    } while (!control().controlRequest.compareExchange(held, kRequestNone));
    Tune(control().recoveryFrequency.load());
    control().retuning.store(0);
    // Posted again unless a newer request arrived during the tune. So is a
    // 100 when a system resume is owed: a suspend that stopped this thread
    // after its pause left the resume's request in the place of this
    // recovery's own, and the take above cannot tell them apart. Its
    // recovery then runs and does the resume's work (the bus opened afresh,
    // the interrupt acknowledged, the rings emptied) now, not at whatever
    // later recovery there happens to be.
    // A held search that a recovery or a power-down replaced meanwhile is
    // dropped as when it is replaced while pending: its stop goes with it. A
    // resume's request that a newer one took the place of has its work done
    // now, on the chip this recovery has just reset after the resume: put
    // off, it would wait for whatever recovery comes next.
    std::uint8_t none = kRequestNone;
    if (held != kRequestRecover || control().powerUpOwed.load() != 0) {
        if (!control().controlRequest.compareExchange(none, held)) {
            forgetReplacedSearch(held, none);
            if (held == kRequestRecover && control().powerUpOwed.load() != 0 && !PowerDownPending()) CompletePowerUp();
        }
    }
}

// Resets and reprograms the chip and tunes it back to recoveryFrequency. The
// code stays 100 meanwhile, so other threads see a recovery in progress. The
// pause is taken in steps: an unload or a power-down that replaces 100 during
// it is dispatched instead and not lost. Any other request (a command that
// gave up waiting for the recovery) waits for its end: after a power-up the
// recovery is what switches the bus back on, and without it the driver would
// stay deaf for good. That request is carried out after the retune.
void recoverTuner()
{
    for (unsigned step = 0;; ++step) {
        // A system resume asked for this recovery and left the power-up's
        // thread work to this thread; the pause counts from its end. Checked
        // at every step and after the last: a system suspend may have stopped
        // this thread anywhere in the pause, its last step included.
        if (control().powerUpOwed.load() != 0) {
            if (PowerDownPending()) return;
            CompletePowerUp();
            step = 0;
        }
        if (step == kRecoveryPauseSteps) break;
        Sleep(kIdleStepMs);
        const std::uint8_t pending = pendingRequest();
        if (pending == kRequestShutdown || pending == kRequestPoweredDown) return;
    }
    // The recovery is what switches the bus back on after a power-up; if that
    // power-up could not open it, it is opened here, or the driver stays deaf.
    // A power-down that came meanwhile owns the bus, its gate and the reset
    // line: the recovery leaves them to it.
    if (PowerDownPending()) return;
    ReopenBus();
    if (PowerDownPending()) return;
    gDriver.tuner.i2cOff.store(0);
    if (!resetAndReprogramTuner()) return;
    // A power-up that closed the bus under this recovery after it was opened
    // above (and could not open it again) leaves the code 100: the recovery
    // runs again, opening the bus after its pause.
    if (gDriver.tuner.i2cOff.load() != 0 || gDriver.tuner.pI2CHandle.load() == nullptr) return;
    tuneBack();
}

void dispatch(std::uint8_t code)
{
    switch (code) {
    case kRequestNone:
        break;
    case kRequestTune:
        tuneRequested();
        break;
    case kRequestSearchUp:
    case kRequestSearchDown:
    case kRequestSearchOn:
        searchRequested(code);
        break;
    case kRequestTuneThenSearch:
        tuneThenSearchRequested();
        break;
    case kRequestRecover:
        recoverTuner();
        break;
    case kRequestPoweredDown:
        Sleep(kPoweredDownSleepMs);
        break;
    default:  // shutdown and unknown codes stay pending
        Sleep(kPendingCodeSleepMs);
        break;
    }
}

// Up to 99 steps of 10 ms; false when a request arrived meanwhile.
bool idleWait()
{
    for (unsigned step = 0; step < kIdleSteps; ++step) {
        Sleep(kIdleStepMs);
        if (pendingRequest() != kRequestNone) return false;
    }
    return true;
}

// The loop leaves a station by itself once its TMC credit has run out.
void maybeStartAutomaticSearch()
{
    if (control().autoSearch.load() != 1 || gDriver.rds.tmcQuality.load() != 0) return;
    if ((gDriver.sentences.outputFilter.flags.load() & kFilterAutoSearch) == 0) return;
    if (control().stopSearch.load() != 0) return;
    std::uint8_t none = kRequestNone;
    control().controlRequest.compareExchange(none, kRequestSearchOn);
}

// The group thread raises tmcQuality and commands reset it without a lock; the
// decrement is one compare-and-swap step so it never overwrites either.
void lowerTmcQuality()
{
    std::uint16_t seen = gDriver.rds.tmcQuality.load();
    while (seen != 0 && !gDriver.rds.tmcQuality.compareExchange(seen, static_cast<std::uint16_t>(seen - 1))) {}
}

bool stopRequested()
{
    return gDriver.lifecycle.stopControlThread.load() != 0;
}

// One periodic pass of the idle loop.
void controlTick()
{
    reportTuningStatus();
    if (!MeasureSignalQuality(emitSignalQuality)) control().recoveryNeeded.store(1);
    lowerTmcQuality();
    emitDebugCounters();  // only with the debug flag; clears decodedGroupCount
    // Taken in one step: a trigger the interrupt thread sets meanwhile is
    // either this one or the next tick's, never wiped unseen.
    if (control().recoveryNeeded.exchange(0) == 1) {
        control().recoveryFrequency.store(KeptFrequency());
        PostRequest(kRequestRecover);
    }
}

// A search a command asked for that any other code now replaces (a recovery,
// a power-down, a tune command) never starts: the command set stopSearch
// only to end a search already running, which the new code ends as well, and
// left set it would keep the automatic search from ever starting again. A
// search command that replaces it set the stop for itself.
void forgetReplacedSearch(std::uint8_t replaced, std::uint8_t code)
{
    if (code == kRequestSearchUp || code == kRequestSearchDown) return;
    if (replaced == kRequestSearchUp || replaced == kRequestSearchDown) control().stopSearch.store(0);
}

}  // namespace

std::uint8_t ReplaceRequest(std::uint8_t code)
{
    std::uint8_t pending = pendingRequest();
    do {
        if (pending == kRequestShutdown) return pending;
    } while (!control().controlRequest.compareExchange(pending, code));
    forgetReplacedSearch(pending, code);
    return pending;
}

bool PostRequest(std::uint8_t code, unsigned recoveryWaitSteps)
{
    unsigned step = 0;
    std::uint8_t pending = pendingRequest();
    for (;;) {
        if (pending == kRequestShutdown || pending == kRequestPoweredDown) return false;
        if (pending == kRequestRecover && step < recoveryWaitSteps) {
            Sleep(kIdleStepMs);
            ++step;
            pending = pendingRequest();
            continue;
        }
        if (control().controlRequest.compareExchange(pending, code)) break;
    }
    forgetReplacedSearch(pending, code);
    return true;
}

bool resetAndReprogramTuner()
{
    // A recovery asked for before this reset (the interrupt time-out, say,
    // just before a system suspend froze the loop) is served by it: taken
    // later, it would reset a chip that has just been programmed afresh.
    control().recoveryNeeded.store(0);
    InterruptDone(gDriver.lifecycle.sysIntr);
    if (!TunerReset()) return false;
    const ReceiverSettings& settings = gDriver.tuner.settings;
    if (!ApplyReceiverSettings(settings) || !ReceiverSettingsReachedChip(settings)) control().recoveryNeeded.store(1);
    return true;
}

DWORD WINAPI ControlThread(LPVOID)
{
    // Start-up cleared controlRequest before this thread was created. A request
    // written since then (a command, a power-up's recovery) is kept, not wiped:
    // a recovery lost here would leave the bus switched off for good.
    control().searchState.store(kSearchIdle);
    if (stopRequested()) ExitThread(0);
    for (;;) {
        // The loop's top is where a power-down finds the thread: no tune,
        // search or recovery under way. Released, it finds the power-up's
        // recovery pending.
        ParkWhileAsked(Worker::Control);
        dispatch(pendingRequest());
        gDriver.tuner.tunerBusy.store(0);
        control().searchState.store(kSearchIdle);
        while (pendingRequest() == kRequestNone) {
            if (idleWait()) controlTick();
            maybeStartAutomaticSearch();
        }
        if (stopRequested()) ExitThread(0);
    }
}
