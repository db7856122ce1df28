// What the stand-in coredll.dll offers the host program besides the system
// calls: starting and stopping the simulated device behind the calls, and
// looking at it. The host plays the device manager, the power manager and
// the application; it links the stand-in and loads Corvane.dll, whose
// coredll.dll imports then resolve to the stand-in already in the process.
#pragma once

#include <windows.h>

#ifdef CORVANE_STANDIN
#define STANDIN_API extern "C" __declspec(dllexport)
#else
#define STANDIN_API extern "C" __declspec(dllimport)
#endif

struct StandInState {
    DWORD threadsCreated;  // by the driver, through CreateThread
    DWORD threadsRunning;  // of those, not yet ended
    DWORD threadWakes;     // returns of those threads from Sleep and WaitForSingleObject
    DWORD debugLines;      // printed with NKDbgPrintfW
    DWORD windowsMapped;   // register windows bound with VirtualCopy and not freed
    DWORD interrupts;      // tuner interrupts delivered to the driver's event
    DWORD busTransfers;    // I2C transfers the bus driver passed to the chip
    DWORD busViolations;   // transfers the chip refused as malformed
    DWORD busOpen;         // handles of "I2C1:" open now
    WORD chipFrequency;    // the channel the chip is on, 10 kHz units
    BOOL chipPoweredUp;
};

// Builds the band, the chip, the bus and the register windows' hardware and
// starts the thread that runs them in real time. Before the driver loads.
STANDIN_API void StandInStart();
// Stops that thread; after the driver is gone.
STANDIN_API void StandInStop();
STANDIN_API void StandInSnapshot(StandInState* state);
// How many debug lines so far contained `text`.
STANDIN_API DWORD StandInDebugCount(const wchar_t* text);
// Debug lines go to the standard error stream as they come (default), or are
// only counted.
STANDIN_API void StandInEchoDebug(BOOL echo);
