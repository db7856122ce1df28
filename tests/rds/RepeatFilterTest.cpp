// Groups 8A and 3A through the repeat filter, the TMC counting and the raw
// group sentences selected by the masks.
#include "tests/rds/DecoderTestSupport.h"

using namespace corvane_test;

namespace {

// Single-group TMC messages (8A, F bit set): B, C, D.
constexpr RdsGroup tmc(std::uint16_t c, std::uint16_t d)
{
    return makeGroup(kStationPi, 0x8408, c, d);
}
constexpr RdsGroup oda(std::uint16_t c, std::uint16_t aid)
{
    return makeGroup(kStationPi, 0x3410, c, aid);
}

}  // namespace

class RepeatFilterTest : public DecoderTest {
protected:
    void SetUp() override
    {
        DecoderTest::SetUp();
        setFlags(kDefaultFilterFlags & ~kFilterProgrammeIdentity);  // no PI lines in between
        confirmStation(kStationPi);
    }
};

TEST_F(RepeatFilterTest, TmcMessageIsPassedOnceAtItsSecondCopy)
{
    const RdsGroup m1 = tmc(0x6276, 0x4834);
    const RdsGroup m2 = tmc(0x6277, 0x4834);
    EXPECT_EQ(decode(m1), Lines{});
    EXPECT_EQ(decode(m1), (Lines{"$PLTTM,8,8,98,118,72,52*6a", "$PLTTR,0,65079,33800,25206,18484*55"}));
    EXPECT_EQ(decode(m1), Lines{});
    EXPECT_EQ(decode(m2), Lines{});
    EXPECT_EQ(decode(m2), (Lines{"$PLTTM,8,8,98,119,72,52*6b", "$PLTTR,0,65079,33800,25207,18484*54"}));
    EXPECT_EQ(gDriver.rds.tmcSeen.load(), 1);
    EXPECT_EQ(gDriver.rds.tmcQuality.load(), 10);

    // M3, X, M3: the third group agrees with the first.
    const RdsGroup m3 = tmc(0x0101, 0x0202);
    const RdsGroup x = tmc(0x0303, 0x0404);
    EXPECT_EQ(decodeAll({m3, x}), Lines{});
    EXPECT_EQ(decode(m3), (Lines{"$PLTTM,8,8,1,1,2,2*51", "$PLTTR,0,65079,33800,257,514*57"}));
    // Further copies of the message just passed are suppressed; once another
    // message has passed, the first one passes again.
    EXPECT_EQ(decodeAll({m3, m3}), Lines{});
    EXPECT_EQ(decodeAll({x, x}), (Lines{"$PLTTM,8,8,3,3,4,4*51", "$PLTTR,0,65079,33800,771,1028*6d"}));
    EXPECT_EQ(decodeAll({m3, m3}), (Lines{"$PLTTM,8,8,1,1,2,2*51", "$PLTTR,0,65079,33800,257,514*57"}));
}

TEST_F(RepeatFilterTest, PassedTmcGroupCarriesTheAgreedCopyAndTheConfirmedPi)
{
    // Two copies agree on B, C, D; their block A is the confirmed PI whatever
    // was received.
    EXPECT_EQ(decode(makeGroup(0x0000, 0x8408, 0x1111, 0x2222)), Lines{});
    EXPECT_EQ(decode(makeGroup(0x9999, 0x8408, 0x1111, 0x2222)),
              (Lines{"$PLTTM,8,8,17,17,34,34*51", "$PLTTR,0,65079,33800,4369,8738*5b"}));
}

TEST_F(RepeatFilterTest, TmcGroupsCountWithoutTheirSentence)
{
    setFlags(kDefaultFilterFlags & ~(kFilterProgrammeIdentity | kFilterTmcGroup));
    gDriver.rds.tmcQuality.store(90);
    EXPECT_EQ(decodeAll({tmc(1, 1), tmc(1, 1)}), Lines{"$PLTTR,0,65079,33800,1,1*57"});
    EXPECT_EQ(gDriver.rds.tmcQuality.load(), 95);
    EXPECT_EQ(gDriver.rds.tmcSeen.load(), 1);
    decodeAll({tmc(2, 2), tmc(2, 2), tmc(3, 3), tmc(3, 3)});
    EXPECT_EQ(gDriver.rds.tmcQuality.load(), 100);

    // A rejected copy counts nothing.
    gDriver.rds.tmcSeen.store(0);
    decode(tmc(3, 3));
    EXPECT_EQ(gDriver.rds.tmcSeen.load(), 0);
    EXPECT_EQ(gDriver.rds.tmcQuality.load(), 100);
}

TEST_F(RepeatFilterTest, OpenDataGroupsPassOnEveryAgreeingCopyOfAKnownApplication)
{
    // One copy alone never passes: the empty history holds no copies.
    EXPECT_EQ(decode(oda(0x0746, 0xCD46)), Lines{});
    EXPECT_EQ(gDriver.rds.tmcSeen.load(), 0);
    const Lines passed{"$PLTTM,3,16,7,70,205,70*65", "$PLTTR,0,65079,13328,1862,52550*6e"};
    EXPECT_EQ(decode(oda(0x0746, 0xCD46)), passed);
    EXPECT_EQ(decode(oda(0x0746, 0xCD46)), passed);
    EXPECT_EQ(gDriver.rds.tmcQuality.load(), 10);

    // Other applications are dropped before the history: the next known group
    // still sees the two earlier copies and passes on the agreed one.
    EXPECT_EQ(decodeAll({oda(0x0746, 0xCD47), oda(0x0746, 0x1234), oda(0x0746, 0xCD47)}), Lines{});
    EXPECT_EQ(decode(oda(0x0000, 0x4B02)), passed);
    EXPECT_EQ(decode(oda(0x0000, 0x0D45)), Lines{});  // history: new, 4B02, CD46
    EXPECT_EQ(decode(oda(0x0000, 0x4B02)), (Lines{"$PLTTM,3,16,0,0,75,2*55", "$PLTTR,0,65079,13328,0,19202*5c"}));

    // Each known application passes on copies of its own.
    for (const std::uint16_t aid : {0xCD46, 0x0D45, 0x4B02}) {
        decodeAll({oda(0x0001, aid), oda(0x0001, aid)});
        const Lines lines = decode(oda(0x0001, aid));
        ASSERT_EQ(lines.size(), 2u) << aid;
        EXPECT_NE(lines[1].find(",1," + std::to_string(aid) + "*"), std::string::npos) << lines[1];
    }
}

TEST_F(RepeatFilterTest, RawGroupsFollowTheMasks)
{
    // Defaults: 1A, 3A, 4A and 8A raw; no version B.
    EXPECT_EQ(decode(makeGroup(kStationPi, 0x1400, 1, 2)), Lines{"$PLTTR,0,65079,5120,1,2*6a"});
    EXPECT_EQ(decode(makeGroup(kStationPi, 0x4401, 3, 4)), Lines{"$PLTTR,0,65079,17409,3,4*53"});
    EXPECT_EQ(decode(makeGroup(kStationPi, 0x2400, 5, 6)), Lines{});
    EXPECT_EQ(decode(makeGroup(kStationPi, 0x1C00, 5, 6)), Lines{});  // 1B
    EXPECT_EQ(decode(makeGroup(kStationPi, 0x8C00, 5, 6)), Lines{});  // 8B

    // Version B by maskB, not filtered and not TMC; 0A by maskA bit 0.
    gDriver.sentences.outputFilter.maskB.store(0x0102);
    gDriver.sentences.outputFilter.maskA.store(0x0001);
    EXPECT_EQ(decode(makeGroup(kStationPi, 0x8C00, 5, 6)), Lines{"$PLTTR,0,65079,35840,5,6*56"});
    EXPECT_EQ(decode(makeGroup(kStationPi, 0x8C00, 5, 6)), Lines{"$PLTTR,0,65079,35840,5,6*56"});
    EXPECT_EQ(decode(makeGroup(kStationPi, 0x1C00, 5, 6)), Lines{"$PLTTR,0,65079,7168,5,6*64"});
    EXPECT_EQ(decode(makeGroup(kStationPi, 0x0400, 0x0000, 0x2020)), Lines{"$PLTTR,0,65079,1024,0,8224*54"});
    EXPECT_EQ(gDriver.rds.tmcSeen.load(), 0);

    // A type in tmcMask but not in maskA: TMC sentence only.
    gDriver.sentences.outputFilter.maskA.store(0);
    EXPECT_EQ(decodeAll({tmc(9, 9), tmc(9, 9)}), Lines{"$PLTTM,8,8,0,9,0,9*51"});
}
