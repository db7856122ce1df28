#include "sim/band/RdsSource.h"

#include <utility>

namespace sim {

RdsGroup RdsSource::groupAt(std::uint64_t slot)
{
    if (slot > nextSlot_) {
        pass(nextSlot_, slot - nextSlot_);
        unheard_ += slot - nextSlot_;
    } else {
        slot = nextSlot_;
    }
    nextSlot_ = slot + 1;
    return produce(slot);
}

void RdsSource::pass(std::uint64_t first, std::uint64_t count)
{
    for (std::uint64_t i = 0; i < count; ++i) {
        (void)produce(first + i);
    }
}

FixedRdsSource::FixedRdsSource(std::vector<RdsGroup> groups) : groups_(std::move(groups))
{}

RdsGroup FixedRdsSource::produce(std::uint64_t)
{
    if (groups_.empty()) {
        return {};
    }
    const RdsGroup group = groups_[position_];
    position_ = (position_ + 1) % groups_.size();
    ++sent_;
    return group;
}

void FixedRdsSource::pass(std::uint64_t, std::uint64_t count)
{
    if (!groups_.empty()) {
        position_ = static_cast<std::size_t>((position_ + count % groups_.size()) % groups_.size());
    }
}

}  // namespace sim
