// The Atlas IV GPIO window as far as the tuner is wired to it: two pin control
// registers drive the Si4709's bus-mode input (0x438) and reset input (0x43C);
// the pad-select register (0x484) hands each pad to the GPIO block (bit 14 for
// the line at 0x438, bit 15 for the line at 0x43C).
//
// A line carries the level of its output-level bit (bit 6) only while its
// output is enabled (bit 5) and its pad is selected. Otherwise nothing drives
// it and the board's pull-down holds it low: the chip stays in reset and would
// latch the wrong bus mode until the driver drives both lines.
#pragma once

#include "sim/soc/MemoryWindow.h"

#include <functional>
#include <vector>

namespace sim {

inline constexpr std::uint32_t kGpioBusModeControl = 0x438;
inline constexpr std::uint32_t kGpioResetControl = 0x43C;
inline constexpr std::uint32_t kGpioPadSelect = 0x484;
inline constexpr std::uint32_t kPinOutputEnable = 1u << 5;
inline constexpr std::uint32_t kPinOutputLevel = 1u << 6;
inline constexpr std::uint32_t kPadSelectBusMode = 1u << 14;
inline constexpr std::uint32_t kPadSelectReset = 1u << 15;

enum class GpioLine { BusMode, Reset };

struct LineChange {
    Micros time;
    bool level;
    bool operator==(const LineChange&) const = default;
};

class GpioWindow final : public MemoryWindow {
public:
    GpioWindow(Kernel& kernel, std::uint32_t base, std::uint32_t size);

    void write32(std::uint32_t offset, std::uint32_t value) override;

    bool level(GpioLine line) const;
    // Every change of the line's level, with its virtual time.
    const std::vector<LineChange>& history(GpioLine line) const;
    void clearHistory();
    // Called with the line and its new level whenever a level changes.
    void onLineChange(std::function<void(GpioLine, bool)> listener);

private:
    bool computeLevel(std::uint32_t control, std::uint32_t padBit) const;
    void update(GpioLine line, bool level);

    Kernel& kernel_;
    bool busMode_ = false;
    bool reset_ = false;
    std::vector<LineChange> busModeHistory_;
    std::vector<LineChange> resetHistory_;
    std::function<void(GpioLine, bool)> listener_;
};

}  // namespace sim
