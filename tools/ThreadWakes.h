// corvane run --wakes: what the driver's worker threads cost a processor that
// idles whenever no thread is due. Each virtual second, how often each worker
// woke the processor (came back from a sleep, a wait or a contended critical
// section it had blocked in) and how often it was given the processor; at the
// end, the rates per second over the seconds the receiver ran, those it was
// powered down by a device state or the application's suspend, and those the
// system was suspended, each apart (a second in which it changed counts in
// none of them).
#pragma once

#include "sim/kernel/Kernel.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace corvane {

class ThreadWakes {
public:
    static constexpr unsigned kWorkers = 4;
    enum class Period : unsigned { Running, PoweredDown, SystemSuspend, Count };

    explicit ThreadWakes(std::FILE* out) : out_(out) {}
    // At every poll of the run, while the driver is loaded: notes the state
    // and prints a line for each whole virtual second that ended.
    void sample(const sim::Kernel& kernel);
    // The rates per second of each period, and the whole run's counts.
    void printSummary() const;

    struct Counts {
        std::array<std::uint64_t, kWorkers> wakes{};
        std::array<std::uint64_t, kWorkers> switches{};
    };
    // Over the whole seconds of a period so far (for tests).
    const Counts& period(Period p) const { return periods_[unsigned(p)]; }
    std::uint64_t seconds(Period p) const { return seconds_[unsigned(p)]; }

private:
    static constexpr unsigned kMixed = unsigned(Period::Count);
    void endSecond(const Counts& now);

    std::FILE* out_;
    std::uint64_t second_ = 0;     // the second under way
    unsigned secondPeriod_ = ~0u;  // what it has been so far; kMixed when it changed
    Counts last_{};                // the counts where the second under way began
    Counts latest_{};              // the counts at the last sample (the handles go at the unload)
    std::array<Counts, unsigned(Period::Count)> periods_{};
    std::array<std::uint64_t, unsigned(Period::Count)> seconds_{};
};

}  // namespace corvane
