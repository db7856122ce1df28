#include "driver/DriverContext.h"
#include "platform/Platform.h"

#include <cstring>

DWORD OpenUtl()
{
    PlatformState& platform = gDriver.platform;
    if (platform.utlHandle != nullptr && platform.utlHandle != INVALID_HANDLE_VALUE) {
        return 1;
    }
    std::memset(&platform.utl, 0, sizeof platform.utl);
    platform.utlHandle = CreateFileW(TEXT("UTL0:"), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    if (platform.utlHandle == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("Failed CreateFile for UTL -- error = 0x%x\r\n"), GetLastError());
        platform.utlHandle = nullptr;
        return 0;
    }
    DWORD returned = 0;
    if (!DeviceIoControl(platform.utlHandle, kIoctlUtlGetInterface, nullptr, 0, &platform.utl, sizeof platform.utl,
                         &returned, nullptr)) {
        NKDbgPrintfW(TEXT("Failed DeviceIoControl -- error = 0x%x\r\n"), GetLastError());
        CloseHandle(platform.utlHandle);
        platform.utlHandle = nullptr;
        return 0;
    }
    return 1;
}

void CloseUtl()
{
    PlatformState& platform = gDriver.platform;
    if (platform.utlHandle != nullptr) {
        CloseHandle(platform.utlHandle);
    }
    platform.utlHandle = nullptr;
}
