// The FM band the simulated receiver listens to: the stations on it, their
// signal and the RDS groups they send. The chip asks the band what it hears on
// a frequency; tests change the band (a station fades, stops sending RDS, goes
// off the air) and the chip hears the change from then on.
#pragma once

#include "sim/band/RdsSource.h"
#include "sim/kernel/Kernel.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace sim {

struct Station {
    std::uint16_t frequency = 0;     // 10 kHz units: 8750 is 87.50 MHz
    int rssi = 40;                   // received level, dBuV (0..75)
    int snr = 25;                    // signal-to-noise ratio, dB
    bool stereo = true;              // sends a stereo pilot
    std::uint16_t pi = 0;            // programme identification, for reference
    std::shared_ptr<RdsSource> rds;  // null: the station sends no RDS
    // Chance that a block arrives damaged, on top of the errors the source
    // itself carries; the damage level and bits are drawn from the band stream.
    double blockErrorRate = 0.0;
};

class Band {
public:
    // Adds a station (replacing one on the same frequency) and returns it. The
    // reference stays valid until the station is removed.
    Station& add(Station station);
    void remove(std::uint16_t frequency);
    Station* find(std::uint16_t frequency);
    const Station* find(std::uint16_t frequency) const;
    std::size_t size() const { return stations_.size(); }
    // Moves on whenever a station comes or goes: a listener that remembers
    // which station it found on a frequency asks again only after a change.
    std::uint64_t generation() const { return generation_; }

    // The level heard on a frequency where no station transmits.
    int noiseRssi() const { return noiseRssi_; }
    void setNoiseRssi(int rssi) { noiseRssi_ = rssi; }

    // The group a station sends in `slot` as the receiver gets it: the source's
    // group with the station's random block damage applied.
    RdsGroup receive(Station& station, std::uint64_t slot, Random& random) const
    {
        RdsGroup group = station.rds ? station.rds->groupAt(slot) : RdsGroup{};
        if (station.blockErrorRate > 0.0) damage(station, group, random);
        return group;
    }

private:
    static void damage(const Station& station, RdsGroup& group, Random& random);

    std::vector<std::unique_ptr<Station>> stations_;
    std::uint64_t generation_ = 0;
    int noiseRssi_ = 8;
};

}  // namespace sim
