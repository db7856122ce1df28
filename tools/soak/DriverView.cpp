#include "tools/soak/DriverView.h"

#include "driver/DriverContext.h"

#include <cstdio>

namespace corvane::soak {

bool bandHasTmc(const sim::band::BandDescription& band)
{
    for (const auto& station : band.stations) {
        if (!station.rds) continue;
        if (station.rds->generator && station.rds->generator->tmc) return true;
        if (station.rds->log)
            for (const auto& group : station.rds->log->groups)
                if (!group.lost[1] && (group.blocks[1] >> 11) == 0x10) return true;  // 8A
    }
    return false;
}

std::string driverState(const sim::Si4709& chip)
{
    const ControlState& c = gDriver.control;
    char text[320];
    std::snprintf(text, sizeof text,
                  "chip on %u%s, SYSCONFIG2 0x%04X, SYSCONFIG3 0x%04X, POWERCFG 0x%04X; QFI %u, QFN %u; request "
                  "%u, search state %u, automatic search %u, stop search %u, "
                  "TMC quality %u, filter flags 0x%X, bus %s",
                  unsigned(chip.frequency()), chip.hung() ? ", hung" : "", unsigned(chip.reg(si4709::SYSCONFIG2)),
                  unsigned(chip.reg(si4709::SYSCONFIG3)), unsigned(chip.reg(si4709::POWERCFG)),
                  unsigned(gDriver.tuner.settings.QFI.load()), unsigned(gDriver.tuner.settings.QFN.load()),
                  unsigned(c.controlRequest.load()), unsigned(c.searchState.load()), unsigned(c.autoSearch.load()),
                  unsigned(c.stopSearch.load()), unsigned(gDriver.rds.tmcQuality.load()),
                  unsigned(gDriver.sentences.outputFilter.flags.load()),
                  gDriver.tuner.i2cOff.load() != 0 ? "off" : "on");
    return text;
}

std::string chipSettingsMismatch(const sim::Si4709& chip)
{
    const unsigned volume = gDriver.tuner.settings.volume.load();
    const std::uint16_t sysconfig1 = chip.reg(si4709::SYSCONFIG1);
    const bool rds = (sysconfig1 & si4709::kSysconfig1Rds) != 0 && (sysconfig1 & si4709::kSysconfig1Rdsien) != 0;
    if (chip.poweredUp() && rds && chip.audio().volume == volume && chip.audio().muted == (volume == 0)) return {};
    char text[160];
    std::snprintf(text, sizeof text,
                  "after the heal the chip does not run as the driver set it: %sSYSCONFIG1 0x%04X, volume %u%s (the "
                  "driver's: %u)",
                  chip.poweredUp() ? "" : "powered down, ", unsigned(sysconfig1), chip.audio().volume,
                  chip.audio().muted ? " muted" : "", volume);
    return text;
}

}  // namespace corvane::soak
