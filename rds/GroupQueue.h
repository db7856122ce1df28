// The two-bank queue between the RDS interrupt thread, which stores each
// received group into the bank named by bankSelector, and the group thread,
// which takes that bank out every 100 ms, flips the selector and decodes the
// groups outside the lock. A short critical section around one store and
// around one take keeps a group from being lost or torn at the hand-over.
#pragma once

#include "platform/ce/WinCE.h"
#include "rds/RdsGroup.h"

#include <cstdint>

constexpr unsigned kBankCount = 2;
constexpr unsigned kBankCapacity = 10;

struct GroupQueue {
    CRITICAL_SECTION guard;                        // created per load (InitGroupQueueGuard)
    RdsGroup entries[kBankCount * kBankCapacity];  // bank 1 starts at entry 10
    std::uint16_t bankFill[kBankCount];            // 0..10 each
    std::uint8_t bankSelector;                     // the bank being filled; 0 at load
};

void InitGroupQueueGuard();
void ReleaseGroupQueueGuard();

// Stores one group into the bank being filled. A group that finds the bank
// full is dropped (false): it must not spill into the other bank.
bool storeGroup(const RdsGroup& group);

// Takes the bank being filled out of the queue: copies its groups to `out` in
// capture order, empties it and points the capture at the other bank.
// Returns the number of groups copied (0..10).
unsigned takeBank(RdsGroup (&out)[kBankCapacity]);

// Empties both banks (seek start, search and tune commands, power-up).
void emptyGroupQueue();

// Fill count of a bank, for the debug view and tests.
std::uint16_t bankFill(unsigned bank);
