// Corvane driver interface: the stream entry points through which the device
// manager loads the driver and the application uses it like a serial port.
// Reads drain the output ring, writes fill the input ring (channel/); the I/O
// control entry point answers the serial requests and hands the power and
// private requests to their handlers. The entry points keep no state of
// their own: the port settings (PortState) belong to the serial requests
// (driver/SerialRequests.h), the rings to channel/.
#pragma once

#include "platform/ce/WinCE.h"

// Fixed context values: the driver keeps no per-open state, every open shares
// the two rings.
constexpr DWORD kDeviceContext = 0x1234;
constexpr DWORD kOpenContext = 0x5678;

// A single read hands over at most this many bytes, whatever the caller asks.
constexpr DWORD kMaxReadBytes = 72;

// The device manager finds the entry points by their plain names.
extern "C" {
DWORD COM_Open(DWORD deviceContext, DWORD accessCode, DWORD shareMode);
BOOL COM_Close(DWORD openContext);
DWORD COM_Read(DWORD openContext, LPVOID buffer, DWORD count);
DWORD COM_Write(DWORD openContext, LPCVOID buffer, DWORD count);
DWORD COM_Seek(DWORD openContext, LONG amount, WORD type);
BOOL COM_IOControl(DWORD openContext, DWORD code, PBYTE inBuffer, DWORD inLength, PBYTE outBuffer, DWORD outLength,
                   PDWORD actualOut);
}
