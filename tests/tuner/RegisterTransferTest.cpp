// Register transfers through the shadow: byte counts, where read bytes land,
// what writes send, the write limit, the bus guard and a powered-down bus.
#include "tests/tuner/TunerRig.h"

namespace tunertest {
namespace {

constexpr std::uint16_t kUntouched = 0xBEEF;

class RegisterTransfer : public TunerRig {
protected:
    void SetUp() override
    {
        bringUp();
        world.bus().setRecording(true);
        kernel.clearDebugLog();
    }

    void fillShadow()
    {
        for (unsigned reg = 0; reg < kRegisterCount; ++reg) {
            gDriver.tuner.shadow.set(reg, kUntouched);
        }
    }

    // The registers a read refreshed, in shadow order.
    std::vector<unsigned> refreshed()
    {
        std::vector<unsigned> regs;
        for (unsigned reg = 0; reg < kRegisterCount; ++reg) {
            if (shadow(reg) != kUntouched) {
                EXPECT_EQ(shadow(reg), world.chip().reg(static_cast<Register>(reg))) << "register " << reg;
                regs.push_back(reg);
            }
        }
        return regs;
    }

    // One read transfer of `bytes` bytes and the registers it refreshed.
    void expectRead(unsigned first, unsigned last, std::size_t bytes, std::vector<unsigned> regs)
    {
        fillShadow();
        world.bus().clearRecorded();
        ReadRegisters(first, last);
        ASSERT_EQ(world.bus().recorded().size(), 1u) << first << "," << last;
        EXPECT_EQ(world.bus().recorded()[0].direction, kI2CDirectionRead);
        EXPECT_EQ(world.bus().recorded()[0].data.size(), bytes) << first << "," << last;
        EXPECT_EQ(refreshed(), regs) << first << "," << last;
    }
};

TEST_F(RegisterTransfer, ReadsStartAtStatusAndWrap)
{
    expectRead(10, 11, 4, {10, 11});
    expectRead(11, 11, 4, {10, 11});
    expectRead(5, 7, 6, {10, 11, 12});
    expectRead(10, 15, 12, {10, 11, 12, 13, 14, 15});
    const std::vector<unsigned> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    expectRead(5, 5, 32, all);
    expectRead(10, 9, 32, all);
    EXPECT_EQ(shadow(DEVICEID), kDeviceId);
    EXPECT_EQ(shadow(SYSCONFIG2), 0x141F);
}

TEST_F(RegisterTransfer, WritesSendRegistersTwoUpward)
{
    for (unsigned reg = 0; reg < kRegisterCount; ++reg) {
        gDriver.tuner.shadow.set(reg, world.chip().reg(static_cast<Register>(reg)));
    }
    gDriver.tuner.shadow.set(RDSD, 0x1234);
    WriteRegisters(15);
    ASSERT_EQ(world.bus().recorded().size(), 1u);
    const std::vector<std::uint8_t>& sent = world.bus().recorded()[0].data;
    ASSERT_EQ(sent.size(), 28u);
    EXPECT_EQ(sent[0], 0x48);  // POWERCFG high byte first
    EXPECT_EQ(sent[1], 0x01);
    EXPECT_EQ(sent[26], 0x12);  // RDSD goes out too
    EXPECT_EQ(sent[27], 0x34);

    // Past the register file nothing is sent at all: not the 30 or 32 bytes
    // that registers 16 and 17 would need, nor more.
    world.bus().clearRecorded();
    WriteRegisters(16);
    WriteRegisters(17);
    WriteRegisters(18);
    WriteRegisters(0);
    WriteRegisters(1);
    EXPECT_TRUE(world.bus().recorded().empty());
    EXPECT_TRUE(debugTexts().empty());
}

TEST_F(RegisterTransfer, TakenGuardSkipsButKeepsTheEdits)
{
    gDriver.tuner.busGuard = 1;  // another thread is mid-transfer
    SetVolume(0);
    EXPECT_EQ(shadow(SYSCONFIG2), 0x1410);
    gDriver.tuner.shadow.set(STATUSRSSI, kUntouched);
    EXPECT_FALSE(GuardedReadRegisters(10, 15));
    EXPECT_EQ(shadow(STATUSRSSI), kUntouched);
    EXPECT_TRUE(world.bus().recorded().empty());
    EXPECT_EQ(world.chip().reg(SYSCONFIG2), 0x141F);
    EXPECT_EQ(gDriver.tuner.busGuard, 1);

    // The next write of the range that gets the bus sends the edited values.
    gDriver.tuner.busGuard = 0;
    EXPECT_TRUE(GuardedWriteRegisters(SYSCONFIG2));
    EXPECT_EQ(world.chip().reg(SYSCONFIG2), 0x1410);
    EXPECT_EQ(gDriver.tuner.busGuard, 0);

    // The waiting take gives up after 50 ms of a guard that stays taken, and
    // takes one freed meanwhile at its next 1 ms step.
    gDriver.tuner.busGuard = 1;
    sim::Micros start = kernel.now();
    EXPECT_FALSE(WaitForBusGuard());
    EXPECT_EQ(kernel.now() - start, 50'000u);
    start = kernel.now();
    kernel.after(20'500, [] { gDriver.tuner.busGuard = 0; });
    EXPECT_TRUE(WaitForBusGuard());
    EXPECT_EQ(kernel.now() - start, 21'000u);
    EXPECT_EQ(gDriver.tuner.busGuard, 1);
    ReleaseBusGuard();
}

TEST_F(RegisterTransfer, PoweredDownBusIsSilent)
{
    gDriver.tuner.i2cOff = 1;
    fillShadow();
    BYTE data[4] = {};
    EXPECT_EQ(I2C_Read(nullptr, data, 4), 0);  // not even the missing handle is reported
    ReadRegisters(5, 5);
    ApplySeekSettings();
    EXPECT_TRUE(world.bus().recorded().empty());
    EXPECT_EQ(shadow(STATUSRSSI), kUntouched);
    EXPECT_TRUE(debugTexts().empty());
}

TEST_F(RegisterTransfer, FailedTransfersSayWhereAndChangeNothing)
{
    fillShadow();
    world.bus().failTransfers(0, 2);
    ReadRegisters(10, 15);
    EXPECT_EQ(shadow(STATUSRSSI), kUntouched);
    gDriver.tuner.shadow.set(POWERCFG, 0x0001);
    WriteRegisters(POWERCFG);
    EXPECT_EQ(world.chip().reg(POWERCFG), 0x4801);
    EXPECT_EQ(debugTexts(), (std::vector<std::string>{"ERROR: Corvane line 1709: ", "TMC Error:I2C read failed\r\n",
                                                      "ERROR: Corvane line 1631: ", "TMC Error:I2C write failed\r\n"}));

    BYTE data[4] = {};
    EXPECT_EQ(I2C_Read(gDriver.tuner.pI2CHandle, data, 4), 1);
    EXPECT_EQ(data[2] << 8 | data[3], world.chip().reg(READCHAN));
}

}  // namespace
}  // namespace tunertest
