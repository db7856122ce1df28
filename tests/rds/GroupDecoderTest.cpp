// The group decoder on hand-made groups: block errors, PI confirmation and
// stamping, station name assembly and confidence, alternative frequencies
// and the periodic PI sentence.
#include "tests/rds/DecoderTestSupport.h"

using namespace corvane_test;

namespace {

constexpr std::uint16_t kRadioText = 0x2400;  // group 2A: never raw, never TMC by default
constexpr std::uint16_t kGroup1A = 0x1400;    // group 1A: raw by default

}  // namespace

TEST_F(DecoderTest, UncorrectableBlocksBCDDropTheGroupButBlockADoesNot)
{
    // Uncorrectable B, C or D: the group changes nothing, not even the PI table.
    for (unsigned shift : {kStatusShiftBlockB, kStatusShiftBlockC, kStatusShiftBlockD}) {
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(decode(makeGroup(kStationPi, kGroup1A, 0, 0, static_cast<std::uint16_t>(3u << shift))), Lines{});
    }
    EXPECT_EQ(gDriver.rds.decodedGroupCount.load(), 0);
    EXPECT_EQ(gDriver.rds.rdsSeen.load(), 0);
    EXPECT_EQ(gDriver.rds.decoder.confirmedPi.load(), 0u);
    EXPECT_EQ(decode(makeGroup(kStationPi, kGroup1A, 0, 0)), Lines{});  // first copy only

    // Errors up to 2 on B..D and uncorrectable A are decoded; A is confirmed
    // by repetition.
    EXPECT_EQ(decode(makeGroup(kStationPi, kGroup1A, 0, 0, makeGroupStatus(3, 2, 2, 2))), Lines{});
    EXPECT_EQ(decode(makeGroup(kStationPi, kGroup1A, 0x00E1, 0x5A5A, makeGroupStatus(3, 0, 0, 0))),
              (Lines{"$PLTMT,15,65079*68", "$PLTTR,0,65079,5120,225,23130*6f"}));
    EXPECT_EQ(gDriver.rds.decodedGroupCount.load(), 3);
    EXPECT_EQ(gDriver.rds.rdsSeen.load(), 1);
}

TEST_F(DecoderTest, PiIsConfirmedOnItsThirdReceptionAndStampsLaterGroups)
{
    // Groups before the confirmation are counted and dropped.
    EXPECT_EQ(decode(makeGroup(kStationPi, kGroup1A, 1, 1)), Lines{});
    EXPECT_EQ(decode(makeGroup(kStationPi, kGroup1A, 2, 2)), Lines{});
    EXPECT_EQ(decode(makeGroup(kStationPi, kGroup1A, 3, 3)),
              (Lines{"$PLTMT,15,65079*68", "$PLTTR,0,65079,5120,3,3*69"}));
    // A steady station confirms again on every third group.
    EXPECT_EQ(decode(makeGroup(kStationPi, kRadioText, 0, 0)), Lines{});
    EXPECT_EQ(decode(makeGroup(kStationPi, kRadioText, 0, 0)), Lines{});
    EXPECT_EQ(decode(makeGroup(kStationPi, kRadioText, 0, 0)), Lines{"$PLTMT,15,65079*68"});
    EXPECT_EQ(gDriver.rds.decodedGroupCount.load(), 6);

    // Another code and block A 0 are stamped with the confirmed PI; 0 never
    // enters the table, the other code replaces the PI on its own third copy.
    EXPECT_EQ(decode(makeGroup(0x1234, kGroup1A, 4, 4)), Lines{"$PLTTR,0,65079,5120,4,4*69"});
    EXPECT_EQ(decode(makeGroup(0x0000, kGroup1A, 5, 5)), Lines{"$PLTTR,0,65079,5120,5,5*69"});
    EXPECT_EQ(decode(makeGroup(0x1234, kGroup1A, 6, 6)), Lines{"$PLTTR,0,65079,5120,6,6*69"});
    EXPECT_EQ(decode(makeGroup(0x1234, kGroup1A, 7, 7)), (Lines{"$PLTMT,1,4660*64", "$PLTTR,0,4660,5120,7,7*50"}));
}

TEST_F(DecoderTest, PiCandidatesAreForgottenAfterMoreThan32GroupsWithoutThem)
{
    setFlags(kFilterProgrammeIdentity);
    auto heardTwiceThenAfter = [](unsigned others) {
        decodeGroup(makeGroup(kStationPi, kRadioText, 0, 0));
        decodeGroup(makeGroup(kStationPi, kRadioText, 0, 0));
        for (unsigned i = 0; i < others; ++i)
            decodeGroup(makeGroup(static_cast<std::uint16_t>(0x2000 + i), kRadioText, 0, 0));
        decodeGroup(makeGroup(kStationPi, kRadioText, 0, 0));
        return takeLines();
    };
    EXPECT_EQ(heardTwiceThenAfter(31), Lines{"$PLTMT,15,65079*68"});
    resetRdsDecoder();
    EXPECT_EQ(heardTwiceThenAfter(32), Lines{});
    EXPECT_EQ(gDriver.rds.decoder.confirmedPi.load(), 0u);

    // A full table of codes heard once: among equal hits the oldest entry
    // makes room, wherever it stands, so the second and third newcomers push
    // out the first two codes heard and the tenth keeps its place.
    resetRdsDecoder();
    for (std::uint16_t code = 0x1001; code <= 0x100A; ++code) decodeGroup(makeGroup(code, kRadioText, 0, 0));
    for (int i = 0; i < 2; ++i) decodeGroup(makeGroup(0x1002, kRadioText, 0, 0));
    EXPECT_EQ(gDriver.rds.decoder.confirmedPi.load(), 0u);
    for (int i = 0; i < 2; ++i) decodeGroup(makeGroup(0x100A, kRadioText, 0, 0));
    EXPECT_EQ(gDriver.rds.decoder.confirmedPi.load(), 0x100Au);
    takeLines();
}

TEST_F(DecoderTest, StationNameIsSentOnceWhenEveryPositionIsConfirmed)
{
    setFlags(kFilterStationName);
    confirmStation(kStationPi);
    std::vector<Lines> produced = sendName(kStationPi, "LATINA  ", 2);
    const Lines last = produced.back();
    produced.pop_back();
    for (const Lines& lines : produced) EXPECT_EQ(lines, Lines{});
    EXPECT_EQ(last, Lines{"$PLTCH,\"LATINA  \"*70"});

    // The same name again, also after a decoder reset, is not sent again.
    for (const Lines& lines : sendName(kStationPi, "LATINA  ", 2)) EXPECT_EQ(lines, Lines{});
    resetRdsDecoder();
    EXPECT_EQ(gDriver.rds.decoder.name.stationName[0], 0);
    confirmStation(kStationPi);
    for (const Lines& lines : sendName(kStationPi, "LATINA  ", 2)) EXPECT_EQ(lines, Lines{});

    // A name arriving before the PI is confirmed is lost.
    resetRdsDecoder();
    for (const Lines& lines : sendName(0x1111, "ABCDEFGH", 1)) EXPECT_EQ(lines, Lines{});
    EXPECT_EQ(gDriver.rds.decoder.name.psConfidence[0], 0);
}

TEST_F(DecoderTest, ChangedCharacterNeedsTwoCopiesAndARoundOfTheOtherSegments)
{
    setFlags(kFilterStationName);
    confirmStation(kStationPi);
    sendName(kStationPi, "LATINA  ", 2);

    // Position 7 changes: the first copy only notes the challenger, the second
    // swaps it in and every other position must be heard again.
    EXPECT_EQ(decode(nameGroup(kStationPi, 3, ' ', 'X')), Lines{});
    EXPECT_EQ(decode(nameGroup(kStationPi, 3, ' ', 'X')), Lines{});
    EXPECT_EQ(gDriver.rds.decoder.name.psCurrent[7], 'X');
    EXPECT_EQ(gDriver.rds.decoder.name.psConfidence[7], 2);
    EXPECT_EQ(gDriver.rds.decoder.name.psConfidence[0], 1);
    EXPECT_EQ(decode(nameGroup(kStationPi, 0, 'L', 'A')), Lines{});
    EXPECT_EQ(decode(nameGroup(kStationPi, 1, 'T', 'I')), Lines{});
    EXPECT_EQ(decode(nameGroup(kStationPi, 2, 'N', 'A')), Lines{});
    EXPECT_EQ(decode(nameGroup(kStationPi, 3, ' ', 'X')), Lines{"$PLTCH,\"LATINA X\"*08"});

    // Position 6 changes: its segment partner stays confirmed, so segments 0
    // to 2 complete the name.
    EXPECT_EQ(decode(nameGroup(kStationPi, 3, 'Y', 'X')), Lines{});
    EXPECT_EQ(decode(nameGroup(kStationPi, 3, 'Y', 'X')), Lines{});
    EXPECT_EQ(decode(nameGroup(kStationPi, 0, 'L', 'A')), Lines{});
    EXPECT_EQ(decode(nameGroup(kStationPi, 1, 'T', 'I')), Lines{});
    EXPECT_EQ(decode(nameGroup(kStationPi, 2, 'N', 'A')), Lines{"$PLTCH,\"LATINAYX\"*71"});

    // A single stray character does not disturb the name; the old one wins back.
    EXPECT_EQ(decode(nameGroup(kStationPi, 0, 'Q', 'A')), Lines{});
    EXPECT_EQ(decode(nameGroup(kStationPi, 0, 'L', 'A')), Lines{});
    EXPECT_EQ(gDriver.rds.decoder.name.psCurrent[0], 'L');
}

TEST_F(DecoderTest, StationNameGateBlankingAndNulCharacters)
{
    setFlags(0);
    confirmStation(kStationPi);
    const char name[9] = {'R', 'A', 'D', 'I', 'O', 0, 0, 0, 0};
    for (const Lines& lines : sendName(kStationPi, name, 2)) EXPECT_EQ(lines, Lines{});
    EXPECT_EQ(gDriver.rds.decoder.name.lastEmittedName[0], 0);  // a closed gate records nothing

    blankStationName();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(gDriver.rds.decoder.name.stationName), kStationNameLength),
              "        ");

    // With the gate open the next complete name goes out, NUL sent as space.
    setFlags(kFilterStationName);
    EXPECT_EQ(decode(nameGroup(kStationPi, 0, 'R', 'A')), Lines{"$PLTCH,\"RADIO   \"*1e"});
    EXPECT_EQ(gDriver.rds.decoder.name.lastEmittedName[7], ' ');

    // Bytes that would break the line go out as spaces; '$' and '*' stay.
    resetRdsDecoder();
    confirmStation(kStationPi);
    EXPECT_EQ(sendName(kStationPi, "*R\r\n$\x7F\x1F*", 2).back(), Lines{"$PLTCH,\"*R  $  *\"*19"});
}

TEST_F(DecoderTest, AlternativeFrequenciesNeedTheFlagAndAnErrorFreeBlockC)
{
    setFlags(kDefaultFilterFlags & ~kFilterProgrammeIdentity);
    confirmStation(kStationPi);
    EXPECT_EQ(decode(nameGroup(kStationPi, 0, 'L', 'A')), Lines{});

    setFlags(kFilterAlternativeFrequency);
    EXPECT_EQ(decode(nameGroup(kStationPi, 0, 'L', 'A')), Lines{"$PXRAF,57549*4b"});
    EXPECT_EQ(decode(nameGroup(kStationPi, 0, 'L', 'A', makeGroupStatus(0, 0, 1, 0))), Lines{});
    // Group 0B carries the PI in block C, not frequencies.
    EXPECT_EQ(decode(makeGroup(kStationPi, 0x0C00, kStationPi, 0x4C41)), Lines{});
}

TEST_F(DecoderTest, EveryEleventhGroup0ASendsThePi)
{
    setFlags(kFilterProgrammeIdentity);
    confirmStation(kStationPi);
    // Block A 0 is stamped with the PI without confirming it again.
    Lines lines;
    for (int i = 1; i <= 22; ++i) {
        lines = decode(nameGroup(0, 0, 'L', 'A'));
        EXPECT_EQ(lines, (i % 11 == 0 ? Lines{"$PLTMT,15,65079*68"} : Lines{})) << "group 0A number " << i;
    }
    // Other groups do not count.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(decode(makeGroup(0, kRadioText, 0, 0)), Lines{});
    EXPECT_EQ(decode(makeGroup(0, 0x0C00, 0, 0)), Lines{});  // 0B neither
}

TEST_F(DecoderTest, APiHeardAnewTakesTheFreestCandidateEntry)
{
    PiCandidate* table = gDriver.rds.decoder.piCandidates;
    // An empty table: among equal entries the later one is taken.
    confirmPi(0x1111);
    EXPECT_EQ(table[kPiCandidateCount - 1].code, 0x1111);
    // An entry grown too old is freed and taken, before a free one ahead of it.
    for (unsigned i = 0; i < kPiCandidateCount; ++i) table[i] = PiCandidate{std::uint16_t(0x2000 + i), 2, 0};
    table[0] = PiCandidate{};
    table[1] = PiCandidate{0x3333, 1, 32};
    confirmPi(0x4444);
    EXPECT_EQ(table[1].code, 0x4444);
    EXPECT_EQ(table[0].code, 0);
}

TEST_F(DecoderTest, ResetForgetsTheStationButKeepsCountersAndHistories)
{
    confirmStation(kStationPi);
    sendName(kStationPi, "LATINA  ", 2);
    decodeAll({makeGroup(kStationPi, 0x8408, 0x1234, 0x5678), makeGroup(kStationPi, 0x8408, 0x1234, 0x5678)});
    const std::uint8_t decoded = gDriver.rds.decodedGroupCount.load();
    const std::uint16_t quality = gDriver.rds.tmcQuality.load();

    resetRdsDecoder();
    const DecoderState& decoder = gDriver.rds.decoder;
    EXPECT_EQ(decoder.confirmedPi.load(), 0u);
    for (unsigned i = 0; i < kPiCandidateCount; ++i) EXPECT_EQ(decoder.piCandidates[i].code, 0);
    for (unsigned i = 0; i < kStationNameLength; ++i) {
        EXPECT_EQ(decoder.name.psCurrent[i], 0);
        EXPECT_EQ(decoder.name.psConfidence[i], 0);
        EXPECT_EQ(decoder.name.stationName[i], 0);
    }
    EXPECT_EQ(decoder.name.lastEmittedName[0], 'L');
    EXPECT_EQ(gDriver.rds.decodedGroupCount.load(), decoded);
    EXPECT_EQ(gDriver.rds.tmcQuality.load(), quality);
    EXPECT_EQ(gDriver.rds.tmcSeen.load(), 1);

    // The TMC history survives: the message already passed stays suppressed.
    confirmStation(kStationPi);
    EXPECT_EQ(decodeAll({makeGroup(kStationPi, 0x8408, 0x1234, 0x5678)}), Lines{});
}
