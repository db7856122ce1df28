// Test rig for the tuner: a fresh driver context on a simulated world, with
// helpers to bring the chip up the way the driver does at load and to read
// what the driver printed.
#pragma once

#include "driver/DriverContext.h"
#include "driver/Lifecycle.h"
#include "platform/Platform.h"
#include "sim/World.h"
#include "tests/support/TestSeed.h"
#include "tuner/Tuner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tunertest {

using namespace si4709;

class TunerRig : public ::testing::Test {
protected:
    sim::Kernel kernel{sim::KernelOptions{.seed = testSeed(), .schedule = testSchedule()}};
    sim::World world{kernel};

    TunerRig() { LoadDriverContext(); }
    ~TunerRig() override { closeBus(); }

    // The load-time sequence: windows, lines, reset, bus, defaults, settings.
    void bringUp()
    {
        TunerHardwareInit();
        storeStartDefaults();
        TunerFirstConfig();
        ASSERT_TRUE(world.chip().poweredUp());
    }

    // What the power-down and the unload do with the bus and its record.
    void closeBus()
    {
        I2CHandle* handle = gDriver.tuner.pI2CHandle.exchange(nullptr);
        if (handle != nullptr) CloseHandle(handle->device);
        LocalFree(gDriver.tuner.busRecord);
        gDriver.tuner.busRecord = nullptr;
    }

    std::vector<std::string> debugTexts() const
    {
        std::vector<std::string> texts;
        for (const sim::DebugLine& line : kernel.debugLog()) {
            texts.push_back(line.text);
        }
        return texts;
    }

    std::uint16_t shadow(unsigned reg) const { return gDriver.tuner.shadow.get(reg); }

    // Tests that provoke protocol violations on purpose say how many.
    std::uint64_t expectedViolations = 0;
    void TearDown() override { EXPECT_EQ(world.protocolViolations(), expectedViolations); }
};

}  // namespace tunertest
