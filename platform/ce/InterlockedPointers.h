// The pointer forms of the interlocked calls where a pointer is 32 bits (the
// device, and the 32-bit DLL): the 32-bit calls on the same word. Included by
// WinCE.h once LONG, PVOID and the 32-bit calls are declared.
#pragma once

inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand)
{
    return reinterpret_cast<PVOID>(InterlockedCompareExchange(
        reinterpret_cast<LONG volatile*>(target), reinterpret_cast<LONG>(exchange), reinterpret_cast<LONG>(comparand)));
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value)
{
    return reinterpret_cast<PVOID>(
        InterlockedExchange(reinterpret_cast<LONG volatile*>(target), reinterpret_cast<LONG>(value)));
}
