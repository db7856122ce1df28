// A freshly loaded driver as far as the port needs it: a new context at its
// load values, the ring guards, the serial defaults and both rings at their
// start sizes (what the start of COM_Init does).
#pragma once

#include "channel/ByteRing.h"
#include "channel/ChannelState.h"
#include "driver/DriverContext.h"
#include "driver/SerialRequests.h"
#include "sim/kernel/Kernel.h"
#include "tests/support/TestSeed.h"

#include <gtest/gtest.h>

class LoadedPort : public ::testing::Test {
protected:
    LoadedPort()
    {
        LoadDriverContext();
        InitRingGuards();
        StoreSerialDefaults();
        gDriver.channel.outputRing.reset(kOutputRingSize);
        gDriver.channel.inputRing.reset(kInputRingSize);
    }
    ~LoadedPort() override { ReleaseRingGuards(); }

    sim::Kernel kernel{sim::KernelOptions{.seed = testSeed(), .schedule = testSchedule()}};
};
