// Parking the worker threads for a power-down. The driver runs in the kernel
// process, and SuspendThread does not suspend a kernel thread: a power-down
// cannot freeze the workers, so it asks them to park. Each worker looks for
// the request at a safe point of its loop (no lock held, no bus guard, no
// transfer on the wire, no reset pulse under way), says it has parked and
// waits there, touching nothing, until the power-up releases it or the unload
// stops it.
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

// The worker side, at its safe point: parks while a power-down asks it to,
// and returns once released or stopped; true when it parked. The interrupt
// thread passes its event: it waits there while parked, so that the wake the
// power-down gave it and any interrupt of the chip going into reset are
// taken there, not answered after the power-up.
bool ParkWhileAsked(Worker worker, HANDLE wakeEvent = nullptr);

// A power-down has asked the workers to park and the power-up has not yet
// released them: the receiver is held off.
bool ParkRequested();

// A power-down is pending (request 200) or holds the receiver off: a worker
// that has not parked yet leaves the bus, its gate and the reset line alone.
bool PowerDownPending();

// The power paths' side, on their caller's thread. AskWorkersToPark wakes the
// interrupt thread from its minute-long wait; WaitForWorkersParked is true
// when every worker that runs acknowledged within kParkWaitMs.
void AskWorkersToPark();
bool WaitForWorkersParked();
void ReleaseWorkers();
