#pragma once

#include "platform/ce/WinCE.h"

// Stores the serial defaults in gDriver.port: the timeouts and the DCB that a
// serial client reads back right after start. Run by COM_Init.
void StoreSerialDefaults();

// The serial requests the port answers, and the private word-reversing copy.
// Each returns TRUE, or sets the last error to 87 and returns FALSE without
// writing anything when a buffer is missing or too short.
BOOL GetSerialProperties(PBYTE outBuffer, DWORD outLength, PDWORD actualOut);
BOOL SetSerialTimeouts(const BYTE* inBuffer, DWORD inLength);
BOOL GetSerialTimeouts(PBYTE outBuffer, DWORD outLength, PDWORD actualOut);
BOOL SetSerialDcb(const BYTE* inBuffer, DWORD inLength);
BOOL GetSerialDcb(PBYTE outBuffer, DWORD outLength, PDWORD actualOut);
BOOL ReverseWords(const BYTE* inBuffer, DWORD inLength, PBYTE outBuffer, DWORD outLength, PDWORD actualOut);
