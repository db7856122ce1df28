// Simulation speed: virtual seconds per wall-clock second of the whole driver
// on the built-in band, (1) receiving the TMC station steadily for one
// virtual hour and (2) searching from 87.5 MHz until the TMC station is found.
//
// Every simulated thread runs on the benchmark's one OS thread, so the
// thread's CPU time is the simulation's whole cost; it is reported beside the
// wall-clock rate because a busy machine stretches wall time, not CPU time.
#include "bench/DriverOnBand.h"
#include "driver/DriverContext.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <memory>

namespace {

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

bool tmcFound(bench::DriverOnBand& rig)
{
    return gDriver.control.searchState.load() == kSearchIdle && gDriver.rds.tmcQuality.load() >= 60 &&
           rig.world().chip().frequency() == bench::kTmcStation;
}

void SteadyTmcStation(benchmark::State& state)
{
    constexpr sim::Micros kHour = 3600ull * 1'000'000;
    double virtualSeconds = 0, cpuSeconds = 0;
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto owned = std::make_unique<bench::DriverOnBand>(1, static_cast<sim::Schedule>(state.range(0)));
        bench::DriverOnBand& rig = *owned;
        rig.loadDriver();
        rig.command("$PLTCM,H2,9470");
        if (!rig.runUntil([&] { return tmcFound(rig); }, 120'000'000)) {
            state.SkipWithError("the driver did not settle on the TMC station");
            return;
        }
        state.ResumeTiming();
        const double cpuStart = threadCpuSeconds();
        bytes += rig.run(kHour);
        cpuSeconds += threadCpuSeconds() - cpuStart;
        virtualSeconds += double(kHour) / 1e6;
        state.PauseTiming();  // unloading is not part of the hour
        const bool stayed = tmcFound(rig);
        owned.reset();
        state.ResumeTiming();
        if (!stayed) {
            state.SkipWithError("the driver left the TMC station");
            return;
        }
    }
    state.counters["virtual_s_per_wall_s"] = benchmark::Counter(virtualSeconds, benchmark::Counter::kIsRate);
    state.counters["virtual_s_per_cpu_s"] = virtualSeconds / cpuSeconds;
    state.counters["bytes_read_per_hour"] = double(bytes) / double(state.iterations());
    state.SetLabel(sim::scheduleName(static_cast<sim::Schedule>(state.range(0))));
}
// Argument: the scheduling mode (0 cooperative, 1 random, 2 pct).
BENCHMARK(SteadyTmcStation)
    ->Arg(int(sim::Schedule::Cooperative))
    ->Arg(int(sim::Schedule::Random))
    ->Arg(int(sim::Schedule::Pct))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

void FullSearch(benchmark::State& state)
{
    double virtualSeconds = 0, cpuSeconds = 0;
    for (auto _ : state) {
        const double cpuStart = threadCpuSeconds();
        auto owned = std::make_unique<bench::DriverOnBand>();
        bench::DriverOnBand& rig = *owned;
        rig.loadDriver();
        const sim::Micros start = rig.kernel().now();
        bool searching = false;
        const bool found = rig.runUntil(
            [&] {
                searching = searching || gDriver.control.searchState.load() != kSearchIdle;
                return searching && tmcFound(rig);
            },
            600'000'000);
        if (!found) {
            state.SkipWithError("the search did not find the TMC station within ten virtual minutes");
            return;
        }
        virtualSeconds += double(rig.kernel().now() - start) / 1e6;
        state.PauseTiming();  // unloading is not part of the search
        cpuSeconds += threadCpuSeconds() - cpuStart;
        owned.reset();
        state.ResumeTiming();
    }
    state.counters["virtual_s_per_wall_s"] = benchmark::Counter(virtualSeconds, benchmark::Counter::kIsRate);
    state.counters["virtual_s_per_cpu_s"] = virtualSeconds / cpuSeconds;
    state.counters["search_virtual_s"] = virtualSeconds / double(state.iterations());
}
BENCHMARK(FullSearch)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
