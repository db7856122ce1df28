// The application's recovery request on the whole driver: the chip is reset
// after the control loop's 3 s pause and the receiver comes back on the
// station it was on, as it does after a power-up.
#include "control/ControlState.h"
#include "driver/DriverContext.h"
#include "tests/support/DriverFixtures.h"

#include <functional>
#include <vector>

namespace {

class RecoverRequest : public DeviceTest {
protected:
    RecoverRequest() { addTwoStations(world); }
    void SetUp() override
    {
        load();
        Sleep(100);
        write("$PLTCM,H2,10120\r\n");
        Sleep(2000);
        ASSERT_EQ(world.chip().frequency(), 10120);
    }
    BOOL recover() { return device.recover(); }
    BOOL suspendResume(BYTE request) { return device.suspendResume(request); }
    void command(const std::string& text) { device.command(text); }
};

TEST_F(RecoverRequest, TheChipIsResetAndTunedBackToItsStation)
{
    const std::size_t resets = world.resetHistory().size();
    const sim::Micros asked = kernel.now();
    EXPECT_FALSE(recover());
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestRecover);
    Sleep(2900);
    EXPECT_EQ(world.resetHistory().size(), resets) << "the 3 s pause comes first";
    Sleep(2000);
    EXPECT_GT(world.resetHistory().size(), resets);
    EXPECT_GE(world.resetHistory().back().time - asked, 3000'000u);
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestNone);
    EXPECT_EQ(world.chip().frequency(), 10120) << "the station it was on";

    // Asked for again while the first is still pending: the same station.
    recover();
    Sleep(1000);
    recover();
    Sleep(5000);
    EXPECT_EQ(world.chip().frequency(), 10120);

    // While powered down it waits for the power-up, which comes back on the
    // frequency saved at the power-down.
    device.powerDown();
    recover();
    device.powerUp();
    Sleep(5000);
    EXPECT_EQ(world.chip().frequency(), 10120);

    // A one-seek search asked for during that recovery starts from the
    // station: down from 101.20 MHz is 100.50, not a wrap from the bottom.
    world.addStation(10050, 40, 25);
    command("$PLTCM,F,407");
    device.powerDown();
    device.powerUp();
    command("$PLTCM,-");
    Sleep(5000);
    ASSERT_EQ(world.chip().frequency(), 10050);

    // A recovery that a power-down interrupts anywhere (in its pause, with
    // the chip in reset, in the tune back) ends, after the power-up, on the
    // station all the same: by the power manager's D3 and D0, and by the
    // system's suspend and resume. Every 5 ms: the pause's last step is 10 ms.
    for (unsigned at = 2900; at <= 3700; at += 5) {
        SCOPED_TRACE(at);
        recover();
        Sleep(at);
        if (at % 20 == 0) {
            device.setPowerState(3);
            device.setPowerState(0);
        } else {
            device.powerDown();
            device.powerUp();
        }
        Sleep(6000);
        ASSERT_EQ(world.chip().frequency(), 10050);
        // The system's resume also owes the bus opened afresh, the interrupt
        // acknowledged and the rings emptied: done, also when the suspend
        // came after the pause, when the recovery under way took the
        // resume's request as its own.
        ASSERT_EQ(gDriver.control.powerUpOwed.load(), 0);
    }
}

}  // namespace

namespace {

// A power-up asks for a recovery, which switches the bus back on. A command
// handed over on the application's thread right after the power-up waits at
// most 3 s for it and then goes ahead; when the control thread was frozen in
// the middle of a seek, its 3 s pause starts a little later than that wait.
// The command must not cost the recovery: the bus comes back on and the
// command is carried out after it.
TEST_F(RecoverRequest, ACommandRightAfterAPowerUpDoesNotCostTheRecovery)
{
    write("$PLTCM,+\r\n");
    ASSERT_NE(
        [&] {
            for (int i = 0; i < 2000; ++i, Sleep(1))
                if (world.chip().seeking()) return kernel.now();
            return sim::Micros{0};
        }(),
        0u);
    Sleep(35);
    ASSERT_TRUE(world.chip().seeking());
    device.powerDown();
    Sleep(1000);
    device.powerUp();
    command("$PLTCM,H2,9470");
    Sleep(3000);
    EXPECT_EQ(gDriver.tuner.i2cOff.load(), 0) << "the bus stayed off";
    EXPECT_FALSE(world.chip().inReset());
    EXPECT_EQ(world.chip().frequency(), 9470);
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestNone);
}

// A search command just before a power-down, a power request or the
// recovery request: the recovery replaces the search's request, so that
// search never starts. The command also stopped any search running; that
// stop must not outlive the search it made way for, or the receiver, on a
// station without TMC, never looks for one again.
TEST_F(RecoverRequest, ASearchReplacedByARecoveryLeavesTheAutomaticSearchFree)
{
    for (unsigned way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        command("$PLTCM,H2,10120");
        Sleep(2000);
        command("$PLTCM,-");
        if (way == 0) {
            device.powerDown();
            device.powerUp();
        } else if (way == 1) {
            device.setPowerState(4);
            device.setPowerState(0);
        } else {
            recover();
        }
        Sleep(8000);
        EXPECT_EQ(gDriver.control.stopSearch.load(), 0);
        EXPECT_NE(gDriver.control.searchState.load(), kSearchIdle) << "no station here has TMC: the search goes on";
    }

    // Three writers: a recovery, the search command that gave up waiting for
    // it (its code takes the recovery's place and is held back through the
    // tune back), and a second recovery that comes during the tune back and
    // takes the place the search was to be posted back to. The processor,
    // taken from the control thread for a while, makes the first recovery
    // outlast the command's wait.
    command("$PLTCM,H2,10120");
    Sleep(2000);
    recover();
    Sleep(100);  // in the recovery's pause
    kernel.holdThread(gDriver.lifecycle.controlThread, true);
    command("$PLTCM,-");
    ASSERT_EQ(gDriver.control.controlRequest.load(), kRequestSearchDown) << "the command gave up waiting";
    kernel.holdThread(gDriver.lifecycle.controlThread, false);
    for (unsigned ms = 0; gDriver.control.retuning.load() == 0; ++ms) {
        ASSERT_LT(ms, 5000u) << "no tune back";
        Sleep(1);
    }
    recover();
    Sleep(8000);
    EXPECT_EQ(gDriver.control.stopSearch.load(), 0) << "a search that was dropped stops nothing";
}

}  // namespace

// The interrupt thread's time-out asked for a recovery, and a system suspend
// came before the control loop took it. The resume's recovery resets and
// programs the chip: the request it served must not reset it once more.
TEST_F(RecoverRequest, ARecoveryPendingAtASuspendIsServedByTheResume)
{
    gDriver.control.recoveryNeeded.store(1);
    device.powerDown();
    device.powerUp();
    Sleep(4000);
    const std::size_t resets = world.resetHistory().size();
    EXPECT_EQ(gDriver.control.recoveryNeeded.load(), 0);
    Sleep(8000);
    EXPECT_EQ(world.resetHistory().size(), resets) << "a second recovery after the resume's";
    EXPECT_EQ(world.chip().frequency(), 10120);
}

// A supply dip resets the chip behind the driver's back. A tune written from
// the shadow powers it up again, RDS on, so that interrupts keep coming and
// the interrupt thread's one-minute time-out never fires; band and volume
// stay as the reset left them. The next read of the whole register file (a
// seek setting, the firmware report) finds them lost and the chip is
// programmed afresh, not left muted for good.
TEST_F(RecoverRequest, AChipASupplyDipResetIsProgrammedAgain)
{
    const std::uint8_t volume = gDriver.tuner.settings.volume.load();
    ASSERT_NE(volume, 0);
    for (const char* readBack : {"$PLTCM,QFI,20", "$PLTCM,V"}) {
        SCOPED_TRACE(readBack);
        world.chip().supplyDip();
        command("$PLTCM,H2,10120");
        Sleep(1000);
        ASSERT_TRUE(world.chip().poweredUp());
        ASSERT_TRUE(world.chip().audio().muted);
        command(readBack);
        Sleep(6000);
        EXPECT_EQ(world.chip().audio().volume, volume);
        EXPECT_FALSE(world.chip().audio().muted);
    }

    // A band mode command programs the chip afresh, which would hide the dip
    // and leave the chip on no station: it reads the chip back first, and
    // the dip it finds is recovered (the reset line pulses).
    world.chip().supplyDip();
    const std::size_t resets = world.resetHistory().size();
    command("$PLTCM,B,0");
    Sleep(6000);
    EXPECT_GT(world.resetHistory().size(), resets) << "the dip before the band mode command was recovered";
}

// A supply dip (an engine start) resets the chip to the bottom of the band
// and nobody tells the driver; once it finds the chip reset (here: the
// firmware report reads the registers back) its recovery goes back where the
// driver had put the chip, not where the reset chip says it is: the station
// it was on, the station a tune under way was going to, the station a search
// was waiting on, from which the search goes on.
TEST_F(RecoverRequest, ASupplyDipKeepsTheStation)
{
    const auto sleepUntil = [&](const std::function<bool()>& reached) {
        for (unsigned ms = 0; !reached(); ++ms) {
            if (ms == 5000) return false;
            Sleep(1);
        }
        return true;
    };
    world.chip().supplyDip();
    command("$PLTCM,V");
    Sleep(6000);
    EXPECT_EQ(world.chip().frequency(), 10120) << "on a station";

    command("$PLTCM,H2,9470");
    ASSERT_TRUE(sleepUntil([&] { return world.chip().tuning(); }));
    world.chip().supplyDip();
    Sleep(1000);
    command("$PLTCM,V");
    Sleep(6000);
    EXPECT_EQ(world.chip().frequency(), 9470) << "during a tune";

    // Down from 101.20 MHz the search waits on 100.00 MHz for RDS; after the
    // dip it goes on down to 94.70 MHz, not round from the bottom of the band.
    world.addStation(10000, 40, 25);
    command("$PLTCM,H2,10120");
    Sleep(2000);
    command("$PLTCM,-");
    ASSERT_TRUE(sleepUntil([&] { return world.chip().seeking(); }));
    ASSERT_TRUE(sleepUntil([&] { return !world.chip().seeking(); }));
    Sleep(1000);
    ASSERT_EQ(world.chip().frequency(), 10000);
    world.chip().supplyDip();
    command("$PLTCM,V");
    std::uint16_t next = 0;  // the first station a seek stops on
    for (unsigned ms = 0; ms < 60000 && next == 0; ms += 10) {
        const bool seeking = world.chip().seeking();
        Sleep(10);
        const std::uint16_t at = world.chip().frequency();
        if (seeking && !world.chip().seeking() && (at == 9470 || at == 10000 || at == 10120)) next = at;
    }
    EXPECT_EQ(next, 9470) << "during a search";
}

// The application suspends the receiver while the command reader is in the
// middle of a command (its pause before carrying it out), and resumes it at
// once: the reader goes on with the command while the resume's recovery,
// which opens the bus again, is still pending. The command waits for the
// recovery instead of taking its place; the receiver comes back and is then
// tuned as the command asked.
TEST_F(RecoverRequest, ACommandASuspendInterruptedWaitsForTheResumesRecovery)
{
    const ByteRing& input = gDriver.channel.inputRing;
    const std::uint16_t frequencies[] = {9470, 10120};
    for (unsigned at = 0; at < 15; ++at) {
        SCOPED_TRACE(at);
        const std::uint16_t frequency = frequencies[at % 2];
        // A bare CR ends the line: the ring is empty once the reader has it.
        write("$PLTCM,H2," + std::to_string(frequency) + "\r");
        while (input.head != input.tail) Sleep(1);
        Sleep(at);
        suspendResume(2);
        suspendResume(1);
        Sleep(6000);
        ASSERT_EQ(gDriver.tuner.i2cOff.load(), 0) << "the bus stayed off";
        ASSERT_FALSE(world.chip().inReset());
        ASSERT_EQ(world.chip().frequency(), frequency);
    }
}

// The application's resume while the receiver runs, in the middle of a
// recovery: the power-up's own request is the recovery's code already, and
// that recovery may take it as its own. On a slow bus the power-up does not
// get the bus guard, and closes the bus without opening it again. The bus
// must be opened again all the same, wherever in the recovery that happens.
// (Where the power-up comes in the middle of the chip's programming, the
// recovery that follows may tune to where the chip was left, not back to the
// station: that is the rule for every recovery the programming's failure
// asks for.)
TEST_F(RecoverRequest, ABusAPowerUpCouldNotOpenAgainDuringARecoveryIsOpened)
{
    for (unsigned at = 0; at <= 1500; at += 1) {
        SCOPED_TRACE(at);
        const std::size_t resets = world.resetHistory().size();
        recover();
        while (world.resetHistory().size() == resets) Sleep(1);
        world.bus().setTransferDelay(200'000);
        Sleep(at);
        suspendResume(1);
        world.bus().setTransferDelay(0);
        Sleep(10000);
        ASSERT_NE(gDriver.tuner.pI2CHandle.load(), nullptr) << "the bus stayed closed";
        ASSERT_TRUE(world.chip().poweredUp());
    }
}
