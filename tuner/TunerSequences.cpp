#include "driver/DriverContext.h"
#include "driver/WorkerParking.h"
#include "platform/Platform.h"
#include "tuner/Tuner.h"
#include "tuner/TunerMessages.h"

namespace {

constexpr const WCHAR* kBusDevice = TEXT("I2C1:");

constexpr DWORD kResetLowMs = 300;       // reset held low
constexpr DWORD kResetRecoverMs = 10;    // after the rising edge
constexpr DWORD kFirstConfigMs = 500;    // after the second reset at load
constexpr DWORD kBusSettleUnits = 5000;  // timer units between bus open and first use

// Hands both pads to their GPIO lines and makes the lines outputs.
void takeLines()
{
    PadSelect(kPadSelectBusMode);
    PadSelect(kPadSelectReset);
    PinMakeOutput(kBusModeLine);
    PinMakeOutput(kResetLine);
}

// Opens the bus into pI2CHandle; false (after saying so) when it cannot.
//
// A worker can still be in the middle of a transfer, holding the record's
// address, when a power-down closes the bus (one that did not park within the
// power-down's wait, or one the system's suspend stopped): so the record
// keeps its address for the driver's whole life, and a later open fills the
// same record. Such a worker then finds a closed or a fresh bus behind the
// address, never freed memory.
//
// The power-up (on the power manager's thread) and the recovery that follows a
// failed open (on the control thread) may both open it: one at a time, and the
// one that finds the other at it leaves the open to it. No wait: the other may
// be a thread the system's suspend stopped.
bool openBus()
{
    if (gDriver.tuner.busOpening.exchange(1, std::memory_order_acquire) != 0) {
        return true;
    }
    I2CHandle* opened = I2C_Open(kBusDevice);
    if (opened == nullptr) {
        gDriver.tuner.pI2CHandle.store(nullptr);
        gDriver.tuner.busOpening.store(0, std::memory_order_release);
        NKDbgPrintfW(kMsgI2COpenFailed);
        return false;
    }
    I2CHandle*& record = gDriver.tuner.busRecord;
    if (record == nullptr) {
        record = opened;
    } else {
        *record = *opened;
        LocalFree(opened);
    }
    gDriver.tuner.pI2CHandle.store(record, std::memory_order_release);
    gDriver.tuner.busOpening.store(0, std::memory_order_release);
    return true;
}

// Tells the bus driver to power the bus, through a handle of its own.
void powerBus()
{
    HANDLE device = CreateFileW(kBusDevice, 0, 0, nullptr, 0, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return;
    }
    DeviceIoControl(device, kIoctlI2CBusPower, nullptr, 0, nullptr, 0, nullptr, nullptr);
    CloseHandle(device);
}

}  // namespace

// The chip latches its bus mode on the rising edge of reset: the bus-mode
// line must already be high then, or the chip ignores the bus until the next
// reset.
bool TunerReset()
{
    PinDriveHigh(kBusModeLine);
    PinMakeOutput(kBusModeLine);
    PinDriveLow(kResetLine);
    PinMakeOutput(kResetLine);
    Sleep(kResetLowMs);
    // A power-down that came during the pulse may already have held the line
    // low itself: raising it now would leave the chip out of reset for the
    // whole power-down.
    if (PowerDownPending()) return false;
    PinDriveHigh(kResetLine);
    PinMakeOutput(kResetLine);
    Sleep(kResetRecoverMs);
    return true;
}

void TunerHardwareInit()
{
    if (!CspRegMap(kMapDirect)) {
        // Without the GPIO and timer windows nothing below can reach the chip.
        NKDbgPrintfW(kMsgCspRegMapFailed);
        return;
    }
    takeLines();
    PinDriveHigh(kBusModeLine);
    TunerReset();
    powerBus();
    if (!openBus()) {
        return;
    }
    TimerDelay(kBusSettleUnits);
    ReleaseBusGuard();
}

void TunerFirstConfig()
{
    TunerDefaults();
    TunerReset();
    Sleep(kFirstConfigMs);
    ApplyReceiverSettings(gDriver.tuner.settings);
}

void TunerDefaults()
{
    TunerState& tuner = gDriver.tuner;
    tuner.settings.bandMode.store(0);
    tuner.settings.volume.store(15);
    tuner.settings.seekThresholdByte.store(static_cast<std::uint8_t>(tuner.settings.QFI.load()));
    tuner.tunerBusy.store(0);
}

// The record is rewritten only under the bus guard, which every transfer holds
// while it uses the record: so no transfer ever reads it half written.
bool ReopenBus()
{
    if (gDriver.tuner.pI2CHandle.load(std::memory_order_acquire) != nullptr) return true;
    if (!TryTakeBusGuard()) return false;  // a transfer runs: the next recovery tries again
    const bool opened = openBus();
    ReleaseBusGuard();
    return opened;
}

void PIO_init()
{
    // The lines keep their levels: a chip held in reset stays there until
    // the resume request resets it.
    takeLines();
    openBus();
    // The bus guard is the caller's: the power-up holds it around this open
    // (the record is rewritten only under it) and frees it itself.
}

// A power-up that could not get the bus guard closes without it. The record
// is read while it is still published: once the handle reads null, a recovery
// on the control thread may open the bus and rewrite the record, and the close
// would then shut the fresh device. The recovery's open sees the null only
// after this read.
bool CloseBus()
{
    I2CHandle* bus = gDriver.tuner.pI2CHandle.load(std::memory_order_acquire);
    if (bus == nullptr) return false;
    // The record is memory a recovery on another thread may rewrite: its read
    // is a point where that thread may run, as any access to shared memory.
    CORVANE_PREEMPTION_POINT();
    const HANDLE device = bus->device;
    if (gDriver.tuner.pI2CHandle.exchange(nullptr, std::memory_order_acq_rel) == nullptr) return false;
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
    return true;
}

std::uint16_t TunerPowerDown()
{
    const std::uint16_t frequency = KeptFrequency();
    PinDriveLow(kResetLine);
    PinMakeOutput(kResetLine);
    return frequency;
}
