// Test entry point: runs every test and, for each failure, prints the command
// that reproduces it (the test binary, the filter and the seed).
#include "tests/support/TestSeed.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(CORVANE_TSAN)
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

std::string gProgram = "corvane_tests";

// The schedule a ScheduleOverride puts in place of the environment's.
struct Chosen {
    bool set = false;
    std::uint64_t seed = 1;
    sim::Schedule schedule = sim::Schedule::Cooperative;
};
Chosen gOverride;
// The first overridden schedule a test failed under: its reproduce line.
Chosen gFailedUnder;

void printReproduceLine(const testing::TestInfo& info)
{
    const std::uint64_t seed = gFailedUnder.set ? gFailedUnder.seed : testSeed();
    const sim::Schedule schedule = gFailedUnder.set ? gFailedUnder.schedule : testSchedule();
    std::printf("reproduce: CORVANE_SEED=%llu CORVANE_SCHEDULE=%s %s --gtest_filter=%s.%s\n",
                static_cast<unsigned long long>(seed), sim::scheduleName(schedule), gProgram.c_str(),
                info.test_suite_name(), info.name());
    std::fflush(stdout);
}

#if defined(CORVANE_TSAN)
// A race report ends the process in the middle of a test: the line is written
// when the test starts and printed by the sanitizer's death callback.
char gRaceLine[512];

void printRaceLine()
{
    std::fputs(gRaceLine, stdout), std::fflush(stdout);
}
#endif

// A verifier failure ends the process in the middle of a test: the kernel
// prints this line with it.
void armReproduceLine(const testing::TestInfo& info)
{
    char line[512];
    std::snprintf(line, sizeof line, "CORVANE_SEED=%llu CORVANE_SCHEDULE=%s %s --gtest_filter=%s.%s",
                  static_cast<unsigned long long>(testSeed()), sim::scheduleName(testSchedule()), gProgram.c_str(),
                  info.test_suite_name(), info.name());
    sim::Kernel::setReproduceLine(line);
#if defined(CORVANE_TSAN)
    // Armed for every test: a soak run inside one names itself meanwhile.
    std::snprintf(gRaceLine, sizeof gRaceLine,
                  "reproduce: CORVANE_SEED=%llu CORVANE_SCHEDULE=%s %s --gtest_filter=%s.%s\n",
                  static_cast<unsigned long long>(testSeed()), sim::scheduleName(testSchedule()), gProgram.c_str(),
                  info.test_suite_name(), info.name());
    __sanitizer_set_death_callback(printRaceLine);
#endif
}

void armReproduceLine()
{
    if (const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info()) armReproduceLine(*info);
}

class ReproduceOnFailure : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& info) override { armReproduceLine(info); }
    void OnTestEnd(const testing::TestInfo& info) override
    {
        if (info.result()->Failed()) printReproduceLine(info);
        gFailedUnder = {};
#if defined(CORVANE_TSAN)
        gRaceLine[0] = 0;
#endif
    }
};

}  // namespace

std::uint64_t testSeed()
{
    if (gOverride.set) return gOverride.seed;
    const char* text = std::getenv("CORVANE_SEED");
    if (text == nullptr || *text == 0) return 1;
    return std::strtoull(text, nullptr, 0);
}

sim::Schedule testSchedule()
{
    if (gOverride.set) return gOverride.schedule;
    const char* text = std::getenv("CORVANE_SCHEDULE");
    if (text == nullptr || *text == 0) return sim::Schedule::Cooperative;
    if (auto schedule = sim::parseSchedule(text)) return *schedule;
    std::fprintf(stderr, "CORVANE_SCHEDULE needs cooperative, random or pct, not \"%s\"\n", text);
    std::exit(2);
}

ScheduleOverride::ScheduleOverride(std::uint64_t seed, sim::Schedule schedule)
{
    gOverride = {true, seed, schedule};
    armReproduceLine();
}

ScheduleOverride::~ScheduleOverride()
{
    if (testing::Test::HasFailure() && !gFailedUnder.set) gFailedUnder = gOverride;
    gOverride = {};
    armReproduceLine();
}

int main(int argc, char** argv)
{
    if (argc > 0) gProgram = argv[0];
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new ReproduceOnFailure);
    return RUN_ALL_TESTS();
}
