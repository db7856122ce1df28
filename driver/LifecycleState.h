// The driver's life: start-up, the four worker threads, the tuner interrupt and
// the power states. Stop flags are set by COM_Deinit and polled by the threads.
#pragma once

#include "platform/ce/WinCE.h"

#include "platform/ce/Shared.h"
#include <cstdint>

// Values of driverState.
constexpr std::uint8_t kDriverPoweredDown = 0;
constexpr std::uint8_t kDriverRunning = 1;
constexpr std::uint8_t kDriverStarting = 2;

struct LifecycleState {
    Shared<std::uint8_t> driverState{kDriverStarting};
    Shared<std::uint8_t> appSuspended{0};  // the application suspended the receiver
    Shared<std::uint32_t> currentDx{0};    // last device power state set by the power manager
    DWORD sysIntr = 0;                     // the tuner interrupt, 68 once initialised
    HANDLE interruptEvent = nullptr;       // auto-reset; signalled by the tuner interrupt

    HANDLE groupThread = nullptr;
    HANDLE interruptThread = nullptr;
    HANDLE controlThread = nullptr;
    HANDLE readerThread = nullptr;

    // Serialises the power transitions that run on callers' threads (the power
    // manager's requests, the application's suspend and resume, the unload):
    // two of them at once could leave the workers parked while driverState
    // says the driver runs. The system's power handlers cannot take it.
    CRITICAL_SECTION powerGuard{};
    // The power manager's last state was D2 to D4. Written under powerGuard.
    Shared<std::uint8_t> powerManagerOff{0};
    // Set by the unload under powerGuard: a power transition that gets the
    // guard after it does nothing. Transitions inside or waiting for the
    // guard are counted, so that the unload deletes it only once none is.
    Shared<std::uint8_t> unloading{0};
    Shared<std::uint32_t> powerCallsUnderWay{0};
    // The application's reads, writes and requests under way (its commands
    // and recovery requests among them), counted the same way: one that finds
    // the unload under way does nothing, and the unload releases nothing they
    // use until none is left.
    Shared<std::uint32_t> applicationCallsUnderWay{0};
    // Parking (driver/WorkerParking.h): a caller's power-down asks the workers
    // to park (1) until the power-up releases them; each acknowledges the
    // round it parked for. Request and round are written under powerGuard or
    // by the unload; the system's power-up handler reads the request without.
    Shared<std::uint8_t> parkRequest{0};
    Shared<std::uint32_t> parkRound{0};
    Shared<std::uint32_t> parked[4] = {};  // by Worker
    // Made at load before the workers start, closed once they ended: the
    // auto-reset event a parked worker waits on (by Worker; the interrupt
    // thread waits on interruptEvent instead), and the one the last worker
    // to park sets for the power-down waiting for them.
    HANDLE parkWake[4] = {};
    HANDLE allParkedEvent = nullptr;

    Shared<std::uint8_t> stopGroupThread{0};
    Shared<std::uint8_t> stopInterruptThread{0};
    Shared<std::uint8_t> stopControlThread{0};
    Shared<std::uint8_t> stopReaderThread{0};
};
