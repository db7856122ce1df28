// Band files: a band described in JSON (the keys are documented in README.md,
// "Band files"), and the built-in band used when no file is given.
//
//     auto band = sim::band::readBandFile("bands/city.json");   // or defaultBand()
//     sim::installBand(kernel, world.band(), band);
//
// Every mistake in a file is a BandFileError whose message names the file,
// the place in it (a line and column for malformed JSON, otherwise the path of
// the value, such as "stations[2].rds.pi") and what is wrong. Recorded logs
// named by a station are read while the file is read; one that cannot be read
// or holds no group is an error too.
#pragma once

#include "sim/band/BandDescription.h"

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string_view>

namespace sim::band {

class BandFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

BandDescription readBandFile(const std::filesystem::path& path);

// Parses the text of a band file. `path` names it in messages; logs are found
// relative to its folder.
BandDescription parseBandFile(std::string_view text, const std::filesystem::path& path);

// One station on `frequency` (10 kHz units) playing a recorded log, at the
// default level: what a replay of a log runs on. Throws BandFileError.
BandDescription logBand(const std::filesystem::path& log, std::uint16_t frequency = 9470);

// Stations across 87.5-108 MHz, searching up from the bottom: 88.3 MHz without
// RDS, 89.7 MHz with RDS but no TMC, 94.7 MHz with TMC ("RADIO 1", PI 0xD3A1),
// then more of each kind and a weak station a seek passes by.
BandDescription defaultBand();

}  // namespace sim::band
