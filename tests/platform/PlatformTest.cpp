// The platform access layer on the simulated Atlas IV: window mapping and its
// failures, the utility driver, pin changes against another writer, the timer
// delay and the opening of the I2C bus driver.
#include "tests/tuner/TunerRig.h"

namespace {

using PlatformRig = tunertest::TunerRig;

bool noWindowMapped()
{
    for (PVOID address : gDriver.platform.windowAddress) {
        if (address != nullptr) {
            return false;
        }
    }
    return true;
}

TEST_F(PlatformRig, FailedWindowUndoesTheWholeMapping)
{
    // Window 11 (GPIO) cannot be bound: windows 1..10 are released again.
    world.soc().failVirtualCopyOfWindow(11);
    EXPECT_EQ(CspRegMap(kMapDirect), 0u);
    EXPECT_TRUE(noWindowMapped());
    EXPECT_EQ(world.soc().liveReservations(), 0u);
    EXPECT_EQ(debugTexts(), (std::vector<std::string>{
                                "ERROR: Valloc line 51: ",
                                "VirtualCopy failed! CspMapReg : addr=0xab090000, offset=0x0(0x8)\r\n",
                            }));

    // The fifth reservation fails: the four before it are released.
    kernel.clearDebugLog();
    world.soc().failVirtualCopyOfWindow(0);
    world.soc().failVirtualAllocAfter(4);
    EXPECT_EQ(CspRegMap(kMapDirect), 0u);
    EXPECT_TRUE(noWindowMapped());
    EXPECT_EQ(world.soc().liveReservations(), 0u);
    EXPECT_EQ(debugTexts(), (std::vector<std::string>{
                                "ERROR: Valloc line 45: ",
                                "VirtualAlloc failed! CspMapReg : size=0x90, (0x8)\r\n",
                            }));

    // Without the platform's answer nothing is even tried.
    kernel.clearDebugLog();
    world.soc().failPlatformInfo(true);
    const auto allocations = world.soc().virtualAllocCalls();
    EXPECT_EQ(CspRegMap(kMapDirect), 0u);
    EXPECT_EQ(world.soc().virtualAllocCalls(), allocations);
    EXPECT_TRUE(debugTexts().empty());
}

TEST_F(PlatformRig, UtilityDriverMapsAndOpensOnce)
{
    ASSERT_EQ(CspRegMap(kMapUtility), 1u);
    EXPECT_EQ(world.utility().maps(), kRegisterWindowCount);
    EXPECT_EQ(world.soc().virtualAllocCalls(), 0u);
    EXPECT_EQ(READ_REGISTER_ULONG(WindowRegister(kClockWindow, kClockRateWord)), sim::kDefaultClockRate);
    EXPECT_EQ(world.utility().openHandles(), 1u);  // stays open after mapping

    EXPECT_EQ(OpenUtl(), 1u);
    EXPECT_EQ(world.utility().opens(), 1u);
    EXPECT_EQ(world.utility().interfaceRequests(), 1u);

    CspRegUnmap();
    EXPECT_TRUE(noWindowMapped());
    EXPECT_EQ(world.utility().openHandles(), 0u);
    EXPECT_EQ(gDriver.platform.utlHandle, nullptr);
}

TEST_F(PlatformRig, PinChangeRetriesWithTheValueFound)
{
    ASSERT_EQ(CspRegMap(kMapDirect), 1u);
    sim::GpioWindow& gpio = world.soc().gpio();
    gpio.poke(sim::kGpioPadSelect, 0x0001);
    // Another writer sets bit 3 between the driver's read and its exchange.
    gpio.interfereOnce(sim::kGpioPadSelect, 0, 1u << 3);
    PadSelect(kPadSelectReset);
    EXPECT_EQ(gpio.peek(sim::kGpioPadSelect), 0x0001u | 1u << 3 | kPadSelectReset);
    const sim::MemoryWindow::Counts counts = gpio.counts(sim::kGpioPadSelect);
    EXPECT_EQ(counts.compareExchanges, 2u);
    EXPECT_EQ(counts.reads, 3u);  // one plain read, then what each exchange found

    // The three line changes touch only bits 4 to 6.
    gpio.poke(sim::kGpioResetControl, 0xFFFFFF9F);
    PinDriveLow(kResetLine);
    EXPECT_EQ(gpio.peek(sim::kGpioResetControl), 0xFFFFFF8Fu);
    PinMakeOutput(kResetLine);
    EXPECT_EQ(gpio.peek(sim::kGpioResetControl), 0xFFFFFFAFu);
    PinDriveHigh(kResetLine);
    EXPECT_EQ(gpio.peek(sim::kGpioResetControl), 0xFFFFFFEFu);
}

TEST_F(PlatformRig, TimerDelayCountsTicksAcrossWrap)
{
    ASSERT_EQ(CspRegMap(kMapDirect), 1u);
    sim::TimerWindow& timer = world.soc().timer();

    // 0 does not touch the timer.
    sim::Micros start = kernel.now();
    TimerDelay(0);
    EXPECT_EQ(kernel.now(), start);
    EXPECT_EQ(timer.counts(sim::kTimerLatch).writes, 0u);
    EXPECT_EQ(timer.counts(sim::kTimerCounter).reads, 0u);

    // At the default rate a unit is 6 ticks of the 6 MHz counter: 1 us. The
    // counter wraps half-way through the wait.
    timer.setCounter(0xFFFFFFFFu - 3 * 6000);
    start = kernel.now();
    TimerDelay(6000);
    EXPECT_GE(kernel.now() - start, 6000u);
    EXPECT_LE(kernel.now() - start, 6002u);

    // A clock word below 2,000,000 gives 0 ticks a unit: one pass and out.
    world.soc().setClockRate(1'999'999);
    const auto reads = timer.counts(sim::kTimerCounter).reads;
    TimerDelay(5000);
    EXPECT_EQ(timer.counts(sim::kTimerCounter).reads - reads, 2u);
}

TEST_F(PlatformRig, RefusedBusOpenLeavesNothingBehind)
{
    const std::size_t allocations = kernel.liveAllocations();
    world.bus().refuseTransferEntry(true);
    EXPECT_EQ(I2C_Open(TEXT("I2C1:")), nullptr);
    EXPECT_EQ(world.bus().transferEntryRequests(), 1u);
    EXPECT_EQ(world.bus().openHandles(), 0u);
    EXPECT_EQ(kernel.liveAllocations(), allocations);
}

}  // namespace
