// The whole driver loaded as the device manager loads it, on a fresh world
// playing the built-in band: what the port and I/O control targets drive.
// Each input gets its own kernel, world and driver load, so nothing one input
// did can change how the next one runs and every crash replays from its file.
// The threads are preempted as on the device (random mode, a fixed seed), so
// the inputs also meet the driver's threads in the middle of each other; the
// entry points are called on their callers' threads (the device manager's,
// the power manager's, the application's), as on the device.
#pragma once

#include "driver/Corvane.h"
#include "fuzz/FuzzChecks.h"
#include "harness/Device.h"
#include "sim/band/BandFile.h"

#include <functional>
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
        device_.useCallerThreads(1);
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
            drain();
        }
        drain();
    }

    void drain()
    {
        asApplication([this] { lines_.drain(); });
    }

    // Runs `work` on the application's thread, or the power manager's, and
    // waits for it to return.
    void asApplication(const std::function<void()>& work) { call(device_.application(), work); }
    void asPowerManager(const std::function<void()>& work) { call(device_.powerManager(), work); }
    sim::World& world() { return device_.world(); }

private:
    static void call(harness::CallerThread& thread, const std::function<void()>& work)
    {
        if (!thread.call(work, harness::Device::kCallBound))
            fail("a call on the " + thread.name() + " thread has not returned in 60 s");
    }

    harness::Device device_{sim::KernelOptions{.seed = 1, .schedule = sim::Schedule::Random}};
    LineChecker lines_;
};

}  // namespace fuzz
