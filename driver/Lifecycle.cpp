#include "driver/Lifecycle.h"

#include "channel/ByteRing.h"
#include "channel/Commands.h"
#include "channel/Sentences.h"
#include "control/Control.h"
#include "driver/Corvane.h"
#include "driver/DriverContext.h"
#include "driver/SerialRequests.h"
#include "platform/Diagnostics.h"
#include "platform/Platform.h"
#include "rds/Capture.h"
#include "rds/GroupDecoder.h"
#include "rds/GroupQueue.h"
#include "tuner/Tuner.h"

namespace {

constexpr int kLineBusAlreadyClosed = 1734;
inline constexpr const WCHAR* kMsgBusAlreadyClosed = TEXT("TMC Error: pI2CHandle== NULL\r\n");

LifecycleState& life() { return gDriver.lifecycle; }

HANDLE startWorker(LPTHREAD_START_ROUTINE procedure, std::atomic<std::uint8_t>& stopFlag)
{
    stopFlag.store(0, std::memory_order_relaxed);
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

// Closes the open bus device and frees its record. False when none was open.
bool closeBus()
{
    I2CHandle* bus = gDriver.tuner.pI2CHandle.load(std::memory_order_relaxed);
    if (bus == nullptr) return false;
    if (bus->device != INVALID_HANDLE_VALUE) CloseHandle(bus->device);
    LocalFree(bus);
    gDriver.tuner.pI2CHandle.store(nullptr, std::memory_order_relaxed);
    return true;
}

void waitAndClose(HANDLE& thread)
{
    if (thread == nullptr) return;
    WaitForSingleObject(thread, kThreadEndWaitMs);
    CloseHandle(thread);
    thread = nullptr;
}

}  // namespace

DWORD COM_Init(LPCWSTR)
{
    // Locks of this load of the driver, before anything can use them.
    InitRingGuards();
    InitDecoderGuard();
    InitGroupQueueGuard();
    InitCommandGuard();

    StoreSerialDefaults();
    gDriver.channel.outputRing.reset(kOutputRingSize);
    gDriver.channel.inputRing.reset(kInputRingSize);
    gDriver.tuner.receiverMode.store(0, std::memory_order_relaxed);
    life().driverState.store(kDriverStarting, std::memory_order_relaxed);

    TunerHardwareInit();
    TunerFirstConfig();
    emitFirmware();
    gDriver.sentences.statusStale.store(0, std::memory_order_relaxed);
    gDriver.control.recoveryNeeded.store(0, std::memory_order_relaxed);
    gDriver.control.controlRequest.store(kRequestNone, std::memory_order_relaxed);
    emitFirmware();
    Sleep(300);
    resetRdsDecoder();

    life().groupThread = startWorker(GroupThread, life().stopGroupThread);
    Sleep(200);
    Sleep(200);

    life().interruptEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    life().sysIntr = kSysIntrTuner;
    if (InterruptInitialize(life().sysIntr, life().interruptEvent, nullptr, 0))
        life().interruptThread = startWorker(RdsInterruptThread, life().stopInterruptThread);

    emitTuningStatus();
    emitDebugCounters();
    life().controlThread = startWorker(ControlThread, life().stopControlThread);
    life().readerThread = startWorker(CommandReaderThread, life().stopReaderThread);
    life().driverState.store(kDriverRunning, std::memory_order_relaxed);
    return kDeviceContext;
}

BOOL COM_Deinit(DWORD)
{
    life().stopReaderThread.store(1, std::memory_order_relaxed);
    gDriver.control.controlRequest.store(kRequestShutdown, std::memory_order_relaxed);
    life().stopControlThread.store(1, std::memory_order_relaxed);
    life().stopInterruptThread.store(1, std::memory_order_relaxed);
    // Closing ends the interrupt thread's wait; the handle itself is forgotten
    // only once that thread has ended, as it reads it for every wait.
    if (life().interruptEvent != nullptr) CloseHandle(life().interruptEvent);
    InterruptDone(life().sysIntr);
    InterruptDisable(life().sysIntr);
    life().stopGroupThread.store(1, std::memory_order_relaxed);

    // Let every worker see its flag and end before the chip goes off and the
    // driver's resources go away; frozen workers are thawed to do so.
    resumeWorkers();
    waitAndClose(life().readerThread);
    waitAndClose(life().controlThread);
    waitAndClose(life().interruptThread);
    life().interruptEvent = nullptr;
    waitAndClose(life().groupThread);

    TunerPowerDown();

    closeBus();
    CspRegUnmap();
    ReleaseCommandGuard();
    ReleaseGroupQueueGuard();
    ReleaseDecoderGuard();
    ReleaseRingGuards();
    return TRUE;
}

void powerDownDriver()
{
    gDriver.tuner.i2cOff.store(1, std::memory_order_relaxed);
    suspendWorkers();
    gDriver.control.controlRequest.store(kRequestPoweredDown, std::memory_order_relaxed);
    TunerPowerDown();
    if (!closeBus()) {
        PrintErrorLocation(kSourceDriver, kLineBusAlreadyClosed);
        NKDbgPrintfW(kMsgBusAlreadyClosed);
    }
    life().driverState.store(kDriverPoweredDown, std::memory_order_relaxed);
}

void powerUpDriver()
{
    closeBus();  // a power-up while running must not leak the open bus
    PIO_init();
    gDriver.control.controlRequest.store(kRequestRecover, std::memory_order_relaxed);
    emptyGroupQueue();
    gDriver.channel.outputRing.reset(kOutputRingSize);
    gDriver.channel.inputRing.reset(kInputRingSize);
    InterruptDone(life().sysIntr);
    resumeWorkers();
    life().driverState.store(kDriverRunning, std::memory_order_relaxed);
}

void COM_PowerUp(DWORD)
{
    if (life().appSuspended.load(std::memory_order_relaxed) == 0) powerUpDriver();
}

void COM_PowerDown(DWORD) { powerDownDriver(); }

BOOL CorvaneDllEntry(HANDLE, DWORD, LPVOID) { return TRUE; }
