#include "platform/Platform.h"
#include "platform/ce/Shared.h"

namespace {

// Bus set-up bytes the bus driver expects with every request; they stay put
// for the driver's whole life.
constexpr BYTE kClockSetup[2] = {0xA2, 0x54};
constexpr BYTE kBusSetup[2] = {0xA1, 0x64};
constexpr DWORD kBusTiming = 40000;

}  // namespace

I2CHandle* I2C_Open(LPCWSTR deviceName)
{
    HANDLE device = CreateFileW(deviceName, 0, 0, nullptr, 0, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto* handle = static_cast<I2CHandle*>(LocalAlloc(LPTR, sizeof(I2CHandle)));
    if (handle == nullptr) {
        CloseHandle(device);
        return nullptr;
    }
    // The bus driver fills in its context word and transfer routine.
    BYTE request[16] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(device, kIoctlI2CGetTransferEntry, request, sizeof request, handle, kI2CHandleBusPart,
                         &returned, nullptr)) {
        CloseHandle(device);
        LocalFree(handle);
        return nullptr;
    }
    handle->device = device;
    return handle;
}

BOOL I2CTransfer(const I2CHandle* handle, BYTE busAddress, DWORD direction, BYTE* data, DWORD length)
{
    // The three words the bus driver does not use are left zero.
    I2CRequest request{};
    // The address byte on the wire: the 7-bit address, then the read bit.
    request.writeAddress = static_cast<BYTE>(busAddress << 1);
    request.readAddress = static_cast<BYTE>(busAddress << 1 | 1);
    request.clockSetup = kClockSetup;
    request.clockSetupLength = sizeof kClockSetup;
    request.busSetup = kBusSetup;
    request.busSetupLength = sizeof kBusSetup;
    request.busTiming = kBusTiming;
    request.options = 0;
    request.direction = direction;
    request.data = data;
    request.length = length;
    CORVANE_PREEMPTION_POINT();  // the bus driver's code runs on this thread, preemptible
    return handle->transfer(handle->context, &request);
}
