// The part of the simulated kernel that the reused chip model, band and bus
// driver call (sim/kernel/Kernel.h: the clock, timed hardware events, random
// streams), on real time: microseconds since the stand-in started, and
// events run by the device thread when they fall due (Device.cpp). The
// scheduler and the simulated threads are not here: the driver's threads are
// Wine's. Everything here runs under the stand-in's world lock.
#include "sim/kernel/Kernel.h"

#include <algorithm>
#include <vector>

namespace sim {

struct Kernel::Impl {
    struct Pending {
        Micros when;
        EventId id;
        std::function<void()> action;
    };
    LARGE_INTEGER origin{};
    LARGE_INTEGER frequency{};
    std::vector<Pending> pending;
    EventId nextId = 1;
    std::vector<Random> streams;
};

Kernel::Kernel(const KernelOptions& options) : impl_(std::make_unique<Impl>())
{
    QueryPerformanceFrequency(&impl_->frequency);
    QueryPerformanceCounter(&impl_->origin);
    impl_->streams.resize(static_cast<unsigned>(Stream::Count));
    seedStreams(options.seed, impl_->streams);
}

Kernel::~Kernel() = default;

Micros Kernel::now() const
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const auto ticks = static_cast<std::uint64_t>(counter.QuadPart - impl_->origin.QuadPart);
    const auto perSecond = static_cast<std::uint64_t>(impl_->frequency.QuadPart);
    return ticks / perSecond * 1'000'000u + ticks % perSecond * 1'000'000u / perSecond;
}

// Real threads on a real clock: the stand-in's bus hands each transfer over
// at once, as the simulation does in its cooperative schedule.
Schedule Kernel::schedule() const
{
    return Schedule::Cooperative;
}

Random& Kernel::random(Stream stream)
{
    return impl_->streams[static_cast<unsigned>(stream)];
}

Kernel::EventId Kernel::at(Micros when, std::function<void()> action)
{
    const EventId id = impl_->nextId++;
    impl_->pending.push_back({when, id, std::move(action)});
    return id;
}

Kernel::EventId Kernel::after(Micros delay, std::function<void()> action)
{
    return at(now() + delay, std::move(action));
}

void Kernel::cancel(EventId id)
{
    std::erase_if(impl_->pending, [id](const Impl::Pending& p) { return p.id == id; });
}

// Runs the events due by now, earliest first; an event may schedule or
// cancel others. The device thread calls this under the world lock.
void Kernel::advance(Micros)
{
    for (;;) {
        auto& pending = impl_->pending;
        auto first = std::min_element(pending.begin(), pending.end(), [](const auto& a, const auto& b) {
            return a.when < b.when || (a.when == b.when && a.id < b.id);
        });
        if (first == pending.end() || first->when > now()) return;
        std::function<void()> action = std::move(first->action);
        pending.erase(first);
        action();
    }
}

}  // namespace sim
