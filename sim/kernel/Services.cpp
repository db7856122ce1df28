// Windows CE services other than threads: the interrupt controller, local
// memory, named devices, register access, debug output and the last error.
#include "sim/kernel/KernelImpl.h"

#include <cstdlib>
#include <cstring>

using sim::kernelImpl;

// ---- Interrupt controller ------------------------------------------------------
//
// An interrupt is masked from the moment it is delivered until the driver calls
// InterruptDone; an edge that arrives meanwhile is kept pending and delivered
// by that InterruptDone.

namespace sim {

void Kernel::raiseInterrupt(DWORD sysIntr)
{
    Impl& k = *impl_;
    if (k.options.traceSwitches) k.traceEntry(TraceEntry::Interrupt, sysIntr);
    if (k.streams[unsigned(Stream::Interrupts)].chance(k.loseInterruptProbability)) return;
    auto it = k.interrupts.find(sysIntr);
    if (it == k.interrupts.end() || !it->second.initialised) return;
    Interrupt& irq = it->second;
    if (irq.masked) {
        irq.pending = true;
        return;
    }
    irq.masked = true;
    ++irq.delivered;
    SetEvent(irq.event);
}

}  // namespace sim

BOOL InterruptInitialize(DWORD sysIntr, HANDLE event, LPVOID, DWORD)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    sim::Waitable* w = k.lookupForCall(event, __func__);
    if (w == nullptr || w->kind != sim::Waitable::EventObject) {
        k.current->lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    // "If you use hEvent in a call to WaitForSingleObject before you call
    // InterruptInitialize, InterruptInitialize fails."
    auto* e = static_cast<sim::Event*>(w);
    sim::Interrupt& irq = k.interrupts[sysIntr];
    if (irq.initialised || e->waitedOn || e->interrupt != 0) {  // one event per interrupt, one interrupt per event
        k.current->lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    e->interrupt = sysIntr;
    irq.event = event;
    irq.initialised = true;
    irq.masked = false;
    irq.pending = false;
    return TRUE;
}

void InterruptDone(DWORD sysIntr)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    auto it = k.interrupts.find(sysIntr);
    if (it == k.interrupts.end() || !it->second.initialised) return;
    sim::Interrupt& irq = it->second;
    if (irq.pending) {
        irq.pending = false;
        ++irq.delivered;
        SetEvent(irq.event);  // stays masked: this delivery needs its own InterruptDone
        return;
    }
    irq.masked = false;
}

// Masking holds the edges as a delivered interrupt does until InterruptDone;
// unmasking delivers one held meanwhile (the line stays masked for it), as
// the interrupt controller raises a latched edge once it is enabled.
void InterruptMask(DWORD sysIntr, BOOL disable)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    auto it = k.interrupts.find(sysIntr);
    if (it == k.interrupts.end() || !it->second.initialised) return;
    sim::Interrupt& irq = it->second;
    if (disable) {
        irq.masked = true;
        return;
    }
    if (irq.pending) {
        irq.pending = false;
        ++irq.delivered;
        SetEvent(irq.event);
        return;
    }
    irq.masked = false;
}

void InterruptDisable(DWORD sysIntr)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    auto it = k.interrupts.find(sysIntr);
    if (it == k.interrupts.end()) return;
    if (sim::Waitable* w = k.lookupEvenClosed(it->second.event); w != nullptr && w->kind == sim::Waitable::EventObject)
        static_cast<sim::Event*>(w)->interrupt = 0;
    it->second.initialised = false;
    it->second.pending = false;
    it->second.event = nullptr;
}

// Allowed in a power handler: sets the interrupt's event as if it had fired,
// the one way such a handler can wake a thread.
BOOL SetInterruptEvent(DWORD sysIntr)
{
    sim::race::KernelScope kernel;
    auto& k = kernelImpl();
    auto it = k.interrupts.find(sysIntr);
    if (it == k.interrupts.end() || !it->second.initialised) return FALSE;
    const char* handler = k.powerHandler;  // the event is set by the kernel itself
    k.powerHandler = nullptr;
    ++k.atomicDepth;  // no switch inside: the handler context allows none
    SetEvent(it->second.event);
    --k.atomicDepth;
    k.powerHandler = handler;
    return TRUE;
}

// ---- Local memory ----------------------------------------------------------------

HLOCAL LocalAlloc(UINT flags, UINT bytes)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    bool fail = false;
    if (k.allocCountdown) {
        if (k.allocPass > 0) {
            --k.allocPass;
        } else {
            fail = true;
            if (--k.allocFail == 0) k.allocCountdown = false;
        }
    }
    if (!fail && k.streams[unsigned(sim::Stream::Memory)].chance(k.allocFailProbability)) fail = true;
    if (fail) {
        k.current->lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    void* memory = std::calloc(1, bytes == 0 ? 1 : bytes);  // always zeroed: deterministic contents
    (void)flags;
    if (memory != nullptr) {
        ++k.liveAllocations;
        k.allocations.emplace(memory, bytes);
        k.freedBlocks.erase(memory);
    }
    return memory;
}

HLOCAL LocalFree(HLOCAL memory)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    if (memory == nullptr) return nullptr;
    auto& k = kernelImpl();
    if (k.allocations.erase(memory) == 0) {
        k.report(k.freedBlocks.count(memory) != 0 ? "memory freed twice (LocalFree)"
                                                  : "memory freed that LocalAlloc did not allocate (LocalFree)");
        k.current->lastError = ERROR_INVALID_PARAMETER;
        return memory;  // a failed free hands the block back
    }
    k.freedBlocks.insert(memory);
    // Freed where the race detector sees it: a later access by a thread that
    // nothing orders after this one is reported.
    sim::race::observed([memory] { std::free(memory); });
    --k.liveAllocations;
    return nullptr;
}

// ---- Named devices -----------------------------------------------------------------

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    if (name == nullptr) {
        k.current->lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    auto it = k.devices.find(std::u16string_view(name));
    if (it == k.devices.end()) {
        k.current->lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = ERROR_DEVICE_NOT_AVAILABLE;
    ++k.atomicDepth;  // the device's own code runs without interruption
    const bool opened = it->second->open(access, shareMode, error);
    --k.atomicDepth;
    if (!opened) {
        k.current->lastError = error;
        return INVALID_HANDLE_VALUE;
    }
    return k.addObject(std::make_unique<sim::DeviceFile>(it->second, it->first));
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     LPVOID)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    auto& k = kernelImpl();
    sim::Waitable* w = k.lookupForCall(device, __func__);
    if (w == nullptr || w->kind != sim::Waitable::DeviceFile) {
        k.current->lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    ++k.atomicDepth;  // the device's own code runs without interruption
    const BOOL result = static_cast<sim::DeviceFile*>(w)->device->ioControl(code, in, inSize, out, outSize, returned);
    --k.atomicDepth;
    return result;
}

// ---- Register access --------------------------------------------------------------------

namespace {
// A register access is one bus cycle: the device model behind it runs whole.
struct DeviceCycle {
    DeviceCycle() { ++kernelImpl().atomicDepth; }
    ~DeviceCycle() { --kernelImpl().atomicDepth; }
};

const sim::RegisterRange* rangeOf(const volatile void* address)
{
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    const sim::Kernel::Impl& k = kernelImpl();
    if (a < k.registersLow || a >= k.registersHigh) return nullptr;
    for (const sim::RegisterRange& r : k.registers)
        if (a >= r.begin && a < r.end) return &r;
    return nullptr;
}
}  // namespace

ULONG READ_REGISTER_ULONG(volatile ULONG* reg)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    DeviceCycle cycle;
    if (const sim::RegisterRange* r = rangeOf(reg))
        return r->device->read32(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(reg) - r->begin));
    return *reg;
}

void WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    DeviceCycle cycle;
    if (const sim::RegisterRange* r = rangeOf(reg)) {
        r->device->write32(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(reg) - r->begin), value);
        return;
    }
    *reg = value;
}

namespace {
// An interlocked call on memory that is not a register (the driver's shared
// values): one access and one preemption point, as a shared value's load or
// store, and a full barrier. Driver code run outside a simulated kernel (a
// test of a pure function) makes the access alone.
template <class Word, class Access>
Word interlockedOnMemory(Word volatile* target, Access access)
{
    if (sim::gLiveKernel == nullptr) return access();
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    DeviceCycle cycle;
    sim::race::acquire(const_cast<Word*>(target));
    sim::race::release(const_cast<Word*>(target));
    // One simulated thread runs at a time: a plain read-modify-write is atomic here.
    return access();
}
}  // namespace

LONG InterlockedExchange(LONG volatile* target, LONG value)
{
    return interlockedOnMemory(target, [&] {
        const LONG found = *target;
        *target = value;
        return found;
    });
}

LONG InterlockedExchangeAdd(LONG volatile* target, LONG delta)
{
    return interlockedOnMemory(target, [&] {
        const LONG found = *target;
        *target = static_cast<LONG>(static_cast<ULONG>(found) + static_cast<ULONG>(delta));  // wraps as on the device
        return found;
    });
}

PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value)
{
    return interlockedOnMemory(target, [&] {
        PVOID const found = *target;
        *target = value;
        return found;
    });
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand)
{
    return interlockedOnMemory(target, [&] {
        PVOID const found = *target;
        if (found == comparand) *target = exchange;
        return found;
    });
}

LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand)
{
    if (sim::gLiveKernel == nullptr) {
        const LONG found = *target;
        if (found == comparand) *target = exchange;
        return found;
    }
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    DeviceCycle cycle;
    sim::race::acquire(const_cast<LONG*>(target));  // a full barrier: orders with
    sim::race::release(const_cast<LONG*>(target));  // every exchange on the value
    if (const sim::RegisterRange* r = rangeOf(target)) {
        const auto offset = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(target) - r->begin);
        r->device->beforeCompareExchange(offset);
        const auto found = static_cast<LONG>(r->device->read32(offset));
        if (found == comparand) r->device->write32(offset, static_cast<std::uint32_t>(exchange));
        return found;
    }
    // One simulated thread runs at a time: a plain exchange is atomic here.
    const LONG found = *target;
    if (found == comparand) *target = exchange;
    return found;
}

// ---- Debug output and last error -------------------------------------------------------

void NKDbgPrintfW(LPCWSTR format, ...)
{
    sim::race::KernelScope kernel;
    kernelImpl().preemptionPoint();
    auto& k = kernelImpl();
    std::va_list args;
    va_start(args, format);
    sim::DebugLine line{k.now, k.current->id, sim::formatWide(format, args)};
    va_end(args);
    if (k.debugSink) k.debugSink(line);
    k.debugLog.push_back(std::move(line));
}

void SetLastError(DWORD error)
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    kernelImpl().current->lastError = error;
}

DWORD GetLastError()
{
    sim::race::KernelScope kernel;
    kernelImpl().systemCall(__func__);
    return kernelImpl().current->lastError;
}
