#include "harness/Device.h"

#include "channel/ByteRing.h"
#include "driver/Corvane.h"
#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "driver/Lifecycle.h"
#include "sim/band/BandSetup.h"

#include <algorithm>

namespace harness {

Device::Device(const sim::KernelOptions& options) : kernel_(options), world_(kernel_)
{}

Device::~Device()
{
    if (loaded_) unloadDriver();
}

void Device::installBand(const sim::band::BandDescription& band)
{
    sim::installBand(kernel_, world_.band(), band);
}

DWORD Device::init()
{
    LoadDriverContext();
    loaded_ = true;
    firstDriverThread_ = kernel_.threadCount() + 1;
    return COM_Init(kActiveKey);
}

BOOL Device::deinit()
{
    // The device manager runs only while the system does.
    if (kernel_.systemSuspended()) powerUp();
    loaded_ = false;
    const BOOL result = COM_Deinit(kDeviceContext);
    // The device manager frees the library now: whatever thread of the
    // driver's is still there runs unloaded code if it ever runs again.
    std::vector<DWORD> driverThreads;
    for (DWORD id = firstDriverThread_; id <= kernel_.threadCount(); ++id) driverThreads.push_back(id);
    kernel_.moduleUnloaded(driverThreads);
    return result;
}

void Device::open()
{
    COM_Open(kDeviceContext, GENERIC_READ | GENERIC_WRITE, 0);
}

void Device::close()
{
    COM_Close(kOpenContext);
}

void Device::loadDriver()
{
    init();
    open();
}

void Device::unloadDriver()
{
    close();
    deinit();
}

std::string Device::readPort()
{
    std::string bytes;
    char buffer[kMaxReadBytes];
    for (DWORD n; (n = COM_Read(kOpenContext, buffer, sizeof buffer)) != 0;) bytes.append(buffer, n);
    return bytes;
}

std::vector<std::string> Device::readLines()
{
    pending_ += readPort();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = pending_.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(pending_.substr(start, end - start));
    pending_.erase(0, start);
    return lines;
}

void Device::writePort(std::string_view bytes)
{
    if (!bytes.empty()) COM_Write(kOpenContext, bytes.data(), static_cast<DWORD>(bytes.size()));
}

std::size_t Device::offerToPort(std::string_view bytes)
{
    const ByteRing& input = gDriver.channel.inputRing;
    const std::uint32_t unread = input.head - input.tail;
    const std::uint32_t room = input.size > 1 && unread < std::uint32_t(input.size - 1) ? input.size - 1 - unread : 0;
    const std::size_t count = std::min<std::size_t>(bytes.size(), room);
    if (count == 0) return 0;
    return COM_Write(kOpenContext, bytes.data(), static_cast<DWORD>(count));
}

BOOL Device::ioControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned)
{
    return COM_IOControl(kOpenContext, code, static_cast<PBYTE>(const_cast<void*>(in)), inLength,
                         static_cast<PBYTE>(out), outLength, returned);
}

BOOL Device::command(std::string_view bytes)
{
    return ioControl(IOCTL_TMC_COMMAND, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, 0, nullptr);
}

BOOL Device::recover()
{
    return ioControl(IOCTL_TMC_RECOVER, nullptr, 0, nullptr, 0, nullptr);
}

BOOL Device::suspendResume(BYTE request)
{
    return ioControl(IOCTL_TMC_SUSPEND_RESUME, &request, 1, nullptr, 0, nullptr);
}

BOOL Device::setPowerState(DWORD state)
{
    // The power manager passes the device state in the output buffer.
    DWORD returned = 0;
    return ioControl(IOCTL_POWER_SET, nullptr, 0, &state, sizeof state, &returned);
}

void Device::powerDown()
{
    kernel_.suspendSystem([] { COM_PowerDown(kDeviceContext); });
}

void Device::powerUp()
{
    kernel_.resumeSystem([] { COM_PowerUp(kDeviceContext); });
}

void Device::sleepUntil(sim::Micros when)
{
    const sim::Micros now = kernel_.now();
    const sim::Micros delay = when > now ? when - now : 0;
    Sleep(static_cast<DWORD>(delay / 1000 + (delay % 1000 != 0 || delay == 0 ? 1 : 0)));
}

}  // namespace harness
