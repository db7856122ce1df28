// Where a station's RDS groups come from. A station is on the air whether or
// not anyone listens: its groups go out one after another, each taking one
// group period (104 bits at 1187.5 bit/s), group slot n from n periods after
// the start of the run. The chip asks for the slot it has just heard in full;
// the slots in between went by unheard and are gone. Nobody schedules
// anything for a station nobody listens to: the source catches up on the
// slots it missed when the chip looks again.
#pragma once

#include "sim/kernel/Kernel.h"

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

// One group on the air: 104 bits at 1187.5 bit/s.
inline constexpr Micros kGroupPeriod = 87'600;

// The slot on the air at `time`, and when a slot begins.
constexpr std::uint64_t slotAt(Micros time)
{
    return time / kGroupPeriod;
}
constexpr Micros slotStart(std::uint64_t slot)
{
    return slot * kGroupPeriod;
}

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

    // The group the station sends in `slot`. The slots since the last group
    // taken went by unheard. Time only runs forward: a slot already gone
    // yields the next one's group.
    RdsGroup groupAt(std::uint64_t slot);
    // The next slot's group: what a receiver that hears every group gets.
    RdsGroup next() { return groupAt(nextSlot_); }

    std::uint64_t nextSlot() const { return nextSlot_; }
    // Slots that went by with no receiver taking their group.
    std::uint64_t unheard() const { return unheard_; }

protected:
    // The group of the next slot in the station's sequence, `slot`.
    virtual RdsGroup produce(std::uint64_t slot) = 0;
    // Slots [first, first + count) go by unheard. By default each group is
    // produced and dropped, so the sequence is the same whoever listens.
    virtual void pass(std::uint64_t first, std::uint64_t count);

private:
    std::uint64_t nextSlot_ = 0;
    std::uint64_t unheard_ = 0;
};

// A fixed list of groups sent in a loop.
class FixedRdsSource final : public RdsSource {
public:
    explicit FixedRdsSource(std::vector<RdsGroup> groups);
    std::uint64_t sent() const { return sent_; }  // groups taken by a receiver

protected:
    RdsGroup produce(std::uint64_t slot) override;
    void pass(std::uint64_t first, std::uint64_t count) override;

private:
    std::vector<RdsGroup> groups_;
    std::size_t position_ = 0;
    std::uint64_t sent_ = 0;
};

}  // namespace sim
