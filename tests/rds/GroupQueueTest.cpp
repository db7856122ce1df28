// The two-bank group queue: capture order, the flip, and a full bank that
// drops instead of spilling into the other bank.
#include "rds/GroupQueue.h"
#include "driver/DriverContext.h"
#include "harness/LoadedContext.h"
#include "tests/support/TestSeed.h"

#include <gtest/gtest.h>

namespace {

RdsGroup group(std::uint16_t n)
{
    return RdsGroup{0xD3A1, n, static_cast<std::uint16_t>(n + 1), 0, 0};
}

TEST(GroupQueue, BanksFillInCaptureOrderFlipOnTakeAndDropWhenFull)
{
    sim::Kernel kernel{testKernelOptions()};
    harness::LoadedContext driver;
    RdsGroup out[kBankCapacity];

    for (std::uint16_t i = 0; i < 12; ++i) EXPECT_EQ(storeGroup(group(i)), i < 10) << i;
    EXPECT_EQ(bankFill(0), 10);
    EXPECT_EQ(bankFill(1), 0) << "a full bank must not spill into the other";

    ASSERT_EQ(takeBank(out), 10u);
    for (std::uint16_t i = 0; i < 10; ++i) EXPECT_EQ(out[i].B, i);
    EXPECT_EQ(gDriver.rds.groupQueue.bankSelector, 1);

    EXPECT_TRUE(storeGroup(group(40)));
    EXPECT_TRUE(storeGroup(group(41)));
    EXPECT_EQ(bankFill(1), 2);
    EXPECT_EQ(bankFill(0), 0);
    ASSERT_EQ(takeBank(out), 2u);
    EXPECT_EQ(out[0].B, 40);
    EXPECT_EQ(out[1].B, 41);
    EXPECT_EQ(takeBank(out), 0u) << "bank 0 was emptied by the first take";

    storeGroup(group(7));
    emptyGroupQueue();
    EXPECT_EQ(bankFill(0) + bankFill(1), 0);
}

}  // namespace
