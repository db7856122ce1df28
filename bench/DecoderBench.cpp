// decodeGroup: nanoseconds per group on real reception. The groups come from
// the recorded logs in the shared folder beside the repository (read at run
// time, never copied in): one benchmark per log found. Lost blocks count as
// uncorrectable, as the capture would report them, so the mix holds the
// groups the decoder throws away too.
//
// The decoder runs on a freshly loaded context with the default output filter,
// under its critical section (a simulated kernel's), writing its sentences into
// the output ring. After every ten groups the ring is emptied, as the
// application's reads keep it: DecodeGroup empties it by a reset (a few
// nanoseconds, spread over ten groups), DecodeGroupAndRead by reading the port
// and counts that read too.
#include "bench/BenchLogs.h"
#include "driver/Corvane.h"
#include "driver/DriverContext.h"
#include "harness/CapturedGroup.h"
#include "harness/LoadedContext.h"
#include "rds/GroupDecoder.h"
#include "sim/band/RdsLog.h"
#include "sim/kernel/Kernel.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<RdsGroup> capturedGroups(const sim::band::RdsLog& log)
{
    std::vector<RdsGroup> groups;
    for (const auto& logged : log.groups) groups.push_back(harness::capturedGroup(logged));
    return groups;
}

void decode(benchmark::State& state, const std::vector<RdsGroup>& groups, bool read)
{
    sim::Kernel kernel;
    harness::LoadedContext driver;
    driver.readyDecoder();
    char buffer[kMaxReadBytes];
    std::size_t next = 0;
    for (auto _ : state) {
        decodeGroup(groups[next]);
        if (++next == groups.size()) next = 0;
        if (next % 10 != 0) continue;
        if (read) {
            while (COM_Read(kOpenContext, buffer, sizeof buffer) != 0) {}
        } else {
            gDriver.channel.outputRing.reset(kOutputRingSize);  // as if read, at no cost
        }
    }
    state.counters["groups_in_log"] = double(groups.size());
}

const bool registered = [] {
    const fs::path folder = benchLogFolder();
    std::error_code error;
    if (folder.empty() || !fs::is_directory(folder, error)) {
        benchmark::RegisterBenchmark("DecodeGroup/no_logs", [](benchmark::State& state) {
            state.SkipWithError("no recorded logs: set CORVANE_RDS_LOGS to the shared rds folder");
        });
        return false;
    }
    std::vector<fs::path> logs;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".spy" || entry.path().extension() == ".rds") logs.push_back(entry.path());
    std::sort(logs.begin(), logs.end());
    for (const fs::path& path : logs) {
        auto groups = std::make_shared<std::vector<RdsGroup>>(capturedGroups(sim::band::readRdsLog(path)));
        const std::string name = path.stem().string();
        benchmark::RegisterBenchmark(("DecodeGroup/" + name).c_str(),
                                     [groups](benchmark::State& state) { decode(state, *groups, false); });
        benchmark::RegisterBenchmark(("DecodeGroupAndRead/" + name).c_str(),
                                     [groups](benchmark::State& state) { decode(state, *groups, true); });
    }
    return true;
}();

}  // namespace
