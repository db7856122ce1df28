#include "driver/LoadSteps.h"

#include "channel/ByteRing.h"
#include "channel/Commands.h"
#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "driver/SerialRequests.h"
#include "platform/Platform.h"
#include "rds/GroupDecoder.h"
#include "rds/GroupQueue.h"
#include "tuner/Tuner.h"

namespace {

// The output filter, the TMC credit and the search direction and mode, stored
// before the tuner's first configuration.
void storeStartDefaults()
{
    storeDefaultOutputFilter();
    gDriver.rds.tmcQuality.store(0);
    gDriver.control.searchUp.store(1);
    gDriver.control.autoSearch.store(1);
}

}  // namespace

void CreateLoadLocks()
{
    InitializeCriticalSection(&gDriver.lifecycle.powerGuard);
    InitRingGuards();
    InitDecoderGuard();
    InitGroupQueueGuard();
    InitCommandGuard();
}

void ReleaseLoadLocks()
{
    ReleaseCommandGuard();
    ReleaseGroupQueueGuard();
    ReleaseDecoderGuard();
    ReleaseRingGuards();
    DeleteCriticalSection(&gDriver.lifecycle.powerGuard);
}

void FreeBusRecord()
{
    LocalFree(gDriver.tuner.busRecord);
    gDriver.tuner.busRecord = nullptr;
}

void BringUpTuner()
{
    TunerHardwareInit();
    storeStartDefaults();
    TunerFirstConfig();
}

void BeginLoad()
{
    CreateLoadLocks();
    StoreSerialDefaults();
    ResetPortRings();
}

void EndLoad(bool workersEnded)
{
    CloseBus();
    if (!workersEnded) return;
    FreeBusRecord();
    CspRegUnmap();
    ReleaseLoadLocks();
}
