// One simulated device with the driver on it: the kernel (the calling thread
// becomes the device manager, the power manager and the application), the
// hardware world, optionally a band on the air, and the driver's entry points
// called the way those three call them. The program, the tests of the whole
// driver, the benchmarks and the fuzz targets all load the driver through it.
#pragma once

#include "platform/ce/WinCE.h"
#include "sim/World.h"
#include "sim/band/BandDescription.h"
#include "sim/kernel/Kernel.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

// The registry key the device manager passes to the driver it loads.
inline constexpr WCHAR kActiveKey[] = u"Drivers\\Active\\42";

class Device {
public:
    explicit Device(const sim::KernelOptions& options = {});
    ~Device();  // unloads the driver if it is still loaded
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    sim::Kernel& kernel() { return kernel_; }
    const sim::Kernel& kernel() const { return kernel_; }
    sim::World& world() { return world_; }

    // Puts the band on the air (before loading the driver).
    void installBand(const sim::band::BandDescription& band);

    // The device manager loads the library afresh and calls COM_Init; what it
    // returned.
    DWORD init();
    // The device manager unloads the driver: COM_Deinit's answer.
    BOOL deinit();
    bool loaded() const { return loaded_; }

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
    void sleepUntil(sim::Micros when);

private:
    sim::Kernel kernel_;
    sim::World world_;
    bool loaded_ = false;
    DWORD firstDriverThread_ = 0;  // the threads from this id on are the driver's
    std::string pending_;          // the start of a line not yet ended
};

}  // namespace harness
