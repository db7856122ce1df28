#include "tools/Options.h"

#include "tools/soak/CampaignPlan.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

namespace corvane {

const char kVersionText[] = "corvane 1.0.0\n";

namespace {

constexpr std::uint64_t kMaxDurationSeconds = 30ull * 24 * 3600;  // a month of virtual time
constexpr double kMaxSpeed = 1e6;
constexpr double kMaxHours = 10000;
constexpr double kMaxSeedLimit = 1e7;

std::uint64_t parseSeed(const std::string& text)
{
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end)
        throw UsageError("--seed needs a whole number from 0 to 18446744073709551615, not \"" + text + "\"");
    return value;
}

// A decimal in (0, max]; nullopt otherwise.
std::optional<double> parsePositive(const std::string& text, double max)
{
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || !std::isfinite(value) || value <= 0 || value > max)
        return std::nullopt;
    return value;
}

// The options of every subcommand, as texts: CLI11 finds them (with
// --name=value, repeats taking the last), the checks below say what is wrong
// in the program's own words.
struct Texts {
    std::optional<std::string> seed, band, script, pty, duration, speed, hours, scenario, schedule;
    std::optional<std::string> seeds, jobs, results, resume, shard, plot, seedLimit;
    bool timestamps = false, decode = false, debug = false, direct = false, summary = false;
    bool noPowerDownChecks = false;
    bool wakes = false;
    std::vector<std::string> logs;
};

void addValue(CLI::App& command, const char* name, std::optional<std::string>& text)
{
    command.add_option_function<std::string>(name, [&text](const std::string& value) { text = value; });
}

// Which subcommand an option belongs to, for the refusal of one given to another.
const char* ownerOf(const std::string& option)
{
    const std::string name = option.substr(0, option.find('='));
    if (name == "--band" || name == "--script" || name == "--pty" || name == "--duration" || name == "--speed" ||
        name == "--wakes")
        return "run";
    if (name == "--direct" || name == "--summary") return "replay";
    if (name == "--hours" || name == "--scenario" || name == "--seeds" || name == "--jobs" || name == "--results" ||
        name == "--resume" || name == "--shard" || name == "--seed-limit" || name == "--no-power-down-checks")
        return "soak";
    return nullptr;
}

// What CLI11 left over in `command`: the first unknown option or extra argument.
void refuseExtras(const CLI::App& command)
{
    for (const std::string& extra : command.remaining()) {
        const std::string name = extra.substr(0, extra.find('='));
        if (extra.size() > 1 && extra[0] == '-') {
            const char* owner = ownerOf(extra);
            if (owner != nullptr && command.get_name() != owner)
                throw UsageError(name + " belongs to " + owner + ", not " + command.get_name());
            throw UsageError("unknown option " + name + " for " + command.get_name());
        }
        throw UsageError(command.get_name() + " takes no argument \"" + extra + "\"");
    }
}

const std::string& nonEmpty(const std::optional<std::string>& text, const char* option)
{
    if (text->empty()) throw UsageError(std::string(option) + " needs a value");
    return *text;
}

void checkSchedule(const Texts& texts, Options& options)
{
    if (!texts.schedule) return;
    const std::string& mode = *texts.schedule;
    if (mode != "cooperative" && mode != "random" && mode != "pct")
        throw UsageError("--schedule needs cooperative, random or pct, not \"" + mode + "\"");
    options.schedule = mode;
}

void checkRun(const Texts& texts, Options& options)
{
    if (texts.band) options.bandFile = nonEmpty(texts.band, "--band");
    if (texts.script) options.scriptFile = nonEmpty(texts.script, "--script");
    if (texts.pty) options.ptyPath = nonEmpty(texts.pty, "--pty");
    options.wakes = texts.wakes;
    if (texts.duration) {
        const std::string& text = nonEmpty(texts.duration, "--duration");
        options.durationMs = parseSeconds(text, kMaxDurationSeconds);
        if (!options.durationMs)
            throw UsageError("--duration needs virtual seconds (up to 3 decimals, at most 2592000), not \"" + text +
                             "\"");
    }
    const bool speedMax = texts.speed && *texts.speed == "max";
    if (texts.speed && !speedMax) {
        options.speed = parsePositive(nonEmpty(texts.speed, "--speed"), kMaxSpeed);
        if (!options.speed)
            throw UsageError("--speed needs \"max\" or a factor above 0 (up to 1000000), not \"" + *texts.speed + "\"");
    }
    if (!options.ptyPath.empty() && speedMax)
        throw UsageError("--pty serves a serial program at wall-clock pace: give --speed a factor, not max");
    // As fast as possible when the run has an end and nobody is on the line;
    // at wall-clock pace otherwise.
    if (!texts.speed && (!options.durationMs || !options.ptyPath.empty())) options.speed = 1.0;
    checkSchedule(texts, options);
}

void checkReplay(const Texts& texts, Options& options)
{
    if (texts.logs.size() > 1) throw UsageError("replay takes one log, not also \"" + texts.logs[1] + "\"");
    if (texts.logs.empty() || texts.logs[0].empty()) throw UsageError("replay needs a log file (.spy or .rds)");
    options.logFile = texts.logs[0];
    options.direct = texts.direct;
    options.summary = texts.summary;
}

// The options of a campaign, which need --seeds; a campaign draws no picture.
void checkCampaign(const Texts& texts, Options& options)
{
    const bool campaign = texts.seeds.has_value();
    for (const auto& [text, name] : {std::pair{&texts.jobs, "--jobs"},
                                     {&texts.results, "--results"},
                                     {&texts.resume, "--resume"},
                                     {&texts.shard, "--shard"},
                                     {&texts.seedLimit, "--seed-limit"}})
        if (text->has_value() && !campaign) throw UsageError(std::string(name) + " goes with --seeds");
    if (!campaign) return;
    if (texts.seed) throw UsageError("--seed and --seeds exclude each other: give one of them");
    if (texts.plot) throw UsageError("--plot draws one seed: give --seed, not --seeds");
    if (texts.debug) throw UsageError("--debug shows one seed: give --seed, not --seeds");
    try {
        options.seeds = soak::parseSeedList(nonEmpty(texts.seeds, "--seeds"));
        if (texts.shard) options.seeds = soak::shardSeeds(options.seeds, soak::parseShard(*texts.shard));
    } catch (const std::invalid_argument& error) {
        throw UsageError(error.what());
    }
    if (texts.jobs) {
        unsigned jobs = 0;
        const std::string& text = *texts.jobs;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), jobs);
        if (text.empty() || error != std::errc{} || end != text.data() + text.size() || jobs < 1 || jobs > 256)
            throw UsageError("--jobs needs a number of processes from 1 to 256, not \"" + text + "\"");
        options.jobs = jobs;
    }
    if (texts.results) options.resultsFile = nonEmpty(texts.results, "--results");
    if (texts.seedLimit) {
        const auto limit = parsePositive(nonEmpty(texts.seedLimit, "--seed-limit"), kMaxSeedLimit);
        if (!limit)
            throw UsageError("--seed-limit needs wall-clock seconds above 0 (up to 10000000), not \"" +
                             *texts.seedLimit + "\"");
        options.seedLimitSeconds = *limit;
    }
    if (texts.resume) {
        const std::string& file = nonEmpty(texts.resume, "--resume");
        if (texts.results && file != options.resultsFile)
            throw UsageError("--resume appends to the file it reads: --results, if given, must name the same file");
        options.resultsFile = file;
        options.resume = true;
    }
}

void checkSoak(const Texts& texts, Options& options)
{
    if (texts.hours) {
        const auto hours = parsePositive(nonEmpty(texts.hours, "--hours"), kMaxHours);
        if (!hours) throw UsageError("--hours needs virtual hours above 0 (up to 10000), not \"" + *texts.hours + "\"");
        options.hours = *hours;
    }
    if (texts.scenario) {
        options.scenario = nonEmpty(texts.scenario, "--scenario");
        if (options.scenario != "default" && options.scenario != "weak")
            throw UsageError("--scenario needs default or weak, not \"" + options.scenario + "\"");
    }
    if (texts.band) options.bandFile = nonEmpty(texts.band, "--band");
    options.poweredDownChecks = !texts.noPowerDownChecks;
    if (texts.scenario && texts.band)
        throw UsageError("--scenario and --band both name the soak's band: give one of them");
    checkSchedule(texts, options);
    checkCampaign(texts, options);
}

}  // namespace

std::string escapedText(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            shown += c;
            continue;
        }
        static constexpr char kDigits[] = "0123456789ABCDEF";
        shown += {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 15]};
    }
    return shown;
}

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
    for (const std::string& argument : args) {
        if (argument == "--help" || argument == "-h") {  // Mode::Help, of the command given
            if (args[0] == "run" || args[0] == "replay" || args[0] == "soak") options.helpFor = args[0];
            return options;
        }
        if (argument == "--version") {
            options.mode = Mode::Version;
            return options;
        }
    }
    if (args.empty()) throw UsageError("no command given: run, replay or soak");

    Texts texts;
    CLI::App app("corvane", "corvane");
    app.set_help_flag();
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.require_subcommand(1);
    CLI::App* run = app.add_subcommand("run");
    CLI::App* replay = app.add_subcommand("replay");
    CLI::App* soak = app.add_subcommand("soak");
    for (CLI::App* command : {run, replay, soak}) {
        command->set_help_flag();
        command->allow_extras();
        addValue(*command, "--seed", texts.seed);
        command->add_flag("--debug", texts.debug);
    }
    for (CLI::App* command : {run, replay}) {
        command->add_flag("--timestamps", texts.timestamps);
        command->add_flag("--decode", texts.decode);
    }
    for (CLI::App* command : {run, soak}) {
        addValue(*command, "--band", texts.band);
        addValue(*command, "--schedule", texts.schedule);
        addValue(*command, "--plot", texts.plot);
    }
    addValue(*run, "--script", texts.script);
    addValue(*run, "--pty", texts.pty);
    addValue(*run, "--duration", texts.duration);
    addValue(*run, "--speed", texts.speed);
    run->add_flag("--wakes", texts.wakes);
    replay->add_flag("--direct", texts.direct);
    replay->add_flag("--summary", texts.summary);
    replay->add_option("log", texts.logs);
    addValue(*soak, "--hours", texts.hours);
    addValue(*soak, "--scenario", texts.scenario);
    addValue(*soak, "--seeds", texts.seeds);
    addValue(*soak, "--jobs", texts.jobs);
    addValue(*soak, "--results", texts.results);
    addValue(*soak, "--resume", texts.resume);
    addValue(*soak, "--shard", texts.shard);
    addValue(*soak, "--seed-limit", texts.seedLimit);
    soak->add_flag("--no-power-down-checks", texts.noPowerDownChecks);

    if (args[0] != "run" && args[0] != "replay" && args[0] != "soak")
        throw UsageError("unknown command \"" + args[0] + "\": run, replay or soak");
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them from the back
        app.parse(reversed);
    } catch (const CLI::ArgumentMismatch& error) {
        // "--band: 1 required TEXT missing"
        const std::string what = error.what();
        throw UsageError(what.substr(0, what.find(':')) + " needs a value");
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }
    CLI::App* chosen = run->parsed() ? run : replay->parsed() ? replay : soak;
    refuseExtras(*chosen);
    if (texts.seed) options.seed = parseSeed(*texts.seed);
    options.debug = texts.debug;
    options.timestamps = texts.timestamps;
    options.decode = texts.decode;
    if (texts.plot) {
        // The picture is SVG whatever the name says: a name that says
        // otherwise would give a file that its viewer cannot open.
        options.plotFile = nonEmpty(texts.plot, "--plot");
        std::string suffix =
            options.plotFile.substr(options.plotFile.size() - std::min<std::size_t>(4, options.plotFile.size()));
        for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (suffix != ".svg")
            throw UsageError("--plot draws SVG: the file name must end in .svg, not \"" + options.plotFile + "\"");
    }
    if (chosen == run) {
        options.mode = Mode::Run;
        checkRun(texts, options);
    } else if (chosen == replay) {
        options.mode = Mode::Replay;
        checkReplay(texts, options);
    } else {
        options.mode = Mode::Soak;
        checkSoak(texts, options);
    }
    return options;
}

}  // namespace corvane
