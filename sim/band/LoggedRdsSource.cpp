#include "sim/band/LoggedRdsSource.h"

#include <stdexcept>
#include <utility>

namespace sim {

LoggedRdsSource::LoggedRdsSource(std::shared_ptr<const band::RdsLog> log, std::uint64_t seed)
    : log_(std::move(log)), random_(seed)
{
    if (!log_ || log_->groups.empty())
        throw std::invalid_argument("a recorded RDS log needs at least one group");
}

RdsGroup LoggedRdsSource::next()
{
    const band::LoggedGroup& logged = log_->groups[position_];
    RdsGroup group;
    for (std::size_t i = 0; i < 4; ++i) {
        if (logged.lost[i]) {
            group.blocks[i] = static_cast<std::uint16_t>(random_.below(0x10000));
            group.errors[i] = kUncorrectableBlock;
        } else {
            group.blocks[i] = logged.blocks[i];
        }
    }
    if (++position_ == log_->groups.size()) {
        position_ = 0;
        ++loops_;
    }
    ++sent_;
    return group;
}

std::uint16_t LoggedRdsSource::firstPi(const band::RdsLog& log)
{
    for (const band::LoggedGroup& group : log.groups) {
        if (!group.lost[0])
            return group.blocks[0];
    }
    return 0;
}

}  // namespace sim
