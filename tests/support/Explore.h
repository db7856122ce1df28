// Concurrency scenarios over many seeded schedules, as Coyote, shuttle and
// loom run theirs: the scenario is played afresh (a new kernel, world and
// driver) under each schedule and asserts an outcome that must hold on every
// one. The first schedule it fails under ends the exploration, and the test's
// reproduce line names that seed and mode, so the line replays exactly it.
//
// Which schedules: with CORVANE_SCHEDULE set, only that mode with this run's
// seed (a reproduce line, or a whole-suite run under one mode); otherwise
// seeds 1..N in the random and in the pct mode each, N from
// CORVANE_SCHEDULES (kDefaultSchedules when unset).
#pragma once

#include "tests/support/TestSeed.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

inline constexpr unsigned kDefaultSchedules = 8;

struct ScheduleChoice {
    std::uint64_t seed;
    sim::Schedule schedule;
};

inline std::vector<ScheduleChoice> explorationSchedules()
{
    const char* mode = std::getenv("CORVANE_SCHEDULE");
    if (mode != nullptr && *mode != 0) return {{testSeed(), testSchedule()}};
    const char* count = std::getenv("CORVANE_SCHEDULES");
    const unsigned n =
        count != nullptr && *count != 0 ? static_cast<unsigned>(std::strtoul(count, nullptr, 0)) : kDefaultSchedules;
    std::vector<ScheduleChoice> schedules;
    for (std::uint64_t seed = 1; seed <= n; ++seed) {
        schedules.push_back({seed, sim::Schedule::Random});
        schedules.push_back({seed, sim::Schedule::Pct});
    }
    return schedules;
}

// A fixture played outside GoogleTest's own run: its set-up, the scenario's
// play(), its tear-down.
template <class Scenario>
class Played final : public Scenario {
public:
    void TestBody() override {}
    void run()
    {
        this->SetUp();
        if (!::testing::Test::HasFatalFailure()) this->play();
        this->TearDown();
    }
};

// Plays Scenario (a fixture with a play() it can reach) under every schedule
// of the exploration, up to the first that fails.
template <class Scenario>
void exploreSchedules()
{
    for (const ScheduleChoice& choice : explorationSchedules()) {
        ScheduleOverride chosen(choice.seed, choice.schedule);
        Played<Scenario>().run();
        if (::testing::Test::HasFailure()) return;
    }
}
