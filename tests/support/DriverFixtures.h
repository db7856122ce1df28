// Fixtures on the harness, built from this run's seed and scheduling mode (so
// a failure's reproduce line holds): the whole driver on a device, one part of
// it on a loaded context without worker threads, and the hardware alone.
#pragma once

#include "driver/Corvane.h"
#include "harness/Device.h"
#include "harness/LoadedContext.h"
#include "tests/support/TestSeed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Lines = std::vector<std::string>;

// The two stations the tests of the whole driver tune between.
inline void addTwoStations(sim::World& world)
{
    world.addStation(9470, 42, 25);
    world.addStation(10120, 38, 20);
}

// The whole driver through its entry points; the test is the device manager,
// the power manager and the application. Unloaded at the end if still loaded.
class DeviceTest : public ::testing::Test {
protected:
    explicit DeviceTest(sim::Schedule schedule = testSchedule()) : device{testKernelOptions(schedule)} {}

    harness::Device device;
    sim::Kernel& kernel = device.kernel();
    sim::World& world = device.world();

    void load() { ASSERT_EQ(device.init(), kDeviceContext); }
    Lines read() { return device.readLines(); }
    void write(const std::string& text) { device.writePort(text); }

    void TearDown() override
    {
        if (device.loaded()) {
            EXPECT_TRUE(device.deinit());
        }
        EXPECT_EQ(world.protocolViolations(), 0u);
    }
};

// The simulated hardware alone, which must never see its protocol broken.
class WorldTest : public ::testing::Test {
protected:
    explicit WorldTest(sim::Schedule schedule = testSchedule()) : kernel{testKernelOptions(schedule)} {}

    sim::Kernel kernel;
    sim::World world{kernel};

    // Tests that provoke protocol violations on purpose say how many.
    std::uint64_t expectedViolations = 0;
    void TearDown() override { EXPECT_EQ(world.protocolViolations(), expectedViolations); }
};

// One part of the driver on a world, driven from the test's thread: a freshly
// loaded context with its locks and rings, no worker threads.
class LoadedTest : public WorldTest {
protected:
    using WorldTest::WorldTest;

    harness::LoadedContext driver;
};
