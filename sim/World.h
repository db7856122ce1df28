// The simulated hardware world of the tuner driver, wired together on one
// kernel: the SoC (register windows, GPIO lines, timer, clock word), the I2C bus
// driver "I2C1:" and the utility driver "UTL0:", the Si4709 on the bus at 0x10,
// and the FM band it hears. The SoC's reset and bus-mode lines go into the chip;
// the chip's interrupt output comes back into the SoC, whose falling edge raises
// SYSINTR 68 (kSysIntrTuner).
//
// Construct the Kernel first, then the World (destroy in reverse order):
//
//     sim::Kernel kernel;
//     sim::World world(kernel);
//     world.addStation(9440, /*rssi*/ 45, /*snr*/ 28, groups);
//     ... drive the driver (or the chip through "I2C1:") and Sleep() ...
//     EXPECT_EQ(world.protocolViolations(), 0u);
//
// What a test can do:
// - the band: world.band() (add/remove stations, change RSSI/SNR/RDS at any
//   time; the chip hears the change from then on), world.addStation(...);
// - the chip: world.chip() (registers as read, frequency, power, tune/seek
//   state, counters of groups delivered and lost while busy, pulses, STC;
//   hang() until the next reset;
//   timing(); quality-test answers and stall);
// - the SoC: world.soc() (gpio() lines, levels and history; timer() counter,
//   rate, read cost; setClockRate(); interfereOnce() before a compare-exchange;
//   mapping faults; reservations and bindings; interrupt edges);
// - the bus: world.bus() (opens, handles, entry and bus-power requests,
//   transfers and their recording; failing opens, refusing 0x220000, failure
//   probability and countdown; the bus clock, 400 kHz or 100 kHz, which sets
//   how long a transfer is on the wire in the preemptive schedules);
//   world.utility() likewise for "UTL0:";
// - protocolViolations(): malformed bus requests, transfers refused as the
//   controller was busy, and chip protocol violations.
#pragma once

#include "sim/band/Band.h"
#include "sim/i2c/I2CBus.h"
#include "sim/kernel/Kernel.h"
#include "sim/si4709/Si4709.h"
#include "sim/soc/Soc.h"
#include "sim/utility/UtilityDriver.h"

#include <vector>

namespace sim {

class World {
public:
    explicit World(Kernel& kernel);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    Kernel& kernel() { return kernel_; }
    Soc& soc() { return soc_; }
    I2CBus& bus() { return bus_; }
    UtilityDriver& utility() { return utility_; }
    Band& band() { return band_; }
    Si4709& chip() { return chip_; }

    // A station on `frequency` (10 kHz units); with groups it sends them in a
    // loop, one per 87.6 ms slot from the start of the run.
    Station& addStation(std::uint16_t frequency, int rssi, int snr, std::vector<RdsGroup> groups = {});

    // A transfer asked for while the controller still ran another breaks the
    // bus protocol too: the driver's bus guard is there to prevent it.
    std::uint64_t protocolViolations() const
    {
        return bus_.malformedRequests() + bus_.busyRefusals() + chip_.violations();
    }
    const std::vector<LineChange>& resetHistory() { return soc_.gpio().history(GpioLine::Reset); }

private:
    Kernel& kernel_;
    Soc soc_;
    I2CBus bus_;
    UtilityDriver utility_;
    Band band_;
    Si4709 chip_;
};

}  // namespace sim
