// The command parser called directly, as the private command request does:
// answers, the fields and requests each command sets, its effect on the chip.
#include "tests/channel/CommandRig.h"

#include "control/ControlState.h"
#include "rds/GroupQueue.h"

namespace corvane_test {
namespace {

const std::string kFlags = "$PLTTS,1,503*48";

class CommandParser : public CommandRig {
protected:
    ControlState& control = gDriver.control;
    OutputFilter& filter = gDriver.sentences.outputFilter;
    ReceiverSettings& settings = gDriver.tuner.settings;

    // Something queued for the application and for the decoder.
    void queueStaleData()
    {
        emitFilterMasks();
        storeGroup(RdsGroup{});
    }
};

TEST_F(CommandParser, ReportsAndSettingsRightAfterStart)
{
    command("REQ,4096");
    command("REQ,16385");
    command("REQ,8194");
    command("QFI,20");
    EXPECT_EQ(takeLines(), (Lines{kFlags, "$PLTFD,264,282,0*5e", "$PXRQF,20,300,300,1*7e"}));

    command("REQ,8193");
    const Lines status = takeLines();
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].rfind("$PLTTQ,", 0), 0u) << status[0];

    // The volume reaches the chip but is not stored; a band change brings it back.
    command("VOL,8");
    EXPECT_EQ(takeLines(), Lines{"$PLTCF,7000*66"});
    EXPECT_EQ(world.chip().audio().volume, 8u);
    EXPECT_EQ(settings.volume, 15);
    command("B,3");
    EXPECT_EQ(world.chip().audio().volume, 8u);
    command("B,1");
    EXPECT_EQ(settings.bandMode, 1);
    EXPECT_EQ(world.chip().bandBottom(), 7600);
    EXPECT_EQ(world.chip().audio().volume, 15u);
    EXPECT_EQ(takeLines(), Lines{});

    // Seek thresholds: QFI goes into SEEKTH, its byte copy follows.
    command("QFI,25");
    command("QFS,150");
    command("QFT,250");
    command("QFN,3");
    EXPECT_EQ(settings.seekThresholdByte, 25);
    EXPECT_EQ(chip(si4709::SYSCONFIG2) >> 8, 25);
    EXPECT_EQ(takeLines().back(), "$PXRQF,25,150,250,3*7a");
}

TEST_F(CommandParser, TuneCommandsForgetTheStationAndPostTheRequest)
{
    gDriver.rds.tmcQuality = 60;
    gDriver.rds.rdsSeen = 1;
    control.autoSearch = 1;
    queueStaleData();
    command("H2,9470");
    EXPECT_EQ(takeLines(), (Lines{"$PLTTQ,9470,2,0,0,6*6f", kFlags}));
    EXPECT_EQ(control.requestedFrequency, 9470);
    EXPECT_EQ(control.controlRequest, kRequestTune);
    EXPECT_EQ(control.autoSearch, 0);
    EXPECT_EQ(gDriver.rds.tmcQuality, 0);
    EXPECT_EQ(gDriver.rds.rdsSeen, 0);
    EXPECT_EQ(bankFill(0) + bankFill(1), 0);

    control.controlRequest = kRequestNone;
    command("H1,9470");
    EXPECT_EQ(takeLines(), Lines{kFlags});
    EXPECT_EQ(control.controlRequest, kRequestNone);

    command("S2,10120");
    EXPECT_EQ(control.controlRequest, kRequestTuneThenSearch);
    EXPECT_EQ(control.autoSearch, 1);
    command("O2,10130");
    EXPECT_EQ(control.controlRequest, kRequestTuneThenSearch);
    EXPECT_EQ(control.requestedFrequency, 10130);
    EXPECT_EQ(control.autoSearch, 0);
    command("SC");
    EXPECT_EQ(control.autoSearch, 1);
    // O2 discarded what S2 had queued.
    EXPECT_EQ(takeLines(), (Lines{"$PLTTQ,10130,2,0,0,6*56", kFlags, kFlags}));
}

TEST_F(CommandParser, SearchStartsOrSkipsTheStation)
{
    queueStaleData();
    command("+");
    EXPECT_EQ(takeLines(), Lines{kFlags});  // the queued masks were discarded
    EXPECT_EQ(control.controlRequest, kRequestSearchUp);
    EXPECT_EQ(control.searchUp, 1);
    EXPECT_EQ(control.stopSearch, 1);
    EXPECT_EQ(control.autoSearch, 1);
    EXPECT_EQ(bankFill(0) + bankFill(1), 0);

    // The same direction while that search runs leaves the station.
    control.controlRequest = kRequestNone;
    control.searchState = kSearchingUp;
    command("+");
    EXPECT_EQ(control.skipStation, 1);
    EXPECT_EQ(control.controlRequest, kRequestNone);
    EXPECT_EQ(takeLines(), Lines{kFlags});

    control.skipStation = 0;
    command("-");  // the other direction starts a new search
    EXPECT_EQ(control.controlRequest, kRequestSearchDown);
    EXPECT_EQ(control.skipStation, 0);
    EXPECT_EQ(takeLines(), Lines{kFlags});
    control.searchState = kSearchingDown;
    command("-");
    EXPECT_EQ(control.skipStation, 1);
    EXPECT_EQ(takeLines(), Lines{});

    command("X");
    EXPECT_EQ(control.stopSearch, 1);
}

TEST_F(CommandParser, FilterCommandsAndTheirLock)
{
    command("F,511");
    EXPECT_EQ(filter.flags, 511);
    command("F7");
    EXPECT_EQ(filter.flags, 7);
    command("RFB,5");
    command("TMC,8");
    EXPECT_EQ(takeLines(), (Lines{"$PLTTS,1,511*4b", "$PLTTS,1,7*49", "$PLTFD,264,282,5*5b", "$PLTFD,8,282,5*53"}));

    // Mode 1 locks flags and raw masks, not the TMC mask; answers go out anyway.
    command("MOD,1");
    command("F,503");
    command("RFA,0");
    command("TMC,264");
    EXPECT_EQ(filter.flags, 7);
    EXPECT_EQ(filter.maskA, 282);
    EXPECT_EQ(filter.tmcMask, 264);
    EXPECT_EQ(takeLines().size(), 4u);
    command("MOD,4");
    command("RFA,0");
    EXPECT_EQ(filter.maskA, 0);
    EXPECT_EQ(gDriver.tuner.receiverMode, 4);

    // A reads its number right after the letter.
    control.autoSearch = 1;
    command("A,1");
    EXPECT_EQ(control.autoSearch, 1);
    command("A1");
    EXPECT_EQ(control.autoSearch, 0);
    command("A3");
    EXPECT_EQ(control.autoSearch, 1);
    EXPECT_EQ(control.controlRequest, kRequestSearchOn);
}

TEST_F(CommandParser, ShortAndUnknownTextsDoNothing)
{
    takeLines();
    for (const char* text : {"", "$", "$\r", "$Q", "$QF", "$R", "$RE", "$M", "$T", "$a1", "$Z,1", "$B"}) {
        parseCommand(text);
        EXPECT_EQ(takeLines(), Lines{}) << text;
    }
    EXPECT_EQ(settings.bandMode, 0);
    command("V");
    const Lines version = takeLines();
    ASSERT_EQ(version.size(), 2u);
    EXPECT_EQ(version[0].rfind("$PLTV,\"A4 V1.0.0.51 HS2", 0), 0u);
    EXPECT_EQ(version[1].rfind("$PXRFW,", 0), 0u);
}

TEST_F(CommandParser, CommandsWaitForARecoveryAndForEachOther)
{
    sim::Micros start = kernel.now();
    control.controlRequest = kRequestRecover;
    command("X");  // gives up waiting after 3 s
    EXPECT_EQ(kernel.now() - start, 3'015'000u);
    EXPECT_EQ(control.stopSearch, 1);

    start = kernel.now();
    kernel.after(505'000, [this] { control.controlRequest = kRequestNone; });
    command("A1");
    EXPECT_EQ(kernel.now() - start, 525'000u);

    // Two callers at once: the second starts when the first is done.
    static sim::Micros finished[2];
    auto caller = [](LPVOID slot) -> DWORD {
        parseCommand("$VOL,8\r");
        finished[reinterpret_cast<std::uintptr_t>(slot)] = sim::Kernel::current().now();
        return 0;
    };
    start = kernel.now();
    HANDLE a = CreateThread(nullptr, 0, caller, reinterpret_cast<LPVOID>(std::uintptr_t{0}), 0, nullptr);
    HANDLE b = CreateThread(nullptr, 0, caller, reinterpret_cast<LPVOID>(std::uintptr_t{1}), 0, nullptr);
    Sleep(100);
    EXPECT_EQ(std::min(finished[0], finished[1]) - start, 15'000u);
    EXPECT_EQ(std::max(finished[0], finished[1]) - start, 30'000u);
    CloseHandle(a);
    CloseHandle(b);
}

}  // namespace
}  // namespace corvane_test
