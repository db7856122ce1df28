// Simulated kernel speed: thread switches per wall-clock second.
//
// Five threads each Sleep(10) in a loop for one virtual hour: 1.8 million
// switches, each one a thread blocking, the scheduler choosing the next entry of
// the timeline and the stack switch to it.
#include "sim/kernel/Kernel.h"

#include <benchmark/benchmark.h>

namespace {

DWORD sleepForever(LPVOID)
{
    for (;;) Sleep(10);
}

void KernelSwitches(benchmark::State& state)
{
    std::uint64_t switches = 0;
    for (auto _ : state) {
        sim::Kernel kernel;
        for (int i = 0; i < 5; ++i) CreateThread(nullptr, 0, sleepForever, nullptr, 0, nullptr);
        Sleep(3600 * 1000);
        switches += kernel.switches();
    }
    state.counters["switches_per_second"] = benchmark::Counter(double(switches), benchmark::Counter::kIsRate);
    state.counters["switches_per_run"] = double(switches) / double(state.iterations());
}
BENCHMARK(KernelSwitches)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
