#include "rds/Capture.h"

#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "driver/WorkerParking.h"
#include "rds/GroupDecoder.h"
#include "rds/GroupQueue.h"
#include "tuner/Tuner.h"

using namespace si4709;

namespace {

// After a failed wait the thread pauses before waiting again, so that it
// cannot spin on an event that no longer works.
constexpr DWORD kFailedWaitPauseMs = 10;

bool stopRequested()
{
    return gDriver.lifecycle.stopInterruptThread.load() != 0;
}

// The group the chip holds now, with its block-error status word.
RdsGroup capturedGroup()
{
    const RegisterShadow& regs = gDriver.tuner.shadow;
    const std::uint16_t status = regs.get(STATUSRSSI);
    const std::uint16_t readchan = regs.get(READCHAN);
    RdsGroup group{};
    group.A = regs.get(RDSA);
    group.B = regs.get(RDSB);
    group.C = regs.get(RDSC);
    group.D = regs.get(RDSD);
    group.status = makeGroupStatus(kStatusBlera.get(status), kReadchanBlerb.get(readchan), kReadchanBlerc.get(readchan),
                                   kReadchanBlerd.get(readchan));
    return group;
}

// One interrupt (or the time-out, which is handled like one): read the chip's
// status and RDS registers and either queue the group or report the status.
void serviceInterrupt()
{
    RdsState& rds = gDriver.rds;
    // A failed or skipped read leaves the shadow with the previous group,
    // which would still show RDSR: storing it again would count one
    // reception twice and lose the new group anyway.
    const bool fetched = GuardedReadRegisters(STATUSRSSI, RDSD);
    // Cleared by the group thread without a lock; a lost update only skews
    // the debug count.
    rds.interruptCount.store(static_cast<std::uint16_t>(rds.interruptCount.load() + 1));
    gDriver.tuner.statusStale.store(0);

    if (gDriver.tuner.shadow.get(STATUSRSSI) & kStatusRdsr) {
        if (!fetched) return;
        emitBlockErrors();
        storeGroup(capturedGroup());  // a full bank drops the group
        rds.rdsSeen.store(1);
        return;
    }
    GuardedReadRegisters(STATUSRSSI, READCHAN);
    GuardedReadRegisters(STATUSRSSI, RDSA);
    gDriver.tuner.statusStale.store(0);
    reportTuningStatus();
}

}  // namespace

DWORD WINAPI RdsInterruptThread(LPVOID)
{
    LifecycleState& life = gDriver.lifecycle;
    gDriver.rds.interruptCount.store(0);
    gDriver.rds.decodedGroupCount.store(0);
    InterruptDone(life.sysIntr);  // lets the first interrupt through

    while (!stopRequested()) {
        const DWORD result = WaitForSingleObject(life.interruptEvent, kInterruptTimeoutMs);
        // The unload wakes this thread with a simulated interrupt after
        // setting the flag: it leaves before touching the bus. So does a
        // power-down, to park the thread: whatever woke it then, the chip is
        // going into reset, and the power-up acknowledges the interrupt.
        if (stopRequested()) break;
        if (ParkWhileAsked(Worker::Interrupt)) continue;
        // While the bus is switched off (the system's suspend, or a power-up
        // whose recovery has not yet switched it on) the chip is held in reset
        // or about to be reset: an edge then is noise, or from before the
        // power-up, and tells nothing of the chip to come. It is not
        // answered, and stays unacknowledged until the recovery acknowledges
        // the interrupt as it switches the bus on.
        if (result == WAIT_OBJECT_0 && gDriver.tuner.i2cOff.load() != 0) continue;
        if (result == WAIT_TIMEOUT) {
            // No group and no completion for a minute: release a waiting tune
            // or seek and ask the control loop to recover the tuner.
            gDriver.tuner.tunerBusy.store(0);
            gDriver.control.recoveryNeeded.store(1);
            serviceInterrupt();
        } else if (gDriver.tuner.tunerBusy.load() != 0) {
            // A tune, seek or measurement owns the chip: only signal it.
            gDriver.tuner.stcSeen.store(1);
        } else {
            serviceInterrupt();
        }
        InterruptDone(life.sysIntr);
        if (result == WAIT_FAILED && !stopRequested()) {
            Sleep(kFailedWaitPauseMs);
        }
    }
    ExitThread(0);
}

DWORD WINAPI GroupThread(LPVOID)
{
    RdsState& rds = gDriver.rds;
    while (gDriver.lifecycle.stopGroupThread.load() == 0) {
        if (ParkWhileAsked(Worker::Group)) continue;
        Sleep(kGroupDrainMs);
        rds.interruptCount.store(0);
        // Taken out under the queue's lock, decoded outside it.
        RdsGroup groups[kBankCapacity];
        const unsigned count = takeBank(groups);
        for (unsigned i = 0; i < count; ++i) {
            decodeGroup(groups[i]);
        }
    }
    ExitThread(0);
}
