// One simulated device with the driver on it: the kernel, the hardware world,
// optionally a band on the air, and the driver's entry points called the way
// the device manager, the power manager and the application call them. By
// default the calling thread plays all three, one call after the other, which
// keeps the exact timings the driver's tests assert; with caller threads
// (useCallerThreads) each call runs on its caller's own thread at its CE
// priority (harness/Callers.h), and calls posted to different callers run at
// once. The program, the tests of the whole driver, the benchmarks and the
// fuzz targets all load the driver through it.
#pragma once

#include "harness/Callers.h"
#include "platform/ce/WinCE.h"
#include "sim/World.h"
#include "sim/band/BandDescription.h"
#include "sim/kernel/Kernel.h"

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

// The registry key the device manager passes to the driver it loads.
inline constexpr WCHAR kActiveKey[] = u"Drivers\\Active\\42";

// A call on a caller's thread that did not return within kCallBound: the
// driver is stuck; the device cannot be used further and its destructor
// leaves the driver loaded. Also a call asked of a caller while the system is
// suspended, when every thread of the device stands still.
class CallerStuck : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Caller { DeviceManager, PowerManager, Application };

class Device {
public:
    explicit Device(const sim::KernelOptions& options = {});
    ~Device();  // unloads the driver if it is still loaded
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    sim::Kernel& kernel() { return kernel_; }
    const sim::Kernel& kernel() const { return kernel_; }
    sim::World& world() { return world_; }

    // From now on each entry point is called on its caller's thread: the
    // device manager's, the power manager's, or the first of `applications`
    // application threads (a call made on an application thread runs there;
    // with none, the calling thread is the application).
    // Before the driver is loaded. The calling thread waits for each call, at
    // most kCallBound of virtual time (CallerStuck after that).
    static constexpr sim::Micros kCallBound = 60'000'000;
    void useCallerThreads(unsigned applications);
    bool callerThreads() const { return deviceManager_ != nullptr; }
    // The threads themselves, to post calls that run at once with others.
    CallerThread& deviceManager() { return *deviceManager_; }
    CallerThread& powerManager() { return *powerManager_; }
    CallerThread& application(unsigned index = 0) { return *applications_.at(index); }
    unsigned applicationThreads() const { return unsigned(applications_.size()); }

    // Puts the band on the air (before loading the driver).
    void installBand(const sim::band::BandDescription& band);

    // The device manager loads the library afresh and calls COM_Init; what it
    // returned.
    DWORD init();
    // The device manager unloads the driver: COM_Deinit's answer.
    BOOL deinit();
    bool loaded() const { return loaded_; }
    // A call on a caller's thread did not return (CallerStuck).
    bool stuck() const { return stuck_; }

    // The application opens and closes the port.
    void open();
    void close();
    // init, then open.
    void loadDriver();
    // close, then deinit.
    void unloadDriver();

    // Every byte the driver has queued for the application, in reads of at
    // most what one read hands over.
    std::string readPort();
    // The same bytes appended to `bytes`.
    void readPort(std::string& bytes);
    // The whole lines read now, without their CR LF; a line not yet ended
    // waits for the next call.
    std::vector<std::string> readLines();
    void writePort(std::string_view bytes);
    // Writes as much of `bytes` as the port's input ring has room for, as an
    // application that must not overwrite its own unread commands; returns
    // how many bytes that was (the caller offers the rest again later).
    std::size_t offerToPort(std::string_view bytes);

    BOOL ioControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned);
    // The private requests: a command with exactly these bytes, a recovery,
    // the application's suspend (2) or resume (1).
    BOOL command(std::string_view bytes);
    BOOL recover();
    BOOL suspendResume(BYTE request);
    // The power manager: a device power state set, from its own thread.
    BOOL setPowerState(DWORD state);
    // The system's suspend and resume: the kernel calls the driver's power
    // handlers in its power-handler context, and between the two every
    // thread but the caller (the world outside the device) stands still.
    void powerDown();
    void powerUp();

    // Sleeps until virtual time `when` (at least one millisecond).
    void sleepUntil(sim::Micros when)
    {
        const sim::Micros now = kernel_.now();
        const sim::Micros delay = when > now ? when - now : 0;
        Sleep(static_cast<DWORD>(delay / 1000 + (delay % 1000 != 0 || delay == 0 ? 1 : 0)));
    }

private:
    CallerThread* threadFor(Caller caller);
    // Runs `work` on the caller's thread (here, when this thread may make the
    // call or there are no caller threads) and returns what it returned.
    // `work` owns what it uses: after a CallerStuck it may still run.
    template <class Result, class Work>
    Result callAs(Caller caller, const char* what, Work work);
    // The same on `thread`, another thread than this one.
    template <class Result, class Work>
    Result callOn(CallerThread& thread, const char* what, Work work);
    BOOL ioControlAs(Caller caller, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                     DWORD* returned);

    sim::Kernel kernel_;
    sim::World world_;
    std::unique_ptr<CallerThread> deviceManager_;
    std::unique_ptr<CallerThread> powerManager_;
    std::vector<std::unique_ptr<CallerThread>> applications_;
    DWORD deviceManagerId_ = 0;  // the kernel's ids of the caller threads
    DWORD powerManagerId_ = 0;
    std::vector<DWORD> applicationIds_;
    bool stuck_ = false;  // a call did not return: the driver is left as it is
    bool loaded_ = false;
    DWORD firstDriverThread_ = 0;  // the driver's threads: from this id
    DWORD lastDriverThread_ = 0;   // up to this one
    std::string pending_;          // the start of a line not yet ended
};

}  // namespace harness
