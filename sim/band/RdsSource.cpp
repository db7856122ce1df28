#include "sim/band/RdsSource.h"

#include <utility>

namespace sim {

FixedRdsSource::FixedRdsSource(std::vector<RdsGroup> groups) : groups_(std::move(groups)) {}

RdsGroup FixedRdsSource::next() {
    if (groups_.empty()) {
        return {};
    }
    const RdsGroup group = groups_[position_];
    position_ = (position_ + 1) % groups_.size();
    ++sent_;
    return group;
}

}  // namespace sim
