// A real recording through the decoder: the FE37 log (France, "LATINA",
// TMC on 8A announced in 3A). The logs live outside the repository, beside
// it; the test is skipped when they are absent.
#include "sim/band/RdsLog.h"
#include "tests/rds/DecoderTestSupport.h"

#include <filesystem>
#include <map>

using namespace corvane_test;

namespace {

std::filesystem::path recordedLogs()
{
    // tests/rds/ -> project root -> ../shared/rds
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path() / "shared" / "rds";
}

RdsGroup fromLog(const sim::band::LoggedGroup& logged)
{
    auto errors = [&](std::size_t i) { return logged.lost[i] ? kBlockUncorrectable : 0u; };
    return makeGroup(logged.blocks[0], logged.blocks[1], logged.blocks[2], logged.blocks[3],
                     makeGroupStatus(errors(0), errors(1), errors(2), errors(3)));
}

bool checksumValid(const std::string& line)
{
    const std::size_t star = line.rfind('*');
    if (line.empty() || line[0] != '$' || star == std::string::npos || star + 3 != line.size())
        return false;
    unsigned sum = 0;
    for (std::size_t i = 1; i < star; ++i)
        sum ^= static_cast<unsigned char>(line[i]);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", sum);
    return line.compare(star + 1, 2, digits) == 0;
}

std::string address(const std::string& line) { return line.substr(0, line.find(',')); }

}  // namespace

TEST_F(DecoderTest, RecordedFranceLogYieldsNamePiAndFilteredTmc)
{
    const std::filesystem::path path = recordedLogs() / "FE37-france-2018-01-02.spy";
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "recorded logs not found at " << path;
    const sim::band::RdsLog log = sim::band::readRdsLog(path);
    ASSERT_EQ(log.groups.size(), 5490u);

    std::size_t tmcGroupsOffered = 0;
    std::map<std::string, std::size_t> count;
    Lines names;
    Lines tmcLines;
    for (const sim::band::LoggedGroup& logged : log.groups) {
        const RdsGroup group = fromLog(logged);
        if (!logged.lost[1] && (group.B & 0xF800) == 0x8000)
            ++tmcGroupsOffered;
        for (const std::string& line : decode(group)) {
            ASSERT_TRUE(checksumValid(line)) << line << " (log line " << logged.line << ")";
            ++count[address(line)];
            if (address(line) == "$PLTCH")
                names.push_back(line);
            if (address(line) == "$PLTTM")
                tmcLines.push_back(line);
            if (address(line) == "$PLTTR") {
                EXPECT_EQ(line.rfind("$PLTTR,0,65079,", 0), 0u) << line;
            }
        }
    }

    EXPECT_EQ(gDriver.rds.decoder.confirmedPi.load(), 0xFE37u);
    EXPECT_EQ(names, Lines{"$PLTCH,\"LATINA  \"*70"});
    EXPECT_GT(count["$PLTMT"], 0u);
    EXPECT_EQ(count["$PXRAF"], 0u);  // not enabled by default
    EXPECT_EQ(gDriver.rds.tmcSeen.load(), 1);
    EXPECT_EQ(gDriver.rds.tmcQuality.load(), 100);

    // TMC: 8A and 3A only; repeats filtered, so fewer 8A lines than 8A groups
    // and never the same 8A message twice in a row.
    ASSERT_GT(tmcLines.size(), 10u);
    std::size_t tmcMessages = 0;
    std::string previous8A;
    for (const std::string& line : tmcLines) {
        ASSERT_TRUE(line.rfind("$PLTTM,8,", 0) == 0 || line.rfind("$PLTTM,3,", 0) == 0) << line;
        if (line.rfind("$PLTTM,8,", 0) == 0) {
            EXPECT_NE(line, previous8A);
            previous8A = line;
            ++tmcMessages;
        }
    }
    EXPECT_GT(tmcMessages, 0u);
    EXPECT_LT(tmcMessages, tmcGroupsOffered / 2 + 1);
    // Every accepted TMC group also went out raw (8A and 3A are in maskA).
    EXPECT_GT(count["$PLTTR"], tmcLines.size());
}
