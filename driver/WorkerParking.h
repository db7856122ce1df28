// Parking the worker threads for a power-down. The driver runs in the kernel
// process, and SuspendThread does not suspend a kernel thread: a power-down
// cannot freeze the workers, so it asks them to park. Each worker looks for
// the request at a safe point of its loop (no lock held, no bus guard, no
// transfer on the wire, no reset pulse under way), says it has parked and
// blocks there, touching nothing, until the power-up releases it or the
// unload stops it. A parked worker has no timed wake: on a battery device the
// processor idles only while no thread is due, and the receiver is off for
// most of the device's life.
#pragma once

#include "platform/ce/WinCE.h"

#include <cstdint>

// The four workers, by their place in LifecycleState's acknowledgements.
enum class Worker : std::uint8_t { Group, Interrupt, Control, Reader };
constexpr unsigned kWorkerCount = 4;

// How long a power-down waits for every worker to park. Each reaches its safe
// point within one wait step once the power-down's request 200 is pending,
// except from inside a step that cannot be cut short: a reset pulse (300 ms)
// or a register transfer on a slow bus. This bounds both with room to spare,
// as the unload's wait for a worker's end does.
constexpr DWORD kParkWaitMs = 2000;

// The events parking blocks on, made at load before the workers start and
// closed at the unload once they have ended. Without them a parked worker
// looks for its release every 10 ms.
void CreateParkEvents();
void CloseParkEvents();

// The worker side, at its safe point: parks while a power-down asks it to,
// and returns once released or stopped; true when it parked. The interrupt
// thread blocks in its wait on the interrupt event, the one event CE lets it
// wait on, with the interrupt masked: an edge while the receiver is off wakes
// nobody, and the one the power-up's acknowledgement delivers is taken with
// the release, not answered after it.
bool ParkWhileAsked(Worker worker);

// A power-down has asked the workers to park and the power-up has not yet
// released them: the receiver is held off.
bool ParkRequested();

// A power-down is pending (request 200) or holds the receiver off: a worker
// that has not parked yet leaves the bus, its gate and the reset line alone.
bool PowerDownPending();

// The power paths' side, on their caller's thread. AskWorkersToPark wakes the
// interrupt thread from its minute-long wait; WaitForWorkersParked returns
// when the last worker that runs has parked, false when one has not within
// kParkWaitMs. ReleaseWorkers lets them go on; WakeParkedWorkers wakes every
// parked worker to look again (the release and the unload's stop flags).
void AskWorkersToPark();
bool WaitForWorkersParked();
void ReleaseWorkers();
void WakeParkedWorkers();
