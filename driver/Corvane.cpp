#include "driver/Corvane.h"

#include "channel/ChannelState.h"
#include "driver/ControlRequests.h"
#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "driver/SerialRequests.h"

#include <cstdint>

namespace {

// A driver without XXX_PreDeinit is not told of its unload before XXX_Deinit
// runs, so an application's read, write or request may still be inside it
// then, or come in while it runs. Each such call is counted while it runs
// and one that finds the unload under way leaves at once: the unload deletes
// the rings' and the parser's locks, and closes the bus, only once no call is
// under way.
class EntryCall {
public:
    EntryCall()
    {
        gDriver.lifecycle.applicationCallsUnderWay.fetchAdd(1);
        refused_ = gDriver.lifecycle.unloading.load() != 0;
    }
    ~EntryCall() { gDriver.lifecycle.applicationCallsUnderWay.fetchAdd(static_cast<std::uint32_t>(-1)); }
    EntryCall(const EntryCall&) = delete;
    EntryCall& operator=(const EntryCall&) = delete;
    bool refused() const { return refused_; }

private:
    bool refused_ = false;
};

BOOL dispatchIoControl(DWORD code, PBYTE inBuffer, DWORD inLength, PBYTE outBuffer, DWORD outLength, PDWORD actualOut);

}  // namespace

DWORD COM_Open(DWORD deviceContext, DWORD accessCode, DWORD shareMode)
{
    return kOpenContext;
}

BOOL COM_Close(DWORD openContext)
{
    return TRUE;
}

// Hands over what the output ring holds, at most 72 bytes a call; never waits.
DWORD COM_Read(DWORD openContext, LPVOID buffer, DWORD count)
{
    if (buffer == nullptr) {
        return 0;  // nothing is taken that the caller could not receive
    }
    const EntryCall call;
    if (call.refused()) return 0;
    const DWORD wanted = count < kMaxReadBytes ? count : kMaxReadBytes;
    const std::int32_t taken =
        gDriver.channel.outputRing.read(static_cast<std::uint8_t*>(buffer), static_cast<std::int32_t>(wanted));
    return static_cast<DWORD>(taken);
}

// Feeds the application's bytes into the input ring for the command reader.
// The count goes to the ring as a signed number: a count of 2^31 or more
// stores nothing.
DWORD COM_Write(DWORD openContext, LPCVOID buffer, DWORD count)
{
    if (buffer == nullptr) {
        return 0;
    }
    const EntryCall call;
    if (call.refused()) return 0;
    const std::int32_t stored =
        gDriver.channel.inputRing.write(static_cast<const std::uint8_t*>(buffer), static_cast<std::int32_t>(count));
    return static_cast<DWORD>(stored);
}

DWORD COM_Seek(DWORD openContext, LONG amount, WORD type)
{
    return 0;
}

BOOL COM_IOControl(DWORD openContext, DWORD code, PBYTE inBuffer, DWORD inLength, PBYTE outBuffer, DWORD outLength,
                   PDWORD actualOut)
{
    const EntryCall call;
    if (call.refused()) return FALSE;
    return dispatchIoControl(code, inBuffer, inLength, outBuffer, outLength, actualOut);
}

namespace {

BOOL dispatchIoControl(DWORD code, PBYTE inBuffer, DWORD inLength, PBYTE outBuffer, DWORD outLength, PDWORD actualOut)
{
    switch (code) {
    case IOCTL_SERIAL_GET_PROPERTIES:
        return GetSerialProperties(outBuffer, outLength, actualOut);
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return SetSerialTimeouts(inBuffer, inLength);
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return GetSerialTimeouts(outBuffer, outLength, actualOut);
    case IOCTL_SERIAL_GET_DCB:
        return GetSerialDcb(outBuffer, outLength, actualOut);
    case IOCTL_SERIAL_SET_DCB:
        return SetSerialDcb(inBuffer, inLength);
    case IOCTL_TMC_REVERSE_WORDS:
        return ReverseWords(inBuffer, inLength, outBuffer, outLength, actualOut);

    // Serial requests the port has nothing to do for (the rings are not purged
    // either): FALSE, and the last error is left as it was.
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_GET_WAIT_MASK:
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
    case IOCTL_SERIAL_GET_COMMSTATUS:
    case IOCTL_SERIAL_GET_MODEMSTATUS:
    case IOCTL_SERIAL_PURGE:
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
    case IOCTL_SERIAL_ENABLE_IR:
    case IOCTL_SERIAL_DISABLE_IR:
        return FALSE;

    case IOCTL_POWER_CAPABILITIES:
    case IOCTL_POWER_GET:
    case IOCTL_POWER_SET:
    case IOCTL_POWER_QUERY:
        return HandlePowerRequest(code, inBuffer, inLength, outBuffer, outLength, actualOut);

    case IOCTL_TMC_COMMAND:
    case IOCTL_TMC_RECOVER:
    case IOCTL_TMC_SUSPEND_RESUME:
        return HandlePrivateRequest(code, inBuffer, inLength, outBuffer, outLength, actualOut);

    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
}

}  // namespace
