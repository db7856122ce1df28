#include "tools/Timeline.h"

#include "driver/DriverContext.h"
#include "driver/Lifecycle.h"
#include "tools/Unobserved.h"

namespace corvane {

const char* faultName(FaultKind kind)
{
    static const char* const names[] = {
        "bus failing",   "interrupts lost or spurious", "chip hung",      "station fading", "powered down", "suspended",
        "output unread", "interrupt line stuck",        "ignition noise", "bus slow",       "bus held"};
    static_assert(std::size(names) == unsigned(FaultKind::Count));
    return names[unsigned(kind)];
}

void Timeline::sample(sim::World& world, std::uint32_t activeFaults, std::uint64_t supplyDips)
{
    const Unobserved unobserved;
    const double now = double(world.kernel().now()) / 1e6;
    end_ = now;
    for (unsigned k = 0; k < unsigned(FaultKind::Count); ++k) {
        const std::uint32_t bit = 1u << k;
        if ((activeFaults & bit) && !(faults_ & bit)) faultsFrom_[k] = now;
        if (!(activeFaults & bit) && (faults_ & bit)) bands_.push_back({FaultKind(k), faultsFrom_[k], now});
    }
    faults_ = activeFaults;
    for (; dips_ < supplyDips; ++dips_) marks_.push_back({MarkKind::SupplyDip, now, {}});

    const bool running = gDriver.lifecycle.driverState.load() == kDriverRunning;
    if (running != running_) marks_.push_back({running ? MarkKind::PowerUp : MarkKind::PowerDown, now, {}});
    running_ = running;
    const bool searching = gDriver.control.searchState.load() != 0;
    if (searching && !searching_) marks_.push_back({MarkKind::Search, now, {}});
    searching_ = searching;
    // A recovery holds its request for seconds (its pause, the chip's reset):
    // a look every step sees it.
    const bool recovering = gDriver.control.controlRequest.load() == kRequestRecover;
    if (recovering && !recovering_) marks_.push_back({MarkKind::Recovery, now, {}});
    recovering_ = recovering;

    if (!samples_.empty() && now - samples_.back().time < kSampleEvery) return;
    const sim::Si4709& chip = world.chip();
    const bool on = chip.poweredUp() && !chip.inReset();
    samples_.push_back({now, on ? chip.frequency() / 100.0 : 0.0,
                        on ? int(si4709::kStatusRssi.get(chip.reg(si4709::STATUSRSSI))) : -1,
                        int(gDriver.rds.tmcQuality.load())});
}

void Timeline::fail(double time, const std::string& message)
{
    if (failed_) return;
    failed_ = true;
    marks_.push_back({MarkKind::Failure, time, message});
}

void Timeline::finish(double time)
{
    end_ = std::max(end_, time);
    for (unsigned k = 0; k < unsigned(FaultKind::Count); ++k)
        if (faults_ & (1u << k)) bands_.push_back({FaultKind(k), faultsFrom_[k], end_});
    faults_ = 0;
}

}  // namespace corvane
