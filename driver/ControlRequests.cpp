#include "driver/ControlRequests.h"

// Not yet acting on the requests: power transitions and the private commands
// arrive with the driver lifecycle. Until then each request does nothing and
// answers FALSE, as it will then.

BOOL HandlePowerRequest(DWORD code, PBYTE inBuffer, DWORD inLength, PBYTE outBuffer, DWORD outLength,
                        PDWORD actualOut)
{
    return FALSE;
}

BOOL HandlePrivateRequest(DWORD code, PBYTE inBuffer, DWORD inLength, PBYTE outBuffer, DWORD outLength,
                          PDWORD actualOut)
{
    return FALSE;
}
