// RDS capture through the two worker threads on the simulated chip: groups
// queued one per interrupt with their block errors, the hand-over to tune and
// seek, the one-minute time-out, and groups decoded into sentences.
#include "tests/rds/CaptureRig.h"

namespace capturetest {
namespace {

constexpr std::uint16_t kStation = 9470;
constexpr sim::Micros kGroupPeriod = 87'600;

// Groups 1A with distinct block C, so the order of decoding shows.
std::vector<sim::RdsGroup> numberedGroups(std::uint16_t pi, unsigned count)
{
    std::vector<sim::RdsGroup> groups;
    for (unsigned i = 0; i < count; ++i) {
        groups.push_back({{pi, 0x1000, static_cast<std::uint16_t>(0x100 + i), 0x0000}, {0, 0, 0, 0}});
    }
    return groups;
}

using Capture = CaptureRig;

TEST_F(Capture, EachRdsInterruptQueuesOneGroupUntilTheBankIsFull)
{
    std::vector<sim::RdsGroup> groups = numberedGroups(0xD3A1, 12);
    groups[2].errors = {1, 2, 0, 3};  // block D uncorrectable
    world.addStation(kStation, 42, 28, groups);
    bringUpWithInterrupt();
    tuneChipTo(kStation);
    startInterruptThread();
    Sleep(1);
    // The tune's completion edge waited for the thread's first acknowledge:
    // a status poll, no group.
    ASSERT_EQ(gDriver.rds.interruptCount, 1);
    ASSERT_EQ(bankFill(0), 0u);
    const std::uint64_t delivered = world.chip().groupsDelivered();

    // No group thread: bank 0 fills one entry per group, then stays full.
    for (unsigned k = 1; k <= 12; ++k) {
        Sleep(static_cast<DWORD>(kGroupPeriod / kMs) + 1);
        ASSERT_TRUE(waitUntil([&] { return world.chip().groupsDelivered() >= delivered + k; }, 1000)) << k;
        Sleep(1);
        EXPECT_EQ(bankFill(0), std::min(k, 10u)) << "group " << k;
        EXPECT_EQ(bankFill(1), 0u);
        EXPECT_EQ(gDriver.rds.interruptCount, k + 1);
    }
    EXPECT_EQ(gDriver.rds.rdsSeen, 1);

    RdsGroup queued[kBankCapacity];
    ASSERT_EQ(takeBank(queued), 10u);
    // The chip's group sequence starts where the station's loop stood at the
    // tune; the block C values identify each group.
    const unsigned first = queued[0].C - 0x100;
    for (unsigned i = 0; i < 10; ++i) {
        const unsigned index = (first + i) % groups.size();
        EXPECT_EQ(queued[i].A, 0xD3A1);
        EXPECT_EQ(queued[i].B, 0x1000);
        EXPECT_EQ(queued[i].C, 0x100 + index) << "entry " << i;
        const auto& e = groups[index].errors;
        EXPECT_EQ(queued[i].status, makeGroupStatus(e[0], e[1], e[2], e[3])) << "entry " << i;
    }

    // The group with block D uncorrectable is stored as 3 in bits 11:10 and
    // dropped by the decoder; a clean group is counted.
    const RdsGroup damaged{0xD3A1, 0x1000, 0x0102, 0, makeGroupStatus(1, 2, 0, 3)};
    EXPECT_EQ((damaged.status >> 10) & 3, 3);
    gDriver.rds.decodedGroupCount = 0;
    decodeGroup(damaged);
    EXPECT_EQ(gDriver.rds.decodedGroupCount, 0);
    decodeGroup(queued[0].status == 0 ? queued[0] : queued[1]);
    EXPECT_EQ(gDriver.rds.decodedGroupCount, 1);

    // While another thread holds the bus the reads are skipped: the shadow
    // still shows the last group, and it must not be queued again.
    gDriver.tuner.busGuard = 1;
    const std::uint16_t interrupts = gDriver.rds.interruptCount;
    Sleep(static_cast<DWORD>(3 * kGroupPeriod / kMs));
    EXPECT_GE(gDriver.rds.interruptCount, interrupts + 2);
    EXPECT_EQ(bankFill(0) + bankFill(1), 0u);
    gDriver.tuner.busGuard = 0;
}

TEST_F(Capture, InterruptWhileTunerBusyOnlySignalsCompletion)
{
    world.addStation(kStation, 42, 28, numberedGroups(0xD3A1, 3));
    bringUpWithInterrupt();
    tuneChipTo(kStation);
    gDriver.tuner.tunerBusy = 1;
    startInterruptThread();
    Sleep(10);
    const std::uint64_t reads = world.chip().busReads();
    const std::uint64_t delivered = world.chip().groupsDelivered();
    ASSERT_TRUE(waitUntil([&] { return world.chip().groupsDelivered() > delivered; }, 1000));
    Sleep(1);
    EXPECT_EQ(gDriver.tuner.stcSeen, 1);
    EXPECT_EQ(world.chip().busReads(), reads);
    EXPECT_EQ(gDriver.rds.interruptCount, 0);
    EXPECT_EQ(bankFill(0), 0u);
    EXPECT_EQ(gDriver.rds.rdsSeen, 0);
    EXPECT_TRUE(takeLines().empty());
}

TEST_F(Capture, AMinuteWithoutInterruptsAsksForRecovery)
{
    world.addStation(kStation, 42, 28);  // no RDS: no interrupts after the tune
    world.addStation(10110, 50, 30, numberedGroups(0x1234, 4));
    bringUpWithInterrupt();
    tuneChipTo(kStation);
    startInterruptThread();
    const sim::Micros start = kernel.now();
    gDriver.tuner.tunerBusy = 1;
    takeLines();

    Sleep(60000 - 1);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 1);
    EXPECT_EQ(gDriver.control.recoveryNeeded, 0);
    Sleep(2);
    ASSERT_EQ(kernel.now(), start + 60001 * kMs);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
    EXPECT_EQ(gDriver.control.recoveryNeeded, 1);
    // The thread polled the chip once and reported the status.
    const Lines lines = takeLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], framed("$PLTTQ,9470,42,0,1,0"));

    // On a steady RDS station the time-out never comes.
    gDriver.control.recoveryNeeded = 0;
    tuneChipTo(10110);
    Sleep(2 * 60000);
    EXPECT_EQ(gDriver.control.recoveryNeeded, 0);
    EXPECT_GT(gDriver.rds.rdsSeen, 0);
}

TEST_F(Capture, LiveRdsReachesTheOutputRingInCaptureOrder)
{
    // 0A groups spelling the name, then 1A groups numbered in block C.
    std::vector<sim::RdsGroup> groups;
    const char* name = "CORVANE1";
    for (unsigned segment = 0; segment < 4; ++segment) {
        const std::uint16_t chars = static_cast<std::uint16_t>((name[2 * segment] << 8) | name[2 * segment + 1]);
        groups.push_back({{0xD3A1, static_cast<std::uint16_t>(0x0000 | segment), 0xE0E0, chars}, {0, 0, 0, 0}});
    }
    for (const sim::RdsGroup& g : numberedGroups(0xD3A1, 8)) {
        groups.push_back(g);
    }
    world.addStation(kStation, 42, 28, groups);
    bringUpWithInterrupt();
    gDriver.sentences.outputFilter.flags = kDefaultFilterFlags | kFilterDebug;
    tuneChipTo(kStation);
    startGroupThread();
    startInterruptThread();
    takeLines();

    Lines lines;
    for (unsigned tick = 0; tick < 60; ++tick) {
        Sleep(100);
        for (std::string& line : takeLines()) {
            lines.push_back(std::move(line));
        }
    }
    std::vector<unsigned> rawOrder;
    bool nameSeen = false;
    bool piSeen = false;
    unsigned blockErrorLines = 0;
    for (const std::string& line : lines) {
        unsigned c = 0;
        if (std::sscanf(line.c_str(), "$PLTTR,0,54177,4096,%u,0*", &c) == 1) {
            rawOrder.push_back(c - 0x100);
        }
        nameSeen = nameSeen || line == framed("$PLTCH,\"CORVANE1\"");
        piSeen = piSeen || line == framed("$PLTMT,13,54177");
        blockErrorLines += line == framed("$GPBLER,A 0,B 0,C 0,D 0");
    }
    EXPECT_TRUE(nameSeen);
    EXPECT_TRUE(piSeen);
    // Every group brought one block-error line, clean groups every one.
    EXPECT_GE(blockErrorLines, 60u);
    // Raw groups 1A follow the station's order 0..7, wrapping, without gaps.
    ASSERT_GE(rawOrder.size(), 16u);
    for (std::size_t i = 1; i < rawOrder.size(); ++i) {
        EXPECT_EQ(rawOrder[i], (rawOrder[i - 1] + 1) % 8) << "after " << rawOrder[i - 1];
    }
    EXPECT_GT(gDriver.rds.decoder.confirmedPi, 0u);
}

// In the preemptive schedules a transfer takes its time on the wire, and the
// other driver threads run meanwhile.
class PreemptedCapture : public CaptureRig {
protected:
    PreemptedCapture()
        : CaptureRig(testSchedule() == sim::Schedule::Cooperative ? sim::Schedule::Random : testSchedule())
    {}
};

TEST_F(PreemptedCapture, AnInterruptWhileTheTuneReadsTheStatusWorksOnTheShadow)
{
    // The station tuned to sends no RDS: after its tune the chip interrupts
    // no more, and the one interrupt below comes while the tune's last status
    // read is on the wire (100 kHz: 470 us for STATUSRSSI and READCHAN).
    constexpr std::uint16_t kOther = 10110;
    world.addStation(kStation, 42, 28, numberedGroups(0xD3A1, 4));
    world.addStation(kOther, 37, 20);
    bringUpWithInterrupt();
    tuneChipTo(kStation);
    startInterruptThread();
    Sleep(300);
    sim::I2CBus& bus = world.bus();
    bus.setClockRate(100'000);
    bus.setRecording(true);
    sim::Micros raisedAt = 0;
    std::uint16_t shadowStatus = 0;
    bus.onAddressByte([&](DWORD direction, DWORD) {
        const bool tuneDone = world.chip().frequency() == kOther && !world.chip().tuning() &&
                              (world.chip().reg(STATUSRSSI) & kStatusStc) == 0;
        if (raisedAt != 0 || direction != kI2CDirectionRead || gDriver.tuner.tunerBusy.load() != 0 || !tuneDone) return;
        raisedAt = kernel.now();
        shadowStatus = gDriver.tuner.shadow.get(STATUSRSSI);
        kernel.raiseInterrupt(kTunerSysIntr);  // as a group becoming ready would
    });
    takeLines();
    const std::uint16_t skipped = gDriver.tuner.skippedReads;
    const unsigned queued = bankFill(0);  // groups of the first station, no group thread

    Tune(kOther);
    ASSERT_NE(raisedAt, 0u);
    // The interrupt thread ran while the tune's read was on the wire, found
    // the bus guard taken, skipped its three reads and reported the status
    // the shadow held: the tune's channel and the RSSI last read.
    const sim::I2CBus::Transfer& read = bus.recorded().back();
    EXPECT_LE(read.began, raisedAt);
    EXPECT_GE(kernel.lastRun(interruptThread), raisedAt);
    EXPECT_LT(kernel.lastRun(interruptThread), read.time);
    EXPECT_EQ(gDriver.tuner.skippedReads, skipped + 3);
    EXPECT_EQ(bus.recorded().size(), std::size_t(std::count_if(bus.recorded().begin(), bus.recorded().end(),
                                                               [&](const auto& t) { return t.began <= raisedAt; })));
    const Lines lines = takeLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("$PLTTQ,10110," + std::to_string(kStatusRssi.get(shadowStatus)) + ",", 0), 0u) << lines[0];
    EXPECT_EQ(bankFill(0), queued);
}

}  // namespace
}  // namespace capturetest
