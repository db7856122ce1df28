// A band as described by a band file or built in: the stations, what each
// sends and what happens to them in time. Plain data; installBand (BandSetup.h)
// puts it on the air.
#pragma once

#include "sim/band/RdsGenerator.h"
#include "sim/band/RdsLog.h"
#include "sim/kernel/Kernel.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim::band {

// A change to a station at a moment of virtual time (from the start of the
// run). Only the fields given change.
struct StationEvent {
    Micros at = 0;
    std::optional<int> rssi;
    std::optional<int> snr;
    std::optional<bool> stereo;
    std::optional<bool> rds;               // false: the station stops sending RDS; true: it sends again
    std::optional<bool> tmc;               // generated RDS only: 3A and 8A stop or start
    std::optional<std::string> name;       // generated RDS only
    std::optional<std::string> radiotext;  // generated RDS only
    std::optional<double> blockErrorRate;
};

struct RdsDescription {
    // Exactly one of the two: a generator's settings, or a recorded log.
    std::optional<GeneratorSettings> generator;
    std::shared_ptr<const RdsLog> log;
    double blockErrorRate = 0.0;  // chance a block arrives damaged
};

struct StationDescription {
    std::uint16_t frequency = 0;  // 10 kHz units
    int rssi = 40;
    int snr = 25;
    bool stereo = true;
    std::optional<RdsDescription> rds;  // none: the station sends no RDS
    std::vector<StationEvent> events;   // in the order given
};

struct BandDescription {
    std::string source;  // the band file, or "built-in band"
    int noiseRssi = 8;   // the level heard between stations
    std::vector<StationDescription> stations;
};

}  // namespace sim::band
