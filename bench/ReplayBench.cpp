// The streaming direct replay as a user runs it: the built program plays the
// shared logs, their group lines concatenated and repeated until they hold at
// least 300,000 groups, with `corvane replay --direct` (output to /dev/null).
// Its CPU time (user + system, from wait4's resource usage) covers the whole
// process: start-up, reading and parsing the log, decoding, formatting and
// writing the lines, and the summary. Its peak resident memory (ru_maxrss)
// shows that the log is not held whole.
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

constexpr std::size_t kMinGroups = 300'000;

// Writes the long log; returns its number of groups (0 without logs).
std::size_t writeLongLog(const fs::path& folder, const fs::path& target)
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
    for (; written < kMinGroups; written += count) out << groups;
    return written;
}

void DirectReplayOfLongLog(benchmark::State& state)
{
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error).parent_path() / "corvane";
    if (!fs::exists(program, error)) {
        state.SkipWithError("the corvane program is not built beside the benchmarks");
        return;
    }
    const fs::path log = fs::temp_directory_path() / ("corvane-replay-bench-" + std::to_string(getpid()) + ".rds");
    const std::size_t groups = writeLongLog(benchLogFolder(), log);
    if (groups == 0) {
        state.SkipWithError("no recorded logs: set CORVANE_RDS_LOGS to the shared rds folder");
        return;
    }
    double cpu = 0;
    long peakKib = 0;
    for (auto _ : state) {
        const pid_t child = fork();
        if (child == 0) {
            if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
            execl(program.c_str(), "corvane", "replay", "--direct", log.c_str(), nullptr);
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("corvane replay failed");
            break;
        }
        cpu += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
        peakKib = std::max(peakKib, usage.ru_maxrss);
    }
    fs::remove(log, error);
    state.counters["groups"] = double(groups);
    state.counters["groups_per_cpu_s"] = double(groups) * double(state.iterations()) / cpu;
    state.counters["peak_rss_mib"] = double(peakKib) / 1024;
}
BENCHMARK(DirectReplayOfLongLog)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
