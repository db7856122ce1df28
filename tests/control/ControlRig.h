// Test rig for reception control: a freshly loaded driver on a simulated band
// with the chip programmed, the group thread, the RDS interrupt thread and the
// control thread running, and the test thread playing the application on the
// OutputRing (ReceptionLog). The reads sit half a millisecond after the control
// thread's 10 ms steps, so the differences between the read times of two of
// its sentences are exactly the time between them.
#pragma once

#include "control/Control.h"
#include "driver/DriverContext.h"
#include "rds/Capture.h"
#include "rds/GroupDecoder.h"
#include "tests/control/ReceptionLog.h"
#include "tests/support/DriverFixtures.h"

namespace controltest {

// Groups of a station: PI 0xD3C2, 0A with the name, and with `tmc` a pair of
// each of two alternating TMC messages (8A) every twelve groups.
inline std::vector<sim::RdsGroup> stationGroups(std::uint16_t pi, bool tmc)
{
    std::vector<sim::RdsGroup> groups;
    for (std::uint16_t message = 0; message < 2; ++message) {
        for (std::uint16_t segment = 0; segment < 4; ++segment)
            groups.push_back({{pi, static_cast<std::uint16_t>(0x0000 | segment), 0xE20D, 0x4142}, {}});
        const sim::RdsGroup group8A{{pi, 0x8006, static_cast<std::uint16_t>(0x1000 + message), 0x2345}, {}};
        const sim::RdsGroup group0A{{pi, 0x0001, 0xE20D, 0x4344}, {}};
        groups.push_back(tmc ? group8A : group0A);
        groups.push_back(tmc ? group8A : group0A);
    }
    return groups;
}

class ControlRig : public LoadedTest, protected ReceptionLog {
protected:
    HANDLE threads[3] = {};

    explicit ControlRig(sim::Schedule schedule = kExactTimings)
        : LoadedTest(schedule), ReceptionLog(kernel, world, harness::takeOutput)
    {
        // The chip is ready 110 ms after ENABLE, and the driver reads the
        // registers back 110 ms after writing ENABLE (the settings written in
        // between take no virtual time), in the first configuration and in
        // every recovery. At equal times the kernel runs hardware events
        // before it wakes a thread, so that read finds the chip ready. Here
        // it is ready a millisecond early all the same: reception control
        // should not rest on that ordering.
        world.chip().timing().powerUp = 109'000;
    }
    ~ControlRig() override { stopThreads(); }

    // What start-up does up to the worker threads, then the three threads
    // that reception control works with.
    void bringUp()
    {
        driver.bringUpTuner();
        ASSERT_TRUE(world.chip().poweredUp());
        resetRdsDecoder();
        LifecycleState& life = gDriver.lifecycle;
        threads[0] = CreateThread(nullptr, 0, GroupThread, nullptr, 0, nullptr);
        life.interruptEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        life.sysIntr = kSysIntrTuner;
        ASSERT_TRUE(InterruptInitialize(life.sysIntr, life.interruptEvent, nullptr, 0));
        threads[1] = CreateThread(nullptr, 0, RdsInterruptThread, nullptr, 0, nullptr);
        threads[2] = CreateThread(nullptr, 0, ControlThread, nullptr, 0, nullptr);
        readBetweenSteps();
        lines.clear();
        seekStarts.clear();
        busyEnds.clear();
    }

    void stopThreads()
    {
        if (threads[2] == nullptr) return;
        LifecycleState& life = gDriver.lifecycle;
        gDriver.control.controlRequest.store(kRequestShutdown);
        life.stopControlThread.store(1);
        life.stopInterruptThread.store(1);
        life.stopGroupThread.store(1);
        InterruptDisable(life.sysIntr);
        SetEvent(life.interruptEvent);
        // A running tune, seek or signal measurement may need a few seconds.
        for (int i = 0; i < 200 && !allExited(); ++i) Sleep(50);
        EXPECT_TRUE(allExited()) << "a worker thread did not end";
        for (HANDLE& thread : threads) {
            // Joined: what the unload frees afterwards is ordered after them.
            WaitForSingleObject(thread, 0);
            CloseHandle(thread);
            thread = nullptr;
        }
        CloseHandle(life.interruptEvent);
    }

    bool allExited() const
    {
        for (HANDLE thread : threads)
            if (thread != nullptr && !kernel.threadExited(thread)) return false;
        return true;
    }

    void request(std::uint8_t code, std::uint16_t frequency = 0)
    {
        if (frequency != 0) gDriver.control.requestedFrequency.store(frequency);
        gDriver.control.controlRequest.store(code);
    }

    // Asks to skip the station: the time of the next seek, which starts within
    // one 10 ms step (0 if none does).
    sim::Micros skipWithinOneStep()
    {
        const std::size_t seeks = seekStarts.size();
        const sim::Micros skipped = kernel.now();
        gDriver.control.skipStation.store(1);
        const sim::Micros seek = runUntil([&] { return seekStarts.size() > seeks; }, 50);
        if (seek != 0) {
            EXPECT_LE(seek - skipped, 10 * kMs);
        }
        return seek;
    }

    // Asks for a tune: the chip starts it within one 10 ms step and is on
    // `frequency` `settleMs` later.
    void tuneWithinOneStep(std::uint16_t frequency, unsigned settleMs)
    {
        const sim::Micros written = kernel.now();
        request(kRequestTune, frequency);
        const sim::Micros tuning = runUntil([&] { return world.chip().tuning(); }, 50);
        ASSERT_NE(tuning, 0u);
        EXPECT_LE(tuning - written, 10 * kMs);
        runFor(settleMs);
        EXPECT_EQ(world.chip().frequency(), frequency);
    }

    void setFlags(std::uint16_t set, std::uint16_t clear = 0)
    {
        OutputFilter& filter = gDriver.sentences.outputFilter;
        filter.flags.store(static_cast<std::uint16_t>((filter.flags.load() | set) & ~clear));
    }

    std::uint8_t searchState() const { return gDriver.control.searchState.load(); }
    std::uint16_t tmcQuality() const { return gDriver.rds.tmcQuality.load(); }
};

}  // namespace controltest
