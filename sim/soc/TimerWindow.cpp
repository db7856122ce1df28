#include "sim/soc/TimerWindow.h"

namespace sim {

TimerWindow::TimerWindow(Kernel& kernel, std::uint32_t base, std::uint32_t size, std::uint64_t ticksPerSecond)
    : MemoryWindow(base, size), kernel_(kernel), ticksPerSecond_(ticksPerSecond), startTime_(kernel.now())
{}

std::uint32_t TimerWindow::counter() const
{
    // elapsed * rate / 10^6 without a 128-bit product, which a 32-bit
    // processor's compiler does not have: whole seconds, then the rest (below
    // 10^6 microseconds, so the product fits for any rate below 10^13 Hz).
    // Modulo 2^64 the sum is the exact quotient, as the counter wants.
    const std::uint64_t elapsed = kernel_.now() - startTime_;
    const std::uint64_t ticks =
        elapsed / 1'000'000u * ticksPerSecond_ + elapsed % 1'000'000u * ticksPerSecond_ / 1'000'000u;
    return static_cast<std::uint32_t>(startValue_ + ticks);
}

void TimerWindow::setCounter(std::uint32_t value)
{
    startValue_ = value;
    startTime_ = kernel_.now();
}

void TimerWindow::setTicksPerSecond(std::uint64_t ticksPerSecond)
{
    setCounter(counter());
    ticksPerSecond_ = ticksPerSecond;
}

std::uint32_t TimerWindow::read32(std::uint32_t offset)
{
    const std::uint32_t value = MemoryWindow::read32(offset);
    if (offset == kTimerCounter && readCost_ > 0) {
        kernel_.advance(readCost_);
    }
    return value;
}

void TimerWindow::write32(std::uint32_t offset, std::uint32_t value)
{
    MemoryWindow::write32(offset, value);
    if (offset == kTimerLatch && (value & 1u) != 0) {
        poke(kTimerCounter, counter());
    }
}

}  // namespace sim
