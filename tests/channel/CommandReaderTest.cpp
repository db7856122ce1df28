// The command reader on the port: bytes written with COM_Write, lines picked
// out by the reader thread and carried out.
#include "tests/channel/CommandRig.h"

#include "control/ControlState.h"

namespace corvane_test {
namespace {

const std::string kFlags = "$PLTTS,1,503*48";

class CommandReader : public CommandRig {
protected:
    void SetUp() override
    {
        startReader();
        Sleep(1);
    }
    ControlState& control = gDriver.control;
};

TEST_F(CommandReader, PicksCommandsOutOfTheByteStream)
{
    // The reader sleeps 50 ms a round, then takes what has come, and the
    // parser acts 15 ms after taking a line: a command written at any point
    // of a round is answered 65 ms after the answer before it. This thread
    // looks half a millisecond off the reader's steps, so never at the same
    // time as one of them.
    kernel.advance(500);
    const auto answered = [&](unsigned writtenAfterMs) {
        if (writtenAfterMs != 0) Sleep(writtenAfterMs);
        write("$PLTCM,QFI,20\r\n");
        for (int ms = 0; ms < 200; ++ms, Sleep(1))
            if (!takeLines().empty()) return kernel.now();
        return sim::Micros{0};
    };
    sim::Micros previous = answered(0);
    ASSERT_NE(previous, 0u);
    for (unsigned writtenAfterMs : {0u, 1u, 30u, 49u}) {
        const sim::Micros now = answered(writtenAfterMs);
        EXPECT_EQ(now - previous, 65'000u) << "written " << writtenAfterMs << " ms after the answer before";
        previous = now;
    }

    write("$PLTCM,VOL,8\r\n");
    Sleep(200);
    EXPECT_EQ(takeLines(), Lines{"$PLTCF,7000*66"});
    EXPECT_EQ(world.chip().audio().volume, 8u);
    EXPECT_EQ(inputPending(), 0u);  // the line feed was taken too

    // Other text first, a checksum after the arguments: both ignored.
    write("$GPGGA,1,2\r\n$PLTCM,QFI,20*7A\r\n");
    Sleep(100);
    EXPECT_EQ(takeLines(), Lines{"$PXRQF,20,300,300,1*7e"});

    // The prefix in lower case is not a command.
    write("$pltcm,X\r\n");
    Sleep(100);
    EXPECT_EQ(control.stopSearch, 0);

    // A "$" inside the body starts it afresh: X is carried out, not A1.
    control.autoSearch = 1;
    write("$PLTCM,A1$X\r");
    Sleep(100);
    EXPECT_EQ(control.stopSearch, 1);
    EXPECT_EQ(control.autoSearch, 1);
    EXPECT_EQ(takeLines(), Lines{});
}

TEST_F(CommandReader, BodyOfEighteenCharactersAtMost)
{
    write("$PLTCM,F,0000000000000511\r\n");  // 18 characters
    Sleep(100);
    EXPECT_EQ(gDriver.sentences.outputFilter.flags, 511);
    EXPECT_EQ(takeLines(), Lines{"$PLTTS,1,511*4b"});

    // 19: dropped without a trace; the next line is read normally.
    write("$PLTCM,F,00000000000000007\r\n$PLTCM,F,9\r\n");
    Sleep(200);
    EXPECT_EQ(takeLines(), Lines{"$PLTTS,1,9*47"});
    EXPECT_EQ(gDriver.sentences.outputFilter.flags, 9);
}

TEST_F(CommandReader, EveryLineEndingKeepsTheNextCommand)
{
    const std::vector<std::string> streams = {
        "$PLTCM,A1\r\n$PLTCM,A2\r\n",
        "$PLTCM,A1\n$PLTCM,A2\n",
        "$PLTCM,A1\r$PLTCM,A2\r",
    };
    for (const std::string& stream : streams) {
        control.autoSearch = 1;
        write(stream);
        Sleep(200);
        EXPECT_EQ(takeLines(), (Lines{kFlags, kFlags})) << stream;
        EXPECT_EQ(control.autoSearch, 1) << stream;  // A1, then A2
        EXPECT_EQ(inputPending(), 0u);
    }

    // The line feed of a pair that arrives in a later write is dropped too,
    // and a bare line feed still ends the command after it.
    write("$PLTCM,A2\r");
    Sleep(100);
    write("\n$PLTCM,A1\n");
    Sleep(100);
    EXPECT_EQ(takeLines(), (Lines{kFlags, kFlags}));
    EXPECT_EQ(control.autoSearch, 0);
}

TEST_F(CommandReader, CommandsWaitWhileTheChipIsRecovered)
{
    control.controlRequest = kRequestRecover;
    write("$PLTCM,VOL,8\r\n");
    Sleep(5000);
    EXPECT_EQ(inputPending(), 14u);  // not a byte taken
    EXPECT_EQ(takeLines(), Lines{});

    control.controlRequest = kRequestNone;
    Sleep(100);
    EXPECT_EQ(takeLines(), Lines{"$PLTCF,7000*66"});
}

}  // namespace
}  // namespace corvane_test
