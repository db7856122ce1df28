// A fault inside a guarded call (a bad pointer handed in by a caller) ends the
// call instead of the process, as structured exception handling does on the
// target: a SIGSEGV or SIGBUS handler jumps back to the guard.
#include "platform/ce/WinCE.h"

#include <csetjmp>
#include <csignal>

namespace {
thread_local sigjmp_buf* gGuard = nullptr;

void onFault(int)
{
    if (gGuard != nullptr) siglongjmp(*gGuard, 1);
    std::signal(SIGSEGV, SIG_DFL);
    std::raise(SIGSEGV);
}
}  // namespace

BOOL CeGuardedCall(void (*body)(void* context), void* context)
{
    struct sigaction fault {}, oldSegv {}, oldBus {};
    fault.sa_handler = onFault;
    sigemptyset(&fault.sa_mask);
    fault.sa_flags = SA_NODEFER;
    sigaction(SIGSEGV, &fault, &oldSegv);
    sigaction(SIGBUS, &fault, &oldBus);

    sigjmp_buf here;
    sigjmp_buf* outer = gGuard;
    BOOL result = TRUE;
    if (sigsetjmp(here, 1) == 0) {
        gGuard = &here;
        body(context);
    } else {
        result = FALSE;
    }
    gGuard = outer;
    sigaction(SIGSEGV, &oldSegv, nullptr);
    sigaction(SIGBUS, &oldBus, nullptr);
    return result;
}
