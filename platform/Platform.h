// Platform access: the SoC register windows and their mapping, the two GPIO
// lines wired to the tuner (reset and bus mode), the busy-wait delay on the
// SoC counter, and the opening of and transfers through the I2C bus driver
// "I2C1:". Everything here sits directly on the Windows CE surface
// (platform/ce/WinCE.h) and calls nothing else of the driver.
#pragma once

#include "platform/BusTypes.h"
#include "platform/PlatformState.h"
#include "platform/ce/WinCE.h"

// ---- Register windows --------------------------------------------------------

// The windows and the three the driver uses: platform/RegisterWindowTable.h.

// Register offsets within those windows.
constexpr DWORD kTimerLatch = 0x30;      // write 1 before every counter read
constexpr DWORD kTimerCounter = 0x34;    // free-running, unsigned 32 bits
constexpr DWORD kClockRateWord = 0xA10;  // counter ticks per second, roughly
constexpr DWORD kBusModeLine = 0x438;    // pin control register of the tuner's bus-mode input
constexpr DWORD kResetLine = 0x43C;      // pin control register of the tuner's reset input
constexpr DWORD kPadSelectRegister = 0x484;
// Pad-select bits of the two lines: bit n belongs to the pin register at 0x400 + 4n.
constexpr ULONG kPadSelectBusMode = 1u << 14;
constexpr ULONG kPadSelectReset = 1u << 15;

// Maps every window (mode kMapDirect or kMapUtility). 1 on success; on any
// failure whatever was mapped is released again and the result is 0.
DWORD CspRegMap(BYTE mode);
// Releases the windows and forgets their addresses.
void CspRegUnmap();

// The 32-bit register at offset in a mapped window, or null while the window
// is not mapped.
volatile ULONG* WindowRegister(unsigned window, DWORD offset);

// The utility driver "UTL0:": 1 when open (already or now), 0 on failure.
DWORD OpenUtl();
void CloseUtl();

// ---- GPIO lines ---------------------------------------------------------------

// new = (old AND NOT clear) OR set, atomic against other writers that use it.
void SetPinBits(volatile ULONG* reg, ULONG clear, ULONG set);

// The three changes the driver makes to a line (its pin control register
// offset in the GPIO window). Bit 5 enables the output, bit 6 is the level,
// bit 4 is always written as 0.
constexpr ULONG kPinOutputEnable = 0x20;
constexpr ULONG kPinLevelHigh = 0x40;
constexpr ULONG kPinBit4 = 0x10;
void PinMakeOutput(DWORD line);
void PinDriveHigh(DWORD line);
void PinDriveLow(DWORD line);
// Sets bits in the pad-select register, leaving the others alone.
void PadSelect(ULONG bits);

// ---- Delay --------------------------------------------------------------------

// Busy-waits n units of clock-rate / 2,000,000 counter ticks; 0 returns at once.
void TimerDelay(DWORD n);

// ---- I2C bus driver -----------------------------------------------------------

// Opens the bus driver and obtains its transfer entry; null on failure, with
// no device handle left open and nothing allocated.
I2CHandle* I2C_Open(LPCWSTR deviceName);
// One transfer to the device at the 7-bit bus address through the bus
// driver's routine. Nonzero on success; after a successful read data holds
// the bytes read.
BOOL I2CTransfer(const I2CHandle* handle, BYTE busAddress, DWORD direction, BYTE* data, DWORD length);
