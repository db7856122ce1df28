// The SiRF Atlas IV register windows a driver may map: physical base (in the
// kernel's uncached static mapping) and size in bytes, in the order the driver
// maps them. Only these bases can be bound with VirtualCopy. Three of them
// carry registers the tuner driver uses (the timer, the GPIO pins, the
// clock-rate word); the others are mapped with them and left alone. The one
// table of the SoC's windows: the driver maps from it and the SoC model on the
// host builds its windows from it.
#pragma once

#include <cstdint>

struct RegisterWindow {
    std::uint32_t base;
    std::uint32_t size;
};

inline constexpr unsigned kRegisterWindowCount = 35;

// Laid out by hand: each comment stays on the entry it describes.
// clang-format off
inline constexpr RegisterWindow kRegisterWindows[kRegisterWindowCount] = {
    {0xAB080000, 100},   {0xAB0B0000, 512},   {0xAB060000, 4060}, {0xA8000000, 308},
    {0xAA010000, 144},   {0xAB0A0000, 16456}, {0xA4800000, 28},   {0xAB070000, 3868},
    {0xAA050000, 60},    // timer: counter latch and counter
    {0xA5900000, 124},
    {0xAB090000, 1536},  // GPIO: pin control registers
    {0xAB0F0000, 72},    {0xAA040000, 4},     {0xAA060000, 128},  {0xAA080000, 36},
    {0xAA090000, 24},    {0xA9010000, 16},    {0xAA030000, 16},   {0xAA070000, 16},
    {0xA5800000, 56},    {0xAA020000, 64},    {0xA7000000, 8192}, {0xAB000000, 4096},
    {0xAB010000, 4096},  {0xAB020000, 4096},  {0xAB030000, 328},  {0xAB040000, 328},
    {0xAB050000, 4096},  {0xAB100000, 4096},  {0xAB110000, 4096}, {0xAB130000, 8192},
    {0xAC002000, 8192},  // clock: clock-rate word
    {0xA5500000, 12288}, {0xAB120000, 40},    {0xAB0E0000, 32},
};
// clang-format on

// The three windows the driver itself uses (indexes into the table).
inline constexpr unsigned kTimerWindow = 8;   // counter latch and free-running counter
inline constexpr unsigned kGpioWindow = 10;   // pin control registers
inline constexpr unsigned kClockWindow = 31;  // clock-rate word

static_assert(kRegisterWindows[kTimerWindow].base == 0xAA050000);
static_assert(kRegisterWindows[kGpioWindow].base == 0xAB090000);
static_assert(kRegisterWindows[kClockWindow].base == 0xAC002000);
