// Every recorded log beside the repository, played by a station the chip is
// tuned to and captured by the driver's two RDS threads: the PI and station
// name the broadcaster sent come out, and TMC messages only once repeated.
// The logs live outside the repository; the test is skipped without them.
#include "sim/band/BandFile.h"
#include "sim/band/BandSetup.h"
#include "sim/band/RdsLog.h"
#include "tests/rds/CaptureRig.h"
#include "tests/support/RecordedLogs.h"

#include <filesystem>
#include <map>
#include <set>

namespace capturetest {
namespace {

namespace fs = std::filesystem;

fs::path sharedLogs()
{
    return recordedLogs();
}

// The decoder drops a group only for a lost block B, C or D.
bool decodable(const sim::band::LoggedGroup& g)
{
    return !g.lost[1] && !g.lost[2] && !g.lost[3];
}

class LoggedStation : public CaptureRig, public ::testing::WithParamInterface<const char*> {
protected:
    // The sentences of one pass through the log.
    Lines play(const fs::path& log, std::size_t groups)
    {
        sim::installBand(kernel, world.band(), sim::band::logBand(log, 9470));
        bringUpWithInterrupt();
        gDriver.sentences.outputFilter.flags = kDefaultFilterFlags;
        gDriver.sentences.outputFilter.tmcMask = kDefaultFilterTmcMask;
        startGroupThread();
        startInterruptThread();
        Sleep(1);
        takeLines();
        Tune(9470);
        Lines lines;
        const auto passMs = static_cast<unsigned>(groups * 876 / 10);
        for (unsigned t = 0; t < passMs; t += 100) {
            Sleep(100);
            for (std::string& line : takeLines()) lines.push_back(std::move(line));
        }
        return lines;
    }
};

TEST_P(LoggedStation, GivesItsPiAndNameAndTmcOnlyAfterARepeat)
{
    const fs::path log = sharedLogs() / GetParam();
    ASSERT_TRUE(fs::exists(log)) << "recorded log not found at " << log;
    const sim::band::RdsLog recorded = sim::band::readRdsLog(log);
    const Lines lines = play(log, recorded.groups.size());
    {
        // What the log carries: its PI codes, the name segments per PI, and
        // the 8A messages that arrived at least twice within three copies.
        const auto filePi = static_cast<std::uint16_t>(std::stoul(log.filename().string().substr(0, 4), nullptr, 16));
        std::map<std::uint16_t, std::size_t> piCount;
        std::set<std::tuple<std::uint16_t, unsigned, std::uint16_t>> segments;  // PI, address, characters
        std::set<std::array<std::uint16_t, 3>> repeated;
        std::vector<std::array<std::uint16_t, 3>> lastTmc;
        std::size_t groups8A = 0;
        for (const auto& g : recorded.groups) {
            const auto& b = g.blocks;
            if (!g.lost[0]) ++piCount[b[0]];
            if (!g.lost[0] && decodable(g) && (b[1] >> 12) == 0) segments.insert({b[0], b[1] & 3u, b[3]});
            if (!decodable(g) || (b[1] & 0xF800) != 0x8000) continue;
            ++groups8A;
            const std::array<std::uint16_t, 3> m{b[1], b[2], b[3]};
            for (const auto& earlier : lastTmc)
                if (earlier == m) repeated.insert(m);
            lastTmc.insert(lastTmc.begin(), m);
            if (lastTmc.size() > 2) lastTmc.pop_back();
        }

        std::vector<std::uint16_t> pis;
        std::set<std::string> names;
        std::size_t tmcLines = 0;
        for (const std::string& line : lines) {
            unsigned top = 0, pi = 0, b = 0, c1 = 0, c2 = 0, d1 = 0, d2 = 0;
            char name[9] = {};
            if (std::sscanf(line.c_str(), "$PLTMT,%u,%u*", &top, &pi) == 2) {
                EXPECT_EQ(top, pi >> 12) << line;
                pis.push_back(static_cast<std::uint16_t>(pi));
            } else if (std::sscanf(line.c_str(), "$PLTCH,\"%8c\"*", name) == 1) {
                names.insert(name);
            } else if (std::sscanf(line.c_str(), "$PLTTM,8,%u,%u,%u,%u,%u*", &b, &c1, &c2, &d1, &d2) == 5) {
                ++tmcLines;
                bool found = false;
                for (const auto& m : repeated)
                    found = found || ((m[0] & 0xFF) == b && m[1] == (c1 << 8 | c2) && m[2] == (d1 << 8 | d2));
                EXPECT_TRUE(found) << line << " went out without a repeat in the log";
            }
        }
        ASSERT_FALSE(pis.empty());
        EXPECT_EQ(pis.front(), filePi);
        for (const std::uint16_t pi : pis) EXPECT_GE(piCount[pi], 3u) << "PI " << pi;
        ASSERT_FALSE(names.empty());
        for (const std::string& name : names) {
            ASSERT_EQ(name.size(), 8u);
            // Every pair of characters was broadcast at its place by a PI the
            // driver confirmed.
            for (unsigned address = 0; address < 4; ++address) {
                const auto pair = static_cast<std::uint16_t>(static_cast<unsigned char>(name[2 * address]) << 8 |
                                                             static_cast<unsigned char>(name[2 * address + 1]));
                bool sent = false;
                for (const std::uint16_t pi : pis) sent = sent || segments.count({pi, address, pair}) != 0;
                EXPECT_TRUE(sent) << "\"" << name << "\" segment " << address;
            }
        }
        if (filePi == 0xFE37) {
            EXPECT_EQ(names, std::set<std::string>{"LATINA  "});
        }
        if (groups8A > 0) {
            EXPECT_GT(tmcLines, 0u);
            EXPECT_LT(tmcLines, groups8A);
        } else {
            EXPECT_EQ(tmcLines, 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RecordedLogs, LoggedStation,
                         ::testing::Values("FE37-france-2018-01-02.spy", "5CBC-usa-2019-05-04.spy",
                                           "E203-sweden-2019-05-04.spy", "283C-czech-2020-08-21.spy",
                                           "A203-austria-2017-12-27.rds"),
                         [](const auto& info) { return std::string(info.param).substr(0, 4); });

}  // namespace
}  // namespace capturetest
