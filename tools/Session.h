// The simulated device as corvane run, replay and soak use it: the harness's
// device with its callers on threads of their own, the debug output on
// standard error when asked for, the script's actions through the entry
// points their callers use, and a word on standard error when the driver
// broke the bus or chip protocol.
#pragma once

#include "harness/Device.h"
#include "tools/LineOutput.h"
#include "tools/Script.h"

#include <cstdint>
#include <optional>

namespace corvane {

struct SessionSettings {
    std::uint64_t seed = 1;
    std::optional<double> speed;  // none: as fast as possible
    bool debug = false;           // the debug output to standard error
    sim::Schedule schedule = sim::Schedule::Cooperative;
    // The application's threads; with none, the program's own thread is the
    // application (as corvane run and replay play it). The device manager and
    // the power manager have one each.
    unsigned applicationThreads = 0;
};

// Holds the debug output so that it outlives the kernel that feeds it.
struct DebugOutputHolder {
    DebugOutput debug_{stderr};
};

class Session : private DebugOutputHolder, public harness::Device {
public:
    explicit Session(const SessionSettings& settings);
    ~Session();  // unloads the driver if it is still loaded

    // The application closes the port and the device manager unloads the driver.
    void unloadDriver();
    // One action of a script, through the entry point its caller would use.
    void perform(const ScriptAction& action);
};

}  // namespace corvane
