// A readable rendering of the driver's sentences for corvane --decode: what a
// person wants to know from a line (the station, its PI and country code, the
// frequency in MHz, a TMC message's event, location, extent and direction, a
// raw group's type) without looking up field numbers.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// The rendering of one line as the driver sent it, without CR LF; empty for a
// line that is not a sentence of the driver. A sentence whose checksum does not
// match says so.
std::string renderSentence(std::string_view line);

// The frequency in 10 kHz units as MHz with two decimals ("94.70 MHz").
std::string megahertz(unsigned frequency);

}  // namespace corvane
