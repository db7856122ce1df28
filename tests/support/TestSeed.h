// The seed a test's simulated world is built from: CORVANE_SEED from the
// environment, 1 when unset; and its scheduling mode: CORVANE_SCHEDULE
// (cooperative, random or pct), cooperative when unset. Every failing test
// prints the one command that reproduces it with the same seed and mode.
#pragma once

#include "sim/kernel/Kernel.h"

#include <cstdint>

std::uint64_t testSeed();
sim::Schedule testSchedule();

// A kernel with this run's seed, in this run's mode unless a test needs its own.
inline sim::KernelOptions testKernelOptions(sim::Schedule schedule = testSchedule())
{
    return sim::KernelOptions{.seed = testSeed(), .schedule = schedule};
}
