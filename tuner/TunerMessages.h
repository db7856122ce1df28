#pragma once

#include "platform/ce/WinCE.h"

// The tuner's debug messages. Hard errors are preceded by the location prefix
// (platform/Diagnostics.h) with the source name and these line numbers.

inline constexpr const WCHAR* kMsgHandleNull = TEXT("TMC Error: pI2CHandle is NULL\r\n");
inline constexpr int kLineWriteHandleNull = 1607;
inline constexpr int kLineReadHandleNull = 1647;

inline constexpr const WCHAR* kMsgWriteFailed = TEXT("TMC Error:I2C write failed\r\n");
inline constexpr int kLineWriteFailed = 1631;
inline constexpr const WCHAR* kMsgReadFailed = TEXT("TMC Error:I2C read failed\r\n");
inline constexpr int kLineReadFailed = 1709;

inline constexpr const WCHAR* kMsgCspRegMapFailed = TEXT("Atlas4 4709 Init: CspRegMap failed\r\n");
inline constexpr const WCHAR* kMsgI2COpenFailed = TEXT("PIO_init: I2C_Open failed\r\n");
