// A fault inside a guarded call (a bad pointer handed in by a caller) ends the
// call instead of the process, as structured exception handling does on the
// target: a SIGSEGV or SIGBUS handler jumps back to the guard. Guards belong to
// the simulated thread (a thread may lose the processor inside its guarded
// call), and the handlers stay installed while any thread is inside one.
#include "sim/kernel/KernelImpl.h"
#include "sim/kernel/RaceDetector.h"

#include <csetjmp>
#include <csignal>

namespace {
unsigned gActiveGuards = 0;
struct sigaction gOldSegv {
}, gOldBus{};

void onFault(int)
{
    if (sim::Kernel::exists()) {
        if (auto* guard = static_cast<sigjmp_buf*>(sim::kernelImpl().current->faultGuard)) siglongjmp(*guard, 1);
    }
    std::signal(SIGSEGV, SIG_DFL);
    std::raise(SIGSEGV);
}
}  // namespace

BOOL CeGuardedCall(void (*body)(void* context), void* context)
{
    {
        sim::race::KernelScope kernel;  // the body that follows is the caller's and observed
        sim::kernelImpl().preemptionPoint();
    }
    if (gActiveGuards++ == 0) {
        struct sigaction fault {};
        fault.sa_handler = onFault;
        sigemptyset(&fault.sa_mask);
        fault.sa_flags = SA_NODEFER;
        sigaction(SIGSEGV, &fault, &gOldSegv);
        sigaction(SIGBUS, &fault, &gOldBus);
    }
    sim::Thread* self = sim::kernelImpl().current;
    sigjmp_buf here;
    void* outer = self->faultGuard;
    const std::uint32_t depth = sim::kernelImpl().atomicDepth;
    BOOL result = TRUE;
    if (sigsetjmp(here, 1) == 0) {
        self->faultGuard = &here;
        body(context);
    } else {
        result = FALSE;
        sim::kernelImpl().atomicDepth = depth;  // a fault inside a device call left it raised
    }
    self->faultGuard = outer;
    if (--gActiveGuards == 0) {
        sigaction(SIGSEGV, &gOldSegv, nullptr);
        sigaction(SIGBUS, &gOldBus, nullptr);
    }
    return result;
}
