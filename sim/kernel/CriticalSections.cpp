// Windows CE critical sections on the simulated kernel, with the verifier's
// checks: a section must be initialised before use and not used after it was
// deleted; only its owner leaves it; it is not deleted while held or waited
// on; a thread does not end while it holds one.
#include "sim/kernel/KernelImpl.h"

using sim::kernelImpl;
using sim::Thread;

namespace sim {

Lock& Kernel::Impl::lockForMisused(CRITICAL_SECTION* section, const char* call)
{
    // A section not initialised under this kernel (zeroed memory, or one left
    // from an earlier kernel in the same process) gets a wait list now.
    const std::uint32_t id = section->LockId;
    if ((id >> 24) != instance || (id & 0xFFFFFF) == 0 || (id & 0xFFFFFF) > locks.size()) {
        report(std::string("critical section used before InitializeCriticalSection (") + call + ")");
        newLock(section);
    }
    Lock& lock = locks[(section->LockId & 0xFFFFFF) - 1];
    if (lock.deleted) {
        report(std::string("critical section used after DeleteCriticalSection (") + call + ")");
        lock.deleted = false;
    }
    return lock;
}

void Kernel::Impl::newLock(CRITICAL_SECTION* section)
{
    locks.emplace_back();
    section->LockId = (instance << 24) | static_cast<std::uint32_t>(locks.size());
    section->OwnerThread = 0;
    section->RecursionCount = 0;
}

}  // namespace sim

namespace {

void becomeOwner(CRITICAL_SECTION* section, Thread* t)
{
    section->OwnerThread = t->id;
    section->RecursionCount = 1;
    ++t->sectionsHeld;
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section)
{
    sim::race::KernelScope kernel;
    auto& k = kernelImpl();
    k.systemCall(__func__);
    k.newLock(section);
}

void DeleteCriticalSection(LPCRITICAL_SECTION section)
{
    sim::race::KernelScope kernel;
    auto& k = kernelImpl();
    k.systemCall(__func__);
    sim::Lock& lock = k.lockFor(section, __func__);
    // "The state of the threads waiting for ownership of the deleted critical
    // section is undefined": so is deleting one that a thread holds.
    if (section->OwnerThread != 0)
        k.report("critical section deleted while thread " + std::to_string(section->OwnerThread) + " holds it");
    if (!lock.waiters.empty())
        k.report("critical section deleted while thread " + std::to_string(lock.waiters.front()->id) + " waits for it");
    if (Thread* owner = k.threadById(section->OwnerThread); owner != nullptr && owner->sectionsHeld > 0)
        --owner->sectionsHeld;
    lock.deleted = true;
    section->OwnerThread = 0;
    section->RecursionCount = 0;
}

namespace {

// The section calls of the cooperative schedule (its points not counted),
// where nothing else happens:
// no power handler runs, the section is valid, and it is free, the caller's
// own, or left without waiters. Half a million pairs an hour pass here; the
// rest (the verifier's reports, waiting, handing over, the preemption point)
// is the full path's, out of line so that this one saves no registers.
bool plainSectionCall(const sim::Kernel::Impl& k, const CRITICAL_SECTION* section)
{
    return !k.passesPoints && k.powerHandler == nullptr && k.lockValid(section);
}

void enterFully(sim::Kernel::Impl& k, LPCRITICAL_SECTION section) __attribute__((noinline));
void leaveFully(sim::Kernel::Impl& k, LPCRITICAL_SECTION section) __attribute__((noinline));

void enterFully(sim::Kernel::Impl& k, LPCRITICAL_SECTION section)
{
    k.systemCall("EnterCriticalSection");
    Thread* self = k.current;
    k.lockFor(section, "EnterCriticalSection");
    if (section->OwnerThread == self->id) {
        ++section->RecursionCount;
        return;
    }
    // Contended: wait until the owner leaves. Cooperative mode: every waiter
    // tries again and the first to run takes it, so a waiter suspended
    // meanwhile holds nothing. Preemptive modes: the leaving thread hands the
    // section to one waiter, even a suspended one, which then holds it frozen
    // until resumed. Windows CE hands over too; whether it skips suspended
    // waiters we do not know, so the simulation takes the harder case.
    while (section->OwnerThread != 0 && section->OwnerThread != self->id) {
        k.lockFor(section, "EnterCriticalSection").waiters.push_back(self);
        self->state = Thread::Locking;
        k.cancelWake(self);
        k.block();
    }
    if (section->OwnerThread != self->id) becomeOwner(section, self);  // else handed over while waiting
    sim::race::acquire(section);
}

}  // namespace

void EnterCriticalSection(LPCRITICAL_SECTION section)
{
    sim::race::KernelScope kernel;
    auto& k = kernelImpl();
    if (plainSectionCall(k, section)) [[likely]] {
        Thread* self = k.current;
        if (section->OwnerThread == 0) {
            becomeOwner(section, self);
            sim::race::acquire(section);
            return;
        }
        if (section->OwnerThread == self->id) {
            ++section->RecursionCount;
            return;
        }
    }
    enterFully(k, section);
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section)
{
    sim::race::KernelScope kernel;
    auto& k = kernelImpl();
    k.systemCall(__func__);
    k.lockFor(section, __func__);
    Thread* self = k.current;
    if (section->OwnerThread == 0) {
        becomeOwner(section, self);
        sim::race::acquire(section);
        return TRUE;
    }
    if (section->OwnerThread == self->id) {
        ++section->RecursionCount;
        return TRUE;
    }
    return FALSE;
}

namespace {

void leaveFully(sim::Kernel::Impl& k, LPCRITICAL_SECTION section)
{
    k.systemCall("LeaveCriticalSection");
    sim::Lock& lock = k.lockFor(section, "LeaveCriticalSection");
    if (section->OwnerThread != k.current->id) {
        // "An error occurs that may cause another thread using
        // EnterCriticalSection to wait indefinitely."
        k.report("critical section left by thread " + std::to_string(k.current->id) + ", which does not own it");
        return;
    }
    if (--section->RecursionCount > 0) return;
    sim::race::release(section);
    section->OwnerThread = 0;
    --k.current->sectionsHeld;
    if (k.preemptive()) {
        // Handed to the waiter of highest priority (earliest among equals).
        if (!lock.waiters.empty()) {
            auto best = lock.waiters.begin();
            for (auto it = lock.waiters.begin(); it != lock.waiters.end(); ++it)
                if (k.rank(*it) < k.rank(*best)) best = it;
            Thread* t = *best;
            lock.waiters.erase(best);
            becomeOwner(section, t);
            k.makeReady(t);
        }
        k.preemptionPoint();
        return;
    }
    // Every waiter tries again; the first to run takes the section.
    if (lock.waiters.empty()) return;
    std::vector<Thread*> waiters;
    waiters.swap(lock.waiters);
    for (Thread* t : waiters) k.makeReady(t);
}

}  // namespace

void LeaveCriticalSection(LPCRITICAL_SECTION section)
{
    sim::race::KernelScope kernel;
    auto& k = kernelImpl();
    if (plainSectionCall(k, section) && section->OwnerThread == k.current->id) [[likely]] {
        if (section->RecursionCount > 1) {
            --section->RecursionCount;
            return;
        }
        if (section->RecursionCount == 1 && k.lockWaiters(section).empty()) {
            sim::race::release(section);
            section->OwnerThread = 0;
            section->RecursionCount = 0;
            --k.current->sectionsHeld;
            return;
        }
    }
    leaveFully(k, section);
}
