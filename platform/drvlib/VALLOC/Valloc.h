#pragma once

#include "platform/ce/WinCE.h"

// Makes one SoC register window reachable, uncached: reserves address space
// and copies the window's pages into it. Returns the address of base in the
// new mapping, or null (after printing why) on failure.
PVOID MapWindow(DWORD size, LPCWSTR label, DWORD base);
