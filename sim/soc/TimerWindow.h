// The Atlas IV timer window: a free-running 32-bit counter that follows virtual
// time. Writing 1 to the latch (0x30) copies the counter into the register read
// at 0x34, so a read without a latch before it sees an old value.
//
// The counter runs at half the platform clock rate (6 MHz for the default
// clock word of 12,000,000), so a delay unit of clock/2,000,000 ticks is one
// microsecond. Reading the counter costs the reader a little virtual time (the
// read cost, 1 us by default): a busy wait on the counter moves the clock
// forward and therefore ends.
#pragma once

#include "sim/soc/MemoryWindow.h"

namespace sim {

inline constexpr std::uint32_t kTimerLatch = 0x30;
inline constexpr std::uint32_t kTimerCounter = 0x34;

class TimerWindow final : public MemoryWindow {
public:
    TimerWindow(Kernel& kernel, std::uint32_t base, std::uint32_t size, std::uint64_t ticksPerSecond);

    std::uint32_t read32(std::uint32_t offset) override;
    void write32(std::uint32_t offset, std::uint32_t value) override;

    // The running counter now (not the latched copy).
    std::uint32_t counter() const;
    // Makes the counter read `value` now; it runs on from there (wrap tests).
    void setCounter(std::uint32_t value);
    void setTicksPerSecond(std::uint64_t ticksPerSecond);
    std::uint64_t ticksPerSecond() const { return ticksPerSecond_; }
    void setReadCost(Micros cost) { readCost_ = cost; }

private:
    Kernel& kernel_;
    std::uint64_t ticksPerSecond_;
    std::uint32_t startValue_ = 0;
    Micros startTime_ = 0;
    Micros readCost_ = 1;
};

}  // namespace sim
