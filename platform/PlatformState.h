#pragma once

#include "platform/BusTypes.h"
#include "platform/RegisterWindowTable.h"
#include "platform/ce/WinCE.h"

#include <cstdint>

// How the windows were mapped.
constexpr BYTE kMapDirect = 0;   // VirtualAlloc + VirtualCopy
constexpr BYTE kMapUtility = 1;  // through the utility driver "UTL0:"

// Platform access state: where each register window was mapped, how, and the
// utility driver when it is open. Filled once at start, before any worker
// thread exists, and only read afterwards.
struct PlatformState {
    PVOID windowAddress[kRegisterWindowCount] = {};  // null while not mapped
    BYTE mapMode = kMapDirect;
    HANDLE utlHandle = nullptr;  // 0 when closed
    UtlInterface utl = {};
};
