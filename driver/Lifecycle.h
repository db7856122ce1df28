// The driver's life: COM_Init brings the tuner up and starts the four worker
// threads and the tuner interrupt; COM_Deinit stops them and releases what the
// driver holds; the power routines freeze and revive the whole driver.
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

// Each runs whole on its caller's thread, one power transition at a time.
void powerUpDriver();
void powerDownDriver();
// The power manager's D0 and D1: a power-up unless the application has the
// receiver suspended, decided under the same guard as the application's
// suspend and resume (SetAppSuspended), so neither can come in between.
void PowerUpUnlessAppSuspended();
void SetAppSuspended(bool suspended);

// The library's entry routine: nothing to do for any reason.
BOOL CorvaneDllEntry(HANDLE module, DWORD reason, LPVOID reserved);
