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
    if (life().workersSuspended) return;
    for (HANDLE* thread : kSuspendOrder)
        if (*thread != nullptr) SuspendThread(*thread);
    life().workersSuspended = true;
}

void resumeWorkers()
{
    if (!life().workersSuspended) return;
    for (HANDLE* thread : kSuspendOrder)
        if (*thread != nullptr) ResumeThread(*thread);
    life().workersSuspended = false;
}

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

BOOL COM_Deinit(DWORD)
{
    life().stopReaderThread.store(1);
    gDriver.control.controlRequest.store(kRequestShutdown);
    life().stopControlThread.store(1);
    life().stopInterruptThread.store(1);
    // Closing ends the interrupt thread's wait; the handle itself is forgotten
    // only once that thread has ended, as it reads it for every wait.
    if (life().interruptEvent != nullptr) CloseHandle(life().interruptEvent);
    InterruptDone(life().sysIntr);
    InterruptDisable(life().sysIntr);
    life().stopGroupThread.store(1);

    // Let every worker see its flag and end before the chip goes off and the
    // driver's resources go away; frozen workers are thawed to do so.
    resumeWorkers();
    bool ended = waitAndClose(life().readerThread);
    ended &= waitAndClose(life().controlThread);
    ended &= waitAndClose(life().interruptThread);
    life().interruptEvent = nullptr;
    ended &= waitAndClose(life().groupThread);

    TunerPowerDown();
    // A worker that did not end in time may still use the bus record: it is
    // left to leak rather than freed under it.
    EndLoad(ended);
    return TRUE;
}

void powerDownDriver()
{
    gDriver.tuner.i2cOff.store(1);
    suspendWorkers();
    gDriver.control.controlRequest.store(kRequestPoweredDown);
    gDriver.control.recoveryFrequency.store(TunerPowerDown());
    if (!CloseBus()) {
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
    resumeWorkers();
    // The bus record is rewritten under the guard that every transfer holds
    // while it uses the record. A worker frozen inside a transfer, resumed
    // above, leaves the guard within that transfer.
    const bool guarded = WaitForBusGuard();
    CloseBus();  // a power-up while running must not leak the open bus
    if (guarded) {
        PIO_init();
        ReleaseBusGuard();
    }
    // Not guarded, or not opened: the recovery opens the bus again.
    gDriver.control.controlRequest.store(kRequestRecover);
    InterruptDone(life().sysIntr);
    emptyGroupQueue();
    ResetPortRings();
    life().driverState.store(kDriverRunning);
}

void COM_PowerUp(DWORD)
{
    if (life().appSuspended.load() == 0) powerUpDriver();
}

void COM_PowerDown(DWORD)
{
    powerDownDriver();
}

BOOL CorvaneDllEntry(HANDLE, DWORD, LPVOID)
{
    return TRUE;
}
