#pragma once

#include "platform/ce/WinCE.h"

// A hard error is printed as two debug messages: this location prefix with a
// source name and a line number, then the message itself.
inline constexpr const WCHAR* kErrorPrefix = TEXT("ERROR: %s line %d: ");

// The source names that stand in the prefix.
inline constexpr const WCHAR* kSourceDriver = TEXT("Corvane");
inline constexpr const WCHAR* kSourceValloc = TEXT("Valloc");

// Prints the location prefix of a hard error.
void PrintErrorLocation(LPCWSTR source, int line);
