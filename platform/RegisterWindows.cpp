#include "driver/DriverContext.h"
#include "platform/Platform.h"
#include "platform/drvlib/VALLOC/Valloc.h"

namespace {

// The label the window mapping prints in its failure messages.
constexpr const WCHAR* kMapLabel = TEXT("CspMapReg");

void forgetWindows()
{
    for (PVOID& address : gDriver.platform.windowAddress) {
        address = nullptr;
    }
}

}  // namespace

DWORD CspRegMap(BYTE mode)
{
    PlatformState& platform = gDriver.platform;
    forgetWindows();
    platform.mapMode = mode;

    if (mode != kMapDirect && !OpenUtl()) {
        return 0;
    }

    // The kernel must answer this request before any window may be mapped;
    // its reply itself is of no use here.
    BYTE platformInfo[kPlatformInfoBytes];
    DWORD returned = 0;
    if (!KernelIoControl(kIoctlHalPlatformInfo, nullptr, 0, platformInfo, sizeof platformInfo, &returned)) {
        return 0;
    }

    for (unsigned i = 0; i < kRegisterWindowCount; ++i) {
        const RegisterWindow& window = kRegisterWindows[i];
        bool mapped;
        if (mode == kMapDirect) {
            platform.windowAddress[i] = MapWindow(window.size, kMapLabel, window.base);
            mapped = platform.windowAddress[i] != nullptr;
        } else {
            mapped =
                platform.utl.map(platform.utl.context, window.base, window.size, 0, &platform.windowAddress[i]) == 0;
        }
        if (!mapped) {
            CspRegUnmap();
            return 0;
        }
    }
    return 1;
}

void CspRegUnmap()
{
    PlatformState& platform = gDriver.platform;
    if (platform.mapMode == kMapDirect) {
        for (PVOID address : platform.windowAddress) {
            if (address != nullptr) {
                VirtualFree(address, 0, MEM_RELEASE);
            }
        }
    }
    forgetWindows();
    if (platform.mapMode != kMapDirect) {
        CloseUtl();
    }
}

volatile ULONG* WindowRegister(unsigned window, DWORD offset)
{
    PVOID base = gDriver.platform.windowAddress[window];
    if (base == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<volatile ULONG*>(static_cast<BYTE*>(base) + offset);
}
