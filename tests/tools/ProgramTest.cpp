// The corvane program as a user runs it: exit status, messages and the lines
// it prints, for runs, scripts and replays.
#include "tests/tools/ProgramRunner.h"

#include <algorithm>
#include <regex>
#include <set>

using namespace corvane_test;

namespace {

// "12.345 $BODY*hh": the time and the sentence of a timestamped line.
struct StampedLine {
    double time;
    std::string sentence;
};

std::vector<StampedLine> stampedLines(const std::vector<std::string>& text, bool skipRenderings = false)
{
    std::vector<StampedLine> lines;
    for (const std::string& line : text) {
        if (skipRenderings && line.find("  = ") != std::string::npos) continue;
        const std::size_t blank = line.find(' ');
        EXPECT_NE(blank, std::string::npos) << line;
        if (blank == std::string::npos) continue;
        lines.push_back({std::stod(line.substr(0, blank)), line.substr(blank + 1)});
    }
    return lines;
}

std::vector<StampedLine> stampedLines(const std::string& out)
{
    return stampedLines(splitLines(out));
}

bool checksumValid(const std::string& sentence)
{
    const std::size_t star = sentence.rfind('*');
    if (sentence.empty() || sentence[0] != '$' || star == std::string::npos || star + 3 != sentence.size())
        return false;
    unsigned sum = 0;
    for (std::size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(sentence[i]);
    char expected[3];
    std::snprintf(expected, sizeof expected, "%02x", sum);
    return sentence.substr(star + 1) == expected;
}

std::set<std::string> linesStartingWith(const std::string& out, const std::string& prefix)
{
    std::set<std::string> found;
    for (const std::string& line : splitLines(out))
        if (line.rfind(prefix, 0) == 0) found.insert(line);
    return found;
}

}  // namespace

TEST(ProgramTest, BadInputStopsBeforeAnythingRunsWithStatusTwo)
{
    const auto dir = scratchDirectory();
    const auto malformed = writeFile(dir / "malformed.json", "{\"stations\": [\n  {\"frequency\": 9470,\n");
    const auto wrongValue = writeFile(dir / "wrong.json", "{\"stations\": [{\"frequency\": \"high\"}]}");
    const auto script = writeFile(dir / "actions.script", "# tune\n2 write $PLTCM,H2,9470\n5 jump 9470\n");
    const auto emptyLog = writeFile(dir / "empty.spy", "<recorder=\"RDS Spy\">\r\n\r\n");
    const auto brokenLog = writeFile(dir / "broken.spy", "<recorder=\"RDS Spy\">\r\nFE37 0408 E0CD\r\n");
    const auto twice =
        writeFile(dir / "twice.json", "{\"stations\": [\n  {\"frequency\": 9470,\n   \"frequency\": 9480}]}");
    const auto huge = writeFile(dir / "huge.json", "{\"stations\": [{\"frequency\": 9470, \"rssi\": 1e999}]}");
    const auto none = writeFile(dir / "none.json", "{\"stations\": []}");
    const auto noise = writeFile(dir / "noise.spy", "\x1b[2J\x07\x9b\xff 0408 E0CD\n");
    const std::string notResults = "a plain text\nof two lines\n";
    const auto text = writeFile(dir / "notes.txt", notResults);
    const auto endless = writeFile(dir / "endless.spy", "");
    std::filesystem::resize_file(endless, std::uintmax_t{1025} << 20);  // sparse: no disk used

    struct Case {
        std::string arguments;
        std::string message;
    };
    const Case cases[] = {
        {"run --band " + (dir / "missing.json").string(), (dir / "missing.json").string()},
        {"run --band " + malformed.string(), malformed.string() + ": parse error at line 3"},
        {"run --band " + wrongValue.string(), "stations[0].frequency"},
        {"run --script " + script.string(), script.string() + ":3: unknown action \"jump\""},
        {"run --script " + (dir / "missing.script").string(), "cannot open the script file: No such file"},
        {"run --band " + twice.string(), twice.string() + ": line 3, column 4: the key \"frequency\" appears twice"},
        {"run --band " + huge.string(), huge.string() + ": line 1, column 43: number overflow"},
        {"run --band /dev/zero", "/dev/zero: is not a regular file"},
        {"run --band " + dir.string(), dir.string() + ": is a directory, not a band file"},
        {"replay --direct " + endless.string(), endless.string() + ": is larger than the 1024 MiB a log may have"},
        {"soak --band " + none.string(), none.string() + ": the band has no station"},
        {"soak --scenario weak --band " + none.string(), "--scenario and --band"},
        {"replay " + emptyLog.string(), emptyLog.string() + ": the log holds no RDS group"},
        {"replay --direct " + emptyLog.string(), "the log holds no RDS group"},
        {"replay " + brokenLog.string(), brokenLog.string() + ":2:"},
        {"replay " + (dir / "missing.spy").string(), "missing.spy: cannot open the log: No such file or directory"},
        {"run --duration forever", "--duration"},
        {"", "no command given"},
        {"run --pty " + dir.string(), "is not a symbolic link"},
        {"run --band " + none.string(), none.string() + ": the band has no station for the driver to tune to"},
        // Input bytes are quoted escaped: none reaches the terminal raw.
        {"replay --direct " + noise.string(), noise.string() + ":1: block A \"\\x1B[2J\\x07\\x9B\\xFF\" is not"},
        // Output files are checked before any work; a picture is SVG.
        {"run --duration 600 --plot " + (dir / "none" / "x.svg").string(), "none/x.svg: cannot be written: No such"},
        {"soak --hours 10 --plot " + (dir / "none" / "x.svg").string(), "none/x.svg: cannot be written: No such"},
        {"soak --seeds 1-2 --results " + (dir / "none" / "r").string(), "none/r: cannot be written: No such"},
        {"run --duration 5 --plot " + (dir / "x.png").string(), "the file name must end in .svg"},
        // Results go only into a results file, and a resume reads only one.
        {"soak --seeds 1-2 --resume " + text.string(), text.string() + ":1: not a line of a results file: \"a plain"},
        {"soak --seeds 1-2 --results " + text.string(), text.string() + ":1: not a line of a results file"},
    };
    for (const Case& c : cases) {
        const bool soak = c.arguments.rfind("soak", 0) == 0;
        const ProgramResult result =
            runProgram(c.arguments.empty() || soak ? c.arguments : c.arguments + " --timestamps");
        EXPECT_EQ(result.status, 2) << c.arguments;
        EXPECT_TRUE(result.out.empty()) << c.arguments << " printed " << result.out.substr(0, 200);
        EXPECT_EQ(result.err.rfind("corvane: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.arguments << ": " << result.err;
        EXPECT_TRUE(std::all_of(result.err.begin(), result.err.end(),
                                [](char b) { return b == '\n' || (b >= 0x20 && b < 0x7f); }))
            << c.arguments << ": " << result.err;
    }
    EXPECT_EQ(readFile(text), notResults) << "untouched";
    EXPECT_FALSE(std::filesystem::exists(dir / "x.png"));
    const ProgramResult help = runProgram("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--band", "--seed", "--duration", "--speed", "--timestamps", "--debug", "--decode",
                               "--script", "--pty", "--direct", "powerdown", "\\xHH"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

// A termination ends even an endless soak at once, with what it has so far;
// output that cannot be written fails the run instead of passing in silence.
TEST(ProgramTest, StopsCleanlyOnTerminationAndOnWriteErrors)
{
    const auto dir = scratchDirectory();
    const std::string program = programPath().string();
    const std::string soak = "cd " + dir.string() + " && (" + program +
                             " soak --hours 10000 >out 2>err & p=$!; sleep 0.3; t=$(date +%s%N); kill -TERM $p; "
                             "wait $p; echo $? $(( ($(date +%s%N) - t) / 1000000 )) >status)";
    ASSERT_EQ(std::system(soak.c_str()), 0);
    int status = -1, milliseconds = -1;
    std::istringstream(readFile(dir / "status")) >> status >> milliseconds;
    EXPECT_EQ(status, 0) << readFile(dir / "err");
    EXPECT_LT(milliseconds, 1000);
    const std::string out = readFile(dir / "out");
    EXPECT_EQ(out.rfind("soak stopped: seed 1, scenario default, schedule: random, ", 0), 0u) << out;
    EXPECT_NE(out.find("\nreproduce: corvane soak --seed 1 --hours 10000 --scenario default --schedule random\n"),
              std::string::npos);

    // timeout(1) signals the program and then its process group: the two
    // come as one stop, and a campaign still prints its summary and hint.
    const std::string campaign = "cd " + dir.string() + " && (" + program +
                                 " soak --seeds 1-50 --hours 20 --jobs 2 --results r.jsonl >c.out 2>c.err & p=$!; "
                                 "sleep 0.5; kill -INT $p; kill -INT $p; wait $p; echo $? >c.status)";
    ASSERT_EQ(std::system(campaign.c_str()), 0);
    EXPECT_EQ(readFile(dir / "c.status"), "0\n") << readFile(dir / "c.err");
    const std::string summary = readFile(dir / "c.out");
    EXPECT_NE(summary.find("campaign stopped: "), std::string::npos) << summary;
    EXPECT_NE(summary.find(" seeds not run; --resume runs them\n"), std::string::npos) << summary;
    EXPECT_EQ(readFile(dir / "r.jsonl"), "") << "a seed cut short by the stop is no result: --resume runs it again";

    // Without a TMC station there is no TMC to wait for after a heal.
    const auto quiet =
        writeFile(dir / "quiet.json", R"({"stations": [{"frequency": 9000, "rds": {"pi": "0xD123", "name": "X"}}]})");
    const ProgramResult noTmc = runProgram("soak --hours 0.05 --band " + quiet.string());
    EXPECT_EQ(noTmc.status, 0) << noTmc.err;
    EXPECT_NE(noTmc.out.find("band " + quiet.string() + ", "), std::string::npos) << noTmc.out;
    EXPECT_NE(noTmc.out.find("TMC was not required"), std::string::npos) << noTmc.out;

    const std::string full = program + " run --duration 60 >/dev/full 2>" + (dir / "full.err").string();
    EXPECT_EQ(WEXITSTATUS(std::system(full.c_str())), 1);
    EXPECT_EQ(readFile(dir / "full.err"), "corvane: cannot write the output: No space left on device\n");
    // Endless, but the reader goes away.
    const std::string pipe = "(" + program + " run --speed max 2>" + (dir / "pipe.err").string() + "; echo $? >" +
                             (dir / "pipe.status").string() + ") | head -c 10 >/dev/null";
    std::system(pipe.c_str());
    EXPECT_EQ(readFile(dir / "pipe.status"), "1\n");
    EXPECT_EQ(readFile(dir / "pipe.err"), "corvane: cannot write the output: Broken pipe\n");
}

// A soak on a band whose only TMC station stops sending TMC for good fails
// (for the seeds where no fading station brings it back) and shows what led
// to the failure: the last lines read and the last debug messages, whole.
TEST(ProgramTest, AFailingSoakShowsWhatLedToIt)
{
    const auto band = writeFile(scratchDirectory() / "gone.json", R"({"stations": [{"frequency": 9470, "rssi": 40,
        "rds": {"pi": "0xD3A1", "name": "GONE", "tmc": true}, "events": [{"at": 60, "tmc": false}]}]})");
    ProgramResult failed;
    for (int seed = 1; seed <= 8 && failed.status != 1; ++seed)
        failed = runProgram("soak --hours 0.3 --seed " + std::to_string(seed) + " --band " + band.string());
    ASSERT_EQ(failed.status, 1) << "no seed failed";
    const std::vector<std::string> lines = splitLines(failed.err);
    const auto read = std::find(lines.begin(), lines.end(), "the last lines the application read:");
    const auto debug = std::find(lines.begin(), lines.end(), "the driver's last debug messages:");
    ASSERT_TRUE(read < debug && debug != lines.end()) << failed.err;
    EXPECT_GE(debug - read, 2);
    static const std::regex recorded(R"(^  \d+\.\d{3} s (\$.*\*[0-9a-f]{2}|\[thread \d+\] .+)$)");
    for (auto line = read + 1; line != lines.end() && line->rfind("  ", 0) == 0; ++line) {
        if (line != debug) {
            EXPECT_TRUE(std::regex_match(*line, recorded)) << *line;
        }
    }
    EXPECT_EQ(lines.back().rfind("reproduce: corvane soak --seed ", 0), 0u) << failed.err;
}

// The acceptance run: ten virtual minutes on the built-in band, twice.
TEST(ProgramTest, DefaultBandRunFindsATmcStationByItselfAndRepeatsExactly)
{
    const ProgramResult first = runProgram("run --duration 600 --timestamps");
    ASSERT_EQ(first.status, 0) << first.err;
    const std::vector<StampedLine> lines = stampedLines(first.out);
    ASSERT_GT(lines.size(), 600u);
    double previous = 0;
    std::size_t searching = 0, tmcAfterName = 0;
    double nameTime = -1;
    for (const StampedLine& line : lines) {
        EXPECT_TRUE(checksumValid(line.sentence)) << line.sentence;
        EXPECT_GE(line.time, previous);
        EXPECT_LE(line.time, 600.0);
        previous = line.time;
        if (line.sentence.rfind("$PLTTQ,", 0) == 0 && line.sentence.find(",5*") != std::string::npos) ++searching;
        if (line.sentence == "$PLTCH,\"RADIO 1 \"*0f" && nameTime < 0) nameTime = line.time;
        if (nameTime >= 0 && line.sentence.rfind("$PLTTM,8,", 0) == 0) ++tmcAfterName;
    }
    EXPECT_EQ(lines.front().sentence.rfind("$PXRFW,", 0), 0u);
    // The application reads the port every 20 ms of virtual time.
    const auto millis = [](double seconds) { return static_cast<long long>(seconds * 1000 + 0.5); };
    for (const StampedLine& line : lines)
        ASSERT_EQ((millis(line.time) - millis(lines.front().time)) % 20, 0) << line.time << " " << line.sentence;
    EXPECT_GT(searching, 0u) << "no search step reported";
    EXPECT_GE(nameTime, 0) << "the first TMC station up the band was not found";
    EXPECT_GT(tmcAfterName, 3u);
    // The search accepted the station: its reports carry the TMC credit.
    std::size_t credited = 0;
    for (const StampedLine& line : lines) {
        unsigned quality = 0;
        if (std::sscanf(line.sentence.c_str(), "$PLTTQ,9470,%*u,%u,1,0*", &quality) == 1 && quality >= 60) ++credited;
    }
    EXPECT_GT(credited, 500u) << "the station was not kept for the rest of the run";

    const ProgramResult second = runProgram("run --duration 600 --timestamps");
    EXPECT_EQ(second.status, 0);
    EXPECT_TRUE(second.out == first.out) << "two runs with the same seed differ";
}

TEST(ProgramTest, ABandFileIsPlayedDecodedAndItsEventsFollowed)
{
    const auto dir = scratchDirectory();
    const auto band = writeFile(dir / "three.json", R"({"stations": [
        {"frequency": 8800, "rssi": 30},
        {"frequency": 9000, "rssi": 40, "rds": {"pi": "0xD123", "name": "TESTFM", "tmc": true},
         "events": [{"at": 60, "tmc": false}]},
        {"frequency": 9400, "rssi": 40, "rds": {"pi": "0xD456", "name": "OTHER", "tmc": true}}]})");
    const ProgramResult result =
        runProgram("run --band " + band.string() + " --duration 240 --seed 3 --timestamps --decode");
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> lines = splitLines(result.out);
    // Found by the automatic search past the station without RDS; each
    // sentence of the driver is followed by its rendering.
    const auto name = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find(" $PLTCH,\"TESTFM  \"*") != std::string::npos;
    });
    ASSERT_NE(name, lines.end()) << result.out.substr(0, 2000);
    ASSERT_NE(name + 1, lines.end());
    EXPECT_NE(name[1].find("= station name \"TESTFM  \""), std::string::npos) << name[1];
    std::size_t sentences = 0, renderings = 0, pi = 0;
    for (const std::string& line : lines) {
        sentences += line.find(" $") != std::string::npos;
        renderings += line.find("  = ") != std::string::npos;
        pi += line.find("= PI D123, country code D") != std::string::npos;
    }
    EXPECT_EQ(renderings, sentences);
    EXPECT_GT(pi, 0u);
    EXPECT_NE(result.out.find("$PLTTQ,8800,30,0,1,0*"), std::string::npos);
    EXPECT_NE(result.out.find(" = tuned to 90.00 MHz"), std::string::npos);

    // TMC stops on 90.0 MHz at 60 s: its credit runs down a point a tick, and
    // at 0 the driver searches on by itself and stays on the next TMC station.
    std::vector<std::pair<double, unsigned>> testfm;
    double other = -1;
    unsigned lastFrequency = 0, lastQuality = 0;
    for (const StampedLine& line : stampedLines(splitLines(result.out), true)) {
        unsigned frequency = 0, quality = 0;
        if (std::sscanf(line.sentence.c_str(), "$PLTTQ,%u,%*u,%u,1,0*", &frequency, &quality) == 2) {
            if (frequency == 9000 && line.time > 70) testfm.push_back({line.time, quality});
            lastFrequency = frequency;
            lastQuality = quality;
        }
        if (line.sentence == "$PLTCH,\"OTHER   \"*0b" && other < 0) other = line.time;
    }
    ASSERT_GT(testfm.size(), 30u);
    for (std::size_t i = 1; i < testfm.size(); ++i) EXPECT_EQ(testfm[i].second + 1, testfm[i - 1].second);
    EXPECT_EQ(testfm.back().second, 1u);
    EXPECT_GT(other, testfm.back().first);
    EXPECT_EQ(lastFrequency, 9400u);
    EXPECT_GE(lastQuality, 60u);
}

TEST(ProgramTest, ScriptActionsReachTheDriverAtTheirTimes)
{
    const auto dir = scratchDirectory();
    const auto script = writeFile(dir / "day.script",
                                  "3 write $PLTCM,H2,10480\n"
                                  "20 command $PLTCM,VOL,8\n"
                                  "30 powerdown\n"
                                  "40 powerup\n"
                                  "50 power D4\n"
                                  "55 power D0\n"
                                  "60 suspend\n"
                                  "65 resume\n"
                                  "70 recover\n");
    const ProgramResult result =
        runProgram("run --duration 80 --timestamps --debug --wakes --script " + script.string());
    ASSERT_EQ(result.status, 0) << result.err;
    double tuneAnswer = -1, name = -1, volume = -1, backAfterPowerUp = -1, backAfterD0 = -1, backAfterResume = -1;
    std::size_t afterRecovery = 0;
    for (const StampedLine& line : stampedLines(result.out)) {
        if (line.sentence == "$PLTTQ,10480,2,0,0,6*58") tuneAnswer = line.time;
        if (line.sentence == "$PLTCH,\"INFO 24 \"*67" && name < 0) name = line.time;
        if (line.sentence == "$PLTCF,7000*66") volume = line.time;
        // Powered down: nothing is sent.
        EXPECT_FALSE(line.time > 30.02 && line.time <= 40.0) << line.time << " " << line.sentence;
        EXPECT_FALSE(line.time > 50.02 && line.time <= 55.0) << line.time << " " << line.sentence;
        EXPECT_FALSE(line.time > 60.02 && line.time <= 65.0) << line.time << " " << line.sentence;
        const bool tuned = line.sentence.rfind("$PLTTQ,10480,28,", 0) == 0;
        if (tuned && line.time > 40 && line.time < 50 && backAfterPowerUp < 0) backAfterPowerUp = line.time;
        if (tuned && line.time > 55 && line.time < 60 && backAfterD0 < 0) backAfterD0 = line.time;
        if (tuned && line.time > 65 && line.time < 70 && backAfterResume < 0) backAfterResume = line.time;
        // The recovery pauses 3 s, resets the chip and comes back on the station.
        if (line.sentence.rfind("$PLTTQ,", 0) == 0 && line.time > 70.02 && line.time < 73.0)
            ADD_FAILURE() << "a status during the recovery's pause at " << line.time;
        if (line.sentence.rfind("$PLTTQ,", 0) == 0 && line.time > 73.0) {
            EXPECT_EQ(line.sentence.rfind("$PLTTQ,10480,28,", 0), 0u) << line.time << " " << line.sentence;
            ++afterRecovery;
        }
    }
    EXPECT_GT(afterRecovery, 3u);
    EXPECT_GE(tuneAnswer, 3.0);
    EXPECT_LT(tuneAnswer, 3.2);  // the reader's 50 ms rounds and the parser's 15 ms
    EXPECT_GT(name, tuneAnswer);
    EXPECT_GE(volume, 20.0);
    EXPECT_LT(volume, 20.1);
    // The recovery after a power-up waits 3 s and tunes back to the station.
    EXPECT_GT(backAfterPowerUp, 43.0);
    EXPECT_GT(backAfterD0, 58.0);
    EXPECT_GT(backAfterResume, 68.0);
    // The power manager's requests, in the debug output with their virtual
    // time, from its own thread (created after the program's and the device
    // manager's).
    EXPECT_NE(result.err.find("50.000 [thread 3] Corvane: IOCTL_POWER_SET to D4 CurrentDx D0\n"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("55.000 [thread 3] Corvane: IOCTL_POWER_SET to D0 CurrentDx D4\n"), std::string::npos);
    // The workers' wakes: a second of D4 or of the application's suspend
    // wakes nobody; while running the control thread's 10 ms poll alone
    // wakes it a hundred times a second.
    EXPECT_NE(
        result.err.find("wakes 52-53 s, powered down: group 0, interrupt 0, control 0, reader 0 (all 0; switches 0)"),
        std::string::npos)
        << result.err;
    EXPECT_NE(
        result.err.find("wakes 62-63 s, powered down: group 0, interrupt 0, control 0, reader 0 (all 0; switches 0)"),
        std::string::npos);
    const std::size_t summary = result.err.find("  powered down, ");
    ASSERT_NE(summary, std::string::npos);
    EXPECT_NE(result.err.find("all 0.0 (0.0)", summary), std::string::npos);
    EXPECT_NE(result.err.find("  running, "), std::string::npos);
}

TEST(ProgramTest, DirectReplayOfTheFranceLogShowsNameAndTmc)
{
    const auto log = sharedLogs() / "FE37-france-2018-01-02.spy";
    ASSERT_TRUE(std::filesystem::exists(log)) << "recorded logs not found at " << log;
    const ProgramResult plain = runProgram("replay --direct " + log.string());
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(linesStartingWith(plain.out, "$PLTCH,"), std::set<std::string>{"$PLTCH,\"LATINA  \"*70"});
    EXPECT_GT(linesStartingWith(plain.out, "$PLTTM,8,").size(), 10u);
    EXPECT_FALSE(linesStartingWith(plain.out, "$PLTTM,3,").empty());
    // What the replay found, after the lines (on standard error) or instead of them.
    const std::string summary =
        "groups read: 5490\nblocks lost: 231\nPIs confirmed: FE37\n"
        "names confirmed: \"LATINA  \"\n"
        "TMC service: location table 29, service id 58, not encrypted\n"
        "distinct TMC messages: 188\n";
    EXPECT_EQ(plain.err, summary);
    EXPECT_EQ(runProgram("replay --direct --summary " + log.string()).out, summary);
    // Read as a stream: a malformed line ends the replay there, naming it.
    const auto dir = scratchDirectory();
    const auto broken = writeFile(dir / "broken.spy", readFile(log) + "FE37 0408 E0CD\r\n");
    const ProgramResult cut = runProgram("replay --direct " + broken.string());
    EXPECT_EQ(cut.status, 2);
    EXPECT_EQ(cut.out, plain.out);
    EXPECT_NE(cut.err.find(broken.string() + ":5492: block D is missing"), std::string::npos) << cut.err;

    // The same lines, each stamped with its group's air time and followed by its rendering.
    const ProgramResult decoded = runProgram("replay --direct --timestamps --decode " + log.string());
    ASSERT_EQ(decoded.status, 0);
    const std::vector<std::string> lines = splitLines(decoded.out);
    std::vector<std::string> sentences;
    std::size_t tmcRenderings = 0, messageRenderings = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        static const std::regex stamped(R"(^(\d+)\.(\d{3}) (\$.*)$)");
        std::smatch match;
        if (!std::regex_match(lines[i], match, stamped)) {
            EXPECT_NE(lines[i].find("  = "), std::string::npos) << lines[i];
            tmcRenderings += lines[i].find("  = TMC ") != std::string::npos;
            messageRenderings += lines[i].find("  = TMC message: event ") != std::string::npos;
            continue;
        }
        sentences.push_back(match[3]);
        if (match[3].str() == "$PLTCH,\"LATINA  \"*70") {
            EXPECT_EQ(lines.at(i + 1).substr(lines[i + 1].find('=')), "= station name \"LATINA  \"");
        }
    }
    EXPECT_EQ(sentences, splitLines(plain.out));
    // Every TMC line (8A messages and 3A announcements) is rendered as TMC.
    std::size_t tmcLines = 0;
    for (const std::string& sentence : sentences) tmcLines += sentence.rfind("$PLTTM,", 0) == 0;
    EXPECT_EQ(tmcRenderings, tmcLines);
    EXPECT_GT(messageRenderings, 10u);
}

TEST(ProgramTest, ReplayOfANameWithLineBreakingBytesPrintsWholeLines)
{
    // A station name holding "*", CR, LF and "$", ten rounds of its four 0A groups.
    std::string log = "<recorder=\"RDS Spy\">\r\n";
    const char* const segments[] = {"2A41", "0D0A", "2442", "432A"};
    for (int i = 0; i < 40; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "FE37 040%d E0CD %s @2020/01/01 00:00:%02d.%02d\r\n", i % 4, segments[i % 4],
                      i * 9 / 100, i * 9 % 100);
        log += line;
    }
    const auto path = writeFile(scratchDirectory() / "name.spy", log);
    for (const char* mode : {"replay ", "replay --direct "}) {
        const ProgramResult result = runProgram(mode + path.string());
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(linesStartingWith(result.out, "$PLTCH,"), std::set<std::string>{"$PLTCH,\"*A  $BC*\"*0b"}) << mode;
        for (const std::string& line : splitLines(result.out)) {
            if (line.find('$') != std::string::npos) {
                EXPECT_TRUE(checksumValid(line)) << mode << line;
            }
        }
    }
}

TEST(ProgramTest, ReplayThroughTheDriverReachesTheDecodersStations)
{
    ASSERT_TRUE(std::filesystem::exists(sharedLogs())) << "recorded logs not found at " << sharedLogs();
    std::size_t logs = 0, france = 0;
    // The sentences of a timestamped run, and when the first one starting with `prefix` came.
    auto sentencesOf = [](const std::string& out, const std::string& prefix, double& firstAt) {
        std::string sentences;
        for (const StampedLine& line : stampedLines(out)) {
            sentences += line.sentence + "\n";
            if (firstAt == 0 && line.sentence.rfind(prefix, 0) == 0) firstAt = line.time;
        }
        return sentences;
    };
    for (const auto& entry : std::filesystem::directory_iterator(sharedLogs())) {
        const auto extension = entry.path().extension();
        if (extension != ".spy" && extension != ".rds") continue;
        ++logs;
        const ProgramResult direct = runProgram("replay --direct --timestamps " + entry.path().string());
        const ProgramResult full = runProgram("replay --timestamps " + entry.path().string());
        ASSERT_EQ(direct.status, 0) << direct.err;
        ASSERT_EQ(full.status, 0) << full.err;
        double firstTmcAt = 0, tunedAt = 0;
        const std::string directOut = sentencesOf(direct.out, "$PLTTM,", firstTmcAt);
        const std::string fullOut = sentencesOf(full.out, "$PLTTQ,9470,", tunedAt);
        const auto pis = linesStartingWith(directOut, "$PLTMT,");
        const auto names = linesStartingWith(directOut, "$PLTCH,");
        EXPECT_FALSE(pis.empty()) << entry.path();
        EXPECT_EQ(linesStartingWith(fullOut, "$PLTMT,"), pis) << entry.path();
        // The log goes out on air time from the start of the run: every group
        // that aired before the driver had loaded and tuned is lost, and the
        // summary counts them; a name sent only then is not heard.
        std::smatch summary;
        ASSERT_TRUE(
            std::regex_search(full.err, summary, std::regex(R"(groups lost while the receiver was busy: (\d+))")))
            << full.err;
        ASSERT_GT(tunedAt, 0.0) << entry.path();
        const auto slotsBeforeTuned = static_cast<unsigned long>(tunedAt / 0.0876);
        EXPECT_GE(std::stoul(summary[1]), slotsBeforeTuned) << entry.path();
        EXPECT_LE(std::stoul(summary[1]), slotsBeforeTuned + 2) << entry.path();
        const auto fullNames = linesStartingWith(fullOut, "$PLTCH,");
        EXPECT_FALSE(fullNames.empty()) << entry.path();
        EXPECT_TRUE(std::includes(names.begin(), names.end(), fullNames.begin(), fullNames.end())) << entry.path();
        // From ten seconds of air time on, the TMC groups come through the
        // chip, the capture and the decoder, all of them, in the same order.
        // Before, the lost groups and the decoder's reset at the first status
        // line on the new station make the two differ.
        auto tmcLines = [](const std::string& out) {
            std::vector<std::string> found;
            for (const std::string& line : splitLines(out))
                if (line.rfind("$PLTTM,", 0) == 0) found.push_back(line);
            return found;
        };
        std::size_t early = 0;
        for (const StampedLine& line : stampedLines(direct.out))
            early += line.time < 10.0 && line.sentence.rfind("$PLTTM,", 0) == 0;
        const auto directTmc = tmcLines(directOut), fullTmc = tmcLines(fullOut);
        std::size_t common = 0;
        while (common < directTmc.size() && common < fullTmc.size() &&
               directTmc[directTmc.size() - 1 - common] == fullTmc[fullTmc.size() - 1 - common])
            ++common;
        EXPECT_GE(common + early, directTmc.size()) << entry.path();
        EXPECT_GE(common + early, fullTmc.size()) << entry.path();
        // The American service names no location table: encrypted.
        EXPECT_EQ(direct.err.find(", encrypted\n") != std::string::npos,
                  entry.path().filename() == "5CBC-usa-2019-05-04.spy")
            << direct.err;
        if (entry.path().filename() == "FE37-france-2018-01-02.spy") {
            EXPECT_EQ(names, std::set<std::string>{"$PLTCH,\"LATINA  \"*70"});
            EXPECT_GT(linesStartingWith(fullOut, "$PLTTM,8,").size(), 10u);
            ++france;
        }
        // Through the driver the station is tuned and reported on a valid channel.
        static const std::regex tuned(R"(^\$PLTTQ,9470,[1-9]\d*,\d+,1,0\*[0-9a-f]{2}$)");
        const std::vector<std::string> lines = splitLines(fullOut);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return std::regex_match(line, tuned);
        })) << entry.path();
    }
    EXPECT_GE(logs, 5u);
    EXPECT_EQ(france, 1u);
}
