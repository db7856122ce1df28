// Records exchanged with the platform's bus and utility drivers. Field order is
// the target's; on the target every field is 32 bits (pointers included), on a
// 64-bit host pointers keep the host's width.
#pragma once

#include "platform/ce/WinCE.h"

// One transfer handed to the I2C bus driver's transfer routine.
struct I2CRequest {
    DWORD writeAddress;      // 0x20: chip address 0x10 shifted left, write bit 0
    DWORD readAddress;       // 0x21
    const BYTE* clockSetup;  // fixed 2-byte buffer 0xA2 0x54
    DWORD clockSetupLength;  // 2
    const BYTE* busSetup;    // fixed 2-byte buffer 0xA1 0x64
    DWORD busSetupLength;    // 2
    DWORD unused[3];         // not filled in by the driver
    DWORD busTiming;         // 40000, passed through unchanged
    DWORD options;           // always 0
    DWORD direction;         // 0 write, 1 read
    BYTE* data;              // bytes to send, or room for the bytes read
    DWORD length;            // number of data bytes
};

constexpr DWORD kI2CDirectionWrite = 0;
constexpr DWORD kI2CDirectionRead = 1;
constexpr DWORD kI2CMaxTransfer = 32;

// The bus driver's transfer routine: nonzero on success.
using I2CTransferRoutine = BOOL (*)(DWORD context, I2CRequest* request);

// The open bus: the first two fields are filled in by the bus driver.
struct I2CHandle {
    DWORD context;
    I2CTransferRoutine transfer;
    HANDLE device;  // "I2C1:"
};
// The bytes of I2CHandle that the bus driver fills in (8 on the target).
constexpr DWORD kI2CHandleBusPart = static_cast<DWORD>(offsetof(I2CHandle, device));

// The bus driver was built for the target's 32-bit layout of both records.
static_assert(sizeof(void*) != 4 || (sizeof(I2CHandle) == 12 && kI2CHandleBusPart == 8));
static_assert(sizeof(void*) != 4 ||
              (sizeof(I2CRequest) == 56 && offsetof(I2CRequest, busTiming) == 36 && offsetof(I2CRequest, data) == 48));

// Control codes of the bus driver "I2C1:".
constexpr DWORD kIoctlI2CGetTransferEntry = 0x220000;
constexpr DWORD kIoctlI2CBusPower = 0x321018;

// The utility driver "UTL0:" and its map routine: 0 on success, the mapped
// address stored through the last argument.
using UtlMapRoutine = DWORD (*)(DWORD context, DWORD base, DWORD size, DWORD zero, PVOID* mapped);
struct UtlInterface {
    DWORD reserved0;
    DWORD context;      // byte offset 4
    UtlMapRoutine map;  // byte offset 8
    BYTE reserved[32 - 8 - sizeof(UtlMapRoutine)];
};
static_assert(sizeof(UtlInterface) == 32 && offsetof(UtlInterface, context) == 4 && offsetof(UtlInterface, map) == 8);
constexpr DWORD kIoctlUtlGetInterface = 0x40008;

// KernelIoControl code that must succeed before any window is mapped.
constexpr DWORD kIoctlHalPlatformInfo = 0x01012070;
constexpr DWORD kPlatformInfoBytes = 964;

// The tuner's interrupt line.
constexpr DWORD kSysIntrTuner = 68;
