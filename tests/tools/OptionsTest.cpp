// The command line: defaults that depend on each other, and refusals.
#include "tools/Options.h"

#include <gtest/gtest.h>

using namespace corvane;

namespace {

Options parse(std::initializer_list<const char*> arguments)
{
    return parseOptions(std::vector<std::string>(arguments.begin(), arguments.end()));
}

std::string refusal(std::initializer_list<const char*> arguments)
{
    try {
        parse(arguments);
    } catch (const UsageError& error) {
        return error.what();
    }
    return "accepted";
}

}  // namespace

TEST(OptionsTest, SpeedFollowsDurationAndTerminal)
{
    // With an end and nobody on the line: as fast as possible.
    Options o = parse({"run", "--duration", "600"});
    EXPECT_EQ(o.mode, Mode::Run);
    EXPECT_EQ(o.durationMs, 600'000u);
    EXPECT_FALSE(o.speed.has_value());
    EXPECT_EQ(o.seed, 1u);
    // Without an end, or with a serial program: wall-clock pace.
    EXPECT_EQ(parse({"run"}).speed, 1.0);
    EXPECT_EQ(parse({"run", "--duration", "60", "--pty", "/tmp/x"}).speed, 1.0);
    EXPECT_EQ(parse({"run", "--duration", "60", "--speed", "2.5"}).speed, 2.5);
    EXPECT_FALSE(parse({"run", "--speed", "max"}).speed.has_value());

    o = parse({"replay", "--direct", "--timestamps", "--decode", "--seed", "42", "log.spy"});
    EXPECT_EQ(o.mode, Mode::Replay);
    EXPECT_TRUE(o.direct && o.timestamps && o.decode);
    EXPECT_EQ(o.seed, 42u);
    EXPECT_EQ(o.logFile, "log.spy");
    EXPECT_EQ(parse({"run", "--band", "b.json", "--help"}).mode, Mode::Help);
    // A command's --help is that command's usage only; --help alone all of them.
    EXPECT_EQ(parse({"soak", "--seeds", "1-3", "--help"}).helpFor, "soak");
    EXPECT_EQ(parse({"--help"}).helpFor, "");
    const std::string soakHelp = usageText("soak"), runHelp = usageText("run"), replayHelp = usageText("replay");
    EXPECT_EQ(soakHelp.rfind("usage: corvane soak", 0), 0u);
    EXPECT_NE(soakHelp.find("--seed-limit"), std::string::npos);
    EXPECT_EQ(soakHelp.find("--pty"), std::string::npos);
    EXPECT_NE(runHelp.find("--pty"), std::string::npos);
    EXPECT_EQ(runHelp.find("--seeds"), std::string::npos);
    EXPECT_NE(replayHelp.find("--direct"), std::string::npos);
    EXPECT_EQ(replayHelp.find("--duration"), std::string::npos);
    for (const char* option : {"--pty", "--seed-limit", "--direct"})
        EXPECT_NE(usageText("").find(option), std::string::npos) << "the whole manual has " << option;
    EXPECT_EQ(parse({"soak", "--seeds", "1-2", "--seed-limit", "0.5"}).seedLimitSeconds, 0.5);
    EXPECT_EQ(parse({"--version"}).mode, Mode::Version);

    // A value after '=', the last of repeated options, the scheduling mode.
    o = parse({"run", "--seed=7", "--duration=1.5", "--seed", "8", "--schedule=pct"});
    EXPECT_EQ(o.seed, 8u);
    EXPECT_EQ(o.durationMs, 1500u);
    EXPECT_EQ(o.schedule, "pct");
    EXPECT_EQ(parse({"soak"}).schedule, "");  // the seed draws random or pct
    EXPECT_TRUE(parse({"soak", "--debug"}).debug);
}

TEST(OptionsTest, SecondsHaveAtMostThreeDecimals)
{
    EXPECT_EQ(parseSeconds("0", 10), 0u);
    EXPECT_EQ(parseSeconds("2.5", 10), 2500u);
    EXPECT_EQ(parseSeconds("0.020", 10), 20u);
    EXPECT_EQ(parseSeconds("10", 10), 10'000u);
    for (const char* bad : {"", ".5", "5.", "1.2345", "10.001", "11", "1e3", "-1", "+1", "1,5", " 1"})
        EXPECT_FALSE(parseSeconds(bad, 10).has_value()) << bad;
}

TEST(OptionsTest, RefusesWhatItCannotDo)
{
    EXPECT_NE(refusal({"run", "--verbose"}).find("unknown option --verbose"), std::string::npos);
    EXPECT_NE(refusal({"run", "--band"}).find("--band needs a value"), std::string::npos);
    EXPECT_NE(refusal({"run", "--speed", "0"}).find("--speed"), std::string::npos);
    EXPECT_NE(refusal({"run", "--pty", "/tmp/x", "--speed", "max"}).find("--pty"), std::string::npos);
    EXPECT_NE(refusal({"replay", "--band", "b.json", "a.spy"}).find("belongs to run"), std::string::npos);
    EXPECT_NE(refusal({"replay", "a.spy", "b.spy"}).find("one log"), std::string::npos);
    EXPECT_EQ(refusal({"soak", "--schedule", "fifo"}), "--schedule needs cooperative, random or pct, not \"fifo\"");
    EXPECT_EQ(refusal({"replay", "--schedule=pct", "a.spy"}), "unknown option --schedule for replay");
    EXPECT_EQ(refusal({"run", "--band="}), "--band needs a value");
    EXPECT_EQ(refusal({"run", "--plot", "x.png"}), "--plot draws SVG: the file name must end in .svg, not \"x.png\"");
    EXPECT_EQ(refusal({"soak", "--plot", "svg"}), "--plot draws SVG: the file name must end in .svg, not \"svg\"");
    EXPECT_EQ(parse({"run", "--plot", "RUN.SVG"}).plotFile, "RUN.SVG");
    // What a message quotes reaches a terminal escaped.
    EXPECT_EQ(escapedText("a\x1b[2J\x7f\xc3\xa9\n\\z"), "a\\x1B[2J\\x7F\\xC3\\xA9\\x0A\\z");
}
