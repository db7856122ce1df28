// Where a station's RDS groups come from. The chip asks its station's source
// for the next group each time one has been received (every 87.6 ms) and puts
// it into its RDS registers with the block errors it carries.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

// One group as the receiver's decoder ends up with it: the four blocks, and per
// block the error level the chip reports in verbose mode (0 none, 1 one or two
// bits corrected, 2 three to five corrected, 3 uncorrectable). The block values
// of an uncorrectable block are whatever the source says was received.
struct RdsGroup {
    std::array<std::uint16_t, 4> blocks{};
    std::array<std::uint8_t, 4> errors{};

    bool operator==(const RdsGroup&) const = default;
    bool errorFree() const { return errors == std::array<std::uint8_t, 4>{}; }
};

class RdsSource {
public:
    virtual ~RdsSource() = default;
    // The next group the station sends. Called once per group period.
    virtual RdsGroup next() = 0;
};

// A fixed list of groups sent in a loop.
class FixedRdsSource final : public RdsSource {
public:
    explicit FixedRdsSource(std::vector<RdsGroup> groups);
    RdsGroup next() override;
    std::uint64_t sent() const { return sent_; }

private:
    std::vector<RdsGroup> groups_;
    std::size_t position_ = 0;
    std::uint64_t sent_ = 0;
};

}  // namespace sim
