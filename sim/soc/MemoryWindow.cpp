#include "sim/soc/MemoryWindow.h"

namespace sim {

MemoryWindow::MemoryWindow(std::uint32_t base, std::uint32_t size) : base_(base), size_(size), words_((size + 3) / 4, 0)
{}

bool MemoryWindow::valid(std::uint32_t offset)
{
    if (offset % 4 != 0 || offset / 4 >= words_.size()) {
        ++stray_;
        return false;
    }
    return true;
}

std::uint32_t MemoryWindow::read32(std::uint32_t offset)
{
    if (!valid(offset)) {
        return 0;
    }
    ++counts_[offset].reads;
    return words_[offset / 4];
}

void MemoryWindow::write32(std::uint32_t offset, std::uint32_t value)
{
    if (!valid(offset)) {
        return;
    }
    ++counts_[offset].writes;
    words_[offset / 4] = value;
}

void MemoryWindow::beforeCompareExchange(std::uint32_t offset)
{
    ++counts_[offset].compareExchanges;
    for (auto it = interference_.begin(); it != interference_.end(); ++it) {
        if (it->offset == offset) {
            const Interference change = *it;
            interference_.erase(it);
            write32(offset, (peek(offset) & ~change.clearMask) | change.setMask);
            // The other writer's store is not the driver's: keep the counts honest.
            --counts_[offset].writes;
            return;
        }
    }
}

std::uint32_t MemoryWindow::peek(std::uint32_t offset) const
{
    return offset / 4 < words_.size() ? words_[offset / 4] : 0;
}

void MemoryWindow::poke(std::uint32_t offset, std::uint32_t value)
{
    if (offset / 4 < words_.size()) {
        words_[offset / 4] = value;
    }
}

void MemoryWindow::interfereOnce(std::uint32_t offset, std::uint32_t clearMask, std::uint32_t setMask)
{
    interference_.push_back({offset, clearMask, setMask});
}

MemoryWindow::Counts MemoryWindow::counts(std::uint32_t offset) const
{
    auto it = counts_.find(offset);
    return it == counts_.end() ? Counts{} : it->second;
}

}  // namespace sim
