// The power-management requests and the driver's private requests. Every one
// of them answers FALSE, whatever it did: power managers and applications
// written for this driver rely on that. None sets the last error.
#include "driver/ControlRequests.h"

#include "channel/Commands.h"
#include "control/Control.h"
#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "driver/Lifecycle.h"
#include "tuner/Tuner.h"

#include <cstring>

namespace {

constexpr DWORD kPowerCapabilitiesBytes = sizeof(POWER_CAPABILITIES);  // 48
constexpr UCHAR kSupportedStates = 0x1F;                               // D0 to D4
constexpr DWORD kCommandLimit = 24;                                    // bytes of a private command taken
constexpr DWORD kCommandPrefixBytes = 6;                               // "$PLTCM", skipped unchecked

inline constexpr const WCHAR* kMsgPowerGet = TEXT("Corvane::IOCTL_POWER_GET:passing back %u\r\n");
inline constexpr const WCHAR* kMsgInvalidState = TEXT("Corvane::Invaild state request D%u\r\n");
inline constexpr const WCHAR* kMsgPowerSet = TEXT("Corvane: IOCTL_POWER_SET to D%u CurrentDx D%u\r\n");
inline constexpr const WCHAR* kMsgPowerQuery = TEXT("Corvane::IOCTL_POWER_QUERY%s\r\n");
inline constexpr const WCHAR* kMsgSucceeded = TEXT("succeeded");
inline constexpr const WCHAR* kMsgFailed = TEXT("failed");
inline constexpr const WCHAR* kMsgIoctlException = TEXT("Corvane::exception in ioctl\r\n");

struct PowerCall {
    DWORD code;
    PBYTE out;
    DWORD outLength;
    PDWORD actualOut;
    bool faulted = false;  // a missing pointer, reported like a fault on it
};

DWORD loadDword(const BYTE* p)
{
    DWORD value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

void storeDword(BYTE* p, DWORD value)
{
    std::memcpy(p, &value, sizeof value);
}

// The work of one power request; runs under the fault guard because it
// touches the caller's buffers.
void runPowerRequest(void* context)
{
    PowerCall& call = *static_cast<PowerCall*>(context);
    LifecycleState& life = gDriver.lifecycle;
    switch (call.code) {
    case IOCTL_POWER_CAPABILITIES: {
        if (call.out == nullptr || call.actualOut == nullptr || call.outLength < kPowerCapabilitiesBytes) return;
        POWER_CAPABILITIES caps{};
        caps.DeviceDx = kSupportedStates;
        std::memcpy(call.out, &caps, sizeof caps);
        *call.actualOut = kPowerCapabilitiesBytes;
        return;
    }
    case IOCTL_POWER_GET: {
        if (call.out == nullptr || call.outLength < sizeof(DWORD)) return;
        const DWORD dx = life.currentDx.load();
        storeDword(call.out, dx);
        NKDbgPrintfW(kMsgPowerGet, dx);
        return;
    }
    case IOCTL_POWER_SET: {
        if (call.out == nullptr || call.outLength < sizeof(DWORD)) return;
        const DWORD d = loadDword(call.out);
        if (d > D4) {
            NKDbgPrintfW(kMsgInvalidState, d);
            return;
        }
        NKDbgPrintfW(kMsgPowerSet, d, life.currentDx.load());
        SetPowerManagerState(d);
        life.currentDx.store(d);
        // The caller's length pointer is not checked before the work is done:
        // a missing one is reported like a bad one, after the fact.
        if (call.actualOut == nullptr) {
            call.faulted = true;
            return;
        }
        *call.actualOut = sizeof(DWORD);
        return;
    }
    case IOCTL_POWER_QUERY: {
        if (call.out == nullptr || call.outLength < sizeof(DWORD)) return;
        NKDbgPrintfW(kMsgPowerQuery, loadDword(call.out) <= D4 ? kMsgSucceeded : kMsgFailed);
        return;
    }
    default:
        return;
    }
}

void runCommandRequest(const BYTE* in, DWORD inLength)
{
    if (gDriver.lifecycle.driverState.load() != kDriverRunning) return;
    // Lengths of 2^31 and more are cut to the limit like any other long input.
    const DWORD n = inLength > kCommandLimit ? kCommandLimit : inLength;
    // The parser needs at least the comma and the command letter after the
    // skipped prefix: shorter input (or none) is refused.
    if (in == nullptr || n <= kCommandPrefixBytes) return;
    char text[kCommandLimit + 1];
    for (DWORD i = 0; i < n; ++i) {
        const auto c = static_cast<signed char>(in[i]);
        text[i] = c < 0x20 ? ' ' : static_cast<char>(c);  // control bytes and 0x80..0xFF become blanks
    }
    text[n] = 0;
    parseCommand(text + kCommandPrefixBytes);
}

// The recovery tunes back to recoveryFrequency. Only a power-down or the
// control loop's own trigger store it, so without this the application's
// request would retune to a stale frequency (87.5 MHz after start-up) and
// lose the station. While a recovery or a power-down is pending the stored
// frequency is the right one already (ChannelFrequency answers it then). A
// request while the receiver is powered down or unloading is dropped: the
// power-up asks for its own recovery, and a recovery now would bring the chip
// up under a driver that says it is off.
void requestRecovery()
{
    ControlState& control = gDriver.control;
    const std::uint8_t pending = control.controlRequest.load();
    if (pending == kRequestShutdown || pending == kRequestPoweredDown) return;
    control.recoveryFrequency.store(KeptFrequency());
    PostRequest(kRequestRecover);
}

}  // namespace

BOOL HandlePowerRequest(DWORD code, PBYTE inBuffer, DWORD inLength, PBYTE outBuffer, DWORD outLength, PDWORD actualOut)
{
    PowerCall call{code, outBuffer, outLength, actualOut};
    if (!CeGuardedCall(runPowerRequest, &call) || call.faulted) NKDbgPrintfW(kMsgIoctlException);
    return FALSE;
}

BOOL HandlePrivateRequest(DWORD code, PBYTE inBuffer, DWORD inLength, PBYTE outBuffer, DWORD outLength,
                          PDWORD actualOut)
{
    switch (code) {
    case IOCTL_TMC_COMMAND:
        runCommandRequest(inBuffer, inLength);
        break;
    case IOCTL_TMC_RECOVER:
        requestRecovery();
        break;
    case IOCTL_TMC_SUSPEND_RESUME:
        if (inBuffer == nullptr || inLength != 1) break;
        if (inBuffer[0] == 1) {
            SetAppSuspended(false);
        } else if (inBuffer[0] == 2) {
            SetAppSuspended(true);
        }
        break;
    default:
        break;
    }
    return FALSE;
}
