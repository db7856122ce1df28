// The SoC model's view of the register windows (platform/RegisterWindowTable.h,
// the table the driver maps from): window numbers count from 1 in table order.
#pragma once

#include "platform/RegisterWindowTable.h"

#include <cstdint>
#include <span>

namespace sim {

using WindowInfo = ::RegisterWindow;

inline constexpr std::span<const WindowInfo, kRegisterWindowCount> kRegisterWindows{::kRegisterWindows};

inline constexpr unsigned kTimerWindowNumber = kTimerWindow + 1;
inline constexpr unsigned kGpioWindowNumber = kGpioWindow + 1;
inline constexpr unsigned kClockWindowNumber = kClockWindow + 1;

inline constexpr std::uint32_t kTimerWindowBase = kRegisterWindows[kTimerWindow].base;
inline constexpr std::uint32_t kGpioWindowBase = kRegisterWindows[kGpioWindow].base;
inline constexpr std::uint32_t kClockWindowBase = kRegisterWindows[kClockWindow].base;

// Returns the window number (1..35) of a physical base, 0 when unknown.
constexpr unsigned windowNumberOf(std::uint32_t base)
{
    for (unsigned i = 0; i < kRegisterWindows.size(); ++i) {
        if (kRegisterWindows[i].base == base) {
            return i + 1;
        }
    }
    return 0;
}

static_assert(windowNumberOf(kTimerWindowBase) == kTimerWindowNumber);
static_assert(windowNumberOf(kGpioWindowBase) == kGpioWindowNumber);
static_assert(windowNumberOf(kClockWindowBase) == kClockWindowNumber);

}  // namespace sim
