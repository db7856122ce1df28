#include "tools/soak/CarFaults.h"

#include "control/ControlState.h"
#include "driver/DriverContext.h"
#include "platform/BusTypes.h"
#include "tools/Timeline.h"
#include "tools/Unobserved.h"
#include "tuner/Si4709Registers.h"

#include <cstdio>

namespace corvane::soak {

namespace {

using sim::Micros;

constexpr Micros kSecond = 1'000'000;
// A car fault starts about this often (each step draws).
constexpr Micros kMeanCarFaultInterval = 3 * 60 * kSecond;
constexpr Micros kLongestSlowTransfer = 200'000;
// A failed transfer is reported as it fails; a slow one may end after the hold.
constexpr Micros kHeldBusGrace = kSecond;
// A transfer on the wire when the supply dips fails at its end, at most a
// transfer's time later (1.3 ms at 100 kHz); its thread may be preempted
// before it reports.
constexpr Micros kDipReportGrace = 5'000;

}  // namespace

CarFaults::CarFaults(Session& session, DebugChecker& debug)
    : session_(session), debug_(debug), random_(session.kernel().seed() ^ 0xCA2F4017D1B5ull)
{}

Micros CarFaults::duration(double minSeconds, double maxSeconds)
{
    const auto span = std::uint32_t((maxSeconds - minSeconds) * 1000);
    return Micros(minSeconds * 1e6) + Micros(random_.below(span)) * 1000;
}

void CarFaults::step(Micros now, Micros step)
{
    if (heldLineUntil_ != 0 && now >= heldLineUntil_) endHeldLine();
    if (noiseUntil_ != 0 && now >= noiseUntil_) endNoise();
    if (slowUntil_ != 0 && now >= slowUntil_) endSlowBus();
    if (heldBusUntil_ != 0 && now >= heldBusUntil_) endHeldBus(now);
    if (!random_.chance(double(step) / double(kMeanCarFaultInterval))) return;
    switch (random_.below(5)) {
    case 0:
        startDip();
        break;
    case 1:
        startHeldLine(now);
        break;
    case 2:
        startNoise(now);
        break;
    case 3:
        startSlowBus(now);
        break;
    default:
        startHeldBus(now);
        break;
    }
}

void CarFaults::startDip()
{
    ++counts_.dips;
    session_.kernel().after(within(kSecond / 4), [this] {
        sim::Si4709& chip = session_.world().chip();
        // Only a receiver that sits on a station has one to keep: no request
        // pending (a recovery that has reset the chip and not yet tuned it
        // back, a power-down that cut a seek short), no search moving it
        // between seeks, not at channel 0, where only a reset chip is in the
        // soak's bands.
        const ControlState& control = gDriver.control;
        dipWatched_ = chip.poweredUp() && !chip.inReset() && !chip.tuning() && !chip.seeking() && chip.channel() != 0 &&
                      control.controlRequest.load() == kRequestNone && control.retuning.load() == 0 &&
                      control.searchState.load() == kSearchIdle;
        beforeDip_ = chip.frequency();
        resetChangesAtDip_ = session_.world().resetHistory().size();
        chip.supplyDip();
        lastDip_ = session_.kernel().now();
        debug_.begin(Cause::SupplyDip, lastDip_);
        debug_.end(Cause::SupplyDip, lastDip_, kDipReportGrace);
    });
}

void CarFaults::startHeldLine(Micros now)
{
    if (heldLineUntil_ != 0) return;
    ++counts_.heldLines;
    heldLineUntil_ = now + duration(1, 20);
    session_.kernel().after(within(kSecond / 4), [this] {
        if (heldLineUntil_ != 0) session_.world().soc().holdTunerInterruptLine(true);
    });
}

void CarFaults::endHeldLine()
{
    heldLineUntil_ = 0;
    session_.world().soc().holdTunerInterruptLine(false);
}

void CarFaults::startNoise(Micros now)
{
    if (noiseUntil_ != 0) return;
    ++counts_.noiseBursts;
    noiseUntil_ = now + duration(1, 60);
    // From a spark every few milliseconds to one every few hundred.
    const Micros meanGap = 2'000 + random_.below(200'000);
    session_.kernel().after(within(kSecond / 4), [this, burst = noiseBurst_, meanGap] { noiseEdge(burst, meanGap); });
}

// An edge the chip did not send, at a moment when it has nothing to report
// (no group ready, no tune or seek complete), then the next one.
void CarFaults::noiseEdge(std::uint64_t burst, Micros meanGap)
{
    if (burst != noiseBurst_ || noiseUntil_ == 0) return;
    const std::uint16_t status = session_.world().chip().reg(si4709::STATUSRSSI);
    if ((status & (si4709::kStatusRdsr | si4709::kStatusStc)) == 0) session_.kernel().raiseInterrupt(kSysIntrTuner);
    session_.kernel().after(1 + random_.below(std::uint32_t(2 * meanGap)),
                            [this, burst, meanGap] { noiseEdge(burst, meanGap); });
}

void CarFaults::endNoise()
{
    noiseUntil_ = 0;
    ++noiseBurst_;
}

void CarFaults::startSlowBus(Micros now)
{
    if (slowUntil_ != 0) return;
    ++counts_.slowBuses;
    slowUntil_ = now + duration(5, 120);
    const Micros longest = 20'000 + random_.below(std::uint32_t(kLongestSlowTransfer - 20'000 + 1));
    session_.world().bus().setTransferDelay(longest);
}

void CarFaults::endSlowBus()
{
    slowUntil_ = 0;
    session_.world().bus().setTransferDelay(0);
}

void CarFaults::startHeldBus(Micros now)
{
    if (heldBusUntil_ != 0) return;
    ++counts_.heldBuses;
    const Micros from = now + within(kSecond / 4);
    heldBusUntil_ = from + duration(0.1, 5);
    debug_.begin(Cause::BusHeld, now);
    session_.world().bus().holdBetween(from, heldBusUntil_);
}

void CarFaults::endHeldBus(Micros now)
{
    heldBusUntil_ = 0;
    session_.world().bus().holdBetween(0, 0);
    debug_.end(Cause::BusHeld, now, kHeldBusGrace);
}

std::string CarFaults::checkDipRecovery(Micros lastCommand, Micros troubledAt)
{
    if (!dipWatched_) return {};
    const Unobserved unobserved;
    sim::World& world = session_.world();
    sim::Si4709& chip = world.chip();
    if (lastCommand >= lastDip_ || troubledAt >= lastDip_ || chip.seeking() ||
        gDriver.control.searchState.load() != kSearchIdle) {
        dipWatched_ = false;  // moved on purpose, or not reached
        return {};
    }
    const auto& resetLine = world.resetHistory();
    bool resetSince = false;
    for (std::size_t k = resetChangesAtDip_; k < resetLine.size(); ++k) resetSince |= resetLine[k].level;
    const bool recovered = resetSince && !chip.inReset() && chip.poweredUp() && !chip.tuning() &&
                           gDriver.control.controlRequest.load() == kRequestNone &&
                           gDriver.control.retuning.load() == 0;
    if (!recovered) return {};
    dipWatched_ = false;
    if (chip.frequency() == beforeDip_) return {};
    char text[160];
    std::snprintf(text, sizeof text,
                  "after the supply dip at %.3f s the receiver came back on %u, not on %u where it was",
                  double(lastDip_) / 1e6, unsigned(chip.frequency()), unsigned(beforeDip_));
    return text;
}

std::uint32_t CarFaults::activeFaults() const
{
    return (heldLineUntil_ != 0 ? faultBit(FaultKind::InterruptLineHeld) : 0) |
           (noiseUntil_ != 0 ? faultBit(FaultKind::InterruptNoise) : 0) |
           (slowUntil_ != 0 ? faultBit(FaultKind::BusSlow) : 0) |
           (heldBusUntil_ != 0 ? faultBit(FaultKind::BusHeld) : 0);
}

void CarFaults::healAll(Micros now)
{
    if (heldLineUntil_ != 0) endHeldLine();
    if (noiseUntil_ != 0) endNoise();
    if (slowUntil_ != 0) endSlowBus();
    if (heldBusUntil_ != 0) endHeldBus(now);
}

}  // namespace corvane::soak
