// The readable rendering of --decode, on lines framed by the driver's own
// sentence routines, so that the rendering reads the fields where the driver
// puts them.
#include "tools/SentenceView.h"
#include "tests/channel/OutputLines.h"
#include "tools/DecodeView.h"
#include "tools/LineOutput.h"

#include <cstdio>

using namespace corvane;
using namespace corvane_test;

namespace {

class SentenceViewTest : public ::testing::Test {
protected:
    sim::Kernel kernel;
    harness::LoadedContext driver;
    SentenceViewTest() { driver.readyDecoder(); }

    // The rendering of the one line that `emit` queued.
    static std::string rendered(auto emit)
    {
        emit();
        const Lines lines = takeLines();
        if (lines.size() != 1) {
            ADD_FAILURE() << lines.size() << " lines queued";
            return {};
        }
        return renderSentence(lines[0]);
    }

    static std::string framed(const char* text)
    {
        emitSentence(text);
        const Lines lines = takeLines();
        return lines.size() == 1 ? renderSentence(lines[0]) : "";
    }
};

}  // namespace

TEST_F(SentenceViewTest, TmcMessagesShowEventLocationExtentAndDirection)
{
    // Single group, duration 3; C: direction negative, extent 2, event 101;
    // D: location 12345.
    EXPECT_EQ(rendered([] { emitTmcGroup(0x840B, 0x5065, 12345); }),
              "TMC message: event 101, location 12345, extent 2, direction negative, duration 3");
    // Diversion advised, positive direction, extent 7, the largest event code.
    EXPECT_EQ(rendered([] { emitTmcGroup(0x8408, 0xBFFF, 0xFFFF); }),
              "TMC message: event 2047, location 65535, extent 7, direction positive, duration 0, diversion advised");
    // Multi-group: the first group carries the event, a further one does not.
    EXPECT_EQ(rendered([] { emitTmcGroup(0x8405, 0x8000 | 0x0800 | 473, 4000); }),
              "TMC multi-group message 5, first group: event 473, location 4000, extent 1, direction positive");
    EXPECT_EQ(rendered([] { emitTmcGroup(0x8405, 0x1234, 0x5678); }), "TMC multi-group message 5, further group");
    EXPECT_EQ(rendered([] { emitTmcGroup(0x8412, 0, 0); }), "TMC tuning information, variant 2");
    // The announcement in 3A: application in 8A (code 0x10), TMC AID, table 1.
    EXPECT_EQ(rendered([] { emitTmcGroup(0x3410, 0x0040, 0xCD46); }),
              "TMC announced in group 8A, AID CD46, location table 1");
    EXPECT_EQ(rendered([] { emitTmcGroup(0x3416, 0, 0x4BD7); }), "open data application 4BD7 announced in group 11A");
}

TEST_F(SentenceViewTest, StationPiFrequencyAndRawGroups)
{
    gDriver.rds.decoder.confirmedPi.store(0xFE37);
    EXPECT_EQ(rendered([] { emitProgrammeIdentity(); }), "PI FE37, country code F");
    EXPECT_EQ(rendered([] { emitRawGroup(0xFE37, 0x8405, 0x1234, 0xABCD); }),
              "raw group 8A, PI FE37, blocks B 8405 C 1234 D ABCD");
    EXPECT_EQ(rendered([] { emitRawGroup(0xD3A1, 0x0C00, 0xD3A1, 0x4142); }),
              "raw group 0B, PI D3A1, blocks B 0C00 C D3A1 D 4142");
    EXPECT_EQ(rendered([] { emitTuningStarted(10480); }), "tuning to 104.80 MHz (started)");
    EXPECT_EQ(framed("$PLTCH,\"LATINA  \""), "station name \"LATINA  \"");
    EXPECT_EQ(framed("$PLTCH,\"A*B,C$D \""), "station name \"A*B,C$D \"");  // '*' in a name is not the checksum
    EXPECT_EQ(framed("$PLTTQ,9470,42,60,1,0"),
              "tuned to 94.70 MHz, RSSI 42 dBuV, TMC quality 60, channel valid, band 87.5-108 MHz, 100 kHz steps");
    EXPECT_EQ(framed("$PLTTQ,8750,8,0,0,2"),
              "tuned to 87.50 MHz, RSSI 8 dBuV, TMC quality 0, seek failed or band "
              "limit, band 87.5-108 MHz, 200 kHz steps");
    EXPECT_EQ(framed("$PLTTQ,9100,2,0,0,5"), "searching: 91.00 MHz");
    // Block C of 0A: two AF codes, high byte first.
    EXPECT_EQ(framed("$PXRAF,57549"), "alternative frequencies: no AF follows, filler");    // 224, 205
    EXPECT_EQ(framed("$PXRAF,57672"), "alternative frequencies: 1 AF follows, 94.70 MHz");  // 225, 72
    EXPECT_EQ(framed("$PXRAF,58317"), "alternative frequencies: 3 AFs follow, filler");     // 227, 205
    EXPECT_EQ(framed("$PXRSNR,9470,42,200,0,0,0,0"), "signal quality at 94.70 MHz: RSSI 42 dBuV, quality 200");
    EXPECT_EQ(rendered([] { emitFilterMasks(); }),
              "filter masks: TMC groups 3 8; raw groups A 1 3 4 8; raw groups B none");
    EXPECT_EQ(rendered([] { emitFilterFlags(); }), "output flags 0x01F7");
}

TEST_F(SentenceViewTest, OnlyDriverSentencesAreRendered)
{
    EXPECT_EQ(renderSentence("$PLTMT,15,65079*00"), "PI FE37, country code F [checksum 00, expected 68]");
    EXPECT_EQ(renderSentence("$PLTMT,15,65079*68"), "PI FE37, country code F");
    EXPECT_EQ(framed("$PLTMT,15"), "PLTMT, malformed");
    EXPECT_EQ(framed("$PLTTQ,9470,x,60,1,0"), "PLTTQ, malformed");
    EXPECT_EQ(framed("$PLTXX,1,2"), "");
    for (const char* line : {"", "$", "hello", "$PLTMT,15,65079", "$PLTMT,15,65079*6", "$PLTMT,15,65079*zz",
                             "TMC,15,65079*68", "$PLTCH,\"LATINA  \"*70 trailing"})
        EXPECT_EQ(renderSentence(line), "") << line;
}

TEST_F(SentenceViewTest, TheDecodeViewJoinsWhatSeveralLinesCarry)
{
    DecodeView view;
    auto viewed = [&view](auto emit) {
        emit();
        const Lines lines = takeLines();
        return lines.size() == 1 ? view.render(lines[0]) : "lines: " + std::to_string(lines.size());
    };
    // A message in two groups, index 3: event and location first, then the
    // free-format bits: duration 5 (label 0), additional event 1500 (label 9).
    EXPECT_EQ(viewed([] { emitTmcGroup(0x8403, 0x8000 | 0x0800 | 473, 4000); }),
              "TMC multi-group message 3, first group: event 473, location 4000, extent 1, direction positive");
    EXPECT_EQ(viewed([] { emitTmcGroup(0x8403, 0x4000 | 0x0B3, 0x7700); }),
              "TMC multi-group message 3: event 473, location 4000, extent 1, direction positive; duration 5, "
              "additional event 1500");
    // Its repeat, and a message with a group lost in the middle, stay pieces.
    EXPECT_EQ(viewed([] { emitTmcGroup(0x8403, 0x4000 | 0x0B3, 0x7700); }), "TMC multi-group message 3, further group");
    viewed([] { emitTmcGroup(0x8403, 0x8000 | 473, 4000); });
    viewed([] { emitTmcGroup(0x8403, 0x4000 | 0x2000, 0); });
    EXPECT_EQ(viewed([] { emitTmcGroup(0x8403, 0x0000, 0); }), "TMC multi-group message 3, further group");

    // The provider's name in two tuning-information groups (variants 4 and 5).
    EXPECT_EQ(viewed([] { emitTmcGroup(0x8414, 0x4845, 0x5245); }),
              "TMC tuning information, variant 4, provider name first half \"HERE\"");
    EXPECT_EQ(viewed([] { emitTmcGroup(0x8415, 0x2020, 0x2020); }), "TMC service provider \"HERE    \"");
    // Encrypted: no location table in the announcement, or continuity index 0.
    EXPECT_EQ(viewed([] { emitTmcGroup(0x3410, 0x0000, 0xCD46); }),
              "TMC announced in group 8A, AID CD46, location table 0 (table 0: the service is encrypted)");
    EXPECT_EQ(viewed([] { emitTmcGroup(0x8400, 0x1234, 0); }),
              "TMC encryption administration group: the service is encrypted");

    // Raw groups: clock time (4A) and radiotext (2A) up to its end mark.
    EXPECT_EQ(viewed([] { emitRawGroup(0xD3A1, 0x4421, 0xDF8A, 0x8042); }),
              "raw group 4A, PI D3A1, blocks B 4421 C DF8A D 8042; clock time 2026-12-07 08:01 UTC, local time "
              "offset +1:00");
    EXPECT_EQ(viewed([] { emitRawGroup(0xD3A1, 0x2000, 0x4142, 0x4344); }),
              "raw group 2A, PI D3A1, blocks B 2000 C 4142 D 4344; radiotext segment 0 \"ABCD\"");
    EXPECT_EQ(viewed([] { emitRawGroup(0xD3A1, 0x2001, 0x450D, 0x2020); }),
              "raw group 2A, PI D3A1, blocks B 2001 C 450D D 2020; radiotext \"ABCDE\"");
}

// The lines as `corvane run` prints them: whole lines only, however the bytes
// arrive, each with its time stamp and its rendering; a line holding a NUL
// byte is printed up to it.
TEST_F(SentenceViewTest, PrintedLinesCarryTheirTimeAndRendering)
{
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    LineOutput output(out, true, true);
    emitTmcGroup(0x8403, 0x8000 | 0x0800 | 473, 4000);
    const Lines lines = takeLines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string line = lines[0] + "\r\n";
    output.feed(line.substr(0, 5), 1'000);
    output.feed(line.substr(5), 2'345'000);
    output.feed(std::string("$AB\0CD\r\n$EF", 12), 3'000'000);
    EXPECT_EQ(output.linesPrinted(), 2u);
    std::rewind(out);
    std::string printed;
    for (int c; (c = std::fgetc(out)) != EOF;) printed += static_cast<char>(c);
    std::fclose(out);
    DecodeView view;
    const std::string rendering = view.render(lines[0]);
    ASSERT_FALSE(rendering.empty());
    EXPECT_EQ(printed, "2.345 " + lines[0] + "\n" + std::string(6, ' ') + "  = " + rendering + "\n3.000 $AB\n");
}
