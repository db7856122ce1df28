// The random streams, shared by the simulated kernel and the real-time
// stand-in under Wine: xoshiro256** seeded through splitmix64.
#include "sim/kernel/Kernel.h"

namespace sim {

namespace {
std::uint64_t splitmix(std::uint64_t& x)
{
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
}  // namespace

Random::Random(std::uint64_t seed)
{
    for (auto& s : s_) s = splitmix(seed);
}

double Random::unit()
{
    return double(next() >> 11) * 0x1.0p-53;
}

bool Random::chance(double probability)
{
    return probability > 0 && unit() < probability;
}

void seedStreams(std::uint64_t seed, std::span<Random> streams)
{
    // One sub-seed per stream, so extra draws in one never move another.
    std::uint64_t mix = seed;
    for (std::size_t i = 0; i < streams.size(); ++i)
        streams[i] = Random(splitmix(mix) ^ (0x51ED270B27F0A3C5ull * (i + 1)));
}

}  // namespace sim
