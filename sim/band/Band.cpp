#include "sim/band/Band.h"

#include <algorithm>

namespace sim {

Station& Band::add(Station station)
{
    if (Station* existing = find(station.frequency)) {
        *existing = std::move(station);
        return *existing;
    }
    stations_.push_back(std::make_unique<Station>(std::move(station)));
    ++generation_;
    return *stations_.back();
}

void Band::remove(std::uint16_t frequency)
{
    std::erase_if(stations_, [frequency](const auto& s) { return s->frequency == frequency; });
    ++generation_;
}

Station* Band::find(std::uint16_t frequency)
{
    for (auto& s : stations_) {
        if (s->frequency == frequency) {
            return s.get();
        }
    }
    return nullptr;
}

const Station* Band::find(std::uint16_t frequency) const
{
    return const_cast<Band*>(this)->find(frequency);
}

void Band::damage(const Station& station, RdsGroup& group, Random& random)
{
    for (std::size_t i = 0; i < group.blocks.size(); ++i) {
        if (!random.chance(station.blockErrorRate)) {
            continue;
        }
        const auto level = static_cast<std::uint8_t>(1 + random.below(3));
        if (level == 3) {
            // Too many bits wrong to correct: the decoder hands on what it got.
            group.blocks[i] ^= static_cast<std::uint16_t>(1 + random.below(0xFFFF));
        }
        group.errors[i] = std::max(group.errors[i], level);
    }
}

}  // namespace sim
