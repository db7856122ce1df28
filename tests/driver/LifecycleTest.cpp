// The whole driver through its entry points, as the device manager, the power
// manager and the application use it: start-up, power-down and power-up, the
// power and private requests, and unloading.
#include "driver/Lifecycle.h"
#include "control/ControlState.h"
#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "driver/WorkerParking.h"
#include "rds/GroupQueue.h"
#include "tests/support/DriverFixtures.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

namespace {

class Lifecycle : public DeviceTest {
protected:
    explicit Lifecycle(sim::Schedule schedule = testSchedule()) : DeviceTest(schedule) { addTwoStations(world); }

    static std::size_t count(const Lines& lines, const std::string& prefix)
    {
        std::size_t n = 0;
        for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
        return n;
    }

    bool debugSaid(const std::string& text) const
    {
        for (const auto& line : kernel.debugLog())
            if (line.text == text) return true;
        return false;
    }

    BOOL power(DWORD code, DWORD* value, DWORD outLength = 4, DWORD* actual = nullptr)
    {
        DWORD ignored = 0;
        return device.ioControl(code, nullptr, 0, value, outLength, actual ? actual : &ignored);
    }
    BOOL suspendResume(BYTE value) { return device.suspendResume(value); }
    void setPower(DWORD d)
    {
        DWORD value = d;
        EXPECT_FALSE(power(IOCTL_POWER_SET, &value));
    }
    // Right after a power-up: queues and rings empty, the recovery pending
    // for its 3 s pause, then the chip reset and tuned back.
    void expectPoweredUpAndRecovered(unsigned frequency)
    {
        EXPECT_EQ(bankFill(0) + bankFill(1), 0u);
        EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverRunning);
        EXPECT_EQ(gDriver.channel.inputRing.head, gDriver.channel.inputRing.tail);
        EXPECT_EQ(gDriver.channel.outputRing.head, gDriver.channel.outputRing.tail);
        EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestRecover);
        Sleep(2900);
        EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestRecover) << "held through the 3 s pause";
        Sleep(2000);
        EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestNone);
        EXPECT_FALSE(world.chip().inReset());
        EXPECT_EQ(world.chip().frequency(), frequency) << "retuned to the frequency saved at power-down";
        EXPECT_EQ(world.bus().openHandles(), 1u);
    }
    BOOL command(const std::string& text) { return device.command(text); }
};

TEST_F(Lifecycle, StartUpQueuesFirmwareTwiceStartsFourThreadsAtPriority152AndRuns)
{
    load();
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverRunning);
    // Start-up defaults of the sentences and the control loop.
    EXPECT_EQ(gDriver.sentences.outputFilter.tmcMask.load(), 0x0108);
    EXPECT_EQ(gDriver.control.autoSearch.load(), 1);
    const Lines lines = read();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("$PXRFW,", 0), 0u);
    EXPECT_EQ(lines[1], lines[0]) << "the firmware sentence is queued twice";
    EXPECT_EQ(lines[2].rfind("$PLTTQ,", 0), 0u);

    // Created in this order: group, RDS interrupt, control, command reader.
    const LifecycleState& life = gDriver.lifecycle;
    const HANDLE order[] = {life.groupThread, life.interruptThread, life.controlThread, life.readerThread};
    DWORD previous = 0;
    for (HANDLE thread : order) {
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(kernel.priority(thread), kWorkerPriority);
        EXPECT_GT(kernel.threadId(thread), previous);
        previous = kernel.threadId(thread);
    }
    EXPECT_TRUE(kernel.interruptInitialised(kSysIntrTuner));

    // Start-up took the firmware, settle and thread sleeps: 300 + 200 + 200 ms
    // after the tuner's own bring-up; the serial defaults are in place.
    DWORD timeouts[5] = {};
    DWORD actual = 0;
    ASSERT_TRUE(COM_IOControl(kOpenContext, 0x1B0040, nullptr, 0, reinterpret_cast<PBYTE>(timeouts), 20, &actual));
    EXPECT_EQ(timeouts[0], 0xFFFFFFFFu);
    EXPECT_EQ(timeouts[4], 1000u);
    EXPECT_EQ(gDriver.channel.inputRing.size, 128u) << "ready before the command reader first runs";

    // The driver runs: the status goes out while it searches the band.
    Sleep(3000);
    EXPECT_GE(count(read(), "$PLTTQ,"), 1u);
}

TEST_F(Lifecycle, InitReportsSuccessEvenWithoutInterruptOrTuner)
{
    world.bus().failOpens(100);
    HANDLE blocker = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(InterruptInitialize(kSysIntrTuner, blocker, nullptr, 0));  // the line is taken
    load();
    EXPECT_EQ(gDriver.lifecycle.interruptThread, nullptr);
    EXPECT_NE(gDriver.lifecycle.controlThread, nullptr);
    EXPECT_TRUE(debugSaid("PIO_init: I2C_Open failed\r\n"));
    // A power-down waits for the workers that run, not for the one that
    // never started.
    Sleep(1000);
    const sim::Micros before = kernel.now();
    setPower(3);
    EXPECT_LE(kernel.now() - before, 320'000u);
    setPower(0);
    InterruptDisable(kSysIntrTuner);
}

// What the power handlers leave for the control thread is looked at the moment
// they return, before that thread's next step.
class PowerCycle : public Lifecycle {
protected:
    PowerCycle() : Lifecycle(kExactTimings) {}
};

TEST_F(PowerCycle, PowerDownFreezesAndPowerUpRecoversToTheSavedFrequency)
{
    load();
    Sleep(100);  // the command reader sets its ring up first
    COM_Write(kOpenContext, "$PLTCM,H2,10120\r\n", 17);
    Sleep(2000);
    ASSERT_EQ(world.chip().frequency(), 10120);
    read();

    // The power manager's D3, on its own thread: the workers are suspended,
    // the bus closed.
    setPower(3);
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverPoweredDown);
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestPoweredDown);
    EXPECT_TRUE(world.chip().inReset());
    EXPECT_EQ(gDriver.tuner.pI2CHandle.load(), nullptr);
    EXPECT_EQ(world.bus().openHandles(), 0u);

    // Powered down: commands are ignored, written bytes are not consumed.
    command("$PLTCM,H2,9470");
    EXPECT_EQ(COM_Write(kOpenContext, "$PLTCM,V\r\n", 10), 10u);
    Sleep(5000);
    EXPECT_EQ(gDriver.channel.inputRing.head - gDriver.channel.inputRing.tail, 10u);
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestPoweredDown);
    EXPECT_TRUE(read().empty());

    // A second power-down finds no bus: the two-part error, and still state 0.
    kernel.clearDebugLog();
    setPower(4);
    ASSERT_EQ(kernel.debugLog().size(), 3u);
    EXPECT_EQ(kernel.debugLog()[1].text, "ERROR: Corvane line 1734: ");
    EXPECT_EQ(kernel.debugLog()[2].text, "TMC Error: pI2CHandle== NULL\r\n");
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverPoweredDown);

    // One power-up revives the driver although it was powered down twice; a
    // group the frozen capture had queued belongs to before and is dropped.
    storeGroup(RdsGroup{0xD3A1, 0x8000, 0x1234, 0x5678, 0});
    setPower(0);
    expectPoweredUpAndRecovered(10120);

    // The system's suspend and resume: the kernel calls the power handlers,
    // which only record; between them no thread of the device runs.
    device.powerDown();
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverPoweredDown);
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestPoweredDown);
    EXPECT_TRUE(world.chip().inReset());
    const sim::Micros suspendedAt = kernel.now();
    Sleep(5000);
    EXPECT_LE(kernel.lastRun(gDriver.lifecycle.controlThread), suspendedAt);
    storeGroup(RdsGroup{0xD3A1, 0x8000, 0x1234, 0x5678, 0});
    device.powerUp();
    EXPECT_EQ(gDriver.control.powerUpOwed.load(), 1) << "the handler leaves the thread work to the control thread";
    Sleep(1);
    expectPoweredUpAndRecovered(10120);

    // A system suspend that stops the control thread in the last step of a
    // recovery's pause: after the resume the thread work comes first, not
    // after the rest of that recovery.
    setPower(3);
    setPower(0);
    Sleep(2995);
    device.powerDown();
    Sleep(5000);
    const std::uint64_t opens = world.bus().opens();
    device.powerUp();
    Sleep(20);
    EXPECT_EQ(gDriver.control.powerUpOwed.load(), 0);
    EXPECT_EQ(world.bus().opens(), opens + 1) << "the bus opened afresh";
    Sleep(5000);
    EXPECT_EQ(world.chip().frequency(), 10120);
    EXPECT_EQ(world.bus().openHandles(), 1u);
    EXPECT_EQ(kernel.verifierReports(), 0u);
}

TEST_F(Lifecycle, PowerUpAfterItsPowerDownAnswersCommands)
{
    load();
    Sleep(1000);
    device.powerDown();
    Sleep(1000);
    device.powerUp();
    Sleep(5000);

    // Commands written back to back after the power-up all arrive.
    read();
    for (const std::string text : {"$PLTCM,QFI,20\r\n", "$PLTCM,VOL,8\r\n", "$PLTCM,REQ,4096\r\n"})
        EXPECT_EQ(COM_Write(kOpenContext, text.data(), static_cast<DWORD>(text.size())), text.size());
    Sleep(300);
    const Lines answers = read();
    EXPECT_EQ(count(answers, "$PXRQF,20,"), 1u);
    EXPECT_EQ(count(answers, "$PLTCF,7000*"), 1u);
    EXPECT_EQ(count(answers, "$PLTTS,1,"), 1u);
}

TEST_F(Lifecycle, ApplicationSuspendHoldsTheReceiverOffAcrossSystemResume)
{
    load();
    EXPECT_FALSE(suspendResume(2));
    EXPECT_EQ(gDriver.lifecycle.appSuspended.load(), 1);
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverPoweredDown);

    device.powerUp();  // the system resumes
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverPoweredDown) << "suspended by the application";
    DWORD d1 = 1;
    EXPECT_FALSE(power(IOCTL_POWER_SET, &d1));
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverPoweredDown);
    EXPECT_EQ(gDriver.lifecycle.currentDx.load(), 1u) << "the state is recorded all the same";

    // Wrong lengths and values do nothing.
    BYTE two[2] = {1, 1};
    EXPECT_FALSE(COM_IOControl(kOpenContext, IOCTL_TMC_SUSPEND_RESUME, two, 2, nullptr, 0, nullptr));
    EXPECT_FALSE(suspendResume(3));
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverPoweredDown);

    EXPECT_FALSE(suspendResume(1));
    EXPECT_EQ(gDriver.lifecycle.appSuspended.load(), 0);
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverRunning);
    Sleep(5000);
    EXPECT_FALSE(world.chip().inReset());
    EXPECT_EQ(gDriver.tuner.i2cOff.load(), 0) << "the recovery asked for before the control thread first ran is kept";
    EXPECT_EQ(gDriver.lifecycle.currentDx.load(), 1u) << "suspend and resume leave the power state alone";

    // A resume while running powers up all the same: one bus, a recovery.
    EXPECT_FALSE(suspendResume(1));
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestRecover);
    Sleep(5000);
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestNone);
    EXPECT_EQ(world.bus().openHandles(), 1u);
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverRunning);
}

TEST_F(Lifecycle, PowerRequestsAnswerFalseAndReportThroughTheDebugOutput)
{
    load();
    DWORD actual = 0;
    BYTE caps[48];
    std::memset(caps, 0xAA, sizeof caps);
    EXPECT_FALSE(COM_IOControl(kOpenContext, IOCTL_POWER_CAPABILITIES, nullptr, 0, caps, 47, &actual));
    EXPECT_EQ(caps[0], 0xAA) << "47 bytes are too few: nothing written";
    EXPECT_FALSE(COM_IOControl(kOpenContext, IOCTL_POWER_CAPABILITIES, nullptr, 0, caps, 48, &actual));
    EXPECT_EQ(actual, 48u);
    EXPECT_EQ(caps[0], 0x1F);
    for (int i = 1; i < 48; ++i) ASSERT_EQ(caps[i], 0) << i;

    DWORD five = 5;
    kernel.clearDebugLog();
    EXPECT_FALSE(power(IOCTL_POWER_SET, &five));
    EXPECT_TRUE(debugSaid("Corvane::Invaild state request D5\r\n"));
    EXPECT_EQ(gDriver.lifecycle.currentDx.load(), 0u);

    DWORD four = 4;
    actual = 0;
    EXPECT_FALSE(power(IOCTL_POWER_SET, &four, 4, &actual));
    EXPECT_TRUE(debugSaid("Corvane: IOCTL_POWER_SET to D4 CurrentDx D0\r\n"));
    EXPECT_EQ(actual, 4u);
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverPoweredDown);
    DWORD got = 99;
    EXPECT_FALSE(power(IOCTL_POWER_GET, &got));
    EXPECT_EQ(got, 4u);
    EXPECT_TRUE(debugSaid("Corvane::IOCTL_POWER_GET:passing back 4\r\n"));

    // D4 is the last state a query accepts.
    for (DWORD query : {4u, 5u}) {
        kernel.clearDebugLog();
        EXPECT_FALSE(power(IOCTL_POWER_QUERY, &query));
        ASSERT_EQ(kernel.debugLog().size(), 1u);
        EXPECT_EQ(kernel.debugLog()[0].text,
                  query == 4 ? "Corvane::IOCTL_POWER_QUERYsucceeded\r\n" : "Corvane::IOCTL_POWER_QUERYfailed\r\n");
    }

    // D0 and D1 run the receiver, D2 to D4 power it down; each is recorded.
    for (DWORD d : {1u, 2u, 0u, 3u, 1u}) {
        DWORD value = d;
        EXPECT_FALSE(power(IOCTL_POWER_SET, &value));
        EXPECT_EQ(gDriver.lifecycle.driverState.load(), d <= 1 ? kDriverRunning : kDriverPoweredDown) << "D" << d;
        EXPECT_EQ(gDriver.lifecycle.currentDx.load(), d);
    }
    setPower(3);

    // A caller's bad pointer is caught, reported, and answered FALSE; what the
    // request did before the fault stays done.
    DWORD zero = 0;
    EXPECT_FALSE(COM_IOControl(kOpenContext, IOCTL_POWER_SET, nullptr, 0, reinterpret_cast<PBYTE>(&zero), 4,
                               reinterpret_cast<PDWORD>(static_cast<std::uintptr_t>(0x18))));
    EXPECT_TRUE(debugSaid("Corvane::exception in ioctl\r\n"));
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverRunning);
    EXPECT_EQ(gDriver.lifecycle.currentDx.load(), 0u);

    // No length pointer at all is reported the same way, after the work.
    kernel.clearDebugLog();
    DWORD three2 = 3;
    EXPECT_FALSE(
        COM_IOControl(kOpenContext, IOCTL_POWER_SET, nullptr, 0, reinterpret_cast<PBYTE>(&three2), 4, nullptr));
    EXPECT_TRUE(debugSaid("Corvane::exception in ioctl\r\n"));
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverPoweredDown);
    EXPECT_EQ(gDriver.lifecycle.currentDx.load(), 3u);
}

TEST_F(Lifecycle, PrivateCommandsReachTheParserOnlyWhileRunning)
{
    LoadDriverContext();
    EXPECT_FALSE(command("$PLTCM,VOL,8"));  // state 2 before start-up: nothing
    EXPECT_EQ(gDriver.channel.outputRing.head, gDriver.channel.outputRing.tail);
    load();
    read();

    EXPECT_FALSE(command("$PLTCM,VOL,8"));
    EXPECT_EQ(read(), (Lines{"$PLTCF,7000*66"}));
    EXPECT_FALSE(command("$PLTCM"));  // six bytes or fewer: refused
    // The 24-byte cut and the blanks: see the command paths test.
    char longCommand[] = "$PLTCM,VOL,8                    ";  // 32 bytes on hand, 2^31 claimed
    EXPECT_FALSE(COM_IOControl(kOpenContext, IOCTL_TMC_COMMAND, reinterpret_cast<PBYTE>(longCommand), 0x80000000u,
                               nullptr, 0, nullptr));
    EXPECT_EQ(read(), (Lines{"$PLTCF,7000*66"})) << "a huge length is cut to 24 bytes";

    EXPECT_FALSE(COM_IOControl(kOpenContext, IOCTL_TMC_RECOVER, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestRecover);
    Sleep(5000);
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestNone) << "the control loop carried out the recovery";
}

// Each entry point on its caller's thread: the power manager's requests on
// its own, at the priority CE gives it; while the system is suspended the
// application stands still, and a call that does not come back is reported
// rather than waited for without end.
TEST(CallerThreads, EachCallOnItsCallersThreadAndAStuckCallReported)
{
    harness::Device device(testKernelOptions(sim::Schedule::Random));
    addTwoStations(device.world());
    device.useCallerThreads(2);
    device.loadDriver();
    sim::Kernel& kernel = device.kernel();
    EXPECT_EQ(kernel.priority(device.powerManager().handle()), harness::kPowerManagerPriority);
    Sleep(1000);
    device.setPowerState(3);
    device.setPowerState(0);
    unsigned powerLines = 0;
    for (const sim::DebugLine& line : kernel.debugLog()) {
        if (line.text.find("IOCTL_POWER_SET") == std::string::npos) continue;
        ++powerLines;
        EXPECT_EQ(line.threadId, kernel.threadId(device.powerManager().handle()));
    }
    EXPECT_EQ(powerLines, 2u);
    Sleep(5000);  // the recovery after the power-up
    device.writePort("$PLTCM,H2,9470\r\n");
    Sleep(3000);
    EXPECT_EQ(device.world().chip().frequency(), 9470) << "the application's command was read and carried out";
    EXPECT_NE(device.readPort().find("$PLTTQ,9470"), std::string::npos);

    device.powerDown();
    EXPECT_THROW(device.readPort(), harness::CallerStuck);
    device.powerUp();

    // A call the driver does not return from is given up after the bound.
    const HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    device.application(1).post([never] { WaitForSingleObject(never, INFINITE); });
    device.application(1).post([] {});
    const sim::Micros before = kernel.now();
    EXPECT_FALSE(device.application(1).call([] {}, harness::Device::kCallBound));
    EXPECT_GE(kernel.now() - before, harness::Device::kCallBound);
    EXPECT_FALSE(device.application(1).idle());
}

using LifecycleReload = Lifecycle;

TEST_F(LifecycleReload, HundredLoadsAndUnloadsLeaveNothingBehind)
{
    for (int i = 0; i < 100; ++i) {
        load();
        Sleep(1500);
        read();
        ASSERT_TRUE(device.deinit());
        ASSERT_EQ(kernel.liveThreads(), 1u) << "load " << i << " left a worker thread behind";
        ASSERT_EQ(kernel.liveAllocations(), 0u) << "load " << i;
        ASSERT_EQ(world.bus().openHandles(), 0u) << "load " << i;
        ASSERT_EQ(world.soc().liveReservations(), 0u) << "load " << i;
        ASSERT_FALSE(kernel.interruptInitialised(kSysIntrTuner));
    }
}

// A power-down finds the workers wherever they are: a worker inside a
// transfer that a slow bus holds on the wire (even past the power-down's wait
// for the workers to park), a recovery in its chip reset or
// its 3 s pause, a search in its settle or its wait for RDS, or all of them
// idle (the interrupt thread in its wait, the reader between rounds). From
// the moment the power-down returns to the power-up the receiver is off: the
// chip in reset, the bus closed, no transfer, not one byte of output, and a
// command, a recovery request or command bytes change none of it. After the
// power-up the receiver comes back on the frequency it had when it went off.
class LifecyclePowerDown : public Lifecycle {
protected:
    LifecyclePowerDown() : Lifecycle(sim::Schedule::Cooperative) {}

    // Sleeps in 1 ms steps until `reached`; false after `limitMs`.
    bool sleepUntil(const std::function<bool()>& reached, unsigned limitMs)
    {
        for (unsigned waited = 0; !reached(); ++waited) {
            if (waited >= limitMs) return false;
            Sleep(1);
        }
        return true;
    }
    bool searchSettling()
    {
        return gDriver.control.searchState.load() != kSearchIdle && gDriver.tuner.tunerBusy.load() == 0;
    }

    // `inFlight`: transfers already inside the bus driver when the
    // power-down returned, which it cannot call back.
    void expectOffFor(unsigned ms, unsigned inFlight)
    {
        const std::uint64_t transfers = world.bus().transfers();
        const std::uint32_t output = gDriver.channel.outputRing.head;
        for (unsigned step = 0; step < ms; step += 10) {
            if (step == 500) {
                write("$PLTCM,H2,9470\r\n");
                device.command("$PLTCM,F,0");
                device.recover();
            }
            Sleep(10);
            ASSERT_TRUE(world.chip().inReset()) << "at " << step << " ms";
            ASSERT_EQ(world.bus().openHandles(), 0u) << "at " << step << " ms";
            ASSERT_LE(world.bus().transfers(), transfers + inFlight) << "at " << step << " ms";
            ASSERT_EQ(gDriver.channel.outputRing.head, output) << "at " << step << " ms";
            ASSERT_EQ(gDriver.control.controlRequest.load(), kRequestPoweredDown) << "at " << step << " ms";
            ASSERT_EQ(gDriver.lifecycle.driverState.load(), kDriverPoweredDown);
        }
        EXPECT_NE(gDriver.sentences.outputFilter.flags.load(), 0u) << "the command was not carried out";
    }
};

TEST_F(LifecyclePowerDown, WhereverItFindsTheWorkersTheReceiverStaysOffUntilThePowerUp)
{
    load();
    struct Place {
        const char* name;
        std::function<bool()> reach;
        unsigned inFlight = 0;
    };
    const Place places[] = {
        {"a transfer held on the wire",
         [&] {
             world.bus().setTransferDelay(30'000);
             return sleepUntil([] { return gDriver.tuner.busGuard.load() != 0; }, 5000);
         }},
        // Past the wait for the workers to park: the power-down goes ahead
        // under the worker, which finds the bus gated and the output closed
        // when its transfer ends.
        {"a transfer held past the wait for parking",
         [&] {
             world.bus().setTransferDelay(2'500'000, 2'500'000);
             return sleepUntil([] { return gDriver.tuner.busGuard.load() != 0; }, 5000);
         },
         1},
        {"a recovery's chip reset",
         [&] {
             device.recover();
             return sleepUntil([&] { return world.chip().inReset(); }, 5000);
         }},
        {"a recovery's pause", [&] { return device.recover(), Sleep(1500), true; }},
        {"a search's settle",
         [&] {
             write("$PLTCM,+\r\n");
             return sleepUntil([&] { return gDriver.control.searchState.load() != kSearchIdle; }, 1000) &&
                    sleepUntil([&] { return searchSettling(); }, 5000);
         }},
        {"a search's wait for RDS",
         [&] {
             write("$PLTCM,-\r\n");
             return sleepUntil([&] { return gDriver.control.searchState.load() != kSearchIdle; }, 1000) &&
                    sleepUntil([&] { return searchSettling(); }, 5000) && (Sleep(700), true);
         }},
        {"the workers idle", [] { return Sleep(37), true; }},
    };
    struct Kind {
        const char* name;
        std::function<void()> down, up;
    };
    const Kind kinds[] = {{"D3", [&] { setPower(3); }, [&] { setPower(0); }},
                          {"D4", [&] { setPower(4); }, [&] { setPower(1); }},
                          {"the application's suspend", [&] { suspendResume(2); }, [&] { suspendResume(1); }}};
    write("$PLTCM,A1\r\n$PLTCM,H2,9470\r\n");
    Sleep(3000);
    for (const Kind& kind : kinds) {
        for (const Place& place : places) {
            SCOPED_TRACE(std::string(kind.name) + " in " + place.name);
            ASSERT_TRUE(place.reach()) << "the place was never reached";
            const sim::Micros before = kernel.now();
            kind.down();
            const sim::Micros took = kernel.now() - before;
            // It waits for the workers' steps, the longest the reset pulse's
            // 300 ms; for a worker the bus holds, its 2 s wait for the park
            // and the bus guard's 50 ms, no longer.
            if (place.inFlight == 0) {
                EXPECT_LE(took, 320'000u);
            } else {
                EXPECT_GE(took, sim::Micros{kParkWaitMs} * 1000);
                EXPECT_LE(took, sim::Micros{kParkWaitMs + 70} * 1000);
            }
            world.bus().setTransferDelay(0);
            const std::uint16_t saved = gDriver.control.recoveryFrequency.load();
            expectOffFor(2000, place.inFlight);
            if (HasFatalFailure()) return;
            // A search command switched the automatic search on: off again,
            // the receiver stays where the power-up puts it.
            gDriver.control.autoSearch.store(0);
            kind.up();
            Sleep(6000);
            EXPECT_FALSE(world.chip().inReset());
            EXPECT_TRUE(world.chip().poweredUp());
            EXPECT_EQ(world.bus().openHandles(), 1u);
            EXPECT_EQ(world.chip().frequency(), saved) << "back where it went off";
            EXPECT_GE(count(read(), "$PLTTQ," + std::to_string(saved)), 2u) << "and reporting";
        }
    }
    EXPECT_EQ(kernel.verifierReports(), 0u);
}

// Powered down, the receiver costs the processor nothing: once parked, no
// worker wakes until the power-up, whatever the interrupt line does meanwhile
// (the edges of a line that picks up noise), and an interrupt that arrived
// while it was off is not answered after the power-up: it tells nothing of
// the chip the recovery is about to reset.
TEST_F(Lifecycle, ParkedWorkersWakeNobodyAndAnInterruptWhileOffIsNotAnswered)
{
    load();
    Sleep(3000);
    const LifecycleState& life = gDriver.lifecycle;
    const HANDLE workers[] = {life.groupThread, life.interruptThread, life.controlThread, life.readerThread};
    struct Kind {
        std::function<void()> down, up;
        bool parks;  // the system's suspend stops every thread instead
    };
    const Kind kinds[] = {{[&] { setPower(3); }, [&] { setPower(0); }, true},
                          {[&] { setPower(4); }, [&] { setPower(1); }, true},
                          {[&] { suspendResume(2); }, [&] { suspendResume(1); }, true},
                          {[&] { device.powerDown(); }, [&] { device.powerUp(); }, false}};
    for (const auto& [down, up, parks] : kinds) {
        down();
        Sleep(100);
        read();
        sim::Kernel::ThreadActivity before[4];
        for (unsigned w = 0; w < 4; ++w) {
            before[w] = kernel.activity(workers[w]);
            EXPECT_TRUE(before[w].blocked || !parks) << "worker " << w;
        }
        for (unsigned edge = 0; edge < 3; ++edge) {
            kernel.raiseInterrupt(kSysIntrTuner);
            Sleep(3000);
        }
        for (unsigned w = 0; w < 4; ++w) {
            EXPECT_EQ(kernel.activity(workers[w]).wakes, before[w].wakes) << "worker " << w;
            EXPECT_EQ(kernel.activity(workers[w]).switchesTo, before[w].switchesTo) << "worker " << w;
        }
        up();
        Sleep(2500);  // within the recovery's pause: nothing to report yet
        EXPECT_EQ(count(read(), "$PLTTQ,"), 0u) << "an interrupt from before the power-up was answered";
        Sleep(5000);
        EXPECT_GE(count(read(), "$PLTTQ,"), 1u);
    }
}

// The system suspends while the power manager's D0 is half-way through on
// its thread (the power handler cannot wait for the power transitions'
// guard): the handler holds the chip in reset and replaces the power-up's
// recovery request, and the system's resume finds the workers not yet
// released and leaves the power-up to that call. When the call goes on after
// the resume, the receiver comes back all the same.
DWORD WINAPI powerManagerD0(LPVOID)
{
    DWORD state = 0;
    DWORD returned = 0;
    COM_IOControl(kOpenContext, IOCTL_POWER_SET, nullptr, 0, reinterpret_cast<PBYTE>(&state), sizeof state, &returned);
    return 0;
}

class LifecycleHeldThreads : public Lifecycle {
protected:
    LifecycleHeldThreads() : Lifecycle(sim::Schedule::Random) {}
};

TEST_F(LifecycleHeldThreads, ASystemSuspendHalfWayThroughAPowerUpLeavesTheReceiverRunning)
{
    load();
    Sleep(3000);
    for (unsigned point : {2u, 8u, 20u, 45u, 90u, 150u}) {
        SCOPED_TRACE(point);
        setPower(3);
        const HANDLE d0 = CreateThread(nullptr, 0, powerManagerD0, nullptr, 0, nullptr);
        CeSetThreadPriority(d0, 100);
        kernel.atPoint(kernel.preemptionPoints() + point, [this, d0] { kernel.holdThread(d0, true); });
        Sleep(20);
        device.powerDown();
        Sleep(1000);
        device.powerUp();
        kernel.holdThread(d0, false);
        EXPECT_EQ(WaitForSingleObject(d0, 5000), WAIT_OBJECT_0);
        CloseHandle(d0);
        Sleep(6000);
        EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverRunning);
        EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestNone);
        EXPECT_FALSE(world.chip().inReset());
        EXPECT_EQ(world.bus().openHandles(), 1u);
        if (HasFailure()) return;
    }
}

// A power-down that comes while a worker holds the output ring's or the
// group queue's critical section waits for it to leave: the workers park
// outside every lock, so the application's read is served at once while the
// receiver is off, and the power-up completes.
class LifecyclePreempted : public DeviceTest {
protected:
    LifecyclePreempted() : DeviceTest(sim::Schedule::Random) { addTwoStations(world); }
};

TEST_F(LifecyclePreempted, PowerDownWhileAWorkerHoldsARingOrQueueLockLeavesNoneHeld)
{
    // The workers advance only on rare switches, a point at a time.
    kernel.setRandomSwitchChance(1.0 / 16);
    load();
    unsigned frequency = 10120;
    for (CRITICAL_SECTION* guard : {&gDriver.channel.outputRing.guard, &gDriver.rds.groupQueue.guard}) {
        // Always ready and above the workers, this thread takes the processor
        // back at a worker's next point: in a section, before leaving it.
        CeSetThreadPriority(kernel.threadHandle(1), kWorkerPriority - 1);
        const sim::Micros start = kernel.now();
        while (guard->OwnerThread == 0) {
            ASSERT_LT(kernel.now() - start, 300'000'000u) << "no worker was ever found inside the section";
            Sleep(0);
        }
        device.setPowerState(3);
        EXPECT_EQ(guard->OwnerThread, 0u) << "a worker parked inside the section";
        const sim::Micros before = kernel.now();
        char buffer[64];
        COM_Read(kOpenContext, buffer, sizeof buffer);
        EXPECT_LE(kernel.now() - before, 1'000u) << "the read waited";
        device.setPowerState(0);
        CeSetThreadPriority(kernel.threadHandle(1), 251);
        EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverRunning);
        Sleep(5000);  // the recovery after the power-up
        const std::string tune = "$PLTCM,H2," + std::to_string(frequency) + "\r\n";
        COM_Write(kOpenContext, tune.data(), static_cast<DWORD>(tune.size()));
        Sleep(3000);
        EXPECT_EQ(world.chip().frequency(), frequency) << "the command was read and carried out";
        EXPECT_NE(device.readPort().find("$PLTTQ,"), std::string::npos) << "the driver reports again";
        frequency = 9470;
    }
    EXPECT_TRUE(device.deinit());
    EXPECT_EQ(kernel.liveAllocations(), 0u);
}

}  // namespace
