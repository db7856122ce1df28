// A recorded group as the capture would hand it to the decoder: the four
// blocks, and a lost block marked uncorrectable in the status word.
#pragma once

#include "rds/RdsGroup.h"
#include "sim/band/RdsLog.h"

namespace harness {

inline RdsGroup capturedGroup(const sim::band::LoggedGroup& logged)
{
    auto errors = [&](std::size_t i) { return logged.lost[i] ? unsigned{kBlockUncorrectable} : 0u; };
    return RdsGroup{logged.blocks[0], logged.blocks[1], logged.blocks[2], logged.blocks[3],
                    makeGroupStatus(errors(0), errors(1), errors(2), errors(3))};
}

}  // namespace harness
