#include "channel/ByteRing.h"
#include "control/Control.h"
#include "control/ControlState.h"
#include "driver/DriverContext.h"
#include "rds/GroupQueue.h"
#include "tuner/Tuner.h"

void CompletePowerUp()
{
    gDriver.control.powerUpOwed.store(0);
    // The bus record is rewritten under the guard that every transfer holds
    // while it uses the record. A worker inside a transfer (the workers run
    // on when the power-up comes without a power-down before it, or after a
    // system resume) leaves the guard within that transfer.
    const bool guarded = WaitForBusGuard();
    CloseBus();
    if (guarded) {
        PIO_init();
        ReleaseBusGuard();
    }
    // Not guarded, or not opened: the recovery opens the bus again. The
    // power-up asked for it before it came here, but a recovery under way can
    // take that request as its own meanwhile and be past the point where it
    // opens the bus: the bus would stay closed for good. So it is asked for
    // once more, after the close.
    if (gDriver.tuner.pI2CHandle.load() == nullptr) PostRequest(kRequestRecover);
    InterruptDone(gDriver.lifecycle.sysIntr);
    emptyGroupQueue();
    ResetPortRings();
}
