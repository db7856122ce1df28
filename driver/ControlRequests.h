#pragma once

#include "platform/ce/WinCE.h"

// The power-management requests (IOCTL_POWER_*) and the private control
// requests (IOCTL_TMC_COMMAND, IOCTL_TMC_RECOVER, IOCTL_TMC_SUSPEND_RESUME),
// handed over by COM_IOControl with all of its arguments. Both families answer
// FALSE to the caller whatever they did, and set no last error.
BOOL HandlePowerRequest(DWORD code, PBYTE inBuffer, DWORD inLength, PBYTE outBuffer, DWORD outLength, PDWORD actualOut);
BOOL HandlePrivateRequest(DWORD code, PBYTE inBuffer, DWORD inLength, PBYTE outBuffer, DWORD outLength,
                          PDWORD actualOut);
