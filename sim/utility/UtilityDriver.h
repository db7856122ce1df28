// The platform's utility driver, device "UTL0:". Control code 0x40008 fills a
// 32-byte UtlInterface with a context word (byte offset 4) and a map routine
// (byte offset 8) that binds an SoC register window like VirtualCopy does.
#pragma once

#include "platform/BusTypes.h"
#include "sim/kernel/Kernel.h"

#include <cstdint>

namespace sim {

inline constexpr char16_t kUtilityDeviceName[] = u"UTL0:";

class UtilityDriver final : public Device {
public:
    UtilityDriver();
    ~UtilityDriver() override;
    UtilityDriver(const UtilityDriver&) = delete;
    UtilityDriver& operator=(const UtilityDriver&) = delete;

    bool open(DWORD access, DWORD shareMode, DWORD& error) override;
    BOOL ioControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) override;
    void close() override { ++closes_; }

    static DWORD map(DWORD context, DWORD base, DWORD size, DWORD zero, PVOID* mapped);

    // ---- Faults ------------------------------------------------------------
    void failOpens(std::uint32_t count) { failOpens_ = count; }
    void refuseInterface(bool refuse) { refuseInterface_ = refuse; }

    // ---- Observation ---------------------------------------------------------
    std::uint64_t opens() const { return opens_; }
    std::uint64_t openHandles() const { return opens_ - closes_; }
    std::uint64_t interfaceRequests() const { return interfaceRequests_; }
    std::uint64_t maps() const { return maps_; }

private:
    DWORD context_;
    std::uint32_t failOpens_ = 0;
    bool refuseInterface_ = false;
    std::uint64_t opens_ = 0;
    std::uint64_t closes_ = 0;
    std::uint64_t interfaceRequests_ = 0;
    std::uint64_t maps_ = 0;
};

}  // namespace sim
