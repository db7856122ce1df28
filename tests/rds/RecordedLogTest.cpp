// A real recording through the decoder: the FE37 log (France, "LATINA", TMC
// on 8A announced in 3A). The logs live beside the repository, never in it;
// the test is skipped when they are absent.
#include "sim/band/RdsLog.h"
#include "tests/rds/DecoderTestSupport.h"
#include "tests/support/RecordedLogs.h"

#include <filesystem>

using namespace corvane_test;

TEST_F(DecoderTest, RecordedFranceLogYieldsNamePiAndFilteredTmc)
{
    const auto path = recordedLogs() / "FE37-france-2018-01-02.spy";
    ASSERT_TRUE(std::filesystem::exists(path)) << "recorded log not found at " << path;

    std::size_t groups8A = 0;
    Lines names, pis, tmc8A, tmc3A, raw;
    for (const sim::band::LoggedGroup& logged : sim::band::readRdsLog(path).groups) {
        auto errors = [&](std::size_t i) { return logged.lost[i] ? kBlockUncorrectable : 0u; };
        const RdsGroup group = makeGroup(logged.blocks[0], logged.blocks[1], logged.blocks[2], logged.blocks[3],
                                         makeGroupStatus(errors(0), errors(1), errors(2), errors(3)));
        groups8A += (group.B & 0xF800) == 0x8000 ? 1 : 0;
        for (const std::string& line : decode(group)) {
            Lines* kind = line.rfind("$PLTCH,", 0) == 0     ? &names
                          : line.rfind("$PLTMT,", 0) == 0   ? &pis
                          : line.rfind("$PLTTM,8,", 0) == 0 ? &tmc8A
                          : line.rfind("$PLTTM,3,", 0) == 0 ? &tmc3A
                          : line.rfind("$PLTTR,", 0) == 0   ? &raw
                                                            : nullptr;
            ASSERT_NE(kind, nullptr) << "unexpected line " << line << " (log line " << logged.line << ")";
            kind->push_back(line);
        }
    }

    EXPECT_EQ(names, Lines{"$PLTCH,\"LATINA  \"*70"});
    ASSERT_FALSE(pis.empty());
    EXPECT_EQ(pis.front(), "$PLTMT,15,65079*68");
    EXPECT_EQ(gDriver.rds.tmcSeen.load(), 1);
    EXPECT_EQ(gDriver.rds.tmcQuality.load(), 100);

    // Repeats are filtered: fewer 8A lines than half the 8A groups, and never
    // the same message twice in a row.
    ASSERT_GT(tmc8A.size(), 10u);
    EXPECT_LT(tmc8A.size(), groups8A / 2);
    for (std::size_t i = 1; i < tmc8A.size(); ++i) EXPECT_NE(tmc8A[i], tmc8A[i - 1]);
    EXPECT_FALSE(tmc3A.empty());
    // Every accepted TMC group also went out raw, stamped with the PI.
    EXPECT_GE(raw.size(), tmc8A.size() + tmc3A.size());
    for (const std::string& line : raw) EXPECT_EQ(line.rfind("$PLTTR,0,65079,", 0), 0u) << line;
}
