// Commands on the whole driver, right after start-up, by both roads an
// application has: lines written to the port (picked out by the command-reader
// thread) and the private command request (parsed on the caller's thread).
// Both give the same exact answers.
#include "control/ControlState.h"
#include "driver/DriverContext.h"
#include "tests/support/DriverFixtures.h"

namespace {

class CommandPaths : public DeviceTest {
protected:
    // The parser's 15 ms pause on the caller's thread, exactly.
    CommandPaths() : DeviceTest(kExactTimings) { world.addStation(9470, 42, 25); }

    void SetUp() override
    {
        load();
        read();  // the start-up sentences; the reader thread has not run yet
    }

    // The private command request with exactly these bytes.
    void command(const std::string& bytes) { EXPECT_FALSE(device.command(bytes)); }

    std::uint16_t flags() const { return gDriver.sentences.outputFilter.flags.load(); }
};

const Lines kAnswersAfterStart = {"$PLTTS,1,503*48", "$PLTFD,264,282,0*5e", "$PXRQF,20,300,300,1*7e", "$PLTCF,7000*66"};

TEST_F(CommandPaths, WrittenToThePortRightAfterStartEachCommandGetsItsExactAnswer)
{
    // One write, four lines; the reader takes one line a 50 ms round and the
    // parser pauses 15 ms: all answered well before the first tick.
    write("$PLTCM,REQ,4096\r\n$PLTCM,REQ,16385\r\n$PLTCM,QFI,20\r\n$PLTCM,VOL,8\r\n");
    Sleep(300);
    EXPECT_EQ(read(), kAnswersAfterStart);
    EXPECT_EQ(world.chip().audio().volume, 8u);

    // A tune discards what was queued and answers first with the started form.
    Sleep(700);  // the first tick's status is queued meanwhile
    write("$PLTCM,H2,9470\r\n");
    Sleep(100);
    Lines lines = read();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "$PLTTQ,9470,2,0,0,6*6f");
    EXPECT_EQ(lines[1], "$PLTTS,1,503*48");
    EXPECT_EQ(gDriver.control.autoSearch.load(), 0);
    Sleep(1000);
    EXPECT_EQ(world.chip().frequency(), 9470);
    read();

    // The reports and switches not covered elsewhere: REQ,8192, SC, VER.
    write("$PLTCM,REQ,8192\r\n$PLTCM,SC\r\n$PLTCM,VER\r\n");
    Sleep(250);
    lines = read();
    ASSERT_EQ(lines.size(), 4u) << lines.size();
    EXPECT_EQ(lines[0].rfind("$PLTTQ,9470,42,", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "$PLTTS,1,503*48");
    EXPECT_EQ(gDriver.control.autoSearch.load(), 1);
    EXPECT_EQ(lines[2], "$PLTV,\"A4 V1.0.0.51 HS2 (c) Corvane RDS-TMC receiver\"*28");
    EXPECT_EQ(lines[3].rfind("$PXRFW,", 0), 0u) << lines[3];
}

TEST_F(CommandPaths, ThePrivateRequestGivesTheSameAnswersOnTheCallersThread)
{
    const sim::Micros start = kernel.now();
    for (const char* text : {"$PLTCM,REQ,4096", "$PLTCM,REQ,16385", "$PLTCM,QFI,20", "$PLTCM,VOL,8"}) command(text);
    EXPECT_EQ(kernel.now() - start, 4 * 15'000u) << "the parser's 15 ms pause, on this thread";
    EXPECT_EQ(read(), kAnswersAfterStart);
    command("$PLTCM,H2,9470");
    const Lines lines = read();
    EXPECT_EQ(lines, (Lines{"$PLTTQ,9470,2,0,0,6*6f", "$PLTTS,1,503*48"}));
}

TEST_F(CommandPaths, PrivateRequestBytesAreCutToTwentyFourAndControlBytesBecomeBlanks)
{
    // A NUL inside the text becomes a blank and does not end it: F reads 511.
    command(
        std::string("$PLTCM,F\0"
                    "511",
                    12));
    EXPECT_EQ(flags(), 511);
    // Only the first 24 bytes count: "...051" of "...05123".
    command("$PLTCM,F,00000000000005123");
    EXPECT_EQ(flags(), 51);
    // A carriage return or line feed inside is a blank too, the command goes on.
    command("$PLTCM,QFS\r150");
    EXPECT_EQ(gDriver.tuner.settings.QFS.load(), 150);
    // So are bytes from 0x80 up.
    command(
        "$PLTCM,F\x80\xB5\xFF"
        "7");
    EXPECT_EQ(flags(), 7);
    read();

    // Up to the six bytes of "$PLTCM" the request does nothing at all, not
    // even the parser's pause; from seven bytes on the parser runs.
    for (std::size_t n = 0; n <= 6; ++n) {
        const sim::Micros before = kernel.now();
        command(std::string("$PLTCM,A1").substr(0, n));
        EXPECT_EQ(kernel.now(), before) << n << " bytes";
    }
    const sim::Micros before = kernel.now();
    command("$PLTCM,");
    EXPECT_EQ(kernel.now() - before, 15'000u);
    EXPECT_TRUE(read().empty());
}

TEST_F(CommandPaths, ALineFeedEndsACommandOnlyOnACleanLine)
{
    // Text that is not a command, then a command on the same line ended by a
    // bare line feed: something was rejected since the last carriage return,
    // so the line feed does not end it; the carriage return that follows does.
    gDriver.control.autoSearch.store(1);
    write("$GPGGA,1*5A$PLTCM,A1\n");
    Sleep(200);
    EXPECT_EQ(gDriver.control.autoSearch.load(), 1);
    EXPECT_TRUE(read().empty());
    write("\r");
    Sleep(100);
    EXPECT_EQ(gDriver.control.autoSearch.load(), 0);
    EXPECT_EQ(read(), Lines{"$PLTTS,1,503*48"});

    // On a clean line a bare line feed ends the command at once.
    write("$PLTCM,A2\n");
    Sleep(100);
    EXPECT_EQ(gDriver.control.autoSearch.load(), 1);
    read();

    // A blank line or a stray byte on a line of its own costs nothing.
    write("$PLTCM,A1\n\nx\n$PLTCM,REQ,4096\n$PLTCM,VOL,8\n");
    Sleep(300);
    EXPECT_EQ(read(), (Lines{"$PLTTS,1,503*48", "$PLTTS,1,503*48", "$PLTCF,7000*66"}));
    EXPECT_EQ(gDriver.control.autoSearch.load(), 0);
}

}  // namespace
