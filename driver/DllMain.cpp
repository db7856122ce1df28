// The library's DllMain in the device build: the entry point the loader calls
// (platform/ce/DllStartup.cpp) runs the static constructors first and then
// hands every reason here (process and thread attach and detach); the
// driver's own entry routine answers. The host calls that routine directly.
#include "driver/Lifecycle.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    return CorvaneDllEntry(module, reason, reserved);
}
