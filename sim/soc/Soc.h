// The simulated SiRF Atlas IV: its register windows and the kernel calls that
// bind them (VirtualAlloc, VirtualCopy, VirtualFree, KernelIoControl).
//
// VirtualAlloc(0, size, MEM_RESERVE, PAGE_NOACCESS) reserves host memory;
// VirtualCopy(reservation, physical base, size, PAGE_READWRITE|PAGE_NOCACHE)
// binds one of the 35 known windows there, so READ_REGISTER_ULONG and friends
// reach it; an unknown base fails. The GPIO window drives the tuner's reset and
// bus-mode lines, the timer window counts virtual time, the clock window's word
// at 0xA10 gives the clock rate (12,000,000 unless a test sets another). The
// tuner's interrupt output comes in on a GPIO input: a falling edge raises
// SYSINTR 68.
//
// One SoC is active at a time; the platform calls reach it through active().
#pragma once

#include "platform/ce/WinCE.h"
#include "sim/kernel/Kernel.h"
#include "sim/soc/GpioWindow.h"
#include "sim/soc/MemoryWindow.h"
#include "sim/soc/RegisterWindowTable.h"
#include "sim/soc/TimerWindow.h"

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <set>

namespace sim {

inline constexpr std::uint32_t kClockRateWord = 0xA10;
inline constexpr std::uint32_t kDefaultClockRate = 12'000'000;
inline constexpr DWORD kWindowProtection = PAGE_READWRITE | PAGE_NOCACHE;

class Soc {
public:
    explicit Soc(Kernel& kernel);
    ~Soc();
    Soc(const Soc&) = delete;
    Soc& operator=(const Soc&) = delete;

    // The live SoC, or null.
    static Soc* active();

    GpioWindow& gpio() { return *gpio_; }
    TimerWindow& timer() { return *timer_; }
    MemoryWindow& clock() { return *clock_; }
    MemoryWindow& window(unsigned number);  // 1..35
    void setClockRate(std::uint32_t word) { clock_->poke(kClockRateWord, word); }

    // ---- The platform calls ----------------------------------------------
    LPVOID virtualAlloc(LPVOID address, DWORD size, DWORD allocationType, DWORD protect);
    BOOL virtualCopy(LPVOID destination, LPVOID source, DWORD size, DWORD protect);
    BOOL virtualFree(LPVOID address, DWORD size, DWORD freeType);
    BOOL kernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned);
    // Reserve and bind in one step (the utility driver's map routine).
    // Returns null and sets `error` on failure.
    void* mapWindow(std::uint32_t base, std::uint32_t size, DWORD& error);

    // ---- Faults ------------------------------------------------------------
    // Lets `passes` VirtualAlloc calls succeed and fails the next one (once).
    void failVirtualAllocAfter(std::uint32_t passes);
    // Every VirtualCopy of window `number` (1..35) fails until cleared with 0.
    void failVirtualCopyOfWindow(unsigned number) { failCopyWindow_ = number; }
    void failPlatformInfo(bool fail) { failPlatformInfo_ = fail; }

    // ---- Observation ---------------------------------------------------------
    std::size_t liveReservations() const { return reservations_.size(); }
    // How many live bindings window `number` has.
    unsigned bindings(unsigned number) const;
    std::uint64_t virtualAllocCalls() const { return allocCalls_; }
    std::uint64_t platformInfoCalls() const { return platformInfoCalls_; }

    // ---- The tuner's interrupt line ----------------------------------------
    // The level the chip's interrupt output presents (high when idle).
    void tunerInterruptLine(bool level);
    bool tunerInterruptLevel() const { return interruptLevel_ && !lineHeld_; }
    // A fault holds the line low (a shorted trace, a latched driver stage)
    // whatever the chip presents: the interrupt controller sees it again as
    // soon as the driver re-enables it. Modelled as an edge every
    // kHeldLineRepeat, which the kernel keeps pending while the interrupt is
    // masked and delivers at InterruptDone; about what one pass of the
    // driver's interrupt thread (three register reads at 400 kHz) takes.
    static constexpr Micros kHeldLineRepeat = 1'000;
    void holdTunerInterruptLine(bool held);
    bool tunerInterruptLineHeld() const { return lineHeld_; }
    std::uint64_t tunerInterruptEdges() const { return interruptEdges_; }

private:
    struct Reservation {
        std::unique_ptr<std::byte[]> memory;
        DWORD size = 0;
        unsigned window = 0;  // bound window number, 0 while only reserved
    };
    LPVOID reserve(DWORD size);

    Kernel& kernel_;
    std::unique_ptr<GpioWindow> gpio_;
    std::unique_ptr<TimerWindow> timer_;
    std::unique_ptr<MemoryWindow> clock_;
    std::array<std::unique_ptr<MemoryWindow>, kRegisterWindows.size()> plain_;
    std::map<std::uintptr_t, Reservation> reservations_;
    std::set<std::uintptr_t> released_;  // reservations freed, for the double free
    std::int64_t allocFailCountdown_ = -1;
    unsigned failCopyWindow_ = 0;
    bool failPlatformInfo_ = false;
    std::uint64_t allocCalls_ = 0;
    std::uint64_t platformInfoCalls_ = 0;
    bool interruptLevel_ = true;
    std::uint64_t interruptEdges_ = 0;
    bool lineHeld_ = false;
    Kernel::EventId heldEvent_ = 0;
    void repeatHeldLine();
};

}  // namespace sim
