// corvane: the Corvane tuner driver on a simulated device, for people and
// serial programs. See --help (Options.cpp) and README.md.
#include "sim/band/BandFile.h"
#include "sim/band/RdsLog.h"
#include "tools/LineOutput.h"
#include "tools/Options.h"
#include "tools/PseudoTerminal.h"
#include "tools/Replay.h"
#include "tools/Run.h"
#include "tools/Script.h"
#include "tools/Soak.h"
#include "tools/StopSignal.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

using namespace corvane;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitInputError = 2;

int inputError(const std::string& message)
{
    std::fprintf(stderr, "corvane: %s\n", message.c_str());
    return kExitInputError;
}

int run(const Options& options)
{
    // Everything is read and checked before the driver is loaded.
    sim::band::BandDescription band;
    Script script;
    try {
        band = options.bandFile.empty() ? sim::band::defaultBand() : sim::band::readBandFile(options.bandFile);
        if (!options.scriptFile.empty()) script = readScript(options.scriptFile);
    } catch (const sim::band::BandFileError& error) {
        return inputError(error.what());
    } catch (const ScriptError& error) {
        return inputError(error.what());
    }
    std::optional<PseudoTerminal> terminal;
    if (!options.ptyPath.empty()) {
        try {
            terminal.emplace(options.ptyPath);
        } catch (const std::runtime_error& error) {
            return inputError(error.what());
        }
        std::fprintf(stderr, "corvane: serving the port at %s (%s)\n", options.ptyPath.c_str(),
                     terminal->devicePath().c_str());
    }
    LineOutput output(stdout, options.timestamps, options.decode);
    runDriver(options, band, script, terminal ? &*terminal : nullptr, output);
    return 0;
}

int replay(const Options& options)
{
    LineOutput output(stdout, options.timestamps, options.decode);
    if (options.direct) {
        sim::band::RdsLog log;
        try {
            log = sim::band::readRdsLog(options.logFile);
        } catch (const sim::band::RdsLogError& error) {
            return inputError(error.what());
        }
        if (log.groups.empty()) return inputError(options.logFile + ": the log holds no RDS group");
        replayDirect(options, log, output);
    } else {
        sim::band::BandDescription band;
        try {
            band = sim::band::logBand(options.logFile);
        } catch (const sim::band::BandFileError& error) {
            return inputError(error.what());
        }
        replayThroughDriver(options, band, output);
    }
    std::fflush(stdout);
    return 0;
}

int soak(const Options& options)
{
    SoakSettings settings;
    settings.seed = options.seed;
    settings.hours = options.hours;
    settings.scenario = options.scenario;
    settings.bandFile = options.bandFile;
    if (!options.schedule.empty()) settings.schedule = sim::parseSchedule(options.schedule);
    SoakReport report;
    try {
        report = runSoak(settings);
    } catch (const sim::band::BandFileError& error) {
        return inputError(error.what());
    }
    if (!report.passed) {
        std::fprintf(stderr, "corvane: soak failed: %s\nreproduce: %s\n", report.failure.c_str(),
                     report.reproduce.c_str());
        return kExitFailure;
    }
    std::printf("soak passed: seed %llu, %s, %.2f virtual hours, %llu fault phases, %llu faults, %llu lines "
                "(%llu cut by overruns), %llu debug messages explained, %llu bus transfers failed\n",
                static_cast<unsigned long long>(options.seed), sim::scheduleName(soakSchedule(settings)),
                report.virtualHours,
                static_cast<unsigned long long>(report.cycles), static_cast<unsigned long long>(report.faults),
                static_cast<unsigned long long>(report.linesRead), static_cast<unsigned long long>(report.cutLines),
                static_cast<unsigned long long>(report.debugLines),
                static_cast<unsigned long long>(report.busFailures));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    try {
        options = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::fprintf(stderr, "corvane: %s\nTry 'corvane --help' for the options.\n", error.what());
        return kExitInputError;
    }
    if (options.mode == Mode::Help) {
        std::fputs(kUsageText, stdout);
        return 0;
    }
    installStopHandlers();
    try {
        if (options.mode == Mode::Soak) return soak(options);
        return options.mode == Mode::Run ? run(options) : replay(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "corvane: %s\n", error.what());
        return kExitFailure;
    }
}
