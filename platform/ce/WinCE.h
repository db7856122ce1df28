// The Windows CE 6.0 surface the driver is written against: types, structures,
// constants and kernel calls. The driver includes this header and calls nothing
// else of the operating system.
//
// Built for the device (_WIN32), Win32 comes from the real <windows.h> and
// CeAdditions.h declares what Windows CE adds to it. On Linux the Win32 part is
// declared below with the target's widths, and every call, Win32 or CE, is
// implemented by the simulated kernel and hardware under sim/.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)

// Wide strings throughout, as on Windows CE; only the kernel, file, device and
// communication declarations are needed.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// The interlocked calls are coredll's, as on the device: the compiler's
// headers would turn them into inline x86 instructions, which the processor of
// the device does not have (an ARMv5 has no atomic read-modify-write). A
// pointer is 32 bits there, so the pointer forms are the 32-bit calls.
#undef InterlockedCompareExchange
#undef InterlockedExchange
#undef InterlockedExchangeAdd
#undef InterlockedCompareExchangePointer
#undef InterlockedExchangePointer
extern "C" {
__declspec(dllimport) LONG WINAPI InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand);
__declspec(dllimport) LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value);
__declspec(dllimport) LONG WINAPI InterlockedExchangeAdd(LONG volatile* target, LONG delta);
}
#include "platform/ce/InterlockedPointers.h"

#else  // the host

// ---- Basic types ---------------------------------------------------------

using BYTE = std::uint8_t;
using UCHAR = std::uint8_t;
using CHAR = char;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using WCHAR = char16_t;  // 16-bit on Windows CE; L"" literals are written TEXT("")
using HANDLE = void*;
using HLOCAL = void*;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using PBYTE = BYTE*;
using PUCHAR = UCHAR*;
using LPDWORD = DWORD*;
using PDWORD = DWORD*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPCSTR = const char*;
using SIZE_T = std::size_t;

#define TEXT(s) u##s

// The calling convention of the platform's calls and of thread procedures
// (__stdcall on 32-bit x86); the host has one convention.
#define WINAPI

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID);

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// ---- Error codes and wait results ----------------------------------------

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_DEVICE_NOT_AVAILABLE = 4319;

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// ---- Memory, files, devices ----------------------------------------------

constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;
constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;

constexpr DWORD MEM_COMMIT = 0x1000;
constexpr DWORD MEM_RESERVE = 0x2000;
constexpr DWORD MEM_RELEASE = 0x8000;
constexpr DWORD PAGE_NOACCESS = 0x01;
constexpr DWORD PAGE_READWRITE = 0x04;
constexpr DWORD PAGE_NOCACHE = 0x200;

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD OPEN_EXISTING = 3;

// ---- Serial port structures (field layout as on the target) --------------

struct COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD BAUD_USER = 0x10000000u;

// ---- Synchronisation --------------------------------------------------------

// Kept by the kernel; the driver only passes its address.
struct CRITICAL_SECTION {
    DWORD OwnerThread;     // id of the owning thread, 0 when free
    DWORD RecursionCount;  // entries by the owner
    DWORD LockId;          // the kernel's wait list for this section, 0 before initialisation
    DWORD Reserved;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

// ---- Kernel calls -------------------------------------------------------------

extern "C++" {
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, DWORD stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId);
DWORD SuspendThread(HANDLE thread);
DWORD ResumeThread(HANDLE thread);
[[noreturn]] void ExitThread(DWORD exitCode);
DWORD GetCurrentThreadId();
BOOL CloseHandle(HANDLE object);

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
void Sleep(DWORD milliseconds);
DWORD GetTickCount();

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);

// One atomic read-modify-write of an aligned 32-bit value each, whatever the
// processor: the kernel makes them atomic where the instruction set cannot
// (an ARMv5 has no atomic read-modify-write; the kernel restarts a sequence
// that an interrupt broke). Each is a full barrier. Exchange and add return
// the value found before.
LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand);
LONG InterlockedExchange(LONG volatile* target, LONG value);
LONG InterlockedExchangeAdd(LONG volatile* target, LONG delta);
#if defined(UNDER_CE)
// A pointer is 32 bits on the device: the pointer forms are the 32-bit calls.
#include "platform/ce/InterlockedPointers.h"
#else
// The host's pointers may be wider than 32 bits: the simulated kernel has
// calls of their own width.
PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand);
PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value);
#endif

void SetLastError(DWORD error);
DWORD GetLastError();

HLOCAL LocalAlloc(UINT flags, UINT bytes);
HLOCAL LocalFree(HLOCAL memory);

LPVOID VirtualAlloc(LPVOID address, DWORD size, DWORD allocationType, DWORD protect);
BOOL VirtualFree(LPVOID address, DWORD size, DWORD freeType);

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes, DWORD creation,
                   DWORD flags, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     LPVOID overlapped);
}

#endif  // the host

#include "platform/ce/CeAdditions.h"

// Structured exception handling around a caller's buffers: runs body(context)
// and returns FALSE when touching memory inside it faults (on the target a
// __try/__except(EXCEPTION_EXECUTE_HANDLER) block around the same call). The
// device build implements it in platform/ce/GuardedCall.cpp, the host in sim/.
BOOL CeGuardedCall(void (*body)(void* context), void* context);

// ---- Layouts on the target ----------------------------------------------------

// The port hands these structures to its clients byte for byte: the sizes and
// offsets a 32-bit client expects, checked against whichever declarations are
// in force (the real headers in the device build).
static_assert(sizeof(COMMPROP) == 64, "COMMPROP is 64 bytes on the target");
static_assert(offsetof(COMMPROP, dwMaxTxQueue) == 12 && offsetof(COMMPROP, wSettableData) == 40);
static_assert(offsetof(COMMPROP, dwProvSpec1) == 52 && offsetof(COMMPROP, wcProvChar) == 60);
static_assert(sizeof(COMMTIMEOUTS) == 20);
static_assert(sizeof(DCB) == 28, "DCB is 28 bytes on the target");
static_assert(offsetof(DCB, wReserved) == 12 && offsetof(DCB, ByteSize) == 18 && offsetof(DCB, EofChar) == 24);
static_assert(sizeof(POWER_CAPABILITIES) == 48);
static_assert(offsetof(POWER_CAPABILITIES, Power) == 4 && offsetof(POWER_CAPABILITIES, Flags) == 44);
