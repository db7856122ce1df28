// CeGuardedCall on the device: a fault while the body touches a caller's
// buffer (an access violation the processor raises and the kernel turns into
// a structured exception) ends the body and makes the call return FALSE,
// instead of taking down the device manager's process with the driver in it.
// Compiled only in the device build; the host's guard is in sim/.
#include "platform/ce/WinCE.h"

#if defined(_MSC_VER)

// The device's own compiler has structured exception handling built in.
BOOL CeGuardedCall(void (*body)(void* context), void* context)
{
    __try {
        body(context);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return FALSE;
    }
    return TRUE;
}

#else

// GCC has no __try, so the frame is installed by hand, as the compiler's own
// code would on 32-bit x86: FS:[0] holds the head of the thread's chain of
// registration records (next record, handler), each record on the stack of
// the function that installed it. On an exception the kernel walks the chain
// from the head and calls each handler with the address of its record until
// one takes the exception.
namespace {

struct GuardFrame {
    EXCEPTION_REGISTRATION_RECORD registration;  // first: the kernel hands its address back
    void* resume[5];                             // where CeGuardedCall reports the fault
};

EXCEPTION_DISPOSITION NTAPI onException(EXCEPTION_RECORD* record, PVOID establisher, CONTEXT*, PVOID)
{
    // Unwinding on behalf of an outer handler: nothing of ours to clean up.
    if (IS_UNWINDING(record->ExceptionFlags)) return ExceptionContinueSearch;
    // Every exception is taken (as EXCEPTION_EXECUTE_HANDLER does). The body
    // installs no frames of its own, so removing ours restores the chain as
    // it was before the call; then back into CeGuardedCall, leaving the
    // kernel's dispatch frames below on the abandoned part of the stack.
    auto* frame = static_cast<GuardFrame*>(establisher);
    __writefsdword(0, reinterpret_cast<DWORD>(frame->registration.Next));
    __builtin_longjmp(frame->resume, 1);
}

}  // namespace

BOOL CeGuardedCall(void (*body)(void* context), void* context)
{
    GuardFrame frame;
    frame.registration.Next = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(__readfsdword(0));
    frame.registration.Handler = onException;
    if (__builtin_setjmp(frame.resume) != 0) return FALSE;  // the handler has already restored FS:[0]
    __writefsdword(0, reinterpret_cast<DWORD>(&frame.registration));
    body(context);
    __writefsdword(0, reinterpret_cast<DWORD>(frame.registration.Next));
    return TRUE;
}

#endif
