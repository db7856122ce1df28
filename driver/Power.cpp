// The power transitions: the power manager's device states and the
// application's suspend and resume on their callers' threads, and the
// system's suspend and resume in the kernel's power handlers.
#include "channel/ByteRing.h"
#include "channel/Commands.h"
#include "control/Control.h"
#include "driver/DriverContext.h"
#include "driver/Lifecycle.h"
#include "driver/WorkerParking.h"
#include "platform/Diagnostics.h"
#include "tuner/Tuner.h"

namespace {

constexpr int kLineBusAlreadyClosed = 1734;
inline constexpr const WCHAR* kMsgBusAlreadyClosed = TEXT("TMC Error: pI2CHandle== NULL\r\n");

LifecycleState& life()
{
    return gDriver.lifecycle;
}

// The power transitions on callers' threads one at a time, counted while they
// wait for the guard or hold it (the unload waits for the count to fall).
struct PowerTransition {
    PowerTransition()
    {
        gDriver.lifecycle.powerCallsUnderWay.fetchAdd(1);
        EnterCriticalSection(&gDriver.lifecycle.powerGuard);
    }
    ~PowerTransition()
    {
        LeaveCriticalSection(&gDriver.lifecycle.powerGuard);
        gDriver.lifecycle.powerCallsUnderWay.fetchAdd(static_cast<std::uint32_t>(-1));
    }
    PowerTransition(const PowerTransition&) = delete;
    PowerTransition& operator=(const PowerTransition&) = delete;
};

// Closed under the bus guard when it can be had: the recovery that opens the
// bus again takes the guard before it rewrites the record, and so comes after
// this read of it. A worker that did not park in time may hold the guard in a
// transfer; the close then goes ahead without it after the guard's bounded
// wait, and that worker finds the device closed.
void closeBusForPowerDown()
{
    const bool guarded = WaitForBusGuard();
    const bool closed = CloseBus();
    if (guarded) ReleaseBusGuard();
    if (!closed) {
        PrintErrorLocation(kSourceDriver, kLineBusAlreadyClosed);
        NKDbgPrintfW(kMsgBusAlreadyClosed);
    }
}

}  // namespace

// The workers are kernel threads: SuspendThread would not stop them, so they
// are asked to park. Request 200 goes first, so that a tune, search or
// recovery under way gives up at its next step and every worker reaches its
// loop's top within one step; the output ring is closed and a command under
// way is waited out, so that nothing is sent or carried out from here to the
// power-up. The bus is gated, the chip held in reset and the bus closed only
// once the workers have parked. A worker that has not parked within
// kParkWaitMs (a bus that holds a transfer that long) does not hold the
// power-down up: the request stays, so it parks when it reaches its loop's
// top, and until then every step that would undo the power-down (opening the
// bus, clearing the gate, raising the reset line) looks for the pending
// power-down first and leaves it alone.
void powerDownDriver()
{
    PowerTransition transition;
    // Where the receiver is, or is going: the power-up's recovery tunes back
    // there. KeptFrequency knows a pending recovery's target, keeps the saved
    // one once the receiver is powered down, and is not misled by a chip a
    // supply dip reset.
    ControlState& control = gDriver.control;
    control.recoveryFrequency.store(KeptFrequency());
    // A tune a command asked for, answered and not yet taken is where the
    // application expects the receiver: the power-up's recovery goes there.
    const std::uint8_t replaced = ReplaceRequest(kRequestPoweredDown);
    if (replaced == kRequestTune || replaced == kRequestTuneThenSearch)
        control.recoveryFrequency.store(control.requestedFrequency.load());
    gDriver.channel.outputRing.close();
    AskWorkersToPark();
    AwaitCommandUnderWay();
    WaitForWorkersParked();
    gDriver.tuner.i2cOff.store(1);
    TunerPowerDown();
    closeBusForPowerDown();
    life().driverState.store(kDriverPoweredDown);
}

// The workers are still parked: the bus is opened afresh, the interrupt
// acknowledged and the queues and rings emptied with nobody beside this
// thread, then the workers go on and the control thread takes the recovery,
// which resets the chip and tunes back to the saved frequency. A power-up
// while the workers run (no power-down before it) does the same beside them;
// the bus record is then rewritten under the bus guard.
void powerUpDriver()
{
    PowerTransition transition;
    ReplaceRequest(kRequestRecover);
    CompletePowerUp();
    gDriver.channel.outputRing.open();
    ReleaseWorkers();
    // A system suspend that came in between (its handler cannot wait for the
    // guard) put 200 in the place of this recovery; the system's resume, which
    // finds the power manager's and the application's last word "run", asks
    // for it again with the thread work it owes.
    life().driverState.store(kDriverRunning);
}

// The system's suspend and resume. The kernel calls these two in kernel mode
// with the scheduler stopped; they may not make a system call (one that could
// block halts the system), only touch memory and the device's registers. So
// they record the transition and hand the rest to the control thread: the
// power-down holds the chip in reset through its pin registers and stops the
// bus (i2cOff) and the control loop (request 200); every thread stands still
// until the resume anyway. The power-up asks for the recovery (request 100),
// which resets the chip and tunes back to the saved frequency, and leaves the
// power-up's thread work (the bus opened afresh, the interrupt acknowledged,
// the queues and rings emptied) to the control thread, which does it first
// when it takes that request.
void COM_PowerDown(DWORD)
{
    gDriver.tuner.i2cOff.store(1);
    gDriver.control.recoveryFrequency.store(TunerPowerDown());
    ReplaceRequest(kRequestPoweredDown);
    life().driverState.store(kDriverPoweredDown);
}

// A receiver that the application suspended, or that the power manager set to
// D2 to D4, stays off: the application's resume or the power manager's own D0
// after the resume brings it back. Decided by what the callers last asked for,
// which they record before their transition starts, not by the workers' park:
// a suspend can stop a caller's D0 or resume before it released the workers
// (the receiver is to run, and only this recovery brings the chip back), or
// its D2 to D4 before it asked them to park (the receiver is to stay off, and
// a recovery posted now would replace the power-down's request).
void COM_PowerUp(DWORD)
{
    if (life().appSuspended.load() != 0 || life().powerManagerOff.load() != 0) return;
    gDriver.control.powerUpOwed.store(1);
    ReplaceRequest(kRequestRecover);
    life().driverState.store(kDriverRunning);
}

// Decided under the guard of the power transitions, so that the power
// manager's state and the application's suspend cannot cross: the receiver
// runs only when the power manager's last state is D0 or D1 and the
// application has not suspended it.
void SetPowerManagerState(DWORD state)
{
    PowerTransition transition;
    // A request the unload overtook would open the bus and release workers
    // that have ended, for a driver about to be freed.
    if (life().unloading.load() != 0) return;
    const bool off = state >= D2;
    life().powerManagerOff.store(off ? 1 : 0);
    if (off) {
        powerDownDriver();
    } else if (life().appSuspended.load() == 0) {
        powerUpDriver();
    }
}

// The power manager's D2 to D4 wins over the application's resume: a device
// the power manager has switched off stays off until it says D0 or D1, as it
// stays off across the system's resume.
void SetAppSuspended(bool suspended)
{
    PowerTransition transition;
    if (life().unloading.load() != 0) return;
    life().appSuspended.store(suspended ? 1 : 0);
    if (suspended) {
        powerDownDriver();
    } else if (life().powerManagerOff.load() == 0) {
        powerUpDriver();
    }
}
