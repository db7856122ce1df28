// The verifier and the system's power transitions: what the simulated kernel
// refuses that a forgiving implementation would let pass, and the context the
// kernel runs power handlers in.
#include "sim/kernel/KernelImpl.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {
std::string gReproduceLine;
}  // namespace

void Kernel::Impl::report(const std::string& what)
{
    ++verifierReports;
    if (verifierHandler) {
        verifierHandler(what);
        return;
    }
    std::fprintf(stderr, "simulated kernel: verifier: %s (at %llu.%06llu s virtual, thread %u)\n", what.c_str(),
                 static_cast<unsigned long long>(now / 1'000'000), static_cast<unsigned long long>(now % 1'000'000),
                 current != nullptr ? current->id : 0u);
    if (!gReproduceLine.empty()) std::fprintf(stderr, "reproduce: %s\n", gReproduceLine.c_str());
    std::fflush(stderr);
    std::abort();
}

// A power handler runs in kernel mode with the scheduler stopped: a call that
// could block or switch threads would yield to another thread, which the
// kernel answers by halting the system.
void Kernel::Impl::callInPowerHandler(const char* name)
{
    report(std::string("system call in a power handler: the system halts (") + name + " in " + powerHandler + ")");
}

void Kernel::setVerifierHandler(VerifierHandler handler)
{
    impl_->verifierHandler = std::move(handler);
}

std::uint64_t Kernel::verifierReports() const
{
    return impl_->verifierReports;
}

void Kernel::systemCall(const char* name)
{
    impl_->systemCall(name);
}

void Kernel::reportMisuse(const std::string& what)
{
    impl_->report(what);
}

void Kernel::setReproduceLine(std::string line)
{
    gReproduceLine = std::move(line);
}

namespace {
// Runs a power handler as the kernel does: not preemptible, system calls
// refused.
void runPowerHandler(Kernel::Impl& k, const std::function<void()>& handler, const char* name)
{
    k.powerHandler = name;
    ++k.atomicDepth;
    handler();
    --k.atomicDepth;
    k.powerHandler = nullptr;
}
}  // namespace

void Kernel::suspendSystem(const std::function<void()>& powerDownHandler, const char* name)
{
    Impl& k = *impl_;
    // Every other thread stands still from here: a ready one is parked when
    // next chosen, a waiting one when its wait ends.
    if (!k.systemSuspended) ++k.holds;
    k.systemSuspended = true;
    k.systemCaller = k.current;
    runPowerHandler(k, powerDownHandler, name);
}

void Kernel::resumeSystem(const std::function<void()>& powerUpHandler, const char* name)
{
    Impl& k = *impl_;
    runPowerHandler(k, powerUpHandler, name);
    if (!k.systemSuspended) return;
    k.systemSuspended = false;
    --k.holds;
    k.systemCaller = nullptr;
    for (Thread* t : k.threads)
        if (t->state == Thread::Parked && !k.held(t)) k.makeReady(t);
}

bool Kernel::systemSuspended() const
{
    return impl_->systemSuspended;
}

void Kernel::moduleUnloaded(const std::vector<DWORD>& threadIds)
{
    for (DWORD id : threadIds) {
        Thread* t = impl_->threadById(id);
        if (t == nullptr) continue;
        if (t->state != Thread::Exited) t->unloaded = true;
        race::joinAtTeardown(t->raceFiber, t);  // an ended thread released at its exit
    }
}

DWORD Kernel::threadCount() const
{
    return static_cast<DWORD>(impl_->threads.size());
}

}  // namespace sim
