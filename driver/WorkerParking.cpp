#include "driver/WorkerParking.h"

#include "driver/DriverContext.h"

namespace {

// A parked worker looks for its release this often.
constexpr DWORD kParkedStepMs = 10;
// The power-down looks for the acknowledgements this often.
constexpr DWORD kParkPollMs = 5;

LifecycleState& life()
{
    return gDriver.lifecycle;
}

// Each worker's thread handle and stop flag, by Worker.
struct WorkerFields {
    HANDLE LifecycleState::*thread;
    Shared<std::uint8_t> LifecycleState::*stop;
};
constexpr WorkerFields kWorkers[kWorkerCount] = {
    {&LifecycleState::groupThread, &LifecycleState::stopGroupThread},
    {&LifecycleState::interruptThread, &LifecycleState::stopInterruptThread},
    {&LifecycleState::controlThread, &LifecycleState::stopControlThread},
    {&LifecycleState::readerThread, &LifecycleState::stopReaderThread},
};

// A worker acknowledges the round of the request it parked for: one that was
// released and has not yet left its park loop when the next power-down asks
// is not taken for parked by an acknowledgement of the last round.
// Acquiring: what the power-down does next comes after each worker's last step.
bool allParked()
{
    const std::uint32_t round = life().parkRound.load();
    for (unsigned w = 0; w < kWorkerCount; ++w)
        if (life().*kWorkers[w].thread != nullptr && life().parked[w].load(std::memory_order_acquire) != round)
            return false;
    return true;
}

}  // namespace

// Acquiring: what a released worker does next comes after the power-up's work.
bool ParkRequested()
{
    return life().parkRequest.load(std::memory_order_acquire) != 0;
}

bool PowerDownPending()
{
    return gDriver.control.controlRequest.load() == kRequestPoweredDown || ParkRequested();
}

bool ParkWhileAsked(Worker worker, HANDLE wakeEvent)
{
    if (!ParkRequested()) return false;
    Shared<std::uint8_t>& stop = life().*kWorkers[static_cast<unsigned>(worker)].stop;
    Shared<std::uint32_t>& parked = life().parked[static_cast<unsigned>(worker)];
    while (ParkRequested() && stop.load() == 0) {
        parked.store(life().parkRound.load(), std::memory_order_release);
        if (wakeEvent != nullptr)
            WaitForSingleObject(wakeEvent, kParkedStepMs);
        else
            Sleep(kParkedStepMs);
    }
    return true;
}

void AskWorkersToPark()
{
    life().parkRound.store(life().parkRound.load() + 1);  // only power transitions write it, one at a time
    life().parkRequest.store(1);
    if (life().interruptEvent != nullptr) SetEvent(life().interruptEvent);
}

bool WaitForWorkersParked()
{
    for (DWORD waited = 0; !allParked(); waited += kParkPollMs) {
        if (waited >= kParkWaitMs) return false;
        Sleep(kParkPollMs);
    }
    return true;
}

// Releasing: what the power-up did before comes before what the workers do next.
void ReleaseWorkers()
{
    life().parkRequest.store(0, std::memory_order_release);
}
