#include "sim/soc/GpioWindow.h"

#include <utility>

namespace sim {

GpioWindow::GpioWindow(Kernel& kernel, std::uint32_t base, std::uint32_t size)
    : MemoryWindow(base, size), kernel_(kernel)
{}

bool GpioWindow::computeLevel(std::uint32_t control, std::uint32_t padBit) const
{
    const std::uint32_t pin = peek(control);
    const bool driven = (pin & kPinOutputEnable) != 0 && (peek(kGpioPadSelect) & padBit) != 0;
    return driven && (pin & kPinOutputLevel) != 0;
}

void GpioWindow::write32(std::uint32_t offset, std::uint32_t value)
{
    MemoryWindow::write32(offset, value);
    if (offset == kGpioBusModeControl || offset == kGpioResetControl || offset == kGpioPadSelect) {
        // Bus mode first: a single store that raises both lines presents the
        // bus mode before the reset edge, as a board's wiring would.
        update(GpioLine::BusMode, computeLevel(kGpioBusModeControl, kPadSelectBusMode));
        update(GpioLine::Reset, computeLevel(kGpioResetControl, kPadSelectReset));
    }
}

void GpioWindow::update(GpioLine line, bool level)
{
    bool& current = line == GpioLine::Reset ? reset_ : busMode_;
    if (current == level) {
        return;
    }
    current = level;
    (line == GpioLine::Reset ? resetHistory_ : busModeHistory_).push_back({kernel_.now(), level});
    if (listener_) {
        listener_(line, level);
    }
}

bool GpioWindow::level(GpioLine line) const
{
    return line == GpioLine::Reset ? reset_ : busMode_;
}

const std::vector<LineChange>& GpioWindow::history(GpioLine line) const
{
    return line == GpioLine::Reset ? resetHistory_ : busModeHistory_;
}

void GpioWindow::clearHistory()
{
    resetHistory_.clear();
    busModeHistory_.clear();
}

void GpioWindow::onLineChange(std::function<void(GpioLine, bool)> listener)
{
    listener_ = std::move(listener);
}

}  // namespace sim
