#include "harness/Device.h"

#include "channel/ByteRing.h"
#include "driver/Corvane.h"
#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "driver/Lifecycle.h"
#include "sim/band/BandSetup.h"

#include <algorithm>
#include <memory>
#include <string>

namespace harness {

Device::Device(const sim::KernelOptions& options) : kernel_(options), world_(kernel_)
{}

Device::~Device()
{
    if (!loaded_ || stuck_) return;
    try {
        unloadDriver();
    } catch (const CallerStuck&) {
        // The driver hangs in its unload: it stays as it is, with the kernel.
    }
}

void Device::installBand(const sim::band::BandDescription& band)
{
    sim::installBand(kernel_, world_.band(), band);
}

void Device::useCallerThreads(unsigned applications)
{
    if (loaded_ || callerThreads()) throw std::logic_error("caller threads are set up once, before the load");
    deviceManager_ = std::make_unique<CallerThread>("device manager", kDeviceManagerPriority);
    powerManager_ = std::make_unique<CallerThread>("power manager", kPowerManagerPriority);
    deviceManagerId_ = kernel_.threadId(deviceManager_->handle());
    powerManagerId_ = kernel_.threadId(powerManager_->handle());
    // The device and power managers run in the kernel process, as the
    // driver does; the application's threads are its own process's.
    for (unsigned k = 0; k < applications; ++k) {
        applications_.push_back(
            std::make_unique<CallerThread>("application " + std::to_string(k + 1), kApplicationPriority));
        kernel_.setProcess(applications_.back()->handle(), sim::Process::Application);
        applicationIds_.push_back(kernel_.threadId(applications_.back()->handle()));
    }
}

CallerThread* Device::threadFor(Caller caller)
{
    if (!callerThreads()) return nullptr;
    // A caller thread's id is fixed when it is created (useCallerThreads).
    switch (caller) {
    case Caller::DeviceManager:
        return GetCurrentThreadId() == deviceManagerId_ ? nullptr : deviceManager_.get();
    case Caller::PowerManager:
        return GetCurrentThreadId() == powerManagerId_ ? nullptr : powerManager_.get();
    case Caller::Application:
        if (applications_.empty()) return nullptr;
        if (std::find(applicationIds_.begin(), applicationIds_.end(), GetCurrentThreadId()) != applicationIds_.end())
            return nullptr;
        return applications_[0].get();
    }
    return nullptr;
}

template <class Result, class Work>
Result Device::callAs(Caller caller, const char* what, Work work)
{
    CallerThread* thread = threadFor(caller);
    if (thread == nullptr) return work();
    return callOn<Result>(*thread, what, std::move(work));
}

template <class Result, class Work>
Result Device::callOn(CallerThread& thread, const char* what, Work work)
{
    if (stuck_) throw CallerStuck(std::string("the device is stuck: ") + what + " was not called");
    // Every thread of the device stands still until the resume.
    if (kernel_.systemSuspended())
        throw CallerStuck(std::string(what) + " on the " + thread.name() +
                          " thread while the system is suspended: the thread stands still");
    auto result = std::make_shared<Result>();
    if (!thread.call([result, work]() mutable { *result = work(); }, kCallBound)) {
        stuck_ = true;
        throw CallerStuck(std::string(what) + " on the " + thread.name() + " thread has not returned in " +
                          std::to_string(kCallBound / 1'000'000) + " s");
    }
    // The job, and its copy of the result, is gone once the call is done.
    return std::move(*result);
}

DWORD Device::init()
{
    return callAs<DWORD>(Caller::DeviceManager, "COM_Init", [this] {
        LoadDriverContext();
        loaded_ = true;
        firstDriverThread_ = kernel_.threadCount() + 1;
        const DWORD context = COM_Init(kActiveKey);
        // The driver starts every thread of its own in COM_Init; threads
        // created after it (the callers of a test) are not the driver's.
        lastDriverThread_ = kernel_.threadCount();
        return context;
    });
}

BOOL Device::deinit()
{
    // The device manager runs only while the system does.
    if (kernel_.systemSuspended()) powerUp();
    return callAs<BOOL>(Caller::DeviceManager, "COM_Deinit", [this] {
        loaded_ = false;
        const BOOL result = COM_Deinit(kDeviceContext);
        // The device manager frees the library now: whatever thread of the
        // driver's is still there runs unloaded code if it ever runs again.
        std::vector<DWORD> driverThreads;
        for (DWORD id = firstDriverThread_; id <= lastDriverThread_; ++id) driverThreads.push_back(id);
        kernel_.moduleUnloaded(driverThreads);
        return result;
    });
}

void Device::open()
{
    callAs<DWORD>(Caller::Application, "COM_Open",
                  [] { return COM_Open(kDeviceContext, GENERIC_READ | GENERIC_WRITE, 0); });
}

void Device::close()
{
    callAs<BOOL>(Caller::Application, "COM_Close", [] { return COM_Close(kOpenContext); });
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

namespace {
// Every byte queued for the application, in reads of at most what one read hands over.
void readQueued(std::string& bytes)
{
    char buffer[kMaxReadBytes];
    for (DWORD n; (n = COM_Read(kOpenContext, buffer, sizeof buffer)) != 0;) bytes.append(buffer, n);
}
}  // namespace

std::string Device::readPort()
{
    std::string bytes;
    readPort(bytes);
    return bytes;
}

void Device::readPort(std::string& bytes)
{
    // Without application threads this thread is the application.
    CallerThread* thread = applications_.empty() ? nullptr : threadFor(Caller::Application);
    if (thread == nullptr) {
        readQueued(bytes);
        return;
    }
    std::string read = callOn<std::string>(*thread, "COM_Read", [] {
        std::string queued;
        readQueued(queued);
        return queued;
    });
    if (bytes.empty())
        bytes = std::move(read);
    else
        bytes += read;
}

std::vector<std::string> Device::readLines()
{
    readPort(pending_);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = pending_.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(pending_.substr(start, end - start));
    pending_.erase(0, start);
    return lines;
}

void Device::writePort(std::string_view bytes)
{
    if (bytes.empty()) return;
    callAs<DWORD>(Caller::Application, "COM_Write", [copy = std::string(bytes)] {
        return COM_Write(kOpenContext, copy.data(), static_cast<DWORD>(copy.size()));
    });
}

std::size_t Device::offerToPort(std::string_view bytes)
{
    return callAs<std::size_t>(Caller::Application, "COM_Write", [copy = std::string(bytes)]() -> std::size_t {
        const ByteRing& input = gDriver.channel.inputRing;
        const std::uint32_t unread = input.head - input.tail;
        const std::uint32_t room =
            input.size > 1 && unread < std::uint32_t(input.size - 1) ? input.size - 1 - unread : 0;
        const std::size_t count = std::min<std::size_t>(copy.size(), room);
        if (count == 0) return 0;
        return COM_Write(kOpenContext, copy.data(), static_cast<DWORD>(count));
    });
}

BOOL Device::ioControlAs(Caller caller, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                         DWORD* returned)
{
    if (threadFor(caller) == nullptr)
        return COM_IOControl(kOpenContext, code, static_cast<PBYTE>(const_cast<void*>(in)), inLength,
                             static_cast<PBYTE>(out), outLength, returned);
    // The call gets buffers of its own, copied back once it returned. A null
    // buffer stays null: the driver's checks of its arguments see what the
    // caller passed.
    struct Answer {
        BOOL result = FALSE;
        std::vector<std::uint8_t> out;
        DWORD returned = 0;
    };
    const auto* inBytes = static_cast<const std::uint8_t*>(in);
    std::vector<std::uint8_t> inCopy(inBytes, inBytes == nullptr ? inBytes : inBytes + inLength);
    std::vector<std::uint8_t> outStart;
    if (out != nullptr) outStart.assign(static_cast<std::uint8_t*>(out), static_cast<std::uint8_t*>(out) + outLength);
    const Answer answer =
        callAs<Answer>(caller, "COM_IOControl",
                       [code, inCopy, inNull = in == nullptr, inLength, outStart, outNull = out == nullptr, outLength,
                        wantsReturned = returned != nullptr]() mutable {
                           Answer a;
                           a.out = outStart;
                           a.result = COM_IOControl(kOpenContext, code, inNull ? nullptr : inCopy.data(), inLength,
                                                    outNull ? nullptr : a.out.data(), outLength,
                                                    wantsReturned ? &a.returned : nullptr);
                           return a;
                       });
    if (out != nullptr) std::copy(answer.out.begin(), answer.out.end(), static_cast<std::uint8_t*>(out));
    if (returned != nullptr) *returned = answer.returned;
    return answer.result;
}

BOOL Device::ioControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned)
{
    return ioControlAs(Caller::Application, code, in, inLength, out, outLength, returned);
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
    return ioControlAs(Caller::PowerManager, IOCTL_POWER_SET, nullptr, 0, &state, sizeof state, &returned);
}

void Device::powerDown()
{
    kernel_.suspendSystem([] { COM_PowerDown(kDeviceContext); });
}

void Device::powerUp()
{
    kernel_.resumeSystem([] { COM_PowerUp(kDeviceContext); });
}

}  // namespace harness
