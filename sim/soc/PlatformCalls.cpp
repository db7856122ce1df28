// The Windows CE memory and HAL calls of platform/ce/WinCE.h, answered by the
// active simulated SoC. Without one they fail as an unsupported call would.
#include "platform/ce/Shared.h"
#include "platform/ce/WinCE.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/RaceDetector.h"
#include "sim/soc/Soc.h"

LPVOID VirtualAlloc(LPVOID address, DWORD size, DWORD allocationType, DWORD protect)
{
    sim::race::KernelScope kernel;
    sim::Kernel::current().systemCall(__func__);  // the thread may lose the processor here
    if (sim::Soc* soc = sim::Soc::active()) {
        return soc->virtualAlloc(address, size, allocationType, protect);
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

BOOL VirtualCopy(LPVOID destination, LPVOID source, DWORD size, DWORD protect)
{
    sim::race::KernelScope kernel;
    sim::Kernel::current().systemCall(__func__);  // the thread may lose the processor here
    if (sim::Soc* soc = sim::Soc::active()) {
        return soc->virtualCopy(destination, source, size, protect);
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL VirtualFree(LPVOID address, DWORD size, DWORD freeType)
{
    sim::race::KernelScope kernel;
    sim::Kernel::current().systemCall(__func__);  // the thread may lose the processor here
    if (sim::Soc* soc = sim::Soc::active()) {
        return soc->virtualFree(address, size, freeType);
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned)
{
    sim::race::KernelScope kernel;
    sim::Kernel::current().systemCall(__func__);  // the thread may lose the processor here
    if (sim::Soc* soc = sim::Soc::active()) {
        return soc->kernelIoControl(code, in, inSize, out, outSize, returned);
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
