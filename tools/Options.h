// The corvane program's command line (subcommands and options found by CLI11,
// values checked here): what to do and how, checked before anything runs. A usage error is a UsageError whose message says what is
// wrong; main prints it and exits with status 2.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Mode { Help, Version, Run, Replay, Soak };

struct Options {
    Mode mode = Mode::Help;
    std::string helpFor;  // Help: the command whose usage to print; empty: all of them

    // run and replay
    std::uint64_t seed = 1;
    bool timestamps = false;
    bool decode = false;
    bool debug = false;
    std::string schedule;  // run and soak: cooperative, random or pct; empty: the command's default

    // run
    std::string bandFile;                     // empty: the built-in band
    std::string scriptFile;                   // empty: no script
    std::string ptyPath;                      // empty: no pseudo-terminal
    std::optional<std::uint64_t> durationMs;  // virtual; none: until interrupted
    std::optional<double> speed;              // virtual seconds per wall second; none: as fast as possible
    bool wakes = false;                       // the worker threads' wakes each second and at the end

    // soak (and --band, --seed, --debug)
    double hours = 1.0;                // virtual hours
    std::string scenario = "default";  // a built-in band of the soak
    bool poweredDownChecks = true;     // off: a receiver held off is not checked for being off
    // a campaign: many seeds, each in a process of its own
    std::vector<std::uint64_t> seeds;  // empty: one seed, --seed
    unsigned jobs = 0;                 // processes at once; 0: one per processor
    std::string resultsFile;           // a JSON line per finished seed
    bool resume = false;               // skip the seeds resultsFile holds
    double seedLimitSeconds = 0;       // a seed's wall-time limit; 0: derived from its hours

    // run and soak: the run drawn on a time line, as SVG
    std::string plotFile;

    // replay
    std::string logFile;
    bool direct = false;
    bool summary = false;  // the summary instead of the lines
};

// The text --help prints: the usage of `command` (run, replay or soak), or of
// every command when it is empty.
std::string usageText(const std::string& command);
// The text --version prints.
extern const char kVersionText[];

// Parses the arguments after the program name. Throws UsageError.
Options parseOptions(const std::vector<std::string>& arguments);

// A message as it may go to a terminal: every byte that is not printable
// ASCII (a control character, a byte of another encoding, as a log of random
// bytes holds) written as \xHH, so that a quoted input cannot move the cursor,
// change colours or clear the screen.
std::string escapedText(std::string_view text);

// A number of seconds with at most three decimals ("600", "2.5", "0.020"),
// in milliseconds; nullopt when the text is not one or exceeds `maxSeconds`.
std::optional<std::uint64_t> parseSeconds(const std::string& text, std::uint64_t maxSeconds);

}  // namespace corvane
