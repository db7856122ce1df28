// Sentence framing, the output filter and the catalogue sentences built from
// driver fields. Checksums were worked out by hand (XOR of the bytes between
// "$" and "*").
#include "tests/channel/OutputLines.h"

using namespace corvane_test;

class SentenceTest : public ::testing::Test {
protected:
    sim::Kernel kernel;
    harness::LoadedContext driver;
};

TEST_F(SentenceTest, FramingAddsTwoDigitLowercaseChecksumAndLineEnd)
{
    emitSentence("$GPBLER,A 0,B 0,C 0,D 0");
    // Every byte after the leading "$" counts, "*", "$" and "," of a name too.
    emitSentence("$PLTCH,\"A*B$C,D \"");
    EXPECT_EQ(takeOutput(), "$GPBLER,A 0,B 0,C 0,D 0*0a\r\n$PLTCH,\"A*B$C,D \"*69\r\n");

    // The longest line fills the buffer; a longer text is cut, never overflows.
    emitVersion();
    EXPECT_EQ(takeOutput(), "$PLTV,\"A4 V1.0.0.51 HS2 (c) Corvane RDS-TMC receiver\"*28\r\n");
    const std::string tooLong = "$" + std::string(200, 'X');
    emitSentence(tooLong.c_str());
    EXPECT_EQ(takeOutput(), tooLong.substr(0, kSentenceTextMax) + "*00\r\n");
    // So is a sentence formatted straight into its line.
    const std::int32_t wide[] = {-2147483647 - 1, -2147483647 - 1, -2147483647 - 1, -2147483647 - 1, -2147483647 - 1};
    emitFields("$XXXXXX,%d,%d,%d,%d,%d", wide, 5);
    const std::string cut =
        std::string("$XXXXXX,-2147483648,-2147483648,-2147483648,-2147483648,-2147483648").substr(0, kSentenceTextMax);
    char sum[3];
    std::snprintf(sum, sizeof sum, "%02x", sentenceChecksum(cut.c_str()));
    EXPECT_EQ(takeOutput(), cut + "*" + sum + "\r\n");
}

TEST_F(SentenceTest, CommandAnswersBeforeAndAfterTheDefaults)
{
    emitFilterFlags();
    emitFilterMasks();
    EXPECT_FALSE(outputFilterAllows(kFilterTmcGroup));
    storeDefaultOutputFilter();
    emitFilterFlags();
    emitFilterMasks();
    emitConfigCode(0x7000);
    emitTuningStarted(9470);
    EXPECT_EQ(takeLines(), (Lines{"$PLTTS,1,0*4e", "$PLTFD,0,0,0*56", "$PLTTS,1,503*48", "$PLTFD,264,282,0*5e",
                                  "$PLTCF,7000*66", "$PLTTQ,9470,2,0,0,6*6f"}));
    EXPECT_TRUE(outputFilterAllows(kFilterTmcGroup | kFilterStationName | kFilterProgrammeIdentity));
    EXPECT_FALSE(outputFilterAllows(kFilterDebug));
    EXPECT_FALSE(outputFilterAllows(kFilterAlternativeFrequency));
}

TEST_F(SentenceTest, GatedSentencesFollowTheirFlag)
{
    OutputFilter& filter = gDriver.sentences.outputFilter;
    gDriver.rds.decoder.confirmedPi.store(0xD3A1);
    filter.flags.store(static_cast<std::uint16_t>(~(kFilterTmcGroup | kFilterProgrammeIdentity)));
    emitTmcGroup(0x8005, 0x6276, 0x4834);
    emitProgrammeIdentity();
    EXPECT_EQ(takeOutput(), "");

    filter.flags.store(kFilterTmcGroup | kFilterProgrammeIdentity);
    emitTmcGroup(0x8005, 0x6276, 0x4834);
    emitProgrammeIdentity();
    gDriver.rds.decoder.confirmedPi.store(0);
    emitProgrammeIdentity();  // no confirmed PI: nothing
    EXPECT_EQ(takeLines(), (Lines{"$PLTTM,8,5,98,118,72,52*67", "$PLTMT,13,54177*63"}));
}

TEST_F(SentenceTest, DebugCountersClearTheGroupCountOnlyWhenSent)
{
    RdsState& rds = gDriver.rds;
    rds.decodedGroupCount.store(3);
    rds.rdsSeen.store(1);
    rds.interruptCount.store(7);
    storeDefaultOutputFilter();  // debug bit clear
    emitDebugCounters();
    EXPECT_EQ(takeOutput(), "");
    EXPECT_EQ(rds.decodedGroupCount.load(), 3);

    gDriver.sentences.outputFilter.flags.store(kDefaultFilterFlags | kFilterDebug);
    emitDebugCounters();
    EXPECT_EQ(rds.decodedGroupCount.load(), 0);
    rds.decodedGroupCount.store(255);  // the widest values still fit
    rds.tmcSeen.store(1);
    rds.interruptCount.store(65535);
    emitDebugCounters();
    EXPECT_EQ(takeLines(), (Lines{"$GPDBG,ISR,3,bank 0, M0, S0, RDS1, TMC0,7*0c",
                                  "$GPDBG,ISR,255,bank 0, M0, S0, RDS1, TMC1,65535*0b"}));
}
