// The "I2C1:" bus driver and the "UTL0:" utility driver as the tuner driver
// uses them: opening, the transfer entry, request checks and injected faults.
#include "ChipRig.h"

namespace simtest {
namespace {

using Bus = ChipRig;

TEST_F(Bus, HandsOutItsTransferEntryAndCountsBusPower)
{
    sim::I2CBus& i2c = world.bus();
    EXPECT_EQ(bus.context, i2c.context());
    EXPECT_EQ(bus.transfer, &sim::I2CBus::transfer);
    EXPECT_EQ(i2c.openHandles(), 1u);

    HANDLE temporary = CreateFileW(TEXT("I2C1:"), 0, 0, nullptr, 0, 0, nullptr);
    ASSERT_NE(temporary, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeviceIoControl(temporary, kIoctlI2CBusPower, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_FALSE(DeviceIoControl(temporary, 0x220004, nullptr, 0, nullptr, 0, nullptr, nullptr));
    CloseHandle(temporary);
    EXPECT_EQ(i2c.busPowerRequests(), 1u);
    EXPECT_EQ(i2c.openHandles(), 1u);

    // An output too small for the bus part is refused; so is every request
    // while the driver refuses the code; a failing open gives no handle.
    I2CHandle other{};
    BYTE zeros[16] = {};
    EXPECT_FALSE(DeviceIoControl(bus.device, kIoctlI2CGetTransferEntry, zeros, 16, &other, kI2CHandleBusPart - 1,
                                 nullptr, nullptr));
    i2c.refuseTransferEntry(true);
    EXPECT_FALSE(
        DeviceIoControl(bus.device, kIoctlI2CGetTransferEntry, zeros, 16, &other, kI2CHandleBusPart, nullptr, nullptr));
    EXPECT_EQ(other.transfer, nullptr);
    i2c.failOpens(1);
    EXPECT_EQ(CreateFileW(TEXT("I2C1:"), 0, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    HANDLE again = CreateFileW(TEXT("I2C1:"), 0, 0, nullptr, 0, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    EXPECT_EQ(i2c.opens(), 3u);
}

TEST_F(Bus, EveryMalformedRequestFailsWithoutReachingTheChip)
{
    BYTE data[32] = {};
    auto good = [&] {
        I2CRequest r{};
        r.writeAddress = 0x20;
        r.readAddress = 0x21;
        r.clockSetup = clockSetup;
        r.clockSetupLength = 2;
        r.busSetup = busSetup;
        r.busSetupLength = 2;
        r.busTiming = 40000;
        r.direction = kI2CDirectionRead;
        r.data = data;
        r.length = 2;
        return r;
    };
    const std::vector<void (*)(I2CRequest&)> breakages = {
        [](I2CRequest& r) { r.readAddress = 0x23; },   [](I2CRequest& r) { r.writeAddress = 0x21; },
        [](I2CRequest& r) { r.clockSetup = nullptr; }, [](I2CRequest& r) { r.busSetupLength = 3; },
        [](I2CRequest& r) { r.options = 1; },          [](I2CRequest& r) { r.direction = 2; },
        [](I2CRequest& r) { r.data = nullptr; },       [](I2CRequest& r) { r.length = 0; },
        [](I2CRequest& r) { r.length = 33; },
    };
    for (auto breakIt : breakages) {
        I2CRequest r = good();
        breakIt(r);
        EXPECT_FALSE(bus.transfer(bus.context, &r));
    }
    EXPECT_EQ(world.bus().malformedRequests(), breakages.size());
    EXPECT_EQ(world.chip().busReads(), 0u);
    I2CRequest r = good();
    EXPECT_FALSE(bus.transfer(bus.context + 1, &r));  // not this bus's context
    EXPECT_TRUE(bus.transfer(bus.context, &r));
    // A well-formed request to an address nobody answers fails as a NACK.
    r.writeAddress = 0x40;
    r.readAddress = 0x41;
    EXPECT_FALSE(bus.transfer(bus.context, &r));
    EXPECT_EQ(world.chip().busReads(), 1u);
    expectedViolations = breakages.size();
}

TEST_F(Bus, InjectedFailuresByCountdownAndProbability)
{
    sim::I2CBus& i2c = world.bus();
    i2c.setRecording(true);
    i2c.failTransfers(2, 3);
    std::vector<bool> results;
    for (int i = 0; i < 7; ++i) {
        results.push_back(fetch(2));
    }
    EXPECT_EQ(results, (std::vector<bool>{true, true, false, false, false, true, true}));
    EXPECT_EQ(i2c.injectedFailures(), 3u);
    ASSERT_EQ(i2c.recorded().size(), 7u);
    EXPECT_FALSE(i2c.recorded()[2].ok);
    EXPECT_EQ(world.chip().busReads(), 4u);

    i2c.setTransferFailureProbability(1.0);
    EXPECT_FALSE(fetch(2));
    i2c.setTransferFailureProbability(0.5);
    int failures = 0;
    for (int i = 0; i < 200; ++i) {
        failures += fetch(2) ? 0 : 1;
    }
    EXPECT_GT(failures, 60);
    EXPECT_LT(failures, 140);
    i2c.clearFaults();
    EXPECT_TRUE(fetch(2));

    // A held bus fails every transfer inside its span and none outside it.
    const sim::Micros now = world.kernel().now();
    i2c.holdBetween(now + 1000, now + 3000);
    EXPECT_TRUE(fetch(2));
    Sleep(1);
    EXPECT_FALSE(fetch(2));
    Sleep(2);
    EXPECT_TRUE(fetch(2));

    // A slow bus makes the caller wait up to its longest time, and the chip
    // sees the transfer at its end.
    i2c.setTransferDelay(200'000);
    sim::Micros longest = 0;
    for (int i = 0; i < 20; ++i) {
        const sim::Micros before = world.kernel().now();
        EXPECT_TRUE(fetch(2));
        longest = std::max(longest, world.kernel().now() - before);
        EXPECT_EQ(i2c.recorded().back().time, world.kernel().now());
    }
    EXPECT_LE(longest, 200'000u);
    EXPECT_GE(longest, 100'000u);
    EXPECT_EQ(i2c.longestTransfer(), longest);
    i2c.setTransferDelay(0);
    const sim::Micros before = world.kernel().now();
    EXPECT_TRUE(fetch(2));
    EXPECT_EQ(world.kernel().now(), before);
}

// The bus as the preemptive schedules run it: a transfer takes its time on
// the wire, and the world goes on meanwhile.
class TimedBus : public ChipRig {
protected:
    TimedBus() : ChipRig(testSchedule() == sim::Schedule::Cooperative ? sim::Schedule::Random : testSchedule()) {}

    bool secondOk = true;
    DWORD secondError = 0;
    static DWORD WINAPI secondTransfer(LPVOID self)
    {
        auto* rig = static_cast<TimedBus*>(self);
        Sleep(1);
        BYTE data[2] = {};
        rig->secondOk = rig->transfer(kI2CDirectionRead, data, 2) != 0;
        rig->secondError = GetLastError();
        ExitThread(0);
    }
};

TEST_F(TimedBus, ATransferTakesItsBitsWhileTheWorldGoesOn)
{
    sim::I2CBus& i2c = world.bus();
    sim::Kernel& k = world.kernel();
    i2c.setRecording(true);
    powerUp();

    // 12 bytes and the address, 9 clocks each, START and STOP: 119 bit times,
    // after the controller's start-up latency.
    for (const auto& [hertz, wire] : {std::pair{400'000u, 298u}, std::pair{100'000u, 1190u}}) {
        i2c.setClockRate(hertz);
        for (bool write : {false, true}) {
            const sim::Micros before = k.now();
            ASSERT_TRUE(write ? send(TEST1) : fetch(6));  // registers 10-15, or 2-7
            const sim::I2CBus::Transfer& t = i2c.recorded().back();
            EXPECT_EQ(t.time - t.began, wire) << hertz << (write ? " write" : " read");
            EXPECT_GE(t.began - before, sim::I2CBus::kMinStartLatency);
            EXPECT_LE(t.began - before, sim::I2CBus::kMaxStartLatency + 10);
            EXPECT_GE(k.now(), t.time);
        }
    }

    // A read takes each register as its bytes go out, a write takes effect at
    // its STOP: a tune that ends 250 us after its write's STOP ends between
    // STATUSRSSI (out 100 us after START) and READCHAN (280 us) of a 100 kHz read.
    world.chip().timing().tune = 250;
    startTune(40);
    const sim::Micros stop = i2c.recorded().back().time;
    EXPECT_TRUE(world.chip().tuning());
    ASSERT_TRUE(fetch(2));
    EXPECT_LT(i2c.recorded().back().began, stop + 100);
    EXPECT_EQ(shadow[STATUSRSSI] & kStatusStc, 0);
    EXPECT_EQ(kReadchanChan.get(shadow[READCHAN]), 40u);
    EXPECT_TRUE(status() & kStatusStc);
    endTune();

    // A supply dip or a reset on the wire drops the chip out of the transfer;
    // a chip that no longer answers fails the next at its address byte.
    k.after(200, [&] { world.chip().supplyDip(); });
    EXPECT_FALSE(fetch(16));
    EXPECT_TRUE(fetch(16));
    k.after(200, [&] { world.chip().setResetLine(false); });
    EXPECT_FALSE(send(SYSCONFIG1));
    EXPECT_EQ(world.chip().busWrites(), 5u);  // powerUp, the two timed, the tune's two
    const sim::Micros before = k.now();
    EXPECT_FALSE(fetch(6));
    EXPECT_EQ(i2c.recorded().back().time - i2c.recorded().back().began, 110u);  // START, address, STOP
    EXPECT_LT(k.now() - before, 200u);

    // A transfer asked for while the controller runs one fails at once as
    // busy, and the thread that asked ran while the first was on the wire.
    resetChip();
    HANDLE second = CreateThread(nullptr, 0, secondTransfer, this, 0, nullptr);
    const std::uint64_t transfers = i2c.transfers();
    ASSERT_TRUE(fetch(16));  // about 3 ms at 100 kHz
    EXPECT_FALSE(secondOk);
    EXPECT_EQ(secondError, 170u);  // ERROR_BUSY
    EXPECT_EQ(i2c.transfers(), transfers + 2);
    EXPECT_EQ(i2c.busyRefusals(), 1u);
    EXPECT_EQ(WaitForSingleObject(second, 100), WAIT_OBJECT_0);
    CloseHandle(second);
    expectedViolations = 1;
}

TEST_F(Bus, UtilityDriverMapsWindowsThroughItsRoutine)
{
    HANDLE utl = CreateFileW(TEXT("UTL0:"), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(utl, INVALID_HANDLE_VALUE);
    UtlInterface utlInterface{};
    EXPECT_FALSE(DeviceIoControl(utl, kIoctlUtlGetInterface, nullptr, 0, &utlInterface, 16, nullptr, nullptr));
    ASSERT_TRUE(
        DeviceIoControl(utl, kIoctlUtlGetInterface, nullptr, 0, &utlInterface, sizeof utlInterface, nullptr, nullptr));
    ASSERT_NE(utlInterface.map, nullptr);

    PVOID mapped = nullptr;
    ASSERT_EQ(utlInterface.map(utlInterface.context, sim::kGpioWindowBase, 1536, 0, &mapped), 0u);
    // The same GPIO registers as the direct mapping.
    auto* viaUtility = static_cast<volatile ULONG*>(mapped);
    EXPECT_EQ(READ_REGISTER_ULONG(viaUtility + sim::kGpioResetControl / 4),
              READ_REGISTER_ULONG(gpio + sim::kGpioResetControl / 4));
    WRITE_REGISTER_ULONG(viaUtility + sim::kGpioResetControl / 4, sim::kPinOutputEnable);
    EXPECT_TRUE(world.chip().inReset());

    EXPECT_NE(utlInterface.map(utlInterface.context, 0x12340000, 16, 0, &mapped), 0u);
    EXPECT_NE(utlInterface.map(utlInterface.context + 7, sim::kTimerWindowBase, 60, 0, &mapped), 0u);
    EXPECT_EQ(world.utility().maps(), 1u);
    CloseHandle(utl);
    EXPECT_EQ(world.utility().openHandles(), 0u);

    world.utility().failOpens(1);
    EXPECT_EQ(CreateFileW(TEXT("UTL0:"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace simtest
