// The built program as a user runs it, its CPU time (user + system, from
// wait4's resource usage) the whole process's:
// - the streaming direct replay: the shared logs, their group lines
//   concatenated and repeated until they hold at least the argument's number
//   of groups, played with `corvane replay --direct` (output to /dev/null):
//   start-up, reading and parsing the log, decoding, formatting and writing
//   the lines, and the summary. Its peak resident memory (ru_maxrss) shows
//   that the log is not held whole, however long;
// - the soak of seed 11 for ten virtual hours (`corvane soak --seed 11
//   --hours 10`, the random schedule the seed draws, every fault), the
//   figure a campaign's cost follows.
#include "bench/BenchLogs.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Writes the long log of at least `minGroups` groups; returns its number of
// groups (0 without logs).
std::size_t writeLongLog(const fs::path& folder, const fs::path& target, std::size_t minGroups)
{
    std::vector<fs::path> logs;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (entry.path().extension() == ".spy" || entry.path().extension() == ".rds") logs.push_back(entry.path());
    std::sort(logs.begin(), logs.end());
    std::string groups;
    std::size_t count = 0;
    for (const fs::path& log : logs) {
        std::ifstream in(log, std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '<' || line[0] == '%' || line[0] == '\r') continue;
            groups += line + "\n";
            ++count;
        }
    }
    if (count == 0) return 0;
    std::ofstream out(target, std::ios::binary);
    out << "% RDS hexgroups\n";
    std::size_t written = 0;
    for (; written < minGroups; written += count) out << groups;
    return written;
}

fs::path programBesideBench()
{
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error).parent_path() / "corvane";
    return fs::exists(program, error) ? program : fs::path();
}

struct ChildRun {
    bool ok = false;
    double cpuSeconds = 0;
    long peakKib = 0;
};

// Runs the program with `args` (output to /dev/null) and waits for it.
ChildRun runChild(const fs::path& program, std::vector<std::string> args)
{
    std::vector<char*> argv{const_cast<char*>("corvane")};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    ChildRun run;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    run.peakKib = usage.ru_maxrss;
    return run;
}

void DirectReplayOfLongLog(benchmark::State& state)
{
    const fs::path program = programBesideBench();
    if (program.empty()) {
        state.SkipWithError("the corvane program is not built beside the benchmarks");
        return;
    }
    const fs::path log = fs::temp_directory_path() / ("corvane-replay-bench-" + std::to_string(getpid()) + ".rds");
    const std::size_t groups = writeLongLog(benchLogFolder(), log, static_cast<std::size_t>(state.range(0)));
    if (groups == 0) {
        state.SkipWithError("no recorded logs: set CORVANE_RDS_LOGS to the shared rds folder");
        return;
    }
    double cpu = 0;
    long peakKib = 0;
    for (auto _ : state) {
        const ChildRun run = runChild(program, {"replay", "--direct", log.string()});
        if (!run.ok) {
            state.SkipWithError("corvane replay failed");
            break;
        }
        cpu += run.cpuSeconds;
        peakKib = std::max(peakKib, run.peakKib);
    }
    std::error_code error;
    fs::remove(log, error);
    state.counters["groups"] = double(groups);
    state.counters["groups_per_cpu_s"] = double(groups) * double(state.iterations()) / cpu;
    state.counters["cpu_s"] = cpu / double(state.iterations());
    state.counters["peak_rss_mib"] = double(peakKib) / 1024;
}
// Argument: the least number of groups (the shared logs repeated).
BENCHMARK(DirectReplayOfLongLog)
    ->Arg(300'000)
    ->Arg(3'300'000)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void SoakOfSeed11(benchmark::State& state)
{
    const fs::path program = programBesideBench();
    if (program.empty()) {
        state.SkipWithError("the corvane program is not built beside the benchmarks");
        return;
    }
    double cpu = 0;
    for (auto _ : state) {
        const ChildRun run = runChild(program, {"soak", "--seed", "11", "--hours", "10"});
        if (!run.ok) {
            state.SkipWithError("corvane soak --seed 11 --hours 10 failed");
            break;
        }
        cpu += run.cpuSeconds;
    }
    state.counters["cpu_s"] = cpu / double(state.iterations());
    state.counters["virtual_h_per_cpu_s"] = 10.0 * double(state.iterations()) / cpu;
}
BENCHMARK(SoakOfSeed11)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
