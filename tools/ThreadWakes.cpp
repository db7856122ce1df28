#include "tools/ThreadWakes.h"

#include "driver/DriverContext.h"
#include "tools/Unobserved.h"

namespace corvane {

namespace {

constexpr sim::Micros kSecond = 1'000'000;
constexpr const char* kWorkerNames[ThreadWakes::kWorkers] = {"group", "interrupt", "control", "reader"};
constexpr const char* kPeriodNames[] = {"running", "powered down", "system suspend"};

ThreadWakes::Counts countsNow(const sim::Kernel& kernel, const ThreadWakes::Counts& before)
{
    const LifecycleState& life = gDriver.lifecycle;
    const HANDLE workers[ThreadWakes::kWorkers] = {life.groupThread, life.interruptThread, life.controlThread,
                                                   life.readerThread};
    ThreadWakes::Counts counts = before;  // a worker that is gone keeps its last counts
    for (unsigned w = 0; w < ThreadWakes::kWorkers; ++w) {
        if (workers[w] == nullptr) continue;
        const sim::Kernel::ThreadActivity activity = kernel.activity(workers[w]);
        counts.wakes[w] = activity.wakes;
        counts.switches[w] = activity.switchesTo;
    }
    return counts;
}

unsigned periodNow(const sim::Kernel& kernel)
{
    if (kernel.systemSuspended()) return unsigned(ThreadWakes::Period::SystemSuspend);
    switch (gDriver.lifecycle.driverState.load()) {
    case kDriverRunning:
        return unsigned(ThreadWakes::Period::Running);
    case kDriverPoweredDown:
        return unsigned(ThreadWakes::Period::PoweredDown);
    default:
        return unsigned(ThreadWakes::Period::Count);  // starting: no period's
    }
}

std::uint64_t sum(const std::array<std::uint64_t, ThreadWakes::kWorkers>& values)
{
    std::uint64_t total = 0;
    for (std::uint64_t v : values) total += v;
    return total;
}

}  // namespace

void ThreadWakes::sample(const sim::Kernel& kernel)
{
    const Unobserved unobserved;
    const Counts now = countsNow(kernel, latest_);
    latest_ = now;
    // The sample that ends a second belongs to it: what a power call at its
    // very end did is in its counts.
    const unsigned period = periodNow(kernel);
    if (secondPeriod_ == ~0u)
        secondPeriod_ = period;
    else if (secondPeriod_ != period)
        secondPeriod_ = kMixed;
    if (kernel.now() < (second_ + 1) * kSecond) return;
    endSecond(now);
    second_ = kernel.now() / kSecond;
    last_ = now;
    secondPeriod_ = period;
}

void ThreadWakes::endSecond(const Counts& now)
{
    Counts delta;
    for (unsigned w = 0; w < kWorkers; ++w) {
        delta.wakes[w] = now.wakes[w] - last_.wakes[w];
        delta.switches[w] = now.switches[w] - last_.switches[w];
    }
    const char* name = secondPeriod_ < unsigned(Period::Count) ? kPeriodNames[secondPeriod_] : "changing";
    std::fprintf(out_, "wakes %llu-%llu s, %s:", static_cast<unsigned long long>(second_),
                 static_cast<unsigned long long>(second_ + 1), name);
    for (unsigned w = 0; w < kWorkers; ++w)
        std::fprintf(out_, " %s %llu%s", kWorkerNames[w], static_cast<unsigned long long>(delta.wakes[w]),
                     w + 1 < kWorkers ? "," : "");
    std::fprintf(out_, " (all %llu; switches %llu)\n", static_cast<unsigned long long>(sum(delta.wakes)),
                 static_cast<unsigned long long>(sum(delta.switches)));
    if (secondPeriod_ >= unsigned(Period::Count)) return;
    Counts& period = periods_[secondPeriod_];
    for (unsigned w = 0; w < kWorkers; ++w) {
        period.wakes[w] += delta.wakes[w];
        period.switches[w] += delta.switches[w];
    }
    ++seconds_[secondPeriod_];
}

void ThreadWakes::printSummary() const
{
    std::fprintf(out_, "wakes of the driver's threads per virtual second (switches to them):\n");
    for (unsigned p = 0; p < unsigned(Period::Count); ++p) {
        if (seconds_[p] == 0) continue;
        const double s = double(seconds_[p]);
        std::fprintf(out_, "  %s, %llu s:", kPeriodNames[p], static_cast<unsigned long long>(seconds_[p]));
        for (unsigned w = 0; w < kWorkers; ++w)
            std::fprintf(out_, " %s %.1f (%.1f),", kWorkerNames[w], double(periods_[p].wakes[w]) / s,
                         double(periods_[p].switches[w]) / s);
        std::fprintf(out_, " all %.1f (%.1f)\n", double(sum(periods_[p].wakes)) / s,
                     double(sum(periods_[p].switches)) / s);
    }
    std::fprintf(out_, "  the whole run:");
    for (unsigned w = 0; w < kWorkers; ++w)
        std::fprintf(out_, " %s %llu (%llu),", kWorkerNames[w], static_cast<unsigned long long>(latest_.wakes[w]),
                     static_cast<unsigned long long>(latest_.switches[w]));
    std::fprintf(out_, " all %llu (%llu)\n", static_cast<unsigned long long>(sum(latest_.wakes)),
                 static_cast<unsigned long long>(sum(latest_.switches)));
}

}  // namespace corvane
