// One simulated device with the driver loaded on it, as corvane run and replay
// use it: the kernel (this thread becomes the device manager and the
// application), the hardware world with its band, and the driver's entry
// points called the way the device manager, the power manager and the
// application call them.
#pragma once

#include "sim/World.h"
#include "sim/band/BandDescription.h"
#include "sim/kernel/Kernel.h"
#include "tools/LineOutput.h"
#include "tools/Script.h"

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

struct SessionSettings {
    std::uint64_t seed = 1;
    std::optional<double> speed;  // none: as fast as possible
    bool debug = false;           // the debug output to standard error
    sim::Schedule schedule = sim::Schedule::Cooperative;
};

class Session {
public:
    explicit Session(const SessionSettings& settings);
    ~Session();  // unloads the driver if it is still loaded
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    sim::Kernel& kernel() { return kernel_; }
    sim::World& world() { return world_; }

    // Puts the band on the air (before loading the driver).
    void installBand(const sim::band::BandDescription& band);

    // The device manager loads the driver and the application opens the port.
    void loadDriver();
    // The application closes the port and the device manager unloads the driver.
    void unloadDriver();

    // Every byte the driver has queued for the application.
    std::string readPort();
    void writePort(std::string_view bytes);
    // Writes as much of `bytes` as the port's input ring has room for, as an
    // application that must not overwrite its own unread commands; returns
    // how many bytes that was (the caller offers the rest again later).
    std::size_t offerToPort(std::string_view bytes);
    // One action of a script, through the entry point its caller would use.
    void perform(const ScriptAction& action);
    // Sleeps until virtual time `when` (at least one millisecond).
    void sleepUntil(sim::Micros when);

private:
    DebugOutput debug_;  // outlives the kernel that feeds it
    sim::Kernel kernel_;
    sim::World world_;
    bool loaded_ = false;
};

}  // namespace corvane
