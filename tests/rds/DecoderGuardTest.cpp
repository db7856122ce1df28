// A reset from another thread that meets a decode in progress waits for the
// decode to finish: the group is decoded whole with the PI it started with,
// and the reset's effect is what remains.
#include "tests/rds/DecoderTestSupport.h"

using namespace corvane_test;

TEST_F(DecoderTest, ResetWaitsForTheDecodeInProgress)
{
    decodeGroup(makeGroup(kStationPi, 0x1400, 3, 3));
    decodeGroup(makeGroup(kStationPi, 0x1400, 3, 3));
    ASSERT_EQ(takeLines(), Lines{});

    // The application's reader holds the output ring, so the decoding thread
    // stops inside its first sentence, in the middle of the group.
    EnterCriticalSection(&gDriver.channel.outputRing.guard);
    HANDLE decoder = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            decodeGroup(makeGroup(kStationPi, 0x1400, 3, 3));
            return 0;
        },
        nullptr, 0, nullptr);
    Sleep(1);
    HANDLE resetter = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            resetRdsDecoder();
            return 0;
        },
        nullptr, 0, nullptr);
    Sleep(1);
    EXPECT_FALSE(kernel.threadExited(decoder));
    EXPECT_FALSE(kernel.threadExited(resetter));
    EXPECT_EQ(gDriver.rds.decoder.confirmedPi.load(), 0xFE37u) << "the reset must not run inside the decode";

    LeaveCriticalSection(&gDriver.channel.outputRing.guard);
    Sleep(5);  // the decoding thread tries the ring's guard every millisecond
    EXPECT_TRUE(kernel.threadExited(decoder));
    EXPECT_TRUE(kernel.threadExited(resetter));
    EXPECT_EQ(takeLines(), (Lines{"$PLTMT,15,65079*68", "$PLTTR,0,65079,5120,3,3*69"}));
    EXPECT_EQ(gDriver.rds.decoder.confirmedPi.load(), 0u);
    CloseHandle(decoder);
    CloseHandle(resetter);
}
