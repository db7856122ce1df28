// Unloading the driver whatever it is doing, and loading it again in the same
// process; the timing of start-up; the bus handle across power-ups.
#include "control/ControlState.h"
#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "driver/Lifecycle.h"
#include "tests/support/DriverFixtures.h"

#include <functional>
#include <string>
#include <vector>

namespace {

class Unload : public DeviceTest {
protected:
    explicit Unload(sim::Schedule schedule = testSchedule()) : DeviceTest(schedule) { addTwoStations(world); }

    // Unloads within `boundMs` and checks that nothing of the driver is left:
    // no worker thread, no allocation, no bus handle, no register window, no
    // interrupt; the chip is held in reset, but only once the workers ended
    // (a worker still at the bus would find no chip and say so).
    void unloadLeavesNothing(const char* state, DWORD boundMs = 4 * kThreadEndWaitMs, std::size_t callers = 0)
    {
        SCOPED_TRACE(state);
        const sim::Micros before = kernel.now();
        const std::size_t logged = kernel.debugLog().size();
        EXPECT_TRUE(device.deinit());
        EXPECT_LE(kernel.now() - before, sim::Micros{boundMs} * 1000);
        for (std::size_t i = logged; i < kernel.debugLog().size(); ++i)
            EXPECT_EQ(kernel.debugLog()[i].text.find("TMC Error"), std::string::npos) << kernel.debugLog()[i].text;
        EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestShutdown);
        EXPECT_EQ(kernel.liveThreads(), 1u + callers);
        EXPECT_EQ(kernel.liveAllocations(), 0u);
        EXPECT_EQ(world.bus().openHandles(), 0u);
        EXPECT_EQ(world.soc().liveReservations(), 0u);
        EXPECT_FALSE(kernel.interruptInitialised(kSysIntrTuner));
        EXPECT_TRUE(world.chip().inReset());
    }
};

TEST_F(Unload, WhateverTheDriverIsDoingItEndsEveryThreadAndLoadsAgain)
{
    struct Case {
        const char* state;
        std::function<void()> reach;
    };
    const Case cases[] = {
        {"searching",
         [&] {
             Sleep(3000);
             ASSERT_NE(gDriver.control.searchState.load(), kSearchIdle);
         }},
        {"powered down",
         [&] {
             Sleep(2000);
             device.setPowerState(3);
             Sleep(1000);
         }},
        {"powered down twice",
         [&] {
             device.setPowerState(3);
             device.setPowerState(4);
         }},
        {"just resumed from a system suspend",
         [&] {
             Sleep(2000);
             device.powerDown();
             Sleep(1000);
             device.powerUp();
         }},
        {"suspended by the application",
         [&] {
             device.suspendResume(2);
             Sleep(500);
         }},
        {"recovering",
         [&] {
             device.recover();
             Sleep(1500);
             ASSERT_EQ(gDriver.control.controlRequest.load(), kRequestRecover);
         }},
        {"reading half a command",
         [&] {
             Sleep(100);
             write("$PLTCM,H2");
             Sleep(60);
         }},
        // Each worker's longest step is shorter than the unload's wait for
        // it: the recovery's 300 ms reset pulse, and transfers on a slow bus.
        {"holding the chip in reset in a recovery",
         [&] {
             device.recover();
             Sleep(3100);
             ASSERT_TRUE(world.chip().inReset());
         }},
        {"on a bus that takes 40 ms a transfer",
         [&] {
             world.bus().setTransferDelay(40'000, 40'000);
             Sleep(2000);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        load();
        c.reach();
        unloadLeavesNothing(c.state);
        world.bus().setTransferDelay(0);

        // Loaded again in the same process: it starts afresh and works.
        load();
        const std::string start = device.readPort();
        EXPECT_EQ(start.rfind("$PXRFW,", 0), 0u) << start;
        Sleep(100);
        write("$PLTCM,H2,10120\r\n");
        Sleep(1500);
        EXPECT_EQ(world.chip().frequency(), 10120);
        unloadLeavesNothing("after reloading");
    }

    // A signal-quality measurement the chip never finishes: the unload does
    // not sit out its polls. Every worker sees its stop within one of its
    // steps, the longest the group thread's 100 ms.
    load();
    Sleep(100);
    write("$PLTCM,MOD,4\r\n");
    world.chip().stallQualityTest(true);
    // The next tick starts it, and it polls for a second and a half.
    Sleep(1200);
    ASSERT_EQ(gDriver.tuner.tunerBusy.load(), 1) << "no measurement under way";
    unloadLeavesNothing("measuring on a stalled chip", 150);
}

// The application keeps handing over commands and recovery requests while
// the device manager unloads the driver, and after: none reaches a worker
// that has ended or a lock, a bus or a chip that is gone, and the unload
// keeps its bound.
struct HandOver {
    HANDLE go;  // the driver is loaded
    volatile bool stop;
};

// The application's thread, made before the load (the device's threads from
// the load on are the driver's).
DWORD WINAPI handOverUntilStopped(LPVOID parameter)
{
    auto* handOver = static_cast<HandOver*>(parameter);
    WaitForSingleObject(handOver->go, INFINITE);
    const char command[] = "$PLTCM,H2,9470";
    while (!handOver->stop) {
        COM_IOControl(kOpenContext, IOCTL_TMC_COMMAND, (PBYTE)command, sizeof command - 1, nullptr, 0, nullptr);
        COM_IOControl(kOpenContext, IOCTL_TMC_RECOVER, nullptr, 0, nullptr, 0, nullptr);
        Sleep(1);
    }
    return 0;
}

TEST_F(Unload, CommandsAndRecoveryRequestsDuringTheUnloadReachNothing)
{
    std::vector<std::string> reports;
    kernel.setVerifierHandler([&reports](const std::string& report) { reports.push_back(report); });
    for (unsigned lead : {0u, 7u, 40u, 1500u}) {
        SCOPED_TRACE(lead);
        HandOver handOver{CreateEventW(nullptr, TRUE, FALSE, nullptr), false};
        HANDLE callers[2];
        for (HANDLE& caller : callers) caller = CreateThread(nullptr, 0, handOverUntilStopped, &handOver, 0, nullptr);
        load();
        Sleep(1000);
        SetEvent(handOver.go);
        Sleep(lead);
        const std::uint64_t opens = world.bus().opens();
        unloadLeavesNothing("while commands and recovery requests come", 4 * kThreadEndWaitMs, 2);
        Sleep(50);
        EXPECT_EQ(world.bus().opens(), opens) << "no bus opened";
        handOver.stop = true;
        for (HANDLE caller : callers) {
            EXPECT_EQ(WaitForSingleObject(caller, 60'000), WAIT_OBJECT_0);
            CloseHandle(caller);
        }
        CloseHandle(handOver.go);
        EXPECT_EQ(world.bus().openHandles(), 0u);
        EXPECT_TRUE(reports.empty()) << reports.front();
        reports.clear();
    }
}

// A worker that does not end within the unload's wait (a bus that holds its
// transfer for 5 s) may still use the bus record, the register windows and
// the locks: the unload returns in its bound and leaves them in place rather
// than release them under it.
TEST_F(Unload, AWorkerThatDidNotEndKeepsWhatItMayStillUse)
{
    load();
    Sleep(1000);
    world.bus().setTransferDelay(5'000'000, 5'000'000);
    Sleep(500);  // the next RDS interrupt's read is held
    const sim::Micros before = kernel.now();
    EXPECT_TRUE(device.deinit());
    EXPECT_LE(kernel.now() - before, sim::Micros{4 * kThreadEndWaitMs} * 1000);
    EXPECT_GT(kernel.liveThreads(), 1u) << "no worker was held";
    EXPECT_GT(kernel.liveAllocations(), 0u) << "the bus record was freed under a worker";
    EXPECT_GT(world.soc().liveReservations(), 0u) << "the register windows were unmapped under a worker";
    EXPECT_EQ(kernel.verifierReports(), 0u);
}

// Start-up's waits, to the microsecond.
class StartUp : public Unload {
protected:
    StartUp() : Unload(kExactTimings) {}
};

TEST_F(StartUp, SleepsSevenHundredMillisecondsAfterTheFirmwareSentences)
{
    // The two firmware sentences each read the whole register file; then 300 ms
    // before the decoder reset and the group thread, twice 200 ms before the
    // interrupt, and no more waiting up to the return.
    world.bus().setRecording(true);
    load();
    const auto& transfers = world.bus().recorded();
    ASSERT_GE(transfers.size(), 2u);
    const auto& last = transfers[transfers.size() - 1];
    const auto& previous = transfers[transfers.size() - 2];
    EXPECT_EQ(last.data.size(), 32u);
    EXPECT_EQ(previous.data.size(), 32u);
    EXPECT_EQ(last.time, previous.time);
    EXPECT_EQ(kernel.now() - last.time, 700'000u);
    EXPECT_EQ(gDriver.lifecycle.driverState.load(), kDriverRunning);
    // The library's entry routine agrees to every reason.
    for (DWORD reason : {0u, 1u, 2u, 3u}) EXPECT_TRUE(CorvaneDllEntry(nullptr, reason, nullptr));
    unloadLeavesNothing("after start-up");
}

TEST_F(Unload, APowerUpWhileRunningKeepsOneBusHandle)
{
    load();
    Sleep(1000);
    const std::size_t allocations = kernel.liveAllocations();
    device.powerUp();
    device.setPowerState(0);
    device.suspendResume(1);
    EXPECT_EQ(world.bus().openHandles(), 1u);
    EXPECT_EQ(kernel.liveAllocations(), allocations);
    Sleep(5000);  // each power-up asked for a recovery; the last one runs
    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestNone);
    EXPECT_FALSE(world.chip().inReset());
    unloadLeavesNothing("after three power-ups");
}

}  // namespace
