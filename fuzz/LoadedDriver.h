// The whole driver loaded as the device manager loads it, on a fresh world
// playing the built-in band: what the port and I/O control targets drive.
// Each input gets its own kernel, world and driver load, so nothing one input
// did can change how the next one runs and every crash replays from its file.
// The threads are preempted as on the device (random mode, a fixed seed), so
// the inputs also meet the driver's threads in the middle of each other.
#pragma once

#include "driver/Corvane.h"
#include "fuzz/FuzzChecks.h"
#include "harness/Device.h"
#include "sim/band/BandFile.h"

#include <string>

namespace fuzz {

// Longest stretch of virtual time between two reads of the port, short enough
// that the output ring cannot overrun and excuse a cut line.
constexpr DWORD kDrainStepMs = 100;

class LoadedDriver {
public:
    LoadedDriver()
    {
        static const sim::band::BandDescription band = sim::band::defaultBand();
        device_.installBand(band);
        if (device_.init() != kDeviceContext) fail("COM_Init refused the load");
    }

    ~LoadedDriver()
    {
        if (!device_.deinit()) fail("COM_Deinit failed");
        if (world().protocolViolations() != 0)
            fail("the driver broke the bus or chip protocol " + std::to_string(world().protocolViolations()) +
                 " times");
    }

    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;

    // Lets the world run for `ms` of virtual time, reading the port as it goes.
    void run(DWORD ms)
    {
        while (ms > 0) {
            const DWORD step = ms < kDrainStepMs ? ms : kDrainStepMs;
            Sleep(step);
            ms -= step;
            lines_.drain();
        }
        lines_.drain();
    }

    void drain() { lines_.drain(); }
    sim::World& world() { return device_.world(); }

private:
    harness::Device device_{sim::KernelOptions{.seed = 1, .schedule = sim::Schedule::Random}};
    LineChecker lines_;
};

}  // namespace fuzz
