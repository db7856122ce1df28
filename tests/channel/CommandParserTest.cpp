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
};

TEST_F(CommandParser, ReportsAndSettingsRightAfterStart)
{
    for (const char* body : {"REQ,4096", "REQ,16385", "REQ,8194", "QFI,20", "VOL,8", "B,3"}) command(body);
    EXPECT_EQ(takeLines(), (Lines{kFlags, "$PLTFD,264,282,0*5e", "$PXRQF,20,300,300,1*7e", "$PLTCF,7000*66"}));
    command("REQ,8193");
    EXPECT_EQ(takeLines().at(0).rfind("$PLTTQ,", 0), 0u);

    // The volume reaches the chip but is not stored; a band change brings it back.
    EXPECT_EQ(world.chip().audio().volume, 8u);
    command("B,1");
    EXPECT_EQ(settings.bandMode, 1);
    EXPECT_EQ(world.chip().bandBottom(), 7600);
    EXPECT_EQ(world.chip().audio().volume, 15u);

    // QFI goes into SEEKTH and its byte copy.
    for (const char* body : {"QFI,25", "QFS,150", "QFT,250", "QFN,3"}) command(body);
    EXPECT_EQ(settings.seekThresholdByte, 25);
    EXPECT_EQ(chip(si4709::SYSCONFIG2) >> 8, 25);
    EXPECT_EQ(takeLines().back(), "$PXRQF,25,150,250,3*7a");
}

TEST_F(CommandParser, TuneAndSearchForgetTheStationAndPostTheRequest)
{
    gDriver.rds.tmcQuality = 60;
    emitFilterMasks();  // queued output and a queued group are discarded
    storeGroup(RdsGroup{});
    command("H2,9470");
    EXPECT_EQ(takeLines(), (Lines{"$PLTTQ,9470,2,0,0,6*6f", kFlags}));
    EXPECT_EQ(control.requestedFrequency, 9470);
    EXPECT_EQ(control.controlRequest, kRequestTune);
    EXPECT_EQ(gDriver.rds.tmcQuality, 0);
    EXPECT_EQ(bankFill(0) + bankFill(1), 0);

    control.controlRequest = kRequestNone;
    command("H1,9470");
    EXPECT_EQ(takeLines(), Lines{kFlags});
    EXPECT_EQ(control.controlRequest, kRequestNone);
    // Beyond the band: nothing changes, the station stays.
    gDriver.rds.tmcQuality = 60;
    for (const char* body : {"H2,10810", "O2,65535"}) command(body);
    EXPECT_EQ(takeLines(), (Lines{kFlags, kFlags}));
    EXPECT_EQ(control.controlRequest, kRequestNone);
    EXPECT_EQ(gDriver.rds.tmcQuality, 60);
    // The Japanese band ends at 90 MHz.
    RegisterShadow& shadow = gDriver.tuner.shadow;
    const std::uint16_t sysconfig2 = shadow.get(si4709::SYSCONFIG2);
    shadow.set(si4709::SYSCONFIG2, si4709::kSysconfig2Band.of(si4709::kBandJapan));
    command("H2,9010");
    EXPECT_EQ(control.controlRequest, kRequestNone);
    command("H2,9000");
    EXPECT_EQ(control.requestedFrequency, 9000);
    shadow.set(si4709::SYSCONFIG2, sysconfig2);
    control.controlRequest = kRequestNone;
    takeLines();
    command("S2,10120");
    EXPECT_EQ(control.autoSearch, 1);
    command("O2,10130");
    EXPECT_EQ(control.controlRequest, kRequestTuneThenSearch);
    EXPECT_EQ(control.autoSearch, 0);
    EXPECT_EQ(takeLines(), (Lines{"$PLTTQ,10130,2,0,0,6*56", kFlags}));

    emitFilterMasks();
    command("+");
    EXPECT_EQ(takeLines(), Lines{kFlags});
    EXPECT_EQ(control.controlRequest, kRequestSearchUp);
    EXPECT_EQ(control.stopSearch, 1);
    EXPECT_EQ(control.autoSearch, 1);

    // The same direction while that search runs leaves the station; only
    // "+" answers.
    control.controlRequest = kRequestNone;
    control.searchState = kSearchingUp;
    command("+");
    EXPECT_EQ(control.skipStation, 1);
    EXPECT_EQ(control.controlRequest, kRequestNone);
    EXPECT_EQ(takeLines(), Lines{kFlags});
    control.skipStation = 0;
    command("-");
    EXPECT_EQ(control.controlRequest, kRequestSearchDown);
    control.searchState = kSearchingDown;
    command("-");
    EXPECT_EQ(control.skipStation, 1);
    EXPECT_EQ(takeLines(), Lines{kFlags});

    // A tune that replaces the search before it starts drops its stop with
    // it, and another search keeps it.
    control.searchState = kSearchIdle;
    command("+");
    command("-");
    EXPECT_EQ(control.stopSearch, 1);
    command("S2,10120");
    EXPECT_EQ(control.controlRequest, kRequestTuneThenSearch);
    EXPECT_EQ(control.stopSearch, 0) << "left set, the automatic search never starts";
    control.controlRequest = kRequestNone;
    takeLines();

    // Over a pending power-down every search command, A3 too, is dropped
    // whole: no answer, the request, the stop and the automatic search as
    // they were.
    control.controlRequest = kRequestPoweredDown;
    control.searchState = kSearchIdle;
    control.stopSearch = 0;
    for (const std::uint8_t autoSearch : {0, 1}) {
        control.autoSearch = autoSearch;
        for (const char* body : {"S2,9470", "+", "-", "A3", "H2,9470"}) command(body);
        EXPECT_EQ(takeLines(), (Lines{kFlags}));  // S answers whether it tunes or not
        EXPECT_EQ(control.controlRequest, kRequestPoweredDown);
        EXPECT_EQ(control.stopSearch, 0);
        EXPECT_EQ(control.autoSearch, autoSearch);
    }
}

TEST_F(CommandParser, FilterCommandsAndTheirLock)
{
    for (const char* body : {"F,511", "F7", "RFB,5", "TMC,8"}) command(body);
    EXPECT_EQ(takeLines(), (Lines{"$PLTTS,1,511*4b", "$PLTTS,1,7*49", "$PLTFD,264,282,5*5b", "$PLTFD,8,282,5*53"}));

    // Mode 1 locks flags and raw masks, not the TMC mask; answers go out anyway.
    for (const char* body : {"MOD,1", "F,503", "RFA,0", "TMC,264"}) command(body);
    EXPECT_EQ(filter.flags, 7);
    EXPECT_EQ(filter.maskA, 282);
    EXPECT_EQ(filter.tmcMask, 264);
    EXPECT_EQ(takeLines(), (Lines{"$PLTFD,8,282,5*53", "$PLTTS,1,7*49", "$PLTFD,8,282,5*53", "$PLTFD,264,282,5*5b"}));
    // Only mode 1 locks: 2 and 0 let the flags through again.
    for (const char* body : {"MOD,2", "F,503", "MOD,0", "RFA,5"}) command(body);
    EXPECT_EQ(filter.flags, 503);
    EXPECT_EQ(filter.maskA, 5);
    takeLines();

    // A reads its number right after the letter.
    control.autoSearch = 1;
    command("A,1");
    EXPECT_EQ(control.autoSearch, 1);
    command("A1");
    EXPECT_EQ(control.autoSearch, 0);
    command("A3");
    EXPECT_EQ(control.controlRequest, kRequestSearchOn);

    // Texts that end early read as empty there.
    takeLines();
    for (const char* text : {"", "$", "$Q", "$QF", "$RE", "$M", "$T", "$a1"}) parseCommand(text);
    EXPECT_EQ(takeLines(), Lines{});
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
    EXPECT_GE(std::max(finished[0], finished[1]) - start, 30'000u);
    EXPECT_LE(std::max(finished[0], finished[1]) - start, 31'000u);
    // Joined: what the unload frees afterwards is then ordered after them.
    for (HANDLE thread : {a, b}) {
        EXPECT_EQ(WaitForSingleObject(thread, 1000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }

    // A tune that waits out a recovery at its start and again at its request
    // holds the guard for 6 s; the command behind it waits its turn and is
    // carried out, not dropped.
    command("VOL,3");
    ASSERT_EQ(world.chip().audio().volume, 3);
    control.controlRequest = kRequestRecover;
    HANDLE tune = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return parseCommand("$H2,9470\r"), 0; }, nullptr, 0, nullptr);
    Sleep(1);
    start = kernel.now();
    HANDLE volume = CreateThread(nullptr, 0, caller, reinterpret_cast<LPVOID>(std::uintptr_t{0}), 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(volume, 10'000), WAIT_OBJECT_0);
    EXPECT_GE(finished[0] - start, 6'000'000u);
    EXPECT_EQ(world.chip().audio().volume, 8);
    EXPECT_EQ(control.controlRequest, kRequestTune);
    for (HANDLE thread : {tune, volume}) {
        EXPECT_EQ(WaitForSingleObject(thread, 1000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
}

}  // namespace
}  // namespace corvane_test
