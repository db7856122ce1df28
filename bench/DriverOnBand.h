// The whole driver loaded on the built-in band, as the program runs it: the
// kernel (the benchmark's thread becomes the device manager and the
// application), the hardware world with the default band on the air, the
// driver started by COM_Init and the port opened. The application reads the
// port every 20 ms of virtual time, as `corvane run` does.
#pragma once

#include "driver/Corvane.h"
#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "driver/Lifecycle.h"
#include "sim/World.h"
#include "sim/band/BandFile.h"
#include "sim/band/BandSetup.h"

#include <cstdint>
#include <functional>
#include <string_view>

namespace bench {

// The TMC station of the default band ("RADIO 1", 94.7 MHz), 10 kHz units.
constexpr std::uint16_t kTmcStation = 9470;
// How often the application reads the port, in virtual microseconds.
constexpr sim::Micros kReadInterval = 20'000;

class DriverOnBand {
public:
    explicit DriverOnBand(std::uint64_t seed = 1, sim::Schedule schedule = sim::Schedule::Cooperative)
        : kernel_(sim::KernelOptions{.seed = seed, .schedule = schedule}), world_(kernel_)
    {
        sim::installBand(kernel_, world_.band(), sim::band::defaultBand());
    }
    ~DriverOnBand()
    {
        if (!loaded_) return;
        COM_Close(kOpenContext);
        COM_Deinit(kDeviceContext);
    }
    DriverOnBand(const DriverOnBand&) = delete;
    DriverOnBand& operator=(const DriverOnBand&) = delete;

    sim::Kernel& kernel() { return kernel_; }
    sim::World& world() { return world_; }

    // The device manager loads the driver; the application opens the port.
    void load()
    {
        init();
        open();
    }
    void init()
    {
        LoadDriverContext();
        COM_Init(TEXT("Drivers\\Active\\42"));
        loaded_ = true;
    }
    void open() { COM_Open(kDeviceContext, GENERIC_READ | GENERIC_WRITE, 0); }

    // A private command request, as the application sends one.
    void command(std::string_view text)
    {
        COM_IOControl(kOpenContext, IOCTL_TMC_COMMAND, reinterpret_cast<PBYTE>(const_cast<char*>(text.data())),
                      static_cast<DWORD>(text.size()), nullptr, 0, nullptr);
    }

    // Reads the port every 20 ms for `virtualMicros`; returns the bytes read.
    std::uint64_t run(sim::Micros virtualMicros)
    {
        std::uint64_t bytes = 0;
        for (sim::Micros end = kernel_.now() + virtualMicros; kernel_.now() < end;) bytes += readStep();
        return bytes;
    }

    // Reads the port every 20 ms until `done` holds or `limitMicros` passed;
    // returns whether it held.
    bool runUntil(const std::function<bool()>& done, sim::Micros limitMicros)
    {
        for (sim::Micros end = kernel_.now() + limitMicros; kernel_.now() < end;) {
            readStep();
            if (done()) return true;
        }
        return false;
    }

private:
    std::uint64_t readStep()
    {
        Sleep(kReadInterval / 1000);
        std::uint64_t bytes = 0;
        char buffer[kMaxReadBytes];
        for (DWORD n; (n = COM_Read(kOpenContext, buffer, sizeof buffer)) != 0;) bytes += n;
        return bytes;
    }

    sim::Kernel kernel_;
    sim::World world_;
    bool loaded_ = false;
};

}  // namespace bench
