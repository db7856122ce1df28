// The recorded group log reader: both formats, lost blocks, and errors that
// name the file and the line.
#include "sim/band/RdsLog.h"
#include "tests/support/RecordedLogs.h"
#include "tests/tools/ProgramRunner.h"

#include <gtest/gtest.h>

using sim::band::parseRdsLog;
using Blocks = std::array<std::uint16_t, 4>;
using Lost = std::array<bool, 4>;

namespace {

std::string errorOf(std::string_view text)
{
    try {
        parseRdsLog(text, "bad.spy");
    } catch (const sim::band::RdsLogError& error) {
        return error.what();
    }
    return "no error";
}

}  // namespace

TEST(RdsLogTest, ReadsBothFormatsWithLostBlocks)
{
    const auto spy = parseRdsLog(
        "<recorder=\"RDS Spy\" date=\"2018-01-02\">\r\n"
        "FE37 2415 2020 2020 @2018/01/02 19:20:13.56\r\n"
        "\r\n"
        "5cbc ---- 18f1 08BB @2019/05/04 00:10:44.79\r\n",
        "x.spy");
    ASSERT_EQ(spy.groups.size(), 2u);
    EXPECT_EQ(spy.groups[0].blocks, (Blocks{0xFE37, 0x2415, 0x2020, 0x2020}));
    EXPECT_EQ(spy.groups[0].lost, (Lost{false, false, false, false}));
    EXPECT_EQ(spy.groups[1].blocks, (Blocks{0x5CBC, 0, 0x18F1, 0x08BB}));
    EXPECT_EQ(spy.groups[1].lost, (Lost{false, true, false, false}));
    EXPECT_EQ(spy.groups[1].line, 4u);

    const auto rds = parseRdsLog(
        "% RDS hexgroups\n% Freq 88500\nA203 8548 53F4 A827 @2017/12/27 18:22:00.339\n"
        "% Freq 88600\n---- ---- ---- ----",
        "x.rds");
    ASSERT_EQ(rds.groups.size(), 2u);
    EXPECT_EQ(rds.groups[0].blocks, (Blocks{0xA203, 0x8548, 0x53F4, 0xA827}));
    EXPECT_EQ(rds.groups[1].lost, (Lost{true, true, true, true}));
    EXPECT_EQ(rds.groups[1].line, 5u);
}

TEST(RdsLogTest, MalformedLinesAreRejectedNamingTheLine)
{
    EXPECT_EQ(errorOf("FE37 2415 2020\r\n"), "bad.spy:1: block D is missing (a group is four blocks A B C D)");
    EXPECT_EQ(errorOf("FE37 2415 2020 2020\nFE37 24G5 2020 2020\n"),
              "bad.spy:2: block B \"24G5\" is not four hexadecimal digits or \"----\"");
    EXPECT_EQ(errorOf("FE37 2415 2020 -- 2020\n"),
              "bad.spy:1: block D \"--\" is not four hexadecimal digits or \"----\"");
    EXPECT_EQ(errorOf("FE37 2415 2020 2020 2020\n"),
              "bad.spy:1: unexpected \"2020\" after block D (only a time stamp \"@...\" may follow)");
    EXPECT_EQ(errorOf("\n\nFE37 2415 2020 2020\n<recorder>\n"),
              "bad.spy:4: a \"<...>\" header is allowed only on the first line");
    EXPECT_THROW(sim::band::readRdsLog("/nonexistent/none.spy"), sim::band::RdsLogError);

    // The file reader parses the common line in one pass over its buffer; it
    // reads what the line parser reads, across buffer refills (256 KiB), and
    // a bad line is reported alike, with its line number.
    const std::string shapes =
        "FE37 2415 2020 2020 @2018/01/02 19:20:13.56\r\n"
        "\t5cbc ---- 18f1\t08BB\n"
        "% Freq 88600\n"
        "\n"
        "   \r\n"
        "A203  8548 53F4 A827   @x y\n"
        "---- ---- ---- ----\r\n"
        "a203 8548 53f4 a827\n";
    std::string text = "<recorder=\"RDS Spy\">\n";
    while (text.size() < 700'000) text += shapes;
    const auto dir = corvane_test::scratchDirectory();
    for (const std::string& tail : {std::string(), std::string("FE37 2415 2020 2020"),
                                    std::string("FE37 2415 2020 2020\r"), std::string("FE37 2415 2020\n"),
                                    std::string("FE37 2415 2020 2020 x\n"), std::string("FE37 24G5 2020 2020\n")}) {
        const auto path = corvane_test::writeFile(dir / "long.spy", text + tail);
        std::string expected = "no error", got = "no error";
        sim::band::RdsLog parsed, read;
        try {
            parsed = parseRdsLog(text + tail, path.string());
        } catch (const sim::band::RdsLogError& error) {
            expected = error.what();
        }
        try {
            read = sim::band::readRdsLog(path);
        } catch (const sim::band::RdsLogError& error) {
            got = error.what();
        }
        EXPECT_EQ(got, expected) << tail;
        ASSERT_EQ(read.groups.size(), parsed.groups.size()) << tail;
        for (std::size_t i = 0; i < read.groups.size(); ++i) {
            ASSERT_EQ(read.groups[i].blocks, parsed.groups[i].blocks) << i;
            ASSERT_EQ(read.groups[i].lost, parsed.groups[i].lost) << i;
            ASSERT_EQ(read.groups[i].line, parsed.groups[i].line) << i;
        }
    }
}

TEST(RdsLogTest, ReadsEveryRecordedLog)
{
    const auto logs = recordedLogs();
    ASSERT_TRUE(std::filesystem::exists(logs)) << "recorded logs not found at " << logs;
    const std::pair<const char*, std::size_t> expected[] = {
        {"FE37-france-2018-01-02.spy", 5490},   {"5CBC-usa-2019-05-04.spy", 1236},
        {"E203-sweden-2019-05-04.spy", 5425},   {"283C-czech-2020-08-21.spy", 1157},
        {"A203-austria-2017-12-27.rds", 18848},
    };
    for (const auto& [name, groups] : expected)
        EXPECT_EQ(sim::band::readRdsLog(logs / name).groups.size(), groups) << name;
}
