// Puts a band description on the air: its stations on the Band, each with its
// RDS source (a generator on the kernel's virtual time, or a recorded log), and
// its events as hardware events on the kernel's timeline.
#pragma once

#include "sim/band/Band.h"
#include "sim/band/BandDescription.h"
#include "sim/kernel/Kernel.h"

namespace sim {

// Adds the stations (replacing any already on the same frequencies) and sets
// the noise level. Every RDS source gets its own seed drawn, in station order,
// from the band's random stream, so one seed replays the same groups. Events
// fire at their virtual time from the start of the run; one already past
// fires at once. Events at the same moment apply in file order. The band must
// outlive the events (the World's band does).
void installBand(Kernel& kernel, Band& band, const band::BandDescription& description);

}  // namespace sim
