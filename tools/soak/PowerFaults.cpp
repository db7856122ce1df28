// The soak's power faults: the power manager's device power states, the
// system's suspend and resume, the application's suspend and resume. Each
// call is shown to the PoweredDownWatch from its start to its return.
#include "tools/soak/SoakFaults.h"

#include "driver/DriverContext.h"
#include "driver/Lifecycle.h"

namespace corvane::soak {

namespace {

using sim::Micros;

// Messages of a power-down are still explained this long after the power-up:
// it leaves the bus switched off until the control loop's recovery (3 s
// pause, reset, settings).
constexpr Micros kPowerGrace = 10'000'000;
// A power-down in a car often meets the rest of the device busy: a bus that
// another device holds, the processor taken by a thread above the workers.
// Each happens with this chance as a power-down comes, for 2 to 5 s: past the
// power-down's wait for the workers to park.
constexpr double kStallChance = 0.5;
constexpr double kHoldChance = 0.5;
constexpr Micros kShortestTrouble = 2'000'000;
constexpr Micros kLongestTrouble = 5'000'000;
constexpr Micros kHoldDrawnWithin = 250'000;  // the hold begins this soon after the power-down is drawn
// And with this chance a command is under way as it comes (a station button
// pressed as the engine stops).
constexpr double kCommandChance = 0.5;
// And with this chance, in the preemptive modes, the processor is taken from
// the caller's thread at a point drawn among the first its power-down
// passes: the driver is left half-way into its power-down for seconds.
constexpr double kCallerHoldChance = 0.5;
constexpr unsigned kCallerHoldPoints = 60;
// After a power-up, the next power-down comes with this chance 2.9 to 3.3 s
// later, as the power-up's recovery resets and reprograms the chip (the
// engine stalls right after it started), and holds the control thread there.
constexpr double kPowerDownInRecoveryChance = 0.3;
constexpr Micros kRecoveryFrom = 2'900'000;
constexpr Micros kRecoverySpan = 400'000;

bool driverRunning()
{
    return gDriver.lifecycle.driverState.load() == kDriverRunning;
}

}  // namespace

void FaultInjector::callStarts(PowerCall call, unsigned state)
{
    if (watch_.enabled()) watch_.callStarted(session_.kernel().now(), call, state, viewReceiver(session_.world()));
}

void FaultInjector::callReturns(PowerCall call)
{
    if (watch_.enabled()) watch_.callReturned(session_.kernel().now(), call, viewReceiver(session_.world()));
}

// The power manager's request, on its thread: the window of its messages is
// the call itself.
void FaultInjector::powerRequest(DWORD state)
{
    const bool powerUp = state < 2;
    callInStep(session_.powerManager(), [this, state, powerUp] {
        sim::Kernel& kernel = sim::Kernel::current();
        powerUpsRunning_ += powerUp;
        callStarts(PowerCall::PowerManager, state);
        if (!powerUp) maybeHoldCaller();
        debug_.begin(Cause::PowerRequest, kernel.now());
        session_.setPowerState(state);
        debug_.end(Cause::PowerRequest, kernel.now(), 0);
        callReturns(PowerCall::PowerManager);
        powerUpsRunning_ -= powerUp;
        if (powerUp) afterPowerChange(kernel.now());
    });
}

Micros FaultInjector::troubleLength()
{
    const auto span = std::uint32_t((kLongestTrouble - kShortestTrouble) / 1000);
    return kShortestTrouble + Micros(troubles_.below(span + 1)) * 1000;
}

// What a power-down meets, drawn from a stream of its own so that the soak's
// other faults keep their draws: the next transfer stalled (most often one a
// worker starts before the call lands), a worker held from a moment drawn
// near the call (the control thread when the power-down comes in a
// recovery), a command under way.
void FaultInjector::troublePowerDown()
{
    if (troubles_.chance(kStallChance)) {
        session_.world().bus().stallNextTransfer(troubleLength());
        ++stalled_;
    }
    const bool inRecovery = powerDownInRecovery_;
    if (troubles_.chance(kHoldChance) || inRecovery) {
        const LifecycleState& life = gDriver.lifecycle;
        const HANDLE workers[] = {life.groupThread, life.interruptThread, life.controlThread, life.readerThread};
        const HANDLE drawn = workers[troubles_.below(4)];
        const HANDLE worker = inRecovery ? life.controlThread : drawn;
        const Micros from = troubles_.below(unsigned(kHoldDrawnWithin));
        const Micros hold = troubleLength();
        // Taken from a worker blocked in a sleep or a wait, which then stops
        // as it would wake. Not from one in the middle of its steps: frozen
        // between a look at the pending power-down and the step the look
        // guards (raising the reset line, say), it would take that step
        // seconds late whatever it looked at, and no driver can help that.
        if (worker != nullptr) {
            sim::Kernel& kernel = session_.kernel();
            kernel.after(from, [this, &kernel, worker, hold] {
                if (!kernel.activity(worker).blocked) return;
                kernel.holdThread(worker, true);
                kernel.after(hold, [&kernel, worker] { kernel.holdThread(worker, false); });
                ++held_;
            });
        }
    }
    if (troubles_.chance(kCommandChance)) {
        // A tune to the TMC station, or a search: a request for the control
        // thread, handed over on the application's thread (through the port
        // the reader would leave it until the power-up).
        std::string command = troubles_.chance(0.5) ? "$PLTCM,+" : "$PLTCM,-";
        for (const Fade& fade : fades_)
            if (fade.tmc && troubles_.chance(0.7)) command = "$PLTCM,S2," + std::to_string(fade.frequency);
        callInStep(requestThread(), [this, command] { session_.command(command); });
        lastCommand_ = session_.kernel().now();
    }
}

// On the caller's thread, as its power-down starts.
void FaultInjector::maybeHoldCaller()
{
    sim::Kernel& kernel = sim::Kernel::current();
    if (kernel.schedule() == sim::Schedule::Cooperative || !troubles_.chance(kCallerHoldChance)) return;
    const HANDLE caller = kernel.threadHandle(GetCurrentThreadId());
    const Micros hold = troubleLength();
    kernel.atPoint(kernel.preemptionPoints() + 1 + troubles_.below(kCallerHoldPoints), [&kernel, caller, hold] {
        kernel.holdThread(caller, true);
        kernel.after(hold, [&kernel, caller] { kernel.holdThread(caller, false); });
    });
    ++heldCallers_;
}

// After a power-up: maybe the next power-down lands in its recovery.
void FaultInjector::maybePowerDownInRecovery(Micros now)
{
    if (troubles_.chance(kPowerDownInRecoveryChance))
        powerDownInRecoveryAt_ = now + kRecoveryFrom + troubles_.below(unsigned(kRecoverySpan));
}

void FaultInjector::startPowerDownInRecovery(Micros now)
{
    powerDownInRecoveryAt_ = 0;
    if (systemSuspended() || powerUntil_ != 0 || suspendUntil_ != 0) return;
    powerDownInRecovery_ = true;
    if (troubles_.chance(0.5))
        startPowerDown(now);
    else
        startSuspend(now);
    powerDownInRecovery_ = false;
}

void FaultInjector::startPowerDown(Micros now)
{
    if (powerUntil_ != 0) return;
    powerUntil_ = now + duration(1, 120);
    debug_.begin(Cause::Power, now);
    troublePowerDown();
    systemPowerDown_ = random_.chance(0.5);
    if (systemPowerDown_) {
        callStarts(PowerCall::SystemSuspend);
        session_.powerDown();
        callReturns(PowerCall::SystemSuspend);
    } else {
        powerRequest(3 + random_.below(2));  // D3 or D4
    }
}

void FaultInjector::powerUp(Micros now)
{
    powerUntil_ = 0;
    // Now and then the bus cannot be opened again: the bus driver refuses, or
    // there is no memory for its record. The driver must get over it.
    if (openFaults_.chance(0.2)) {
        if (openFaults_.chance(0.5))
            session_.world().bus().failOpens(1);
        else
            session_.kernel().failAllocations(0, 1);
    }
    // The way back matches the way down: the system's resume after its
    // suspend, the power manager's D0 or D1 after its D3 or D4.
    random_.chance(0.5);  // drawn as when the way back was drawn apart, keeping later draws
    if (systemPowerDown_) {
        callStarts(PowerCall::SystemResume);
        session_.powerUp();
        callReturns(PowerCall::SystemResume);
        afterPowerChange(now);
    } else {
        powerRequest(random_.below(2));  // D0 or D1
    }
}

void FaultInjector::startSuspend(Micros now)
{
    if (suspendUntil_ != 0) return;
    suspendUntil_ = now + duration(1, 120);
    debug_.begin(Cause::Power, now);
    troublePowerDown();
    callInStep(requestThread(), [this] {
        callStarts(PowerCall::Suspend);
        maybeHoldCaller();
        session_.suspendResume(2);
        callReturns(PowerCall::Suspend);
    });
}

void FaultInjector::resume(Micros)
{
    suspendUntil_ = 0;
    callInStep(requestThread(), [this] {
        ++powerUpsRunning_;
        callStarts(PowerCall::Resume);
        session_.suspendResume(1);
        callReturns(PowerCall::Resume);
        --powerUpsRunning_;
        afterPowerChange(sim::Kernel::current().now());
    });
}

void FaultInjector::afterPowerChange(Micros now)
{
    if (driverRunning()) maybePowerDownInRecovery(now);
    // A power-up empties the output ring.
    if (driverRunning()) ringReset_ = true;
    if (powerUntil_ == 0 && suspendUntil_ == 0) debug_.end(Cause::Power, now, kPowerGrace);
}

}  // namespace corvane::soak
