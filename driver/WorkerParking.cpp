#include "driver/WorkerParking.h"

#include "driver/DriverContext.h"

namespace {

// Without its event (none could be made at load) a parked worker looks for
// its release this often, and the power-down for the acknowledgements.
constexpr DWORD kParkedStepMs = 10;
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
// is not taken for parked by an acknowledgement of the last round. A worker
// that never started (its thread could not be made, or the interrupt not
// initialised) has nothing to acknowledge and is not waited for.
// Acquiring: what the power-down does next comes after each worker's last step.
bool allParked()
{
    const std::uint32_t round = life().parkRound.load();
    for (unsigned w = 0; w < kWorkerCount; ++w)
        if (life().*kWorkers[w].thread != nullptr && life().parked[w].load(std::memory_order_acquire) != round)
            return false;
    return true;
}

// What a parked worker blocks on: the interrupt thread on its interrupt
// event (CE lets nothing else wait on it, and it may wait on nothing else),
// the others on their own.
HANDLE wakeEventOf(unsigned worker)
{
    return worker == unsigned(Worker::Interrupt) ? life().interruptEvent : life().parkWake[worker];
}

}  // namespace

void CreateParkEvents()
{
    for (unsigned w = 0; w < kWorkerCount; ++w)
        if (w != unsigned(Worker::Interrupt)) life().parkWake[w] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    life().allParkedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

void CloseParkEvents()
{
    for (HANDLE& event : life().parkWake) {
        if (event != nullptr) CloseHandle(event);
        event = nullptr;
    }
    if (life().allParkedEvent != nullptr) CloseHandle(life().allParkedEvent);
    life().allParkedEvent = nullptr;
}

// Acquiring: what a released worker does next comes after the power-up's work.
bool ParkRequested()
{
    return life().parkRequest.load(std::memory_order_acquire) != 0;
}

bool PowerDownPending()
{
    return gDriver.control.controlRequest.load() == kRequestPoweredDown || ParkRequested();
}

bool ParkWhileAsked(Worker worker)
{
    if (!ParkRequested()) return false;
    const unsigned w = static_cast<unsigned>(worker);
    Shared<std::uint8_t>& stop = life().*kWorkers[w].stop;
    Shared<std::uint32_t>& parked = life().parked[w];
    const HANDLE wake = wakeEventOf(w);
    // Masked until the power-up acknowledges the interrupt (or the unload
    // disables it): the chip is held in reset, and an edge on its line is
    // noise that must not wake the processor. One that arrives meanwhile
    // stays pending; the power-up's acknowledgement delivers it before the
    // release, and the wake it gives is taken here. Every worker masks it as
    // it parks: a recovery on the control thread acknowledges the interrupt
    // as it resets the chip, and may have done so after the interrupt thread
    // parked.
    InterruptMask(life().sysIntr, TRUE);
    while (ParkRequested() && stop.load() == 0) {
        parked.store(life().parkRound.load(), std::memory_order_release);
        if (allParked() && life().allParkedEvent != nullptr) SetEvent(life().allParkedEvent);
        if (wake == nullptr || WaitForSingleObject(wake, INFINITE) == WAIT_FAILED) Sleep(kParkedStepMs);
    }
    return true;
}

// Workers parked for a power-down before, with no power-up since, stay parked
// for this one: they are not woken, and what they acknowledged still holds.
void AskWorkersToPark()
{
    if (ParkRequested()) return;
    life().parkRound.store(life().parkRound.load() + 1);  // only power transitions write it, one at a time
    life().parkRequest.store(1);
    if (life().interruptEvent != nullptr) SetEvent(life().interruptEvent);
}

bool WaitForWorkersParked()
{
    const DWORD start = GetTickCount();
    while (!allParked()) {
        const DWORD waited = GetTickCount() - start;
        if (waited >= kParkWaitMs) return false;
        // A signal left from an earlier round only makes this look again.
        if (life().allParkedEvent == nullptr ||
            WaitForSingleObject(life().allParkedEvent, kParkWaitMs - waited) == WAIT_FAILED)
            Sleep(kParkPollMs);
    }
    return true;
}

// Releasing: what the power-up did before comes before what the workers do
// next. Workers that were not asked to park are not woken: the interrupt
// thread would take the wake for an interrupt.
void ReleaseWorkers()
{
    if (life().parkRequest.exchange(0, std::memory_order_release) == 0) return;
    WakeParkedWorkers();
}

void WakeParkedWorkers()
{
    for (unsigned w = 0; w < kWorkerCount; ++w)
        if (const HANDLE wake = wakeEventOf(w); wake != nullptr) SetEvent(wake);
}
