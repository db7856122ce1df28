#include "rds/GroupQueue.h"

#include "driver/DriverContext.h"

namespace {
GroupQueue& queue()
{
    return gDriver.rds.groupQueue;
}
}  // namespace

void InitGroupQueueGuard()
{
    InitializeCriticalSection(&queue().guard);
}
void ReleaseGroupQueueGuard()
{
    DeleteCriticalSection(&queue().guard);
}

bool storeGroup(const RdsGroup& group)
{
    GroupQueue& q = queue();
    EnterCriticalSection(&q.guard);
    const unsigned bank = q.bankSelector & 1u;
    const bool stored = q.bankFill[bank] < kBankCapacity;
    if (stored) {
        q.entries[bank * kBankCapacity + q.bankFill[bank]] = group;
        ++q.bankFill[bank];
    }
    LeaveCriticalSection(&q.guard);
    return stored;
}

unsigned takeBank(RdsGroup (&out)[kBankCapacity])
{
    GroupQueue& q = queue();
    EnterCriticalSection(&q.guard);
    const unsigned bank = q.bankSelector & 1u;
    const unsigned n = q.bankFill[bank];
    for (unsigned i = 0; i < n; ++i) out[i] = q.entries[bank * kBankCapacity + i];
    q.bankFill[bank] = 0;
    q.bankSelector = static_cast<std::uint8_t>(1u - bank);
    LeaveCriticalSection(&q.guard);
    return n;
}

void emptyGroupQueue()
{
    GroupQueue& q = queue();
    EnterCriticalSection(&q.guard);
    q.bankFill[0] = 0;
    q.bankFill[1] = 0;
    LeaveCriticalSection(&q.guard);
}

std::uint16_t bankFill(unsigned bank)
{
    GroupQueue& q = queue();
    EnterCriticalSection(&q.guard);
    const std::uint16_t n = q.bankFill[bank & 1u];
    LeaveCriticalSection(&q.guard);
    return n;
}
