// Reset, bring-up and power sequences observed on the simulated chip and GPIO.
#include "driver/LoadSteps.h"
#include "tests/tuner/TunerRig.h"

namespace tunertest {
namespace {

constexpr sim::Micros kMs = 1000;

TEST_F(TunerRig, LoadPulsesResetTwiceAndProgramsTheChip)
{
    world.bus().setRecording(true);
    // The bus is powered and opened after the first pulse, 10 ms after the
    // edge, and before the 5000-unit delay is over.
    std::uint64_t powerDuringPulse = 9, opensDuringPulse = 9, powerInDelay = 0, opensInDelay = 0;
    kernel.at(305 * kMs, [&] {
        powerDuringPulse = world.bus().busPowerRequests();
        opensDuringPulse = world.bus().opens();
    });
    kernel.at(312 * kMs, [&] {
        powerInDelay = world.bus().busPowerRequests();
        opensInDelay = world.bus().opens();
    });
    TunerHardwareInit();
    EXPECT_EQ(powerDuringPulse, 0u);
    EXPECT_EQ(opensDuringPulse, 0u);
    EXPECT_EQ(powerInDelay, 1u);
    EXPECT_EQ(opensInDelay, 2u);  // the bus-power handle, then the bus itself

    // First pulse: the line, low since power-on, rises after 300 ms; bus mode
    // is already high then, so the chip is in 2-wire mode.
    const std::vector<sim::LineChange> first = world.resetHistory();
    ASSERT_EQ(first, (std::vector<sim::LineChange>{{300 * kMs, true}}));
    EXPECT_TRUE(world.chip().twoWireMode());
    EXPECT_EQ(world.bus().busPowerRequests(), 1u);
    EXPECT_EQ(world.bus().transferEntryRequests(), 1u);
    EXPECT_EQ(world.bus().openHandles(), 1u);  // the bus-power handle was closed
    EXPECT_NE(gDriver.tuner.pI2CHandle.load(), nullptr);
    EXPECT_TRUE(world.bus().recorded().empty());
    // 10 ms after the edge, then the 5000-unit delay: 1 us a unit at the
    // default clock, plus the microsecond each counter read costs.
    const sim::Micros afterDelay = kernel.now();
    EXPECT_GE(afterDelay, 310 * kMs + 5000);
    EXPECT_LE(afterDelay, 310 * kMs + 5002);

    TunerFirstConfig();
    const std::vector<sim::LineChange> both = world.resetHistory();
    ASSERT_EQ(both,
              (std::vector<sim::LineChange>{{300 * kMs, true}, {afterDelay, false}, {afterDelay + 300 * kMs, true}}));
    // Nothing on the bus until 10 ms after the second edge and 500 ms more.
    ASSERT_FALSE(world.bus().recorded().empty());
    EXPECT_EQ(world.bus().recorded().front().time, afterDelay + 810 * kMs);

    sim::Si4709& chip = world.chip();
    EXPECT_TRUE(chip.poweredUp());
    EXPECT_EQ(chip.reg(POWERCFG), 0x4801);
    EXPECT_EQ(chip.reg(SYSCONFIG1), 0xD804);
    EXPECT_EQ(chip.reg(SYSCONFIG2), 0x141F);
    EXPECT_EQ(chip.reg(SYSCONFIG3), 0x0210);
    // The last full read brought the whole register file into the shadow.
    EXPECT_EQ(shadow(DEVICEID), kDeviceId);
    EXPECT_EQ(shadow(SYSCONFIG3), 0x0210);
    EXPECT_TRUE(debugTexts().empty());
}

TEST_F(TunerRig, PowerDownHoldsResetAndPowerUpDoesNotPulse)
{
    bringUp();
    // Tuned to 94.50 MHz (no interrupt thread here sees STC: the tune gives
    // up waiting for it, the chip is there all the same).
    Tune(9450);
    ReadRegisters(10, 11);
    ASSERT_EQ(ChannelFrequency(), 9450);

    gDriver.tuner.i2cOff = 1;
    gDriver.control.recoveryFrequency = TunerPowerDown();
    EXPECT_EQ(gDriver.control.recoveryFrequency, 9450);
    EXPECT_TRUE(world.chip().inReset());
    CloseBus();  // as the power-down and the unload do
    FreeBusRecord();

    // A pending resume keeps the saved frequency whatever the shadow says.
    gDriver.tuner.shadow.set(READCHAN, 0);
    gDriver.control.controlRequest = 100;
    EXPECT_EQ(TunerPowerDown(), 9450);

    const std::size_t edges = world.resetHistory().size();
    gDriver.tuner.busGuard = 1;
    PIO_init();
    EXPECT_EQ(world.resetHistory().size(), edges);
    EXPECT_TRUE(world.chip().inReset());
    EXPECT_NE(gDriver.tuner.pI2CHandle.load(), nullptr);
    EXPECT_EQ(gDriver.tuner.busGuard, 1) << "the guard stays with the caller, which opened the bus under it";
    gDriver.tuner.busGuard = 0;

    // Held in reset, the chip does not answer the reopened bus.
    gDriver.tuner.i2cOff = 0;
    const std::uint64_t nacks = world.chip().unacknowledged();
    ReadRegisters(10, 11);
    EXPECT_EQ(world.chip().unacknowledged(), nacks + 1);
    EXPECT_EQ(debugTexts(), (std::vector<std::string>{"ERROR: Corvane line 1709: ", "TMC Error:I2C read failed\r\n"}));
}

TEST_F(TunerRig, BringUpFailuresAreReported)
{
    // No bus driver: no delay, and the guard stays as it was.
    world.bus().failOpens(2);
    gDriver.tuner.busGuard = 1;
    TunerHardwareInit();
    EXPECT_EQ(debugTexts(), std::vector<std::string>{"PIO_init: I2C_Open failed\r\n"});
    EXPECT_EQ(gDriver.tuner.pI2CHandle.load(), nullptr);
    EXPECT_EQ(kernel.now(), 310 * kMs);
    EXPECT_EQ(gDriver.tuner.busGuard, 1);

    // Every later transfer then says the handle is missing.
    kernel.clearDebugLog();
    gDriver.tuner.busGuard = 0;
    SetVolume(3);
    ReadRegisters(10, 15);
    EXPECT_EQ(debugTexts(),
              (std::vector<std::string>{"ERROR: Corvane line 1607: ", "TMC Error: pI2CHandle is NULL\r\n",
                                        "ERROR: Corvane line 1647: ", "TMC Error: pI2CHandle is NULL\r\n"}));
}

TEST_F(TunerRig, UnmappedWindowsStopTheBringUp)
{
    world.soc().failVirtualCopyOfWindow(1);
    TunerHardwareInit();
    EXPECT_EQ(debugTexts().back(), "Atlas4 4709 Init: CspRegMap failed\r\n");
    EXPECT_TRUE(world.resetHistory().empty());
    EXPECT_EQ(world.bus().opens(), 0u);
    // Later sequences cannot reach the lines either, and do not try.
    TunerReset();
    TunerPowerDown();
    EXPECT_TRUE(world.resetHistory().empty());
    EXPECT_EQ(world.soc().gpio().strayAccesses(), 0u);
}

}  // namespace
}  // namespace tunertest
