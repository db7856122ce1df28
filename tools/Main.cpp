// corvane: the Corvane tuner driver on a simulated device, for people and
// serial programs. See --help (Options.cpp) and README.md.
#include "sim/band/BandFile.h"
#include "sim/band/RdsLogReader.h"
#include "tools/LineOutput.h"
#include "tools/Options.h"
#include "tools/PseudoTerminal.h"
#include "tools/Replay.h"
#include "tools/ReplaySummary.h"
#include "tools/Run.h"
#include "tools/Script.h"
#include "tools/StopSignal.h"
#include "tools/soak/Campaign.h"
#include "tools/soak/Soak.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace corvane;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitInputError = 2;

// Messages quote input, which may hold any byte: they are shown escaped.
int inputError(const std::string& message)
{
    std::fprintf(stderr, "corvane: %s\n", escapedText(message).c_str());
    return kExitInputError;
}

// An output file (--plot, --results) that cannot be written is refused before
// any work rather than after it; the file is created if it is missing.
std::optional<int> refuseUnwritable(const std::string& path)
{
    if (path.empty()) return std::nullopt;
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
    struct stat status {};
    const bool regular = file >= 0 && ::fstat(file, &status) == 0 && S_ISREG(status.st_mode);
    const int error = errno;
    if (file >= 0) ::close(file);
    if (file < 0) return inputError(path + ": cannot be written: " + std::strerror(error));
    if (!regular) return inputError(path + ": is not a regular file, which an output must be");
    return std::nullopt;
}

int writeFailure(int error)
{
    std::fprintf(stderr, "corvane: cannot write the output: %s\n", std::strerror(error));
    return kExitFailure;
}

// The end of a run or replay: exit 1 when some of the output could not be written.
int finishOutput(const LineOutput& output)
{
    const int flushError = std::fflush(stdout) == 0 ? 0 : errno;
    if (output.failed()) return writeFailure(output.writeError());
    return flushError != 0 ? writeFailure(flushError) : 0;
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
    // A band without a station leaves the driver nothing to find: it would
    // search the empty band over and over, and the run would show only that.
    if (band.stations.empty())
        return inputError(options.bandFile + ": the band has no station for the driver to tune to");
    if (const auto refused = refuseUnwritable(options.plotFile)) return *refused;
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
    return finishOutput(output);
}

int replay(const Options& options)
{
    LineOutput output(stdout, options.timestamps, options.decode, !options.summary);
    ReplaySummary summary;
    output.onLine = [&summary](std::string_view line) { summary.noteLine(line); };
    if (options.direct) {
        // Read as a stream: a malformed line further on ends the replay there.
        try {
            sim::band::RdsLogReader log(options.logFile);
            replayDirect(options, log, output, summary);
        } catch (const sim::band::RdsLogError& error) {
            std::fflush(stdout);
            return inputError(error.what());
        }
        if (summary.groups() == 0) return inputError(options.logFile + ": the log holds no RDS group");
    } else {
        sim::band::BandDescription band;
        try {
            band = sim::band::logBand(options.logFile);
        } catch (const sim::band::BandFileError& error) {
            return inputError(error.what());
        }
        for (const sim::band::LoggedGroup& group : band.stations.at(0).rds->log->groups) summary.countGroup(group);
        replayThroughDriver(options, band, output, summary);
    }
    const int status = finishOutput(output);
    // The summary goes with the lines it replaces; after the lines, beside them.
    summary.print(options.summary ? stdout : stderr);
    return status != 0 ? status : finishOutput(output);
}

void printSoakSummary(std::FILE* out, const char* outcome, const Options& options, const SoakSettings& settings,
                      const SoakReport& report)
{
    // The powered-down receiver's checks (PoweredDownWatch.h) ran this often.
    const std::string heldOff = settings.poweredDownChecks
                                    ? " " + std::to_string(report.heldOff) + " times for " +
                                          std::to_string(std::llround(report.heldOffSeconds)) + " s (" +
                                          std::to_string(report.pastParkBound) + " past the park bound, " +
                                          std::to_string(report.stalledTransfers) + " transfers stalled, " +
                                          std::to_string(report.heldWorkers) + " threads held)"
                                    : ": not checked";
    std::fprintf(
        out,
        "soak %s: seed %llu, %s, schedule: %s, %u application thread%s, %.2f virtual hours, %llu fault "
        "phases, %llu faults, "
        "%llu lines (%llu cut by overruns), %llu debug messages explained, %llu bus transfers failed, "
        "bus guard found taken %llu times (%llu reads skipped), %.0f preemptions per virtual hour, "
        "receiver held off%s; "
        "car faults: %llu supply dips, %llu stuck interrupt lines, %llu noise bursts, %llu slow and %llu "
        "held buses%s\n",
        outcome, static_cast<unsigned long long>(settings.seed), soakBandName(settings).c_str(),
        sim::scheduleName(soakSchedule(settings)), soakApplicationThreads(settings),
        soakApplicationThreads(settings) == 1 ? "" : "s", report.virtualHours,
        static_cast<unsigned long long>(report.cycles), static_cast<unsigned long long>(report.faults),
        static_cast<unsigned long long>(report.linesRead), static_cast<unsigned long long>(report.cutLines),
        static_cast<unsigned long long>(report.debugLines), static_cast<unsigned long long>(report.busFailures),
        static_cast<unsigned long long>(report.busGuardTaken), static_cast<unsigned long long>(report.skippedReads),
        report.preemptionsPerHour(), heldOff.c_str(), static_cast<unsigned long long>(report.carFaults.dips),
        static_cast<unsigned long long>(report.carFaults.heldLines),
        static_cast<unsigned long long>(report.carFaults.noiseBursts),
        static_cast<unsigned long long>(report.carFaults.slowBuses),
        static_cast<unsigned long long>(report.carFaults.heldBuses),
        report.tmcRequired ? "" : " (no TMC station on the band: TMC was not required)");
}

// Many seeds, each in a process of its own: this program again.
int campaign(const Options& options)
{
    soak::CampaignSettings settings;
    settings.seeds = options.seeds;
    settings.jobs = options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    settings.soak.hours = options.hours;
    settings.soak.scenario = options.scenario;
    settings.soak.bandFile = options.bandFile;
    settings.soak.poweredDownChecks = options.poweredDownChecks;
    if (!options.schedule.empty()) settings.soak.schedule = sim::parseSchedule(options.schedule);
    settings.resultsFile = options.resultsFile;
    settings.seedLimitSeconds = options.seedLimitSeconds;
    settings.resume = options.resume;
    settings.program = std::filesystem::read_symlink("/proc/self/exe").string();
#if defined(CORVANE_EMULATED)
    // Built for another processor, this program is <name>-target and runs
    // under an emulator: each seed's run starts the launcher <name> beside it,
    // which the host can execute.
    const std::string target = "-target";
    if (settings.program.ends_with(target)) settings.program.resize(settings.program.size() - target.size());
#endif
    if (!settings.soak.bandFile.empty()) {
        try {
            (void)sim::band::readBandFile(settings.soak.bandFile);  // its mistakes once, before any job
        } catch (const sim::band::BandFileError& error) {
            return inputError(error.what());
        }
    }
    if (const auto refused = refuseUnwritable(settings.resultsFile)) return *refused;
    soak::CampaignSummary summary;
    try {
        summary = soak::runCampaign(settings, stdout);
    } catch (const std::invalid_argument& error) {
        return inputError(error.what());
    }
    soak::printCampaignSummary(summary, stdout);
    return summary.failed != 0 ? kExitFailure : 0;
}

int soakCommand(const Options& options)
{
    if (!options.seeds.empty()) return campaign(options);
    SoakSettings settings;
    settings.seed = options.seed;
    settings.hours = options.hours;
    settings.scenario = options.scenario;
    settings.bandFile = options.bandFile;
    settings.poweredDownChecks = options.poweredDownChecks;
    settings.debug = options.debug;
    settings.plotFile = options.plotFile;
    if (!options.schedule.empty()) settings.schedule = sim::parseSchedule(options.schedule);
    if (const auto refused = refuseUnwritable(settings.plotFile)) return *refused;
    SoakReport report;
    try {
        report = runSoak(settings);
    } catch (const sim::band::BandFileError& error) {
        return inputError(error.what());
    } catch (const std::invalid_argument& error) {
        return inputError(error.what());
    }
    if (!report.passed) {
        std::fprintf(stderr, "corvane: soak failed: %s\n", report.failure.c_str());
        std::fprintf(stderr, "the faults active then: %s\n", report.faultsThen.c_str());
        std::fprintf(stderr, "the last lines the application read:\n");
        for (const std::string& line : report.recentLines) std::fprintf(stderr, "  %s\n", line.c_str());
        std::fprintf(stderr, "the driver's last debug messages:\n");
        for (const std::string& line : report.recentDebug) std::fprintf(stderr, "  %s\n", line.c_str());
        std::fprintf(stderr, "the threads then:\n%s", report.threadsThen.c_str());
        printSoakSummary(stderr, "failed", options, settings, report);
        std::fprintf(stderr, "reproduce: %s\n", report.reproduce.c_str());
        return kExitFailure;
    }
    printSoakSummary(stdout, report.stopped ? "stopped" : "passed", options, settings, report);
    if (report.stopped) std::printf("reproduce: %s\n", report.reproduce.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    try {
        options = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::fprintf(stderr, "corvane: %s\nTry 'corvane --help' for the options.\n", escapedText(error.what()).c_str());
        return kExitInputError;
    }
    if (options.mode == Mode::Help || options.mode == Mode::Version) {
        std::fputs(options.mode == Mode::Help ? usageText(options.helpFor).c_str() : kVersionText, stdout);
        return std::fflush(stdout) == 0 ? 0 : writeFailure(errno);
    }
    installStopHandlers();
    int status = kExitFailure;
    try {
        if (options.mode == Mode::Soak)
            status = soakCommand(options);
        else
            status = options.mode == Mode::Run ? run(options) : replay(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "corvane: %s\n", escapedText(error.what()).c_str());
        return kExitFailure;
    }
    // A full disk or a closed pipe: the output is incomplete, and saying so is
    // the only way the caller learns it.
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return status == kExitFailure ? status : writeFailure(errno != 0 ? errno : EIO);
    return status;
}
