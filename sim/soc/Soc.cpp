#include "sim/soc/Soc.h"

#include "platform/BusTypes.h"
#include "sim/kernel/RaceDetector.h"

#include <cstring>

namespace sim {

namespace {
Soc* gActive = nullptr;
constexpr DWORD kPageSize = 4096;
}  // namespace

Soc::Soc(Kernel& kernel) : kernel_(kernel)
{
    for (unsigned i = 0; i < kRegisterWindows.size(); ++i) {
        const WindowInfo info = kRegisterWindows[i];
        const unsigned number = i + 1;
        if (number == kGpioWindowNumber) {
            gpio_ = std::make_unique<GpioWindow>(kernel, info.base, info.size);
        } else if (number == kTimerWindowNumber) {
            timer_ = std::make_unique<TimerWindow>(kernel, info.base, info.size, kDefaultClockRate / 2);
        } else if (number == kClockWindowNumber) {
            clock_ = std::make_unique<MemoryWindow>(info.base, info.size);
        } else {
            plain_[i] = std::make_unique<MemoryWindow>(info.base, info.size);
        }
    }
    setClockRate(kDefaultClockRate);
    gActive = this;
}

Soc::~Soc()
{
    if (heldEvent_ != 0) {
        kernel_.cancel(heldEvent_);
    }
    for (auto& [address, reservation] : reservations_) {
        if (reservation.window != 0) {
            kernel_.unmapRegisters(reinterpret_cast<void*>(address));
        }
    }
    if (gActive == this) {
        gActive = nullptr;
    }
}

Soc* Soc::active()
{
    return gActive;
}

MemoryWindow& Soc::window(unsigned number)
{
    if (number == kGpioWindowNumber) return *gpio_;
    if (number == kTimerWindowNumber) return *timer_;
    if (number == kClockWindowNumber) return *clock_;
    return *plain_.at(number - 1);
}

void Soc::failVirtualAllocAfter(std::uint32_t passes)
{
    allocFailCountdown_ = passes;
}

LPVOID Soc::reserve(DWORD size)
{
    const DWORD rounded = (size + kPageSize - 1) / kPageSize * kPageSize;
    Reservation reservation{std::make_unique<std::byte[]>(rounded), size, 0};
    void* address = reservation.memory.get();
    released_.erase(reinterpret_cast<std::uintptr_t>(address));
    reservations_.emplace(reinterpret_cast<std::uintptr_t>(address), std::move(reservation));
    return address;
}

LPVOID Soc::virtualAlloc(LPVOID address, DWORD size, DWORD allocationType, DWORD protect)
{
    ++allocCalls_;
    // Register windows are only ever reserved here, with no access until bound.
    if (address != nullptr || size == 0 || (allocationType & MEM_RESERVE) == 0 ||
        (allocationType & ~(MEM_RESERVE | MEM_COMMIT)) != 0 || protect != PAGE_NOACCESS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (allocFailCountdown_ >= 0 && allocFailCountdown_-- == 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return reserve(size);
}

BOOL Soc::virtualCopy(LPVOID destination, LPVOID source, DWORD size, DWORD protect)
{
    auto it = reservations_.find(reinterpret_cast<std::uintptr_t>(destination));
    const auto physical = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(source));
    const unsigned number = windowNumberOf(physical);
    if (it == reservations_.end() || it->second.window != 0 || size == 0 || size > it->second.size ||
        protect != kWindowProtection || number == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (number == failCopyWindow_) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    it->second.window = number;
    kernel_.mapRegisters(destination, size, &window(number));
    return TRUE;
}

BOOL Soc::virtualFree(LPVOID address, DWORD size, DWORD freeType)
{
    auto it = reservations_.find(reinterpret_cast<std::uintptr_t>(address));
    if (it == reservations_.end() && released_.count(reinterpret_cast<std::uintptr_t>(address)) != 0)
        kernel_.reportMisuse("memory freed twice (VirtualFree)");
    // MEM_RELEASE frees the whole reservation and takes a size of 0.
    if (it == reservations_.end() || freeType != MEM_RELEASE || size != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (it->second.window != 0) {
        kernel_.unmapRegisters(address);
    }
    released_.insert(it->first);
    // Freed where the race detector sees it, as LocalFree's blocks are.
    race::observed([&] { reservations_.erase(it); });
    return TRUE;
}

void* Soc::mapWindow(std::uint32_t base, std::uint32_t size, DWORD& error)
{
    const unsigned number = windowNumberOf(base);
    if (number == 0 || size == 0 || number == failCopyWindow_) {
        error = number == 0 || size == 0 ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    void* address = reserve(size);
    reservations_[reinterpret_cast<std::uintptr_t>(address)].window = number;
    kernel_.mapRegisters(address, size, &window(number));
    return address;
}

unsigned Soc::bindings(unsigned number) const
{
    unsigned count = 0;
    for (const auto& [address, reservation] : reservations_) {
        count += reservation.window == number ? 1 : 0;
    }
    return count;
}

BOOL Soc::kernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned)
{
    if (code != kIoctlHalPlatformInfo) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    ++platformInfoCalls_;
    if (out == nullptr || outSize < kPlatformInfoBytes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (failPlatformInfo_) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    // The platform description; its contents mean nothing to the tuner driver.
    std::memset(out, 0, kPlatformInfoBytes);
    if (returned != nullptr) {
        *returned = kPlatformInfoBytes;
    }
    return TRUE;
}

void Soc::tunerInterruptLine(bool level)
{
    if (interruptLevel_ && !level && !lineHeld_) {
        ++interruptEdges_;
        kernel_.raiseInterrupt(kSysIntrTuner);
    }
    interruptLevel_ = level;
}

void Soc::holdTunerInterruptLine(bool held)
{
    if (held == lineHeld_) {
        return;
    }
    lineHeld_ = held;
    if (!held) {
        kernel_.cancel(heldEvent_);
        heldEvent_ = 0;
        return;
    }
    if (interruptLevel_) {
        ++interruptEdges_;
    }
    repeatHeldLine();
}

void Soc::repeatHeldLine()
{
    kernel_.raiseInterrupt(kSysIntrTuner);
    heldEvent_ = kernel_.after(kHeldLineRepeat, [this] { repeatHeldLine(); });
}

}  // namespace sim
