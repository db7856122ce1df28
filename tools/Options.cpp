#include "tools/Options.h"

#include "sim/kernel/Kernel.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace corvane {

const char kUsageText[] =
    "usage: corvane run [options]\n"
    "       corvane replay [--direct] [options] LOG\n"
    "       corvane soak [--seed N] [--hours H] [--scenario NAME | --band FILE] [--schedule MODE]\n"
    "       corvane --help\n"
    "\n"
    "corvane run loads the Corvane tuner driver in a simulated Windows CE device\n"
    "on a simulated FM band, plays the application (reads the driver's port every\n"
    "20 ms of virtual time and prints each line it sends, without its CR LF) and\n"
    "unloads the driver at the end.\n"
    "\n"
    "  --band FILE        the FM band, described in a JSON band file\n"
    "                     (default: the built-in band)\n"
    "  --seed N           seed of every random draw of the simulation (default 1);\n"
    "                     the same seed gives the same output\n"
    "  --schedule MODE    cooperative (default), random or pct: how the simulated\n"
    "                     kernel interleaves the driver's threads\n"
    "  --duration SECONDS virtual seconds to run, up to 3 decimals (default: until\n"
    "                     interrupted with Ctrl-C)\n"
    "  --speed max|FACTOR max: as fast as possible; FACTOR: virtual seconds per\n"
    "                     wall-clock second (default: max with --duration, 1 without)\n"
    "  --script FILE      timed actions, one a line, '#' starts a comment:\n"
    "                       SECONDS write TEXT     the text and CR LF to the port;\n"
    "                                              escapes \\r \\n \\\\ \\xHH; a text\n"
    "                                              ending in \\ gets no CR LF\n"
    "                       SECONDS command TEXT   the text as a private command\n"
    "                                              request (\"$PLTCM,H2,9470\")\n"
    "                       SECONDS recover        the recovery request\n"
    "                       SECONDS suspend        the application's suspend request\n"
    "                       SECONDS resume         the application's resume request\n"
    "                       SECONDS power D0..D4   the power manager's set request\n"
    "                       SECONDS powerdown      the system's power-down call\n"
    "                       SECONDS powerup        the system's power-up call\n"
    "                     SECONDS is virtual time from the start, up to 3 decimals\n"
    "  --pty PATH         also serve the port as a pseudo-terminal with a symbolic\n"
    "                     link at PATH that a serial program can open: what it\n"
    "                     writes goes to the driver, the driver's lines come out;\n"
    "                     runs at wall-clock pace (--speed FACTOR scales it); the\n"
    "                     link is removed at the end, also on Ctrl-C\n"
    "\n"
    "corvane replay plays a recorded RDS group log (.spy or .rds) as the RDS of one\n"
    "station through the whole driver (chip, interrupt, capture, decoder) as fast\n"
    "as possible, once through the log, and prints the driver's lines.\n"
    "\n"
    "  --direct           feed the log's groups straight to the group decoder\n"
    "                     instead (no chip, no threads; times are the groups' air\n"
    "                     times, one every 87.6 ms)\n"
    "  --seed N           as for run (draws the bits of lost blocks)\n"
    "\n"
    "corvane soak runs the driver for H virtual hours (default 1) under random\n"
    "faults it must survive (failing bus transfers, lost and spurious interrupts,\n"
    "a hung chip, block errors, fading stations, power-downs, suspends, recover\n"
    "requests, garbage on the port, output left unread), each phase of faults\n"
    "ending with a heal after which the driver must report its status every\n"
    "second and find TMC again within 5 virtual minutes. It checks that no worker\n"
    "thread gets stuck, every line read is whole and checksummed and every debug\n"
    "message is explained by a fault. On success it prints one summary line; on\n"
    "a failure, what broke and the one command line that reproduces it (exit 1).\n"
    "\n"
    "  --seed N           the run's seed (default 1)\n"
    "  --hours H          virtual hours, a decimal above 0 (at most 10000)\n"
    "  --scenario NAME    the band: default (the built-in band) or weak (one weak\n"
    "                     TMC station losing blocks among stations without TMC)\n"
    "  --band FILE        a band file instead of the scenario's band\n"
    "  --schedule MODE    random or pct (default: the seed draws one of them)\n"
    "\n"
    "run and replay:\n"
    "  --timestamps       prefix each line with its virtual time in seconds\n"
    "                     (3 decimals) and a blank\n"
    "  --decode           after each line, a readable rendering: station name, PI\n"
    "                     and country code, frequency in MHz, TMC event, location,\n"
    "                     extent and direction, raw group type\n"
    "  --debug            the driver's debug output to standard error, with its\n"
    "                     virtual time\n"
    "  --help             print this text\n"
    "\n"
    "Exit status: 0 on success, 2 on a usage or input error (the message goes\n"
    "to standard error), 1 when the run itself fails.\n";

namespace {

constexpr std::uint64_t kMaxDurationSeconds = 30ull * 24 * 3600;  // a month of virtual time
constexpr double kMaxSpeed = 1e6;

bool isOption(const std::string& text) { return text.size() > 1 && text[0] == '-'; }

std::uint64_t parseSeed(const std::string& text)
{
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end)
        throw UsageError("--seed needs a whole number from 0 to 18446744073709551615, not \"" + text + "\"");
    return value;
}

double parseSpeed(const std::string& text)
{
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || !std::isfinite(value) || value <= 0 ||
        value > kMaxSpeed)
        throw UsageError("--speed needs \"max\" or a factor above 0 (up to 1000000), not \"" + text + "\"");
    return value;
}

// The options every mode has; false when `option` is not one of them.
std::string parseSchedule(const std::string& text)
{
    if (!sim::parseSchedule(text)) throw UsageError("--schedule needs cooperative, random or pct, not \"" + text + "\"");
    return text;
}

bool parseCommonOption(Options& options, const std::string& option, const std::vector<std::string>& args,
                       std::size_t& i)
{
    auto value = [&]() -> const std::string& {
        if (i + 1 >= args.size()) throw UsageError(option + " needs a value");
        return args[++i];
    };
    if (option == "--seed") {
        options.seed = parseSeed(value());
    } else if (option == "--timestamps") {
        options.timestamps = true;
    } else if (option == "--decode") {
        options.decode = true;
    } else if (option == "--debug") {
        options.debug = true;
    } else if (option == "--schedule") {
        options.schedule = parseSchedule(value());
    } else {
        return false;
    }
    return true;
}

void parseRun(Options& options, const std::vector<std::string>& args)
{
    bool speedGiven = false;
    bool speedMax = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size() || args[i + 1].empty()) throw UsageError(option + " needs a value");
            return args[++i];
        };
        if (parseCommonOption(options, option, args, i)) continue;
        if (option == "--band") {
            options.bandFile = value();
        } else if (option == "--script") {
            options.scriptFile = value();
        } else if (option == "--pty") {
            options.ptyPath = value();
        } else if (option == "--duration") {
            const std::string& text = value();
            options.durationMs = parseSeconds(text, kMaxDurationSeconds);
            if (!options.durationMs)
                throw UsageError("--duration needs virtual seconds (up to 3 decimals, at most 2592000), not \"" +
                                 text + "\"");
        } else if (option == "--speed") {
            const std::string& text = value();
            speedGiven = true;
            speedMax = text == "max";
            if (!speedMax) options.speed = parseSpeed(text);
        } else if (option == "--direct") {
            throw UsageError("--direct belongs to replay, not run");
        } else if (isOption(option)) {
            throw UsageError("unknown option " + option + " for run");
        } else {
            throw UsageError("run takes no argument \"" + option + "\"");
        }
    }
    if (!options.ptyPath.empty() && speedMax)
        throw UsageError("--pty serves a serial program at wall-clock pace: give --speed a factor, not max");
    // As fast as possible when the run has an end and nobody is on the line;
    // at wall-clock pace otherwise.
    if (!speedGiven && (!options.durationMs || !options.ptyPath.empty())) options.speed = 1.0;
}

void parseReplay(Options& options, const std::vector<std::string>& args)
{
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (parseCommonOption(options, option, args, i)) continue;
        if (option == "--direct") {
            options.direct = true;
        } else if (option == "--band" || option == "--script" || option == "--pty" || option == "--duration" ||
                   option == "--speed") {
            throw UsageError(option + " belongs to run, not replay");
        } else if (isOption(option)) {
            throw UsageError("unknown option " + option + " for replay");
        } else if (!options.logFile.empty()) {
            throw UsageError("replay takes one log, not also \"" + option + "\"");
        } else {
            options.logFile = option;
        }
    }
    if (options.logFile.empty()) throw UsageError("replay needs a log file (.spy or .rds)");
}

void parseSoak(Options& options, const std::vector<std::string>& args)
{
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size() || args[i + 1].empty()) throw UsageError(option + " needs a value");
            return args[++i];
        };
        if (option == "--seed") {
            options.seed = parseSeed(value());
        } else if (option == "--hours") {
            const std::string& text = value();
            double hours = 0;
            const char* end = text.data() + text.size();
            const auto [stop, error] = std::from_chars(text.data(), end, hours);
            if (error != std::errc{} || stop != end || !std::isfinite(hours) || hours <= 0 || hours > 10000)
                throw UsageError("--hours needs virtual hours above 0 (up to 10000), not \"" + text + "\"");
            options.hours = hours;
        } else if (option == "--scenario") {
            options.scenario = value();
            if (options.scenario != "default" && options.scenario != "weak")
                throw UsageError("--scenario needs default or weak, not \"" + options.scenario + "\"");
        } else if (option == "--band") {
            options.bandFile = value();
        } else if (option == "--schedule") {
            options.schedule = parseSchedule(value());
        } else if (isOption(option)) {
            throw UsageError("unknown option " + option + " for soak");
        } else {
            throw UsageError("soak takes no argument \"" + option + "\"");
        }
    }
}

}  // namespace

std::optional<std::uint64_t> parseSeconds(const std::string& text, std::uint64_t maxSeconds)
{
    std::uint64_t whole = 0;
    std::uint64_t millis = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        whole = whole * 10 + static_cast<unsigned>(text[i] - '0');
        if (whole > maxSeconds) return std::nullopt;
    }
    if (i == 0) return std::nullopt;
    if (i < text.size()) {
        if (text[i] != '.' || i + 1 == text.size() || text.size() - i - 1 > 3) return std::nullopt;
        unsigned digits = 0;
        for (++i; i < text.size(); ++i, ++digits) {
            if (text[i] < '0' || text[i] > '9') return std::nullopt;
            millis = millis * 10 + static_cast<unsigned>(text[i] - '0');
        }
        for (; digits < 3; ++digits) millis *= 10;
    }
    const std::uint64_t total = whole * 1000 + millis;
    if (total > maxSeconds * 1000) return std::nullopt;
    return total;
}

Options parseOptions(const std::vector<std::string>& args)
{
    Options options;
    for (const std::string& argument : args)
        if (argument == "--help" || argument == "-h") return options;  // Mode::Help
    if (args.empty()) throw UsageError("no command given: run, replay or soak");
    if (args[0] == "run") {
        options.mode = Mode::Run;
        parseRun(options, args);
    } else if (args[0] == "replay") {
        options.mode = Mode::Replay;
        parseReplay(options, args);
    } else if (args[0] == "soak") {
        options.mode = Mode::Soak;
        parseSoak(options, args);
    } else {
        throw UsageError("unknown command \"" + args[0] + "\": run, replay or soak");
    }
    return options;
}

}  // namespace corvane
