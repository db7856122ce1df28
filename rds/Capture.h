// RDS capture: the two worker threads between the tuner's interrupt and the
// group decoder. The RDS interrupt thread reads each received group from the
// chip into the GroupQueue (or, while a tune, seek or measurement waits,
// only signals stcSeen); the group thread hands the queued groups to the
// decoder every 100 ms. Both take nothing from their thread parameter and end
// with ExitThread(0) when their stop flag is set.
#pragma once

#include "platform/ce/WinCE.h"

// Without an interrupt for this long the tuner is presumed lost.
constexpr DWORD kInterruptTimeoutMs = 60000;
constexpr DWORD kGroupDrainMs = 100;

DWORD WINAPI RdsInterruptThread(LPVOID parameter);
DWORD WINAPI GroupThread(LPVOID parameter);
