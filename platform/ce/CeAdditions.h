// What Windows CE adds to Win32 and the driver uses, with the signatures the
// platform documents: the interrupt calls, thread priorities on CE's 256-level
// scale, the physical-to-virtual mapping call, the kernel's I/O control, the
// kernel debug print, the SoC register accessors, and the power manager's
// device states, capabilities and requests. Included through WinCE.h after the
// Win32 declarations (the real <windows.h> in the device build).
//
// In the device build the calls are imported from coredll.dll, the CE system
// library; platform/ce/coredll.def lists them for the import library. On the
// host the simulated kernel and SoC under sim/ implement them.
#pragma once

#if defined(_WIN32)
#define CE_KERNEL_CALL extern "C" __declspec(dllimport)
#else
#define CE_KERNEL_CALL extern "C++"
#endif

// ---- Interrupts ---------------------------------------------------------------

// Logical interrupt identifiers: none, and the first the firmware hands out.
constexpr DWORD SYSINTR_NOP = 0;
constexpr DWORD SYSINTR_FIRMWARE = 16;

// Binds the logical interrupt to the event the kernel sets when it fires.
CE_KERNEL_CALL BOOL WINAPI InterruptInitialize(DWORD idInt, HANDLE hEvent, LPVOID pvData, DWORD cbData);
// Ends the handling of one interrupt: the line may fire again.
CE_KERNEL_CALL void WINAPI InterruptDone(DWORD idInt);
// Masks the interrupt and releases its event binding.
CE_KERNEL_CALL void WINAPI InterruptDisable(DWORD idInt);
// Masks (fDisable TRUE) or unmasks the interrupt, its binding kept: an edge
// while masked is held until it is unmasked or acknowledged.
CE_KERNEL_CALL void WINAPI InterruptMask(DWORD idInt, BOOL fDisable);
// Sets the interrupt's event as if it had fired: the one call besides debug
// output that a power handler may make.
CE_KERNEL_CALL BOOL WINAPI SetInterruptEvent(DWORD idInt);

// ---- Threads ------------------------------------------------------------------

// Priorities 0 (highest) to 255; the Win32 calls reach only the last eight.
CE_KERNEL_CALL BOOL WINAPI CeSetThreadPriority(HANDLE hThread, int nPriority);
CE_KERNEL_CALL int WINAPI CeGetThreadPriority(HANDLE hThread);

// ---- Memory and the kernel ----------------------------------------------------

// Maps physical memory (source shifted right by 8 with PAGE_PHYSICAL, or a
// statically mapped kernel address) into a range reserved with VirtualAlloc.
CE_KERNEL_CALL BOOL WINAPI VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect);
// An I/O control request answered by the kernel and the OEM adaptation layer.
CE_KERNEL_CALL BOOL WINAPI KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                                           DWORD nOutBufSize, LPDWORD lpBytesReturned);
// Prints to the kernel debug output; wide format, C calling convention.
CE_KERNEL_CALL void NKDbgPrintfW(LPCWSTR lpszFmt, ...);

#undef CE_KERNEL_CALL

// ---- SoC registers ------------------------------------------------------------

#if defined(_WIN32)
// One volatile 32-bit access to a mapped register: no call, no import.
inline ULONG READ_REGISTER_ULONG(volatile ULONG* reg)
{
    return *reg;
}
inline void WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value)
{
    *reg = value;
}
#else
// On the host they reach the simulated device behind the address.
ULONG READ_REGISTER_ULONG(volatile ULONG* reg);
void WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value);
#endif

// ---- Power management ---------------------------------------------------------

enum CEDEVICE_POWER_STATE : std::int32_t {
    PwrDeviceUnspecified = -1,
    D0 = 0,  // full on
    D1 = 1,  // low on
    D2 = 2,  // standby
    D3 = 3,  // sleep
    D4 = 4,  // off
    PwrDeviceMaximum = 5,
};
using PCEDEVICE_POWER_STATE = CEDEVICE_POWER_STATE*;

// A device's answer to IOCTL_POWER_CAPABILITIES.
struct POWER_CAPABILITIES {
    UCHAR DeviceDx;                   // DX_MASK of every state the device supports
    UCHAR WakeFromDx;                 // states it can wake the system from
    UCHAR InrushDx;                   // states whose entry draws an inrush current
    DWORD Power[PwrDeviceMaximum];    // milliwatts in each state
    DWORD Latency[PwrDeviceMaximum];  // milliseconds to return to D0 from each
    DWORD Flags;
};
using PPOWER_CAPABILITIES = POWER_CAPABILITIES*;

constexpr UCHAR DX_MASK(int d)
{
    return static_cast<UCHAR>(1u << d);
}

// The power manager's requests to a device (file device 0x32, functions 0x400
// to 0x403, buffered, any access).
constexpr DWORD IOCTL_POWER_CAPABILITIES = 0x321000;
constexpr DWORD IOCTL_POWER_GET = 0x321004;
constexpr DWORD IOCTL_POWER_SET = 0x321008;
constexpr DWORD IOCTL_POWER_QUERY = 0x32100C;
