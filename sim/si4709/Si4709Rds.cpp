// RDS reception, the signal-quality test on the RDS registers, and the
// interrupt output.
#include "sim/si4709/Si4709.h"

#include <algorithm>
#include <cstring>

namespace sim {

using namespace si4709;

void Si4709::updateReception()
{
    const bool should = power_ == Power::Ready && !hung_ && !tuning_ && !seeking_ && qualityStep_ == 0 &&
                        (regs_[SYSCONFIG1] & kSysconfig1Rds);
    if (should && !receiving_) {
        // The decoder needs a group from its first bit on: it hears the next slot to begin.
        receiving_ = true;
        awaitGroup(slotAt(kernel_.now() + kGroupPeriod - 1));
    } else if (!should && receiving_) {
        stopReception();
    }
}

void Si4709::stopReception()
{
    if (receiving_) {
        missFrom(listenSlot_);
    }
    cancel(groupEvent_);
    cancel(rdsrEvent_);
    receiving_ = false;
    regs_[STATUSRSSI] &= static_cast<std::uint16_t>(~(kStatusRdsr | kStatusRdss | kStatusBlera.mask()));
    regs_[READCHAN] &= kReadchanChan.mask();
}

void Si4709::missFrom(std::uint64_t slot)
{
    missedFrom_ = std::min(missedFrom_, slot);
}

void Si4709::awaitGroup(std::uint64_t slot)
{
    listenSlot_ = slot;
    groupEvent_ = kernel_.at(slotStart(slot + 1), [this] { groupTick(); });
}

void Si4709::groupTick()
{
    const std::uint64_t slot = listenSlot_;
    awaitGroup(slot + 1);
    Station* station = stationOn(channel_);
    if (station == nullptr || !station->rds) {
        regs_[STATUSRSSI] &= static_cast<std::uint16_t>(~kStatusRdss);
        missedFrom_ = kNothingMissed;  // nothing on the air to miss
        return;
    }
    if (missedFrom_ < slot) {
        groupsLostWhileBusy_ += slot - missedFrom_;
    }
    missedFrom_ = kNothingMissed;
    const RdsGroup group = band_.receive(*station, slot, bandRandom_);
    const bool verbose = (regs_[POWERCFG] & kPowercfgRdsm) != 0;
    if (!verbose && !group.errorFree()) {
        regs_[STATUSRSSI] |= kStatusRdss;  // standard mode passes only clean groups
        return;
    }
    deliver(group, verbose);
}

void Si4709::deliver(const RdsGroup& group, bool verbose)
{
    for (unsigned i = 0; i < 4; ++i) {
        regs_[RDSA + i] = group.blocks[i];
    }
    auto level = [&](unsigned i) { return verbose ? std::min<unsigned>(group.errors[i], kBlerUncorrectable) : 0u; };
    std::uint16_t status = regs_[STATUSRSSI] | kStatusRdsr | kStatusRdss;
    regs_[STATUSRSSI] = kStatusBlera.set(status, level(0));
    std::uint16_t readchan = regs_[READCHAN];
    readchan = kReadchanBlerb.set(readchan, level(1));
    readchan = kReadchanBlerc.set(readchan, level(2));
    regs_[READCHAN] = kReadchanBlerd.set(readchan, level(3));
    ++groupsDelivered_;
    cancel(rdsrEvent_);
    rdsrEvent_ = kernel_.after(timing_.rdsrHold, [this] {
        rdsrEvent_ = 0;
        regs_[STATUSRSSI] &= static_cast<std::uint16_t>(~kStatusRdsr);
    });
    if (regs_[SYSCONFIG1] & kSysconfig1Rdsien) {
        pulseInterrupt();
    }
}

void Si4709::applyTestWrite(const std::array<std::uint16_t, 16>& written, unsigned count)
{
    if (power_ != Power::Ready || hung_) {
        return;
    }
    const std::uint16_t* blocks = &written[RDSA];
    int step = 0;
    if (std::equal(blocks, blocks + 4, kQualityStepOne)) {
        step = 1;
    } else if (std::equal(blocks, blocks + 4, kQualityStepTwo)) {
        step = 2;
    } else {
        return;
    }
    std::copy(blocks, blocks + 4, &regs_[RDSA]);
    cancel(qualityEvent_);
    qualityStep_ = step;
    updateReception();  // the RDS registers are lent to the test
    if (!stallQuality_) {
        const Micros duration = step == 1 ? timing_.qualityStepOne : timing_.qualityStepTwo;
        qualityEvent_ = kernel_.after(duration, [this, step] {
            qualityEvent_ = 0;
            qualityStepDone(step);
        });
    }
}

void Si4709::qualityStepDone(int step)
{
    qualityStep_ = 0;
    updateReception();
    regs_[RDSB] = 0;
    regs_[RDSC] = 0;
    if (step == 1) {
        regs_[RDSA] = 0;
        regs_[RDSD] = stepOneAnswer_;
        qualityArmed_ = true;
        return;
    }
    const Station* station = stationOn(channel_);
    const int quality = qualityArmed_ && station != nullptr ? std::clamp(station->snr, 0, 255) : 0;
    regs_[RDSA] = static_cast<std::uint16_t>(quality);
    regs_[RDSD] = stepTwoAnswer_;
    qualityArmed_ = false;
}

void Si4709::pulseInterrupt()
{
    if (kSysconfig1Gpio2.get(regs_[SYSCONFIG1]) != kGpio2Interrupt || lineLow_) {
        return;  // not an interrupt output, or a pulse is already low: no new edge
    }
    ++pulses_;
    setInterruptLine(false);
    pulseEvent_ = kernel_.after(timing_.interruptPulse, [this] {
        pulseEvent_ = 0;
        setInterruptLine(true);
    });
}

void Si4709::setInterruptLine(bool level)
{
    lineLow_ = !level;
    if (interruptListener_) {
        interruptListener_(level);
    }
}

}  // namespace sim
