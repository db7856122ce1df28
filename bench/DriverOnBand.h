// The whole driver loaded on the built-in band, as the program runs it: the
// harness's device (the benchmark's thread becomes the device manager and the
// application) with the default band on the air. The application reads the
// port every 20 ms of virtual time, as `corvane run` does.
#pragma once

#include "driver/Corvane.h"
#include "harness/Device.h"
#include "sim/band/BandFile.h"

#include <cstdint>
#include <functional>

namespace bench {

// The TMC station of the default band ("RADIO 1", 94.7 MHz), 10 kHz units.
constexpr std::uint16_t kTmcStation = 9470;
// How often the application reads the port, in virtual microseconds.
constexpr sim::Micros kReadInterval = 20'000;

class DriverOnBand : public harness::Device {
public:
    explicit DriverOnBand(std::uint64_t seed = 1, sim::Schedule schedule = sim::Schedule::Cooperative)
        : harness::Device(sim::KernelOptions{.seed = seed, .schedule = schedule})
    {
        installBand(sim::band::defaultBand());
    }

    // Reads the port every 20 ms for `virtualMicros`; returns the bytes read.
    std::uint64_t run(sim::Micros virtualMicros)
    {
        std::uint64_t bytes = 0;
        for (sim::Micros end = kernel().now() + virtualMicros; kernel().now() < end;) bytes += readStep();
        return bytes;
    }

    // Reads the port every 20 ms until `done` holds or `limitMicros` passed;
    // returns whether it held.
    bool runUntil(const std::function<bool()>& done, sim::Micros limitMicros)
    {
        for (sim::Micros end = kernel().now() + limitMicros; kernel().now() < end;) {
            readStep();
            if (done()) return true;
        }
        return false;
    }

private:
    // One read step; counts the bytes without keeping them, so that the
    // benchmarks' allocation counts are the driver's and the world's.
    std::uint64_t readStep()
    {
        Sleep(kReadInterval / 1000);
        std::uint64_t bytes = 0;
        char buffer[kMaxReadBytes];
        for (DWORD n; (n = COM_Read(kOpenContext, buffer, sizeof buffer)) != 0;) bytes += n;
        return bytes;
    }
};

}  // namespace bench
