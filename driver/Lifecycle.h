// The driver's life: COM_Init brings the tuner up and starts the four worker
// threads and the tuner interrupt; COM_Deinit stops them and releases what the
// driver holds; the power routines park the workers and switch the receiver off, and revive it.
#pragma once

#include "platform/ce/WinCE.h"

// Priority of every worker thread on the platform's scale (0 highest, 255 lowest).
constexpr int kWorkerPriority = 152;
// How long COM_Deinit waits for one worker thread to end.
constexpr DWORD kThreadEndWaitMs = 2000;

extern "C" {  // looked up by name, as in driver/Corvane.h
DWORD COM_Init(LPCWSTR registryPath);
BOOL COM_Deinit(DWORD deviceContext);
void COM_PowerUp(DWORD deviceContext);
void COM_PowerDown(DWORD deviceContext);
}

// Each runs whole on its caller's thread, one power transition at a time
// (driver/Power.cpp). The power-down parks the workers (driver/WorkerParking.h)
// and then switches the receiver off; the power-up switches it on and
// releases them.
void powerUpDriver();
void powerDownDriver();
// The power manager's device state (0 to 4) and the application's suspend and
// resume, decided under one guard: the receiver runs only while the power
// manager's state is D0 or D1 and the application has not suspended it.
void SetPowerManagerState(DWORD state);
void SetAppSuspended(bool suspended);

// The library's entry routine: nothing to do for any reason.
BOOL CorvaneDllEntry(HANDLE module, DWORD reason, LPVOID reserved);
