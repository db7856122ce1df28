#include "driver/Lifecycle.h"

#include "channel/Commands.h"
#include "channel/Sentences.h"
#include "control/Control.h"
#include "driver/Corvane.h"
#include "driver/DriverContext.h"
#include "driver/LoadSteps.h"
#include "driver/WorkerParking.h"
#include "platform/Diagnostics.h"
#include "platform/Platform.h"
#include "rds/Capture.h"
#include "rds/GroupDecoder.h"
#include "rds/GroupQueue.h"
#include "tuner/Tuner.h"

namespace {

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

// True when the thread has ended (or never ran).
bool waitAndClose(HANDLE& thread)
{
    if (thread == nullptr) return true;
    const bool ended = WaitForSingleObject(thread, kThreadEndWaitMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    thread = nullptr;
    return ended;
}

// True once no power transition waits for or holds the guard and no read,
// write or request of the application is under way, within the wait given to
// a worker.
bool waitForCallsUnderWay()
{
    for (DWORD waited = 0; life().powerCallsUnderWay.load() != 0 || life().applicationCallsUnderWay.load() != 0;
         ++waited) {
        if (waited == kThreadEndWaitMs) return false;
        Sleep(1);
    }
    return true;
}

}  // namespace

DWORD COM_Init(LPCWSTR)
{
    BeginLoad();
    life().unloading.store(0);
    gDriver.tuner.receiverMode.store(0);
    life().driverState.store(kDriverStarting);

    BringUpTuner();
    // The firmware sentence goes out twice. A reader that attaches to a
    // serial stream drops its first line, which it cannot know to be whole;
    // the second copy is the one such an application keeps.
    emitFirmware();
    gDriver.tuner.statusStale.store(0);
    gDriver.control.recoveryNeeded.store(0);
    // The request is left as it is: at its load value unless the system
    // suspended and resumed meanwhile, when the power-up's recovery (and the
    // thread work it owes) waits there for the control thread. Cleared, the
    // chip would stay as the power-down left it, the bus switched off.
    emitFirmware();
    Sleep(300);
    resetRdsDecoder();

    CreateParkEvents();
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
// gets a simulated interrupt; a parked worker is woken where it blocks.
// Closing an event would not wake its waiter: a wait on a handle closed
// meanwhile is never satisfied and runs to its time-out, by when the device
// manager has freed this library's code under the thread. Nothing a worker
// waits on or uses is released until every worker ended.
BOOL COM_Deinit(DWORD)
{
    // A power request still running on another thread finishes first; one
    // that comes after finds the unload under way and does nothing.
    EnterCriticalSection(&life().powerGuard);
    life().unloading.store(1);
    life().stopReaderThread.store(1);
    gDriver.control.controlRequest.store(kRequestShutdown);
    life().stopControlThread.store(1);
    life().stopInterruptThread.store(1);
    life().stopGroupThread.store(1);
    WakeParkedWorkers();  // the interrupt thread's event among them

    bool ended = waitAndClose(life().readerThread);
    ended &= waitAndClose(life().controlThread);
    const bool interruptThreadEnded = waitAndClose(life().interruptThread);
    ended &= interruptThreadEnded;
    ended &= waitAndClose(life().groupThread);
    LeaveCriticalSection(&life().powerGuard);
    // Power requests that waited for the guard meanwhile leave it at once,
    // and commands and recovery requests under way find the request code 99
    // and the workers gone; the locks and the bus go only after them (else
    // they are left, as for a worker).
    ended &= waitForCallsUnderWay();

    // The interrupt is released only now: an InterruptDone from a handler
    // still running would unmask a disabled line again.
    InterruptDone(life().sysIntr);
    InterruptDisable(life().sysIntr);
    // An interrupt thread that did not end may still wait on the event: it is
    // left open rather than closed under the waiter.
    if (life().interruptEvent != nullptr && interruptThreadEnded) CloseHandle(life().interruptEvent);
    life().interruptEvent = nullptr;
    if (ended) CloseParkEvents();

    TunerPowerDown();
    // A worker that did not end in time may still use the bus record, the
    // register windows and the locks: they are left to leak rather than
    // released under it.
    EndLoad(ended);
    return TRUE;
}

BOOL CorvaneDllEntry(HANDLE, DWORD, LPVOID)
{
    return TRUE;
}
