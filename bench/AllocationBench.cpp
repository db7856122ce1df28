// Heap allocations after COM_Init during one virtual hour of steady reception,
// and the size of the driver's state record.
//
// malloc, calloc and realloc are replaced in this binary (operator new reaches
// them too). While counting, every allocation is charged to the code that made
// it: its call stack is recorded (distinct stacks only, with a count) and,
// after the run, each stack is resolved to source files with addr2line. The
// allocation belongs to the driver when the innermost frame in this
// repository's source is in a driver folder (driver/, channel/, tuner/, rds/,
// control/, platform/), and to the host when it is in sim/, harness/ or
// tools/: the simulated kernel's timeline and hardware events, the chip model
// and the band allocate on whatever simulated thread happens to block, so
// counting by thread alone would charge the host's allocations to the driver. Frames in the
// standard library are skipped over to their caller in the repository. The
// counts by simulated thread are reported as well (thread 1 is the
// application; the driver's worker threads are the others).
#include "bench/DriverOnBand.h"
#include "driver/DriverContext.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <map>
#include <memory>
#include <string>

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);

namespace {

constexpr int kDepth = 12;
constexpr int kMaxStacks = 256;

struct Stack {
    void* frames[kDepth];
    int depth;
    std::uint64_t count;
    bool driverThread;
};

// Plain statics: the hook may run before any constructor.
bool gCounting = false;
bool gInHook = false;
Stack gStacks[kMaxStacks];
int gStackCount = 0;
std::uint64_t gUnrecorded = 0;
std::uint64_t gOnApplicationThread = 0;
std::uint64_t gOnWorkerThreads = 0;

void record()
{
    if (!gCounting || gInHook) return;
    gInHook = true;
    const bool worker = GetCurrentThreadId() != 1;
    ++(worker ? gOnWorkerThreads : gOnApplicationThread);
    void* frames[kDepth + 2];
    const int depth = backtrace(frames, kDepth + 2) - 2;  // without record() and the hook
    int i = 0;
    for (; i < gStackCount; ++i) {
        Stack& s = gStacks[i];
        if (s.depth == depth && s.driverThread == worker &&
            std::memcmp(s.frames, frames + 2, sizeof(void*) * std::size_t(depth > 0 ? depth : 0)) == 0)
            break;
    }
    if (i < gStackCount) {
        ++gStacks[i].count;
    } else if (gStackCount < kMaxStacks && depth > 0) {
        Stack& s = gStacks[gStackCount++];
        std::memcpy(s.frames, frames + 2, sizeof(void*) * std::size_t(depth));
        s.depth = depth;
        s.count = 1;
        s.driverThread = worker;
    } else {
        ++gUnrecorded;
    }
    gInHook = false;
}

}  // namespace

extern "C" void* malloc(std::size_t size)
{
    record();
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size)
{
    record();
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* memory, std::size_t size)
{
    record();
    return __libc_realloc(memory, size);
}

namespace {

enum class Owner { Driver, Host, Unknown };

// The repository's root, from this file's place in bench/.
std::string sourceRoot()
{
    std::string file = __FILE__;
    return file.substr(0, file.size() - std::strlen("bench/AllocationBench.cpp"));
}

// The source locations of one frame of this binary, innermost inline first.
std::vector<std::string> locations(void* frame)
{
    Dl_info info{};
    Dl_info self{};
    dladdr(reinterpret_cast<void*>(&sourceRoot), &self);
    if (dladdr(frame, &info) == 0 || info.dli_fbase != self.dli_fbase) return {};
    const auto offset = reinterpret_cast<std::uintptr_t>(frame) - reinterpret_cast<std::uintptr_t>(info.dli_fbase) - 1;
    char command[128];
    std::snprintf(command, sizeof command, "addr2line -i -e /proc/%d/exe 0x%zx", int(getpid()), std::size_t(offset));
    std::vector<std::string> result;
    if (FILE* pipe = popen(command, "r")) {
        char line[1024];
        while (std::fgets(line, sizeof line, pipe)) result.emplace_back(line, std::strcspn(line, ":\n"));
        pclose(pipe);
    }
    return result;
}

Owner ownerOf(const Stack& stack, std::string& where)
{
    const std::string root = sourceRoot();
    for (int i = 0; i < stack.depth; ++i) {
        for (const std::string& file : locations(stack.frames[i])) {
            if (file.rfind(root, 0) != 0) continue;
            const std::string relative = file.substr(root.size());
            if (relative.rfind("bench/", 0) == 0) continue;
            where = relative;
            const std::string folder = relative.substr(0, relative.find('/'));
            if (folder == "sim" || folder == "tools" || folder == "harness") return Owner::Host;
            return Owner::Driver;
        }
    }
    where = "?";
    return Owner::Unknown;
}

void SteadyReceptionAllocations(benchmark::State& state)
{
    void* warm[4];
    backtrace(warm, 4);  // loads the unwinder before counting starts
    std::uint64_t driver = 0, host = 0, unknown = 0;
    std::map<std::string, std::uint64_t> places;
    for (auto _ : state) {
        gStackCount = 0;
        gUnrecorded = gOnApplicationThread = gOnWorkerThreads = 0;
        auto rig = std::make_unique<bench::DriverOnBand>();
        rig->init();
        gCounting = true;  // from COM_Init's return: the open, the tune, the settling and the hour
        rig->open();
        rig->command("$PLTCM,H2,9470");
        rig->run(3600ull * 1'000'000);
        gCounting = false;
        rig.reset();
        state.PauseTiming();
        for (int i = 0; i < gStackCount; ++i) {
            std::string where;
            const Owner owner = ownerOf(gStacks[i], where);
            (owner == Owner::Driver ? driver : owner == Owner::Host ? host : unknown) += gStacks[i].count;
            places[(owner == Owner::Driver ? "driver "
                    : owner == Owner::Host ? "host "
                                           : "unknown ") +
                   where] += gStacks[i].count;
        }
        unknown += gUnrecorded;
        state.ResumeTiming();
    }
    const double runs = double(state.iterations());
    state.counters["driver_allocations"] = double(driver) / runs;
    state.counters["host_allocations"] = double(host) / runs;
    state.counters["unattributed"] = double(unknown) / runs;
    state.counters["on_worker_threads"] = double(gOnWorkerThreads);
    state.counters["on_application_thread"] = double(gOnApplicationThread);
    state.counters["sizeof_DriverContext"] = double(sizeof(DriverContext));
    // Its parts, to see where the bytes are.
    state.counters["sizeof_channel"] = double(sizeof(ChannelState));
    state.counters["sizeof_rds"] = double(sizeof(RdsState));
    state.counters["sizeof_tuner"] = double(sizeof(TunerState));
    state.counters["sizeof_other"] =
        double(sizeof(DriverContext) - sizeof(ChannelState) - sizeof(RdsState) - sizeof(TunerState));
    std::string label;
    for (const auto& [place, count] : places) label += place + "=" + std::to_string(count / state.iterations()) + " ";
    state.SetLabel(label);
}
BENCHMARK(SteadyReceptionAllocations)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
