#include "driver/DriverContext.h"
#include "platform/Platform.h"
#include "platform/drvlib/VALLOC/Valloc.h"

const RegisterWindow RegisterWindowTable[kRegisterWindowCount] = {
    {0xAB080000, 100},   {0xAB0B0000, 512},  {0xAB060000, 4060}, {0xA8000000, 308},
    {0xAA010000, 144},   {0xAB0A0000, 16456}, {0xA4800000, 28},  {0xAB070000, 3868},
    {0xAA050000, 60},    // timer: counter latch and counter
    {0xA5900000, 124},
    {0xAB090000, 1536},  // GPIO: pin control registers
    {0xAB0F0000, 72},    {0xAA040000, 4},    {0xAA060000, 128},  {0xAA080000, 36},
    {0xAA090000, 24},    {0xA9010000, 16},   {0xAA030000, 16},   {0xAA070000, 16},
    {0xA5800000, 56},    {0xAA020000, 64},   {0xA7000000, 8192}, {0xAB000000, 4096},
    {0xAB010000, 4096},  {0xAB020000, 4096}, {0xAB030000, 328},  {0xAB040000, 328},
    {0xAB050000, 4096},  {0xAB100000, 4096}, {0xAB110000, 4096}, {0xAB130000, 8192},
    {0xAC002000, 8192},  // clock: clock-rate word
    {0xA5500000, 12288}, {0xAB120000, 40},   {0xAB0E0000, 32},
};

namespace {

// The label the window mapping prints in its failure messages.
constexpr const WCHAR* kMapLabel = TEXT("CspMapReg");

void ForgetWindows()
{
    for (PVOID& address : gDriver.platform.windowAddress) {
        address = nullptr;
    }
}

}  // namespace

DWORD CspRegMap(BYTE mode)
{
    PlatformState& platform = gDriver.platform;
    ForgetWindows();
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
        const RegisterWindow& window = RegisterWindowTable[i];
        bool mapped;
        if (mode == kMapDirect) {
            platform.windowAddress[i] = MapWindow(window.size, kMapLabel, window.base);
            mapped = platform.windowAddress[i] != nullptr;
        } else {
            mapped = platform.utl.map(platform.utl.context, window.base, window.size, 0,
                                      &platform.windowAddress[i]) == 0;
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
    ForgetWindows();
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
