// corvane replay: a recorded RDS group log played as the RDS of one station,
// either through the whole driver (chip, interrupt, capture, decoder) or
// straight into the group decoder.
#pragma once

#include "sim/band/BandDescription.h"
#include "sim/band/RdsLogReader.h"
#include "tools/LineOutput.h"
#include "tools/Options.h"
#include "tools/ReplaySummary.h"

namespace corvane {

// One group on air: the time stamp of the n-th group of a direct replay is n periods.
constexpr sim::Micros kGroupPeriod = 87'600;

// Feeds the groups, in log order, as the reader gives them, to a freshly
// loaded decoder and prints the lines it queues after each group (a lost
// block counts as uncorrectable); counts the groups in the summary. Ends
// early on a stop request or a failed write. Throws what the reader throws.
void replayDirect(const Options& options, sim::band::RdsLogReader& log, LineOutput& output, ReplaySummary& summary);

// Loads the driver on a band of one station whose RDS is a recorded log
// (sim::band::logBand), tunes it there as an application would, and runs until
// the log has been sent once and the driver has decoded what it captured.
void replayThroughDriver(const Options& options, const sim::band::BandDescription& band, LineOutput& output,
                         ReplaySummary& summary);

}  // namespace corvane
