// Test rig for the tuner: a freshly loaded driver on a simulated world, with
// helpers to bring the chip up the way the driver does at load and to read
// what the driver printed.
#pragma once

#include "driver/DriverContext.h"
#include "platform/Platform.h"
#include "tests/support/DriverFixtures.h"
#include "tuner/Tuner.h"

namespace tunertest {

using namespace si4709;

class TunerRig : public LoadedTest {
protected:
    // Register sequences and their waits to the microsecond.
    explicit TunerRig(sim::Schedule schedule = kExactTimings) : LoadedTest(schedule) {}

    void bringUp()
    {
        driver.bringUpTuner();
        ASSERT_TRUE(world.chip().poweredUp());
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
};

}  // namespace tunertest
