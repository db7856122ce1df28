// The seed a test's simulated world is built from: CORVANE_SEED from the
// environment, 1 when unset; and its scheduling mode: CORVANE_SCHEDULE
// (cooperative, random or pct), cooperative when unset. Every failing test
// prints the one command that reproduces it with the same seed and mode.
#pragma once

#include "sim/kernel/Kernel.h"

#include <cstdint>

std::uint64_t testSeed();
sim::Schedule testSchedule();

// Tests that assert exact virtual times run under the cooperative schedule,
// whatever CORVANE_SCHEDULE says. Only there does the driver's own code take
// no virtual time and a thread give up the processor only where it blocks, so
// the time between two sentences, the start of a seek within one 10 ms step
// or a wait of a whole number of steps are exact. In the preemptive modes
// every preemption point costs a few seeded microseconds and threads run in
// other orders: those times move by design. Such a test's fixture passes
// kExactTimings; every other test takes the run's schedule and must pass
// under any of them.
inline constexpr sim::Schedule kExactTimings = sim::Schedule::Cooperative;

// A kernel with this run's seed, in this run's mode unless a test needs its own.
inline sim::KernelOptions testKernelOptions(sim::Schedule schedule = testSchedule())
{
    return sim::KernelOptions{.seed = testSeed(), .schedule = schedule};
}

// While one lives, testSeed() and testSchedule() answer this seed and mode,
// and a failure's reproduce line names them (a scenario explored over many
// schedules, one at a time).
class ScheduleOverride {
public:
    ScheduleOverride(std::uint64_t seed, sim::Schedule schedule);
    ~ScheduleOverride();
    ScheduleOverride(const ScheduleOverride&) = delete;
    ScheduleOverride& operator=(const ScheduleOverride&) = delete;
};
