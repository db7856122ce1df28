// What the soak reads of the driver, the chip and the band for its checks and
// its failure messages.
#pragma once

#include "sim/band/BandDescription.h"
#include "sim/si4709/Si4709.h"

#include <string>

namespace corvane::soak {

// A station of the band sends TMC (a generator with TMC, or a log with 8A groups).
bool bandHasTmc(const sim::band::BandDescription& band);

// What the driver and the chip are doing, for a failure message.
std::string driverState(const sim::Si4709& chip);

// Empty when the chip runs as the driver set it, whatever a supply dip took
// from it: powered up, RDS and its interrupt on, the driver's volume;
// otherwise what differs.
std::string chipSettingsMismatch(const sim::Si4709& chip);

}  // namespace corvane::soak
