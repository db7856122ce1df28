// The recorded group log reader: both formats, lost blocks, and errors that
// name the file and the line.
#include "sim/band/RdsLog.h"

#include <gtest/gtest.h>

#include <filesystem>

using sim::band::parseRdsLog;
using sim::band::RdsLogError;

namespace {

std::string errorOf(std::string_view text)
{
    try {
        parseRdsLog(text, "bad.spy");
    } catch (const RdsLogError& error) {
        return error.what();
    }
    return "no error";
}

}  // namespace

TEST(RdsLogTest, ReadsSpyLinesWithLostBlocks)
{
    const auto log = parseRdsLog("<recorder=\"RDS Spy\" date=\"2018-01-02\">\r\n"
                                 "FE37 2415 2020 2020 @2018/01/02 19:20:13.56\r\n"
                                 "\r\n"
                                 "5cbc ---- 18f1 08BB @2019/05/04 00:10:44.79\r\n"
                                 "---- ---- ---- ----\r\n",
                                 "x.spy");
    ASSERT_EQ(log.groups.size(), 3u);
    EXPECT_EQ(log.groups[0].blocks, (std::array<std::uint16_t, 4>{0xFE37, 0x2415, 0x2020, 0x2020}));
    EXPECT_EQ(log.groups[0].lost, (std::array<bool, 4>{false, false, false, false}));
    EXPECT_EQ(log.groups[0].line, 2u);
    EXPECT_EQ(log.groups[1].blocks, (std::array<std::uint16_t, 4>{0x5CBC, 0, 0x18F1, 0x08BB}));
    EXPECT_EQ(log.groups[1].lost, (std::array<bool, 4>{false, true, false, false}));
    EXPECT_EQ(log.groups[1].line, 4u);
    EXPECT_EQ(log.groups[2].lost, (std::array<bool, 4>{true, true, true, true}));
}

TEST(RdsLogTest, ReadsSurveyorLinesWithComments)
{
    const auto log = parseRdsLog("% RDS hexgroups\n"
                                 "% Freq 88500, date=2017/12/27 18:22:00.235\n"
                                 "A203 8548 53F4 A827 @2017/12/27 18:22:00.339\n"
                                 "% Freq 88600\n"
                                 "A203 2559 7420 6A65",
                                 "x.rds");
    ASSERT_EQ(log.groups.size(), 2u);
    EXPECT_EQ(log.groups[0].blocks[3], 0xA827);
    EXPECT_EQ(log.groups[1].blocks[1], 0x2559);
    EXPECT_EQ(log.groups[1].line, 5u);
}

TEST(RdsLogTest, MalformedLinesAreRejectedNamingTheLine)
{
    EXPECT_EQ(errorOf("FE37 2415 2020\r\n"), "bad.spy:1: block D is missing (a group is four blocks A B C D)");
    EXPECT_EQ(errorOf("FE37 2415 2020 2020\nFE37 24G5 2020 2020\n"),
              "bad.spy:2: block B \"24G5\" is not four hexadecimal digits or \"----\"");
    EXPECT_EQ(errorOf("FE37 2415 202 2020\n"), "bad.spy:1: block C \"202\" is not four hexadecimal digits or \"----\"");
    EXPECT_EQ(errorOf("FE37 2415 2020 20200\n"),
              "bad.spy:1: block D \"20200\" is not four hexadecimal digits or \"----\"");
    EXPECT_EQ(errorOf("FE37 2415 2020 -- 2020\n"),
              "bad.spy:1: block D \"--\" is not four hexadecimal digits or \"----\"");
    EXPECT_EQ(errorOf("FE37 2415 2020 2020 2020\n"),
              "bad.spy:1: unexpected \"2020\" after block D (only a time stamp \"@...\" may follow)");
    EXPECT_EQ(errorOf("\n\nFE37 2415 2020 2020\n<recorder>\n"),
              "bad.spy:4: a \"<...>\" header is allowed only on the first line");

    try {
        sim::band::readRdsLog("/nonexistent/none.spy");
        ADD_FAILURE() << "no error for a missing file";
    } catch (const RdsLogError& error) {
        EXPECT_EQ(std::string(error.what()), "/nonexistent/none.spy:0: cannot open the log");
    }
}

TEST(RdsLogTest, ReadsEveryRecordedLog)
{
    const auto logs = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path() /
                      "shared" / "rds";
    if (!std::filesystem::exists(logs))
        GTEST_SKIP() << "recorded logs not found at " << logs;
    const std::pair<const char*, std::size_t> expected[] = {
        {"FE37-france-2018-01-02.spy", 5490}, {"5CBC-usa-2019-05-04.spy", 1236},
        {"E203-sweden-2019-05-04.spy", 5425}, {"283C-czech-2020-08-21.spy", 1157},
        {"A203-austria-2017-12-27.rds", 18848},
    };
    for (const auto& [name, groups] : expected) {
        const auto log = sim::band::readRdsLog(logs / name);
        EXPECT_EQ(log.groups.size(), groups) << name;
    }
    // About 1 % of the France log's blocks were lost.
    std::size_t lost = 0;
    for (const auto& group : sim::band::readRdsLog(logs / "FE37-france-2018-01-02.spy").groups)
        for (bool blockLost : group.lost)
            lost += blockLost ? 1 : 0;
    EXPECT_GT(lost, 100u);
    EXPECT_LT(lost, 5490u * 4 / 50);
}
