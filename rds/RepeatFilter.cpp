// Repeat filter for groups 8A (TMC messages) and 3A (open-data application
// identification). Broadcasters send each message two or three times in a row;
// a group passes when two of its last three copies agree. Copies are compared
// on blocks B, C and D; an entry never filled agrees with nothing, so the
// empty history at start can never pass as a group.
#include "rds/GroupDecoder.h"

#include "driver/DriverContext.h"

namespace {

constexpr unsigned kGroupTypeOda = 3;
// The application identifiers of 3A groups that are passed on.
constexpr std::uint16_t kAcceptedApplicationIds[] = {0xCD46, 0x0D45, 0x4B02};

bool sameContent(const GroupBlocks& x, const GroupBlocks& y)
{
    return x.B == y.B && x.C == y.C && x.D == y.D;
}

// Shifts the history by one, stores the group as entry 0.
void record(GroupBlocks* history, std::uint8_t& filled, const GroupBlocks& group)
{
    for (unsigned i = kRepeatHistoryLength - 1; i > 0; --i) history[i] = history[i - 1];
    history[0] = group;
    if (filled < kRepeatHistoryLength) ++filled;
}

bool agree(const GroupBlocks* history, std::uint8_t filled, unsigned i, unsigned j)
{
    return i < filled && j < filled && sameContent(history[i], history[j]);
}

// The copy two of the last three agree on, or nullptr.
const GroupBlocks* agreedCopy(const GroupBlocks* history, std::uint8_t filled)
{
    if (agree(history, filled, 2, 1) || agree(history, filled, 1, 0)) return &history[1];
    if (agree(history, filled, 2, 0)) return &history[0];
    return nullptr;
}

bool acceptedApplication(std::uint16_t applicationId)
{
    for (std::uint16_t id : kAcceptedApplicationIds)
        if (id == applicationId) return true;
    return false;
}

}  // namespace

bool filterRepeats(unsigned groupType, GroupBlocks& blocks)
{
    RepeatFilter& filter = gDriver.rds.decoder.repeats;

    if (groupType == kGroupTypeOda) {
        if (!acceptedApplication(blocks.D)) return false;
        record(filter.odaHistory, filter.odaFilled, blocks);
        const GroupBlocks* copy = agreedCopy(filter.odaHistory, filter.odaFilled);
        if (copy == nullptr) return false;
        blocks = *copy;
        return true;
    }

    record(filter.tmcHistory, filter.tmcFilled, blocks);
    const GroupBlocks* copy = agreedCopy(filter.tmcHistory, filter.tmcFilled);
    if (copy == nullptr || sameContent(*copy, filter.tmcLastAccepted)) return false;
    filter.tmcLastAccepted = *copy;
    blocks = *copy;
    return true;
}
