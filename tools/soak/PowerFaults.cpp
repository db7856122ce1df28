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
// How often a power-down finds the bus stuck, and for how long the transfer
// under way is held: past the power-down's wait for the workers to park.
constexpr double kStallChance = 0.5;
constexpr Micros kShortestStall = 2'000'000;
constexpr Micros kLongestStall = 5'000'000;

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
        debug_.begin(Cause::PowerRequest, kernel.now());
        session_.setPowerState(state);
        debug_.end(Cause::PowerRequest, kernel.now(), 0);
        callReturns(PowerCall::PowerManager);
        powerUpsRunning_ -= powerUp;
        if (powerUp) afterPowerChange(kernel.now());
    });
}

// A car's bus that a device holds for seconds, just as the power-down comes
// (the ignition switched off while the bus is busy): the next transfer, most
// often one a worker starts before the call lands, is held 2 to 5 s, so that
// the worker misses the power-down's wait for the workers to park.
void FaultInjector::maybeStallBus()
{
    if (!stalls_.chance(kStallChance)) return;
    const auto span = std::uint32_t((kLongestStall - kShortestStall) / 1000);
    session_.world().bus().stallNextTransfer(kShortestStall + Micros(stalls_.below(span + 1)) * 1000);
    ++stalled_;
}

void FaultInjector::startPowerDown(Micros now)
{
    if (powerUntil_ != 0) return;
    powerUntil_ = now + duration(1, 120);
    debug_.begin(Cause::Power, now);
    maybeStallBus();
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
    maybeStallBus();
    callInStep(requestThread(), [this] {
        callStarts(PowerCall::Suspend);
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
    // A power-up empties the output ring.
    if (driverRunning()) ringReset_ = true;
    if (powerUntil_ == 0 && suspendUntil_ == 0) debug_.end(Cause::Power, now, kPowerGrace);
}

}  // namespace corvane::soak
