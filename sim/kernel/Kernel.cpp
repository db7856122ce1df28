// The kernel object: construction (the creating thread becomes thread 1), the
// host-side controls tests and the simulated hardware use, and the random streams.
#include "sim/kernel/KernelImpl.h"

#include "platform/ce/Shared.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {

Kernel::Impl* gLiveKernel = nullptr;

namespace {
Kernel::Impl*& gKernel = gLiveKernel;
Kernel* gKernelObject = nullptr;
std::uint32_t gInstances = 0;
}  // namespace

}  // namespace sim

void CePreemptionPoint()
{
    // Driver code run outside a simulated kernel (a unit test of a pure
    // function) has no one to yield to.
    if (sim::gKernel == nullptr) return;
    sim::race::KernelScope kernel;
    sim::gKernel->sharedAccessPoint();
}

namespace sim {

void noLiveKernel()
{
    std::fprintf(stderr, "simulated kernel: a platform call was made with no sim::Kernel alive\n");
    std::abort();
}

Kernel::Kernel(const KernelOptions& options) : impl_(std::make_unique<Impl>())
{
    if (gKernel != nullptr) {
        std::fprintf(stderr, "simulated kernel: only one sim::Kernel may live at a time\n");
        std::abort();
    }
    Impl& k = *impl_;
    k.options = options;
    k.instance = ++gInstances & 0xFF;
    if (k.instance == 0) k.instance = ++gInstances & 0xFF;
    seedStreams(options.seed, k.streams);
    gKernel = impl_.get();
    gKernelObject = this;
    k.passesPoints = options.schedule != Schedule::Cooperative;
    gCePreemptive = k.passesPoints;
    k.hardwareFiber = race::createHardwareFiber();

    // The creating thread is simulated thread 1. Its context is saved the
    // first time it switches away.
    auto main = std::make_unique<Thread>();
    main->id = 1;
    main->state = Thread::Running;
    main->raceFiber = race::currentFiber();
    k.threads.push_back(main.get());
    k.current = main.get();
    Thread* creator = main.get();
    creator->handle = k.addObject(std::move(main));
    setPaced(options.paced, options.speed);
}

Kernel::~Kernel()
{
    Impl& k = *impl_;
    if (k.current != k.threads.front()) {
        std::fprintf(stderr, "simulated kernel: destroyed from a thread other than its creator\n");
        std::abort();
    }
    for (Thread* t : k.threads) race::joinAtTeardown(t->raceFiber, t);
    for (Thread* t : k.threads) k.freeStack(t);
    race::destroyFiber(k.hardwareFiber);
    gKernel = nullptr;
    gKernelObject = nullptr;
    gCePreemptive = false;
}

Kernel& Kernel::current()
{
    kernelImpl();
    return *gKernelObject;
}

bool Kernel::exists()
{
    return gKernel != nullptr;
}

Micros Kernel::now() const
{
    return impl_->now;
}
std::uint64_t Kernel::seed() const
{
    return impl_->options.seed;
}
Schedule Kernel::schedule() const
{
    return impl_->options.schedule;
}
std::uint64_t Kernel::preemptionPoints() const
{
    return impl_->points;
}

void Kernel::setRandomSwitchChance(double chance)
{
    impl_->randomSwitchChance = chance;
}

std::uint64_t Kernel::preemptions() const
{
    return impl_->preemptions;
}
Random& Kernel::random(Stream stream)
{
    return impl_->streams[unsigned(stream)];
}

Kernel::EventId Kernel::at(Micros when, std::function<void()> action)
{
    return schedule(when, action);
}

Kernel::EventId Kernel::schedule(Micros when, std::function<void()>& action)
{
    Impl& k = *impl_;
    const EventId id = k.hardwareEvents.add(action);
    const std::uint32_t tie = static_cast<std::uint32_t>(k.streams[unsigned(Stream::Scheduler)].next());
    k.timeline.events.push(TimelineEntry::hardware(when < k.now ? k.now : when, tie, k.sequence++, id));
    return id;
}

void Kernel::atPoint(std::uint64_t point, std::function<void()> action)
{
    if (!impl_->preemptive()) return;
    impl_->pointAlarms.emplace(point, std::move(action));
    impl_->markNextPoint();
}

Kernel::EventId Kernel::after(Micros delay, std::function<void()> action)
{
    return schedule(impl_->now + delay, action);
}

void Kernel::cancel(EventId id)
{
    Impl& k = *impl_;
    if (!k.hardwareEvents.live(id)) return;  // ran, or cancelled already: its slot may serve another
    k.timeline.events.remove(static_cast<std::uint32_t>(id));
    k.hardwareEvents.cancel(id);
}

void Kernel::advance(Micros delay)
{
    Impl& k = *impl_;
    const Micros target = k.now + delay;
    k.runDueEvents(target);
    k.pace(target);
    k.now = target;
}

void Kernel::setInterruptFaults(double loseProbability, Micros spuriousMeanInterval, DWORD spuriousSysIntr)
{
    Impl& k = *impl_;
    k.loseInterruptProbability = loseProbability;
    k.spuriousMeanInterval = spuriousMeanInterval;
    k.spuriousSysIntr = spuriousSysIntr;
    ++k.spuriousChain;  // the chain running so far ends at its next edge
    if (spuriousMeanInterval > 0) scheduleSpurious();
}

void Kernel::scheduleSpurious()
{
    Impl& k = *impl_;
    if (k.spuriousMeanInterval == 0) return;
    const double u = k.streams[unsigned(Stream::Interrupts)].unit();
    const auto gap = static_cast<Micros>(-std::log(1.0 - u) * double(k.spuriousMeanInterval)) + 1;
    after(gap, [this, chain = k.spuriousChain] {
        Impl& k = *impl_;
        if (k.spuriousMeanInterval == 0 || chain != k.spuriousChain) return;
        raiseInterrupt(k.spuriousSysIntr);
        scheduleSpurious();
    });
}

std::uint64_t Kernel::interruptsDelivered(DWORD sysIntr) const
{
    auto it = impl_->interrupts.find(sysIntr);
    return it == impl_->interrupts.end() ? 0 : it->second.delivered;
}

bool Kernel::interruptInitialised(DWORD sysIntr) const
{
    auto it = impl_->interrupts.find(sysIntr);
    return it != impl_->interrupts.end() && it->second.initialised;
}

void Kernel::addDevice(std::u16string_view name, Device* device)
{
    impl_->devices[std::u16string(name)] = device;
}

void Kernel::removeDevice(std::u16string_view name)
{
    auto it = impl_->devices.find(name);
    if (it != impl_->devices.end()) impl_->devices.erase(it);
}

void Kernel::mapRegisters(void* hostAddress, std::size_t size, RegisterDevice* device)
{
    unmapRegisters(hostAddress);
    const auto begin = reinterpret_cast<std::uintptr_t>(hostAddress);
    impl_->registers.push_back({begin, begin + size, device});
    impl_->boundRegisters();
}

void Kernel::Impl::boundRegisters()
{
    registersLow = ~std::uintptr_t{0};
    registersHigh = 0;
    for (const RegisterRange& r : registers) {
        registersLow = std::min(registersLow, r.begin);
        registersHigh = std::max(registersHigh, r.end);
    }
}

void Kernel::unmapRegisters(void* hostAddress)
{
    const auto begin = reinterpret_cast<std::uintptr_t>(hostAddress);
    std::erase_if(impl_->registers, [begin](const RegisterRange& r) { return r.begin == begin; });
    impl_->boundRegisters();
}

void Kernel::failAllocations(std::uint32_t pass, std::uint32_t fail)
{
    impl_->allocPass = pass;
    impl_->allocFail = fail;
    impl_->allocCountdown = fail > 0;
}

void Kernel::setAllocationFailureProbability(double probability)
{
    impl_->allocFailProbability = probability;
}
std::size_t Kernel::liveAllocations() const
{
    return impl_->liveAllocations;
}

const std::vector<DebugLine>& Kernel::debugLog() const
{
    return impl_->debugLog;
}
void Kernel::clearDebugLog()
{
    impl_->debugLog.clear();
}
void Kernel::setDebugSink(std::function<void(const DebugLine&)> sink)
{
    impl_->debugSink = std::move(sink);
}
std::uint64_t Kernel::switches() const
{
    return impl_->switches;
}
const std::vector<TraceEntry>& Kernel::trace() const
{
    return impl_->trace;
}

namespace {
const Thread* threadOf(const Kernel::Impl& k, HANDLE handle)
{
    const Waitable* w = k.lookup(handle);
    return w != nullptr && w->kind == Waitable::ThreadObject ? static_cast<const Thread*>(w) : nullptr;
}
}  // namespace

int Kernel::priority(HANDLE thread) const
{
    const Thread* t = threadOf(*impl_, thread);
    return t ? t->priority : -1;
}

std::uint32_t Kernel::suspendCount(HANDLE thread) const
{
    const Thread* t = threadOf(*impl_, thread);
    return t ? t->suspendCount : 0;
}

void Kernel::setProcess(HANDLE thread, Process process)
{
    if (Thread* t = const_cast<Thread*>(threadOf(*impl_, thread))) t->process = process;
}

Process Kernel::process(HANDLE thread) const
{
    const Thread* t = threadOf(*impl_, thread);
    return t ? t->process : Process::Kernel;
}

bool Kernel::threadExited(HANDLE thread) const
{
    const Thread* t = threadOf(*impl_, thread);
    return t != nullptr && t->state == Thread::Exited;
}

DWORD Kernel::threadId(HANDLE thread) const
{
    const Thread* t = threadOf(*impl_, thread);
    return t ? t->id : 0;
}

HANDLE Kernel::threadHandle(DWORD id) const
{
    return id >= 1 && id <= impl_->threads.size() ? impl_->threads[id - 1]->handle : nullptr;
}

Micros Kernel::lastRun(HANDLE thread) const
{
    const Thread* t = threadOf(*impl_, thread);
    return t ? t->lastRun : 0;
}

Kernel::ThreadActivity Kernel::activity(HANDLE thread) const
{
    const Thread* t = threadOf(*impl_, thread);
    if (t == nullptr) return {};
    const bool blocked = t->state == Thread::Sleeping || t->state == Thread::Waiting || t->state == Thread::Locking;
    return {t->wakes, t->switchesTo, blocked};
}

std::string Kernel::describeThreads() const
{
    static const char* const kStates[] = {"running", "ready", "sleeping", "waiting", "locking", "parked", "exited"};
    std::string text;
    for (const Thread* t : impl_->threads) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "thread %lu: %s, priority %d, suspended %u, sections held %u, last ran %.3f s%s\n",
                      static_cast<unsigned long>(t->id), kStates[t->state], t->priority, t->suspendCount,
                      t->sectionsHeld, double(t->lastRun) / 1e6, t->unloaded ? ", unloaded" : "");
        text += line;
    }
    return text;
}

std::size_t Kernel::liveThreads() const
{
    std::size_t n = 0;
    for (const Thread* t : impl_->threads) n += t->state != Thread::Exited;
    return n;
}

void Kernel::setPaced(bool paced, double speed)
{
    Impl& k = *impl_;
    k.paced = paced;
    k.speed = speed > 0 ? speed : 1.0;
    k.paceOrigin = std::chrono::steady_clock::now();
    k.paceOriginVirtual = k.now;
}

}  // namespace sim
