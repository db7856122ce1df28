#include "driver/Lifecycle.h"

#include "channel/Commands.h"
#include "channel/Sentences.h"
#include "control/Control.h"
#include "driver/Corvane.h"
#include "driver/DriverContext.h"
#include "driver/LoadSteps.h"
#include "platform/Diagnostics.h"
#include "platform/Platform.h"
#include "rds/Capture.h"
#include "rds/GroupDecoder.h"
#include "rds/GroupQueue.h"
#include "tuner/Tuner.h"

namespace {

constexpr int kLineBusAlreadyClosed = 1734;
inline constexpr const WCHAR* kMsgBusAlreadyClosed = TEXT("TMC Error: pI2CHandle== NULL\r\n");

LifecycleState& life()
{
    return gDriver.lifecycle;
}

HANDLE startWorker(LPTHREAD_START_ROUTINE procedure, Shared<std::uint8_t>& stopFlag)
{
    stopFlag.store(0);
    HANDLE thread = CreateThread(nullptr, 0, procedure, nullptr, 0, nullptr);
    if (thread != nullptr) CeSetThreadPriority(thread, kWorkerPriority);
    return thread;
}

// The workers in the order the power routines suspend and resume them.
HANDLE* const kSuspendOrder[] = {&gDriver.lifecycle.interruptThread, &gDriver.lifecycle.controlThread,
                                 &gDriver.lifecycle.readerThread, &gDriver.lifecycle.groupThread};

void suspendWorkers()
{
    // Suspension is counted by the platform: a second power-down without a
    // power-up in between must not suspend the workers twice, or one power-up
    // would leave them frozen.
    if (life().workersSuspended.load() != 0) return;
    for (HANDLE* thread : kSuspendOrder)
        if (*thread != nullptr) SuspendThread(*thread);
    life().workersSuspended.store(1);
}

void resumeWorkers()
{
    if (life().workersSuspended.load() == 0) return;
    for (HANDLE* thread : kSuspendOrder)
        if (*thread != nullptr) ResumeThread(*thread);
    life().workersSuspended.store(0);
}

// The power transitions on callers' threads one at a time.
struct PowerTransition {
    PowerTransition() { EnterCriticalSection(&gDriver.lifecycle.powerGuard); }
    ~PowerTransition() { LeaveCriticalSection(&gDriver.lifecycle.powerGuard); }
    PowerTransition(const PowerTransition&) = delete;
    PowerTransition& operator=(const PowerTransition&) = delete;
};

// True when the thread has ended (or never ran).
bool waitAndClose(HANDLE& thread)
{
    if (thread == nullptr) return true;
    const bool ended = WaitForSingleObject(thread, kThreadEndWaitMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    thread = nullptr;
    return ended;
}

}  // namespace

DWORD COM_Init(LPCWSTR)
{
    BeginLoad();
    gDriver.tuner.receiverMode.store(0);
    life().driverState.store(kDriverStarting);

    BringUpTuner();
    // The firmware sentence goes out twice. A reader that attaches to a
    // serial stream drops its first line, which it cannot know to be whole;
    // the second copy is the one such an application keeps.
    emitFirmware();
    gDriver.tuner.statusStale.store(0);
    gDriver.control.recoveryNeeded.store(0);
    gDriver.control.controlRequest.store(kRequestNone);
    emitFirmware();
    Sleep(300);
    resetRdsDecoder();

    // The group thread gets 400 ms to start and make its first passes before
    // the interrupt thread can hand it groups. Two sleeps, not one: this
    // thread wakes once in between, and the times of the first sentences the
    // application reads follow from that.
    life().groupThread = startWorker(GroupThread, life().stopGroupThread);
    Sleep(200);
    Sleep(200);

    life().interruptEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    life().sysIntr = kSysIntrTuner;
    if (InterruptInitialize(life().sysIntr, life().interruptEvent, nullptr, 0))
        life().interruptThread = startWorker(RdsInterruptThread, life().stopInterruptThread);

    reportTuningStatus();
    emitDebugCounters();
    life().controlThread = startWorker(ControlThread, life().stopControlThread);
    life().readerThread = startWorker(CommandReaderThread, life().stopReaderThread);
    life().driverState.store(kDriverRunning);
    return kDeviceContext;
}

// Each worker is woken by its stop request: the command reader, the control
// thread and the group thread poll their flags between sleeps of at most
// 100 ms, and the interrupt thread, which waits up to a minute on its event,
// gets a simulated interrupt. Closing the event would not wake it: a wait on
// a handle closed meanwhile is never satisfied and runs to its time-out, by
// when the device manager has freed this library's code under the thread.
// Nothing a worker waits on or uses is released until every worker ended.
BOOL COM_Deinit(DWORD)
{
    // A power request still running on another thread finishes first.
    EnterCriticalSection(&life().powerGuard);
    life().stopReaderThread.store(1);
    gDriver.control.controlRequest.store(kRequestShutdown);
    life().stopControlThread.store(1);
    life().stopInterruptThread.store(1);
    if (life().interruptEvent != nullptr) SetEvent(life().interruptEvent);
    life().stopGroupThread.store(1);

    // Frozen workers are thawed to see their flags.
    resumeWorkers();
    bool ended = waitAndClose(life().readerThread);
    ended &= waitAndClose(life().controlThread);
    const bool interruptThreadEnded = waitAndClose(life().interruptThread);
    ended &= interruptThreadEnded;
    ended &= waitAndClose(life().groupThread);
    LeaveCriticalSection(&life().powerGuard);

    // The interrupt is released only now: an InterruptDone from a handler
    // still running would unmask a disabled line again.
    InterruptDone(life().sysIntr);
    InterruptDisable(life().sysIntr);
    // An interrupt thread that did not end may still wait on the event: it is
    // left open rather than closed under the waiter.
    if (life().interruptEvent != nullptr && interruptThreadEnded) CloseHandle(life().interruptEvent);
    life().interruptEvent = nullptr;

    TunerPowerDown();
    // A worker that did not end in time may still use the bus record, the
    // register windows and the locks: they are left to leak rather than
    // released under it.
    EndLoad(ended);
    return TRUE;
}

void powerDownDriver()
{
    PowerTransition transition;
    gDriver.tuner.i2cOff.store(1);
    suspendWorkers();
    gDriver.control.recoveryFrequency.store(TunerPowerDown());
    ReplaceRequest(kRequestPoweredDown);
    // Closed under the bus guard when it can be had: the recovery that opens
    // the bus again takes the guard before it rewrites the record, and so
    // comes after this read of it. A worker the suspension froze inside a
    // transfer holds the guard; the close then goes ahead without it after
    // the guard's bounded wait, as that worker finds the device closed.
    const bool guarded = WaitForBusGuard();
    const bool closed = CloseBus();
    if (guarded) ReleaseBusGuard();
    if (!closed) {
        PrintErrorLocation(kSourceDriver, kLineBusAlreadyClosed);
        NKDbgPrintfW(kMsgBusAlreadyClosed);
    }
    life().driverState.store(kDriverPoweredDown);
}

// The workers are resumed first. A power-down stops a worker wherever it is:
// inside the output ring's or the group queue's critical section (or with the
// section handed to it while it waited), or inside a register transfer
// holding the bus guard. Taking either before the resume would wait for ever.
// Once resumed, a holder leaves within a few steps: no thread holds these
// across a wait. Until the new request below, the control thread finds the
// power-down's request and idles, and transfers are no-ops (i2cOff). Whatever
// a worker finishes writing meanwhile is cleared by the resets that follow.
void powerUpDriver()
{
    PowerTransition transition;
    resumeWorkers();
    ReplaceRequest(kRequestRecover);
    CompletePowerUp();
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

// A receiver suspended by the application stays off. So does one the power
// manager set to D2 to D4, whose workers are suspended: this handler cannot
// resume them, and the power manager's own D0 after the resume brings the
// receiver back.
void PowerUpUnlessAppSuspended()
{
    PowerTransition transition;  // the application's suspend cannot come in between
    if (life().appSuspended.load() == 0) powerUpDriver();
}

void SetAppSuspended(bool suspended)
{
    PowerTransition transition;
    life().appSuspended.store(suspended ? 1 : 0);
    if (suspended)
        powerDownDriver();
    else
        powerUpDriver();
}

void COM_PowerUp(DWORD)
{
    if (life().appSuspended.load() != 0 || life().workersSuspended.load() != 0) return;
    gDriver.control.powerUpOwed.store(1);
    ReplaceRequest(kRequestRecover);
    life().driverState.store(kDriverRunning);
}

BOOL CorvaneDllEntry(HANDLE, DWORD, LPVOID)
{
    return TRUE;
}
