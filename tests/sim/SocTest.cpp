// The simulated Atlas IV: window mapping and its faults, the GPIO lines into
// the chip, the compare-exchange interference hook, the timer and clock word.
#include "platform/BusTypes.h"
#include "platform/ce/WinCE.h"
#include "tests/support/DriverFixtures.h"

#include <vector>

namespace {

// Line changes and the timer counter at exact times.
class Soc : public WorldTest {
protected:
    Soc() : WorldTest(kExactTimings) {}
};

void* physical(std::uint32_t base)
{
    return reinterpret_cast<void*>(std::uintptr_t{base});
}

void* mapWindow(const sim::WindowInfo& window)
{
    void* reserved = VirtualAlloc(nullptr, window.size, MEM_RESERVE, PAGE_NOACCESS);
    if (reserved == nullptr) {
        return nullptr;
    }
    if (!VirtualCopy(reserved, physical(window.base), window.size, PAGE_READWRITE | PAGE_NOCACHE)) {
        VirtualFree(reserved, 0, MEM_RELEASE);
        return nullptr;
    }
    return reserved;
}

TEST_F(Soc, BindsEveryKnownWindowAndRefusesTheRest)
{
    sim::Soc& soc = world.soc();

    std::vector<BYTE> info(kPlatformInfoBytes, 0xEE);
    DWORD returned = 0;
    EXPECT_FALSE(KernelIoControl(kIoctlHalPlatformInfo, nullptr, 0, info.data(), kPlatformInfoBytes - 1, &returned));
    EXPECT_FALSE(KernelIoControl(0x01012074, nullptr, 0, info.data(), kPlatformInfoBytes, &returned));
    EXPECT_TRUE(KernelIoControl(kIoctlHalPlatformInfo, nullptr, 0, info.data(), kPlatformInfoBytes, &returned));
    EXPECT_EQ(returned, kPlatformInfoBytes);

    std::vector<void*> mapped;
    for (const sim::WindowInfo& window : sim::kRegisterWindows) {
        mapped.push_back(mapWindow(window));
        ASSERT_NE(mapped.back(), nullptr) << std::hex << window.base;
    }
    for (unsigned n = 1; n <= sim::kRegisterWindows.size(); ++n) {
        EXPECT_EQ(soc.bindings(n), 1u) << n;
    }
    // A plain window keeps what is written; the clock window shows the rate.
    auto* plain = static_cast<volatile ULONG*>(mapped[0]);
    WRITE_REGISTER_ULONG(plain + 3, 0x12345678);
    EXPECT_EQ(READ_REGISTER_ULONG(plain + 3), 0x12345678u);
    auto* clock = static_cast<volatile ULONG*>(mapped[sim::kClockWindowNumber - 1]);
    EXPECT_EQ(READ_REGISTER_ULONG(clock + sim::kClockRateWord / 4), sim::kDefaultClockRate);
    soc.setClockRate(1'999'999);
    EXPECT_EQ(READ_REGISTER_ULONG(clock + sim::kClockRateWord / 4), 1'999'999u);

    // Unknown base, cached mapping, size beyond the reservation, bad release.
    void* reserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(reserved, nullptr);
    EXPECT_FALSE(VirtualCopy(reserved, physical(0xAB091000), 4096, PAGE_READWRITE | PAGE_NOCACHE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualCopy(reserved, physical(sim::kGpioWindowBase), 1536, PAGE_READWRITE));
    EXPECT_FALSE(VirtualCopy(reserved, physical(sim::kGpioWindowBase), 8192, PAGE_READWRITE | PAGE_NOCACHE));
    EXPECT_FALSE(VirtualFree(reserved, 4096, MEM_RELEASE));
    EXPECT_TRUE(VirtualFree(reserved, 0, MEM_RELEASE));
    EXPECT_EQ(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
    // Released twice: the verifier's report, and the call fails.
    std::vector<std::string> reports;
    kernel.setVerifierHandler([&](const std::string& report) { reports.push_back(report); });
    EXPECT_FALSE(VirtualFree(reserved, 0, MEM_RELEASE));
    EXPECT_EQ(reports, (std::vector<std::string>{"memory freed twice (VirtualFree)"}));

    for (void* address : mapped) {
        EXPECT_TRUE(VirtualFree(address, 0, MEM_RELEASE));
    }
    EXPECT_EQ(soc.liveReservations(), 0u);
    EXPECT_EQ(soc.bindings(sim::kGpioWindowNumber), 0u);
}

TEST_F(Soc, MappingFaultsHitTheChosenCallOrWindow)
{
    sim::Soc& soc = world.soc();

    soc.failVirtualAllocAfter(2);
    EXPECT_NE(VirtualAlloc(nullptr, 16, MEM_RESERVE, PAGE_NOACCESS), nullptr);
    EXPECT_NE(VirtualAlloc(nullptr, 16, MEM_RESERVE, PAGE_NOACCESS), nullptr);
    EXPECT_EQ(VirtualAlloc(nullptr, 16, MEM_RESERVE, PAGE_NOACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_NE(VirtualAlloc(nullptr, 16, MEM_RESERVE, PAGE_NOACCESS), nullptr);  // once only

    soc.failVirtualCopyOfWindow(sim::kGpioWindowNumber);
    EXPECT_EQ(mapWindow(sim::kRegisterWindows[sim::kGpioWindowNumber - 1]), nullptr);
    EXPECT_NE(mapWindow(sim::kRegisterWindows[sim::kTimerWindowNumber - 1]), nullptr);
    soc.failVirtualCopyOfWindow(0);
    EXPECT_NE(mapWindow(sim::kRegisterWindows[sim::kGpioWindowNumber - 1]), nullptr);

    soc.failPlatformInfo(true);
    std::vector<BYTE> info(kPlatformInfoBytes);
    EXPECT_FALSE(KernelIoControl(kIoctlHalPlatformInfo, nullptr, 0, info.data(), kPlatformInfoBytes, nullptr));
}

TEST_F(Soc, GpioLinesFollowEnablePadAndLevelAndTheChipSeesThem)
{
    auto* gpio = static_cast<volatile ULONG*>(mapWindow(sim::kRegisterWindows[sim::kGpioWindowNumber - 1]));
    ASSERT_NE(gpio, nullptr);
    volatile ULONG* reset = gpio + sim::kGpioResetControl / 4;
    volatile ULONG* pads = gpio + sim::kGpioPadSelect / 4;
    sim::GpioWindow& lines = world.soc().gpio();
    const sim::Micros t0 = kernel.now();

    // Level and enable without the pad: still undriven, pulled low.
    WRITE_REGISTER_ULONG(reset, sim::kPinOutputEnable | sim::kPinOutputLevel);
    EXPECT_FALSE(lines.level(sim::GpioLine::Reset));
    Sleep(5);
    WRITE_REGISTER_ULONG(pads, 0x3u | sim::kPadSelectReset);
    EXPECT_TRUE(lines.level(sim::GpioLine::Reset));
    EXPECT_FALSE(world.chip().inReset());
    Sleep(7);
    WRITE_REGISTER_ULONG(reset, sim::kPinOutputLevel);  // output disabled
    EXPECT_TRUE(world.chip().inReset());
    Sleep(3);
    WRITE_REGISTER_ULONG(reset, sim::kPinOutputEnable);  // driven low: no change
    const std::vector<sim::LineChange> expected = {{t0 + 5'000, true}, {t0 + 12'000, false}};
    EXPECT_EQ(world.resetHistory(), expected);
    EXPECT_TRUE(lines.history(sim::GpioLine::BusMode).empty());

    // Another writer changes the register just before a compare-exchange: the
    // exchange against the stale value fails and returns what it found.
    const LONG stale = static_cast<LONG>(READ_REGISTER_ULONG(reset));
    world.soc().gpio().interfereOnce(sim::kGpioResetControl, 0, 0x1);
    auto* target = reinterpret_cast<volatile LONG*>(reset);
    const LONG found = InterlockedCompareExchange(target, stale | 0x40, stale);
    EXPECT_EQ(found, stale | 0x1);
    EXPECT_FALSE(lines.level(sim::GpioLine::Reset));
    EXPECT_EQ(InterlockedCompareExchange(target, found | 0x40, found), found);
    EXPECT_EQ(READ_REGISTER_ULONG(reset), static_cast<ULONG>(stale | 0x41));
    EXPECT_TRUE(lines.level(sim::GpioLine::Reset));
    EXPECT_EQ(lines.counts(sim::kGpioResetControl).compareExchanges, 2u);
}

// The driver's delay: n units of clock/2,000,000 counter ticks, latching
// before every counter read.
void timerDelay(volatile ULONG* timer, volatile ULONG* clock, DWORD n)
{
    WRITE_REGISTER_ULONG(timer + sim::kTimerLatch / 4, 1);
    const ULONG start = READ_REGISTER_ULONG(timer + sim::kTimerCounter / 4);
    // Bounded, so that a counter that stopped fails the test instead of hanging it.
    for (int reads = 0; reads < 1'000'000; ++reads) {
        WRITE_REGISTER_ULONG(timer + sim::kTimerLatch / 4, 1);
        const ULONG needed = n * (READ_REGISTER_ULONG(clock + sim::kClockRateWord / 4) / 2'000'000u);
        if (READ_REGISTER_ULONG(timer + sim::kTimerCounter / 4) - start >= needed) {
            return;
        }
    }
    ADD_FAILURE() << "the timer counter never reached the delay";
}

TEST_F(Soc, TimerCounterFollowsVirtualTimeOnlyThroughTheLatch)
{
    auto* timer = static_cast<volatile ULONG*>(mapWindow(sim::kRegisterWindows[sim::kTimerWindowNumber - 1]));
    auto* clock = static_cast<volatile ULONG*>(mapWindow(sim::kRegisterWindows[sim::kClockWindowNumber - 1]));
    ASSERT_NE(timer, nullptr);
    ASSERT_NE(clock, nullptr);
    world.soc().timer().setReadCost(0);

    Sleep(10);
    EXPECT_EQ(READ_REGISTER_ULONG(timer + sim::kTimerCounter / 4), 0u);  // nothing latched yet
    WRITE_REGISTER_ULONG(timer + sim::kTimerLatch / 4, 1);
    ASSERT_EQ(READ_REGISTER_ULONG(timer + sim::kTimerCounter / 4), 60'000u);  // 6 MHz
    Sleep(1);
    EXPECT_EQ(READ_REGISTER_ULONG(timer + sim::kTimerCounter / 4), 60'000u);

    // A busy wait ends because every counter read costs virtual time; a
    // counter wrapping meanwhile does not shorten it.
    world.soc().timer().setReadCost(1);
    world.soc().timer().setCounter(0xFFFFF000u);
    sim::Micros start = kernel.now();
    timerDelay(timer, clock, 5000);
    EXPECT_EQ(kernel.now() - start, 5001u);  // one read before the wait starts

    // The chip keeps time during a busy wait, also when an earlier wait of this
    // thread ended before its time-out.
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    kernel.after(1'000, [&] { SetEvent(event); });
    ASSERT_EQ(WaitForSingleObject(event, 20), WAIT_OBJECT_0);
    sim::Micros ran = 0;
    const sim::Micros due = kernel.now() + 30'000;
    kernel.at(due, [&] { ran = kernel.now(); });
    timerDelay(timer, clock, 50'000);
    EXPECT_EQ(ran, due);
    CloseHandle(event);

    // A clock word below 2,000,000 makes every unit zero ticks long.
    world.soc().setClockRate(1'999'999);
    start = kernel.now();
    timerDelay(timer, clock, 5000);
    EXPECT_EQ(kernel.now() - start, 2u);

    // The count is the whole quotient of time and rate, for a rate that does
    // not divide a second and where their product passes 64 bits (an hour at
    // 6 GHz); it wraps at 32 bits.
    sim::TimerWindow& counter = world.soc().timer();
    counter.setTicksPerSecond(32'768);
    counter.setCounter(0);
    Sleep(1'501);
    EXPECT_EQ(counter.counter(), 49'184u);  // 1.501 s: 49184.768 ticks
    counter.setTicksPerSecond(6'000'000'000);
    counter.setCounter(0);
    Sleep(3'601'500);
    EXPECT_EQ(counter.counter(), 1'019'533'824u);  // 3601.5 s * 6 GHz, modulo 2^32
}

TEST_F(Soc, HeldInterruptLineIsSeenAgainAsSoonAsTheDriverAcknowledges)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(InterruptInitialize(kSysIntrTuner, event, nullptr, 0));
    sim::Soc& soc = world.soc();
    soc.holdTunerInterruptLine(true);
    EXPECT_FALSE(soc.tunerInterruptLevel());
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    // Masked until acknowledged: nothing comes meanwhile, however long.
    Sleep(50);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    InterruptDone(kSysIntrTuner);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    InterruptDone(kSysIntrTuner);
    EXPECT_EQ(WaitForSingleObject(event, sim::Soc::kHeldLineRepeat / 1000), WAIT_OBJECT_0);
    const std::uint64_t delivered = world.kernel().interruptsDelivered(kSysIntrTuner);
    EXPECT_EQ(delivered, 3u);
    // The chip's own pulses are lost in the held level; released, the line
    // is quiet again.
    soc.tunerInterruptLine(false);
    soc.tunerInterruptLine(true);
    soc.holdTunerInterruptLine(false);
    InterruptDone(kSysIntrTuner);
    Sleep(50);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(world.kernel().interruptsDelivered(kSysIntrTuner), delivered);
    EXPECT_EQ(soc.tunerInterruptEdges(), 1u);
    InterruptDisable(kSysIntrTuner);
    CloseHandle(event);
}

}  // namespace
