// corvane run: the driver on a band, played by the application for a while,
// with a script of timed actions and optionally a serial program on a
// pseudo-terminal.
#pragma once

#include "sim/band/BandDescription.h"
#include "tools/LineOutput.h"
#include "tools/Options.h"
#include "tools/Script.h"

namespace corvane {

class PseudoTerminal;

// How often the application reads the port, in virtual time.
constexpr sim::Micros kPollInterval = 20'000;
// The most the bridge takes from a serial program at once.
constexpr std::size_t kBridgeChunk = 256;

// Loads the driver on the band, reads the port every 20 ms of virtual time and
// prints its lines, performs the script's actions at their times, passes bytes
// between the port and the pseudo-terminal (when there is one), and unloads the
// driver after the duration or when asked to stop.
void runDriver(const Options& options, const sim::band::BandDescription& band, const Script& script,
               PseudoTerminal* terminal, LineOutput& output);

}  // namespace corvane
