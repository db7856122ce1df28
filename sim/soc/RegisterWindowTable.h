// The SiRF Atlas IV register windows a driver may map: physical base and size.
// Only these bases can be bound with VirtualCopy; three of them carry registers
// the tuner driver uses (GPIO pins, the timer, the clock-rate word), the others
// are plain register storage.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

struct WindowInfo {
    std::uint32_t base;
    std::uint32_t size;
};

inline constexpr std::array<WindowInfo, 35> kRegisterWindows{{
    {0xAB080000, 100},   {0xAB0B0000, 512},   {0xAB060000, 4060}, {0xA8000000, 308},
    {0xAA010000, 144},   {0xAB0A0000, 16456}, {0xA4800000, 28},   {0xAB070000, 3868},
    {0xAA050000, 60},    {0xA5900000, 124},   {0xAB090000, 1536}, {0xAB0F0000, 72},
    {0xAA040000, 4},     {0xAA060000, 128},   {0xAA080000, 36},   {0xAA090000, 24},
    {0xA9010000, 16},    {0xAA030000, 16},    {0xAA070000, 16},   {0xA5800000, 56},
    {0xAA020000, 64},    {0xA7000000, 8192},  {0xAB000000, 4096}, {0xAB010000, 4096},
    {0xAB020000, 4096},  {0xAB030000, 328},   {0xAB040000, 328},  {0xAB050000, 4096},
    {0xAB100000, 4096},  {0xAB110000, 4096},  {0xAB130000, 8192}, {0xAC002000, 8192},
    {0xA5500000, 12288}, {0xAB120000, 40},    {0xAB0E0000, 32},
}};

// Window numbers count from 1 in table order.
inline constexpr unsigned kTimerWindowNumber = 9;
inline constexpr unsigned kGpioWindowNumber = 11;
inline constexpr unsigned kClockWindowNumber = 32;

inline constexpr std::uint32_t kTimerWindowBase = 0xAA050000;
inline constexpr std::uint32_t kGpioWindowBase = 0xAB090000;
inline constexpr std::uint32_t kClockWindowBase = 0xAC002000;

// Returns the window number (1..35) of a physical base, 0 when unknown.
constexpr unsigned windowNumberOf(std::uint32_t base) {
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
