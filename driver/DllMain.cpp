// The library's entry point in the device build: the C runtime's start-up code
// runs the static initialisers and then calls DllMain for every reason the
// loader has (process and thread attach and detach); the driver's own entry
// routine answers. The host calls that routine directly.
#include "driver/Lifecycle.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    return CorvaneDllEntry(module, reason, reserved);
}
