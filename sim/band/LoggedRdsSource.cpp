#include "sim/band/LoggedRdsSource.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace sim {

LoggedRdsSource::LoggedRdsSource(std::shared_ptr<const band::RdsLog> log, std::uint64_t seed)
    : log_(std::move(log)), random_(seed)
{
    if (!log_ || log_->groups.empty()) throw std::invalid_argument("a recorded RDS log needs at least one group");
}

RdsGroup LoggedRdsSource::produce(std::uint64_t)
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
    advance(1);
    ++sent_;
    return group;
}

void LoggedRdsSource::pass(std::uint64_t, std::uint64_t count)
{
    if (loops_ == 0) unheardFirstTime_ += std::min<std::uint64_t>(count, log_->groups.size() - position_);
    advance(count);
}

void LoggedRdsSource::advance(std::uint64_t count)
{
    const std::uint64_t size = log_->groups.size();
    const std::uint64_t reached = position_ + count;
    loops_ += reached / size;
    position_ = static_cast<std::size_t>(reached % size);
}

std::uint16_t LoggedRdsSource::firstPi(const band::RdsLog& log)
{
    for (const band::LoggedGroup& group : log.groups) {
        if (!group.lost[0]) return group.blocks[0];
    }
    return 0;
}

}  // namespace sim
