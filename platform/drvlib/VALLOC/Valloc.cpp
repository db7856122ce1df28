#include "platform/drvlib/VALLOC/Valloc.h"

#include "platform/Diagnostics.h"

#include <cstdint>

namespace {

constexpr DWORD kPageMask = 0xFFF;
constexpr DWORD kPageSize = 0x1000;
constexpr DWORD kUncachedReadWrite = PAGE_READWRITE | PAGE_NOCACHE;  // 0x204

// Where the failures are reported from.
constexpr int kVirtualAllocFailedLine = 45;
constexpr int kVirtualCopyFailedLine = 51;

}  // namespace

PVOID MapWindow(DWORD size, LPCWSTR label, DWORD base)
{
    // The copy works on whole pages: a base inside a page needs one page more.
    const DWORD offset = base & kPageMask;
    if (offset != 0) {
        size += kPageSize;
    }

    PVOID reserved = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
    if (reserved == nullptr) {
        const DWORD error = GetLastError();
        PrintErrorLocation(kSourceValloc, kVirtualAllocFailedLine);
        NKDbgPrintfW(TEXT("VirtualAlloc failed! %s : size=0x%x, (0x%x)\r\n"), label, size, error);
        return nullptr;
    }

    PVOID pageBase = reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(base - offset));
    if (!VirtualCopy(reserved, pageBase, size, kUncachedReadWrite)) {
        const DWORD error = GetLastError();
        PrintErrorLocation(kSourceValloc, kVirtualCopyFailedLine);
        NKDbgPrintfW(TEXT("VirtualCopy failed! %s : addr=0x%x, offset=0x%x(0x%x)\r\n"), label, base, offset, error);
        // Give the reserved address space back: nobody else holds it.
        VirtualFree(reserved, 0, MEM_RELEASE);
        return nullptr;
    }
    return static_cast<BYTE*>(reserved) + offset;
}
