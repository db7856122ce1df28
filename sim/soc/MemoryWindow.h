// A register window of the SoC that simply keeps what is written to it, with
// access counts per offset and a hook that lets "another writer" change a
// register just before a compare-exchange reads it. The GPIO and timer windows
// build their behaviour on top of it.
#pragma once

#include "sim/kernel/Kernel.h"

#include <cstdint>
#include <map>
#include <vector>

namespace sim {

class MemoryWindow : public RegisterDevice {
public:
    MemoryWindow(std::uint32_t base, std::uint32_t size);

    std::uint32_t read32(std::uint32_t offset) override;
    void write32(std::uint32_t offset, std::uint32_t value) override;
    void beforeCompareExchange(std::uint32_t offset) override;

    std::uint32_t base() const { return base_; }
    std::uint32_t size() const { return size_; }

    // Direct access for the world and tests: no side effects, not counted.
    std::uint32_t peek(std::uint32_t offset) const;
    void poke(std::uint32_t offset, std::uint32_t value);

    // Before the next compare-exchange on `offset`, another writer stores
    // (value AND NOT clearMask) OR setMask there (through write32, so any
    // effect of the change happens too). One-shot; several may be queued.
    void interfereOnce(std::uint32_t offset, std::uint32_t clearMask, std::uint32_t setMask);

    struct Counts {
        std::uint64_t reads = 0;
        std::uint64_t writes = 0;
        std::uint64_t compareExchanges = 0;
    };
    Counts counts(std::uint32_t offset) const;
    // Accesses outside the window or not on a 32-bit boundary (ignored, read 0).
    std::uint64_t strayAccesses() const { return stray_; }

protected:
    bool valid(std::uint32_t offset);

private:
    struct Interference {
        std::uint32_t offset;
        std::uint32_t clearMask;
        std::uint32_t setMask;
    };
    std::uint32_t base_;
    std::uint32_t size_;
    std::vector<std::uint32_t> words_;
    std::map<std::uint32_t, Counts> counts_;
    std::vector<Interference> interference_;
    std::uint64_t stray_ = 0;
};

}  // namespace sim
