#include "sim/World.h"

#include <memory>

namespace sim {

World::World(Kernel& kernel) : kernel_(kernel), soc_(kernel), bus_(kernel), chip_(kernel, band_)
{
    soc_.gpio().onLineChange([this](GpioLine line, bool level) {
        if (line == GpioLine::Reset) {
            chip_.setResetLine(level);
        } else {
            chip_.setBusModeLine(level);
        }
    });
    chip_.onInterruptLine([this](bool level) { soc_.tunerInterruptLine(level); });
    bus_.attach(si4709::kBusAddress, &chip_);
    kernel_.addDevice(kI2CDeviceName, &bus_);
    kernel_.addDevice(kUtilityDeviceName, &utility_);
}

World::~World()
{
    kernel_.removeDevice(kI2CDeviceName);
    kernel_.removeDevice(kUtilityDeviceName);
    soc_.gpio().onLineChange(nullptr);
}

Station& World::addStation(std::uint16_t frequency, int rssi, int snr, std::vector<RdsGroup> groups)
{
    Station station;
    station.frequency = frequency;
    station.rssi = rssi;
    station.snr = snr;
    if (!groups.empty()) {
        station.pi = groups.front().blocks[0];
        station.rds = std::make_shared<FixedRdsSource>(std::move(groups));
    }
    return band_.add(std::move(station));
}

}  // namespace sim
