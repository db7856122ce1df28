// Paced mode: what running the driver at wall-clock pace costs the host. The
// built program runs `corvane run --speed 1 --duration 10` on the built-in
// band (output to /dev/null); its CPU time (user + system, from wait4's
// resource usage) over its wall-clock time is scaled to CPU seconds per minute
// and to a share of one core. The figure holds the driver's polling (the
// control thread's 10 ms steps, the reader's checks, the group thread's
// 100 ms passes), the chip model's events, the program's reads of the port
// every 20 ms and the sleeps of the pacing itself; the start-up of the
// process and of the driver is inside the ten seconds too, so the figure is,
// if anything, high.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void PacedRun(benchmark::State& state)
{
    const std::string seconds = std::to_string(state.range(0));
    std::error_code error;
    const std::filesystem::path program =
        std::filesystem::read_symlink("/proc/self/exe", error).parent_path() / "corvane";
    if (!std::filesystem::exists(program, error)) {
        state.SkipWithError("the corvane program is not built beside the benchmarks");
        return;
    }
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t child = fork();
        if (child == 0) {
            if (!freopen("/dev/null", "w", stdout)) _exit(126);
            execl(program.c_str(), "corvane", "run", "--speed", "1", "--duration", seconds.c_str(), nullptr);
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("corvane run failed");
            return;
        }
        cpu += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    }
    state.counters["cpu_s_per_wall_minute"] = cpu / wall * 60;
    state.counters["percent_of_one_core"] = cpu / wall * 100;
    state.counters["wall_s"] = wall / double(state.iterations());
}
BENCHMARK(PacedRun)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
