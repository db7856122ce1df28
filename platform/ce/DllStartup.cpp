// The library's entry point in the device build. A Windows CE module brings
// no C runtime of its own: coredll.dll is the C library, and nothing else is
// there to run the static constructors before the loader calls DllMain. So the
// loader enters here (the link names this routine as the entry point): on
// process attach the constructors run, then DllMain; on process detach
// DllMain, then the destructors. Every other reason goes to DllMain alone.
// Compiled only in the device build.
#include "platform/ce/WinCE.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

namespace {

using StaticRoutine = void (*)();

}  // namespace

// The linker gathers the compiler's .ctors and .dtors sections into two lists
// and names their starts: a word that is -1 (or the count), the routines, and
// a terminating zero.
extern "C" StaticRoutine __CTOR_LIST__[];
extern "C" StaticRoutine __DTOR_LIST__[];

namespace {

bool gConstructed = false;

// Constructors run from the end of the list back: the compiler files an
// object's constructor after those of the objects it depends on.
void runConstructors()
{
    unsigned count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr) ++count;
    for (unsigned i = count; i >= 1; --i) __CTOR_LIST__[i]();
    gConstructed = true;
}

// Destructors run in list order, once, and only after the constructors.
void runDestructors()
{
    if (!gConstructed) return;
    gConstructed = false;
    for (StaticRoutine* routine = __DTOR_LIST__ + 1; *routine != nullptr; ++routine) (*routine)();
}

}  // namespace

extern "C" BOOL WINAPI CorvaneDllStartup(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) runConstructors();
    const BOOL result = DllMain(module, reason, reserved);
    // A refused attach is followed by no detach: undo the constructors now.
    if (reason == DLL_PROCESS_DETACH || (reason == DLL_PROCESS_ATTACH && !result)) runDestructors();
    return result;
}
