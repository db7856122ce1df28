#include "tools/Session.h"

#include "channel/ByteRing.h"
#include "driver/Corvane.h"
#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "driver/Lifecycle.h"
#include "sim/band/BandSetup.h"

#include <algorithm>
#include <cstdio>

namespace corvane {

namespace {

sim::KernelOptions kernelOptions(const SessionSettings& settings)
{
    sim::KernelOptions options;
    options.seed = settings.seed;
    options.schedule = settings.schedule;
    options.paced = settings.speed.has_value();
    options.speed = settings.speed.value_or(1.0);
    return options;
}

// The registry key the device manager passes to the driver it loads.
constexpr WCHAR kActiveKey[] = u"Drivers\\Active\\42";

BOOL control(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned)
{
    return COM_IOControl(kOpenContext, code, static_cast<PBYTE>(const_cast<void*>(in)), inLength,
                         static_cast<PBYTE>(out), outLength, returned);
}

}  // namespace

Session::Session(const SessionSettings& settings)
    : debug_(stderr), kernel_(kernelOptions(settings)), world_(kernel_)
{
    if (settings.debug) kernel_.setDebugSink([this](const sim::DebugLine& line) { debug_.add(line); });
}

Session::~Session()
{
    if (loaded_) unloadDriver();
}

void Session::installBand(const sim::band::BandDescription& band) { sim::installBand(kernel_, world_.band(), band); }

void Session::loadDriver()
{
    LoadDriverContext();
    COM_Init(kActiveKey);
    COM_Open(kDeviceContext, GENERIC_READ | GENERIC_WRITE, 0);
    loaded_ = true;
}

void Session::unloadDriver()
{
    COM_Close(kOpenContext);
    COM_Deinit(kDeviceContext);
    loaded_ = false;
    // The driver must never break the bus or chip protocol; say so if it did.
    if (const std::uint64_t violations = world_.protocolViolations(); violations != 0)
        std::fprintf(stderr, "corvane: the simulated hardware counted %llu protocol violations\n",
                     static_cast<unsigned long long>(violations));
}

std::string Session::readPort()
{
    std::string bytes;
    char buffer[kMaxReadBytes];
    for (DWORD n; (n = COM_Read(kOpenContext, buffer, sizeof buffer)) != 0;) bytes.append(buffer, n);
    return bytes;
}

void Session::writePort(std::string_view bytes)
{
    if (!bytes.empty()) COM_Write(kOpenContext, bytes.data(), static_cast<DWORD>(bytes.size()));
}

std::size_t Session::offerToPort(std::string_view bytes)
{
    const ByteRing& input = gDriver.channel.inputRing;
    const std::uint32_t unread = input.head - input.tail;
    const std::uint32_t room = input.size > 1 && unread < std::uint32_t(input.size - 1) ? input.size - 1 - unread : 0;
    const std::size_t count = std::min<std::size_t>(bytes.size(), room);
    if (count == 0) return 0;
    return COM_Write(kOpenContext, bytes.data(), static_cast<DWORD>(count));
}

void Session::perform(const ScriptAction& action)
{
    DWORD returned = 0;
    switch (action.kind) {
    case ActionKind::Write:
        writePort(action.bytes);
        break;
    case ActionKind::Command:
        control(IOCTL_TMC_COMMAND, action.bytes.data(), static_cast<DWORD>(action.bytes.size()), nullptr, 0, nullptr);
        break;
    case ActionKind::Recover:
        control(IOCTL_TMC_RECOVER, nullptr, 0, nullptr, 0, nullptr);
        break;
    case ActionKind::Suspend:
    case ActionKind::Resume: {
        const BYTE request = action.kind == ActionKind::Suspend ? 2 : 1;
        control(IOCTL_TMC_SUSPEND_RESUME, &request, 1, nullptr, 0, nullptr);
        break;
    }
    case ActionKind::Power: {
        // The power manager passes the device state in the output buffer.
        DWORD state = action.powerState;
        control(IOCTL_POWER_SET, nullptr, 0, &state, sizeof state, &returned);
        break;
    }
    case ActionKind::PowerDown:
        COM_PowerDown(kDeviceContext);
        break;
    case ActionKind::PowerUp:
        COM_PowerUp(kDeviceContext);
        break;
    }
}

void Session::sleepUntil(sim::Micros when)
{
    const sim::Micros now = kernel_.now();
    const sim::Micros delay = when > now ? when - now : 0;
    Sleep(static_cast<DWORD>(delay / 1000 + (delay % 1000 != 0 || delay == 0 ? 1 : 0)));
}

}  // namespace corvane
