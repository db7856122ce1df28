#include "driver/SerialRequests.h"

#include "channel/ChannelState.h"
#include "driver/DriverContext.h"

#include <cstring>

namespace {

// What the port reports of itself: a user-defined baud rate, eight data bits,
// one stop bit and no parity, queues as large as the two rings.
constexpr WORD kPropertiesPacketLength = 32;
// The receive queue the port has always reported to its clients.
constexpr DWORD kReportedRxQueue = 32;
constexpr DWORD kSettableParamsBaud = 2;
constexpr DWORD kSettableBaud = 8;
constexpr WORD kSettableDataEightBits = 8;
constexpr WORD kSettableStopOneNoParity = 0x0101;
constexpr DWORD kProviderSpecific1 = 0xE73CF52Eu;
constexpr std::size_t kPropertiesTrailerOffset = 62;  // last 16-bit word of the reply
constexpr WORD kPropertiesTrailer = 32;

BOOL invalidParameter()
{
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// A get request needs an output buffer of `needed` bytes and somewhere to
// report the length.
bool outputFits(PBYTE outBuffer, DWORD outLength, PDWORD actualOut, DWORD needed)
{
    return outBuffer != nullptr && actualOut != nullptr && outLength >= needed;
}

// The port keeps what the application sets (timeouts, device-control block)
// and hands it back unchanged.
BOOL setPortRecord(void* record, DWORD size, const BYTE* inBuffer, DWORD inLength)
{
    if (inBuffer == nullptr || inLength < size) {
        return invalidParameter();
    }
    std::memcpy(record, inBuffer, size);
    return TRUE;
}

BOOL getPortRecord(const void* record, DWORD size, PBYTE outBuffer, DWORD outLength, PDWORD actualOut)
{
    if (!outputFits(outBuffer, outLength, actualOut, size)) {
        return invalidParameter();
    }
    std::memcpy(outBuffer, record, size);
    *actualOut = size;
    return TRUE;
}

}  // namespace

void StoreSerialDefaults()
{
    COMMTIMEOUTS& timeouts = gDriver.port.commTimeouts;
    timeouts.ReadIntervalTimeout = 0xFFFFFFFFu;
    timeouts.ReadTotalTimeoutMultiplier = 10;
    timeouts.ReadTotalTimeoutConstant = 900;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 1000;

    DCB& dcb = gDriver.port.dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 256000;
    // Together these make the flag word 0x00000CEF.
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = 1;
    dcb.fTXContinueOnXoff = 1;
    dcb.fErrorChar = 1;
    dcb.fNull = 1;
    dcb.ByteSize = 8;
    dcb.EofChar = static_cast<char>(0xFF);
}

BOOL GetSerialProperties(PBYTE outBuffer, DWORD outLength, PDWORD actualOut)
{
    if (!outputFits(outBuffer, outLength, actualOut, sizeof(COMMPROP))) {
        return invalidParameter();
    }
    COMMPROP properties;
    std::memset(&properties, 0, sizeof properties);
    properties.wPacketLength = kPropertiesPacketLength;
    properties.dwMaxTxQueue = kOutputRingSize;
    properties.dwMaxRxQueue = kReportedRxQueue;
    properties.dwMaxBaud = BAUD_USER;
    properties.dwSettableParams = kSettableParamsBaud;
    properties.dwSettableBaud = kSettableBaud;
    properties.wSettableData = kSettableDataEightBits;
    properties.wSettableStopParity = kSettableStopOneNoParity;
    properties.dwCurrentTxQueue = kOutputRingSize;
    properties.dwCurrentRxQueue = kReportedRxQueue;
    properties.dwProvSpec1 = kProviderSpecific1;
    std::memcpy(outBuffer, &properties, sizeof properties);
    std::memcpy(outBuffer + kPropertiesTrailerOffset, &kPropertiesTrailer, sizeof kPropertiesTrailer);
    *actualOut = sizeof(COMMPROP);
    return TRUE;
}

BOOL SetSerialTimeouts(const BYTE* inBuffer, DWORD inLength)
{
    return setPortRecord(&gDriver.port.commTimeouts, sizeof(COMMTIMEOUTS), inBuffer, inLength);
}

BOOL GetSerialTimeouts(PBYTE outBuffer, DWORD outLength, PDWORD actualOut)
{
    return getPortRecord(&gDriver.port.commTimeouts, sizeof(COMMTIMEOUTS), outBuffer, outLength, actualOut);
}

BOOL SetSerialDcb(const BYTE* inBuffer, DWORD inLength)
{
    return setPortRecord(&gDriver.port.dcb, sizeof(DCB), inBuffer, inLength);
}

BOOL GetSerialDcb(PBYTE outBuffer, DWORD outLength, PDWORD actualOut)
{
    return getPortRecord(&gDriver.port.dcb, sizeof(DCB), outBuffer, outLength, actualOut);
}

// Copies the input to the output with the order of its 16-bit words reversed
// (bytes keep their order inside a word). An odd last input byte is not used;
// its place in the output is 0. The words are gathered in a zero-filled work
// buffer first, so the output may be the input buffer itself.
BOOL ReverseWords(const BYTE* inBuffer, DWORD inLength, PBYTE outBuffer, DWORD outLength, PDWORD actualOut)
{
    constexpr DWORD kWorkSlack = 2;
    if (inBuffer == nullptr || outBuffer == nullptr || outLength < inLength || inLength > 0xFFFFFFFFu - kWorkSlack) {
        return invalidParameter();
    }
    auto* work = static_cast<BYTE*>(LocalAlloc(LPTR, inLength + kWorkSlack));
    if (work == nullptr) {
        return invalidParameter();
    }
    const DWORD words = inLength / 2;
    for (DWORD i = 0; i < words; ++i) {
        const DWORD from = 2 * (words - 1 - i);
        work[2 * i] = inBuffer[from];
        work[2 * i + 1] = inBuffer[from + 1];
    }
    std::memcpy(outBuffer, work, inLength);
    LocalFree(work);
    if (actualOut != nullptr) {
        *actualOut = inLength;
    }
    return TRUE;
}
