#include "driver/Corvane.h"

#include "driver/IoControlCodes.h"
#include "tests/driver/LoadedPort.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

class SerialPortTest : public LoadedPort {
protected:
    void queueOutput(const std::string& text)
    {
        ASSERT_EQ(gDriver.channel.outputRing.write(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                   static_cast<std::int32_t>(text.size())),
                  static_cast<std::int32_t>(text.size()));
    }
    std::string readPort(DWORD count)
    {
        std::vector<char> buffer(count + 1, '\0');
        const DWORD got = COM_Read(kOpenContext, buffer.data(), count);
        return {buffer.data(), got};
    }
    std::string drainInput()
    {
        std::array<std::uint8_t, 512> buffer{};
        const auto got = gDriver.channel.inputRing.read(buffer.data(), 512);
        return {reinterpret_cast<char*>(buffer.data()), static_cast<std::size_t>(got)};
    }
    // Calls COM_IOControl with the last error preset to a marker, so that a
    // request that sets no error code shows it.
    BOOL ioControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* actual)
    {
        SetLastError(kUntouched);
        return COM_IOControl(kOpenContext, code, static_cast<PBYTE>(const_cast<void*>(in)), inLength,
                             static_cast<PBYTE>(out), outLength, actual);
    }

    static constexpr DWORD kUntouched = 0xC0FFEE;
};

TEST_F(SerialPortTest, OpenCloseAndSeekKeepNoState)
{
    EXPECT_EQ(COM_Open(kDeviceContext, GENERIC_READ | GENERIC_WRITE, 0), 0x5678u);
    EXPECT_EQ(COM_Open(0, 0, FILE_SHARE_READ), 0x5678u);
    EXPECT_EQ(COM_Close(0x5678), TRUE);
    EXPECT_EQ(COM_Seek(0x5678, 100, 1), 0u);
}

TEST_F(SerialPortTest, ReadHandsOverAtMost72BytesAndNeverWaits)
{
    char untouched[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(COM_Read(kOpenContext, untouched, 4), 0u);
    EXPECT_EQ(std::string(untouched, 4), "xxxx");
    EXPECT_EQ(kernel.now(), 0u);

    std::string queued;
    for (int i = 0; i < 100; ++i) {
        queued += static_cast<char>('A' + i % 26);
    }
    queueOutput(queued);
    EXPECT_EQ(readPort(1000), queued.substr(0, 72));
    EXPECT_EQ(readPort(5), queued.substr(72, 5));
    EXPECT_EQ(readPort(1000), queued.substr(77));
    EXPECT_EQ(readPort(1000), "");

    // No buffer to receive them: nothing is taken from the ring.
    queueOutput("$KEEP*00\r\n");
    EXPECT_EQ(COM_Read(kOpenContext, nullptr, 10), 0u);
    EXPECT_EQ(readPort(72), "$KEEP*00\r\n");
}

TEST_F(SerialPortTest, WriteStoresWhatTheInputRingAllows)
{
    const std::string command = "$PLTCM,+\r\n";
    EXPECT_EQ(COM_Write(kOpenContext, command.data(), static_cast<DWORD>(command.size())), command.size());
    EXPECT_EQ(drainInput(), command);

    std::string longText(200, '\0');
    for (std::size_t i = 0; i < longText.size(); ++i) {
        longText[i] = static_cast<char>(' ' + i % 90);
    }
    EXPECT_EQ(COM_Write(kOpenContext, longText.data(), 200), 31u);
    EXPECT_EQ(drainInput(), longText.substr(0, 31));

    gDriver.channel.inputRing.reset(kInputRingReaderSize);
    EXPECT_EQ(COM_Write(kOpenContext, longText.data(), 200), 127u);
    EXPECT_EQ(drainInput(), longText.substr(0, 127));

    // A count of 2^31 or more is negative as a signed count: nothing is stored.
    EXPECT_EQ(COM_Write(kOpenContext, longText.data(), 0x80000000u), 0u);
    EXPECT_EQ(COM_Write(kOpenContext, nullptr, 10), 0u);
    EXPECT_EQ(drainInput(), "");
}

TEST_F(SerialPortTest, PropertiesReplyIsTheFixed64Bytes)
{
    // Little-endian image of the reply.
    const Bytes expected = {
        32, 0, 0, 0,                    // wPacketLength 32, wPacketVersion 0
        0, 0, 0, 0, 0, 0, 0, 0,         // dwServiceMask, dwReserved1
        0x00, 0x02, 0, 0,               // dwMaxTxQueue 512
        32, 0, 0, 0,                    // dwMaxRxQueue 32
        0, 0, 0, 0x10,                  // dwMaxBaud: user-defined
        0, 0, 0, 0, 0, 0, 0, 0,         // dwProvSubType, dwProvCapabilities
        2, 0, 0, 0,                     // dwSettableParams: baud rate
        8, 0, 0, 0,                     // dwSettableBaud
        8, 0, 0x01, 0x01,               // wSettableData, wSettableStopParity
        0x00, 0x02, 0, 0,               // dwCurrentTxQueue 512
        32, 0, 0, 0,                    // dwCurrentRxQueue 32
        0x2E, 0xF5, 0x3C, 0xE7,         // dwProvSpec1
        0, 0, 0, 0,                     // dwProvSpec2
        0, 0, 32, 0,                    // wcProvChar[0], last word 32
    };
    ASSERT_EQ(expected.size(), 64u);

    Bytes reply(64, 0xAA);
    DWORD actual = 0;
    EXPECT_EQ(ioControl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, reply.data(), 64, &actual), TRUE);
    EXPECT_EQ(actual, 64u);
    EXPECT_EQ(reply, expected);

    // Refused without writing a byte: short buffer, no buffer, nowhere to put the length.
    Bytes untouched(64, 0xAA);
    actual = 7;
    EXPECT_EQ(ioControl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, untouched.data(), 63, &actual), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ioControl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, nullptr, 64, &actual), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ioControl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, untouched.data(), 64, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(untouched, Bytes(64, 0xAA));
    EXPECT_EQ(actual, 7u);
}

TEST_F(SerialPortTest, TimeoutsStartAtTheDefaultsAndReadBackWhatWasSet)
{
    std::array<DWORD, 5> timeouts{};
    DWORD actual = 0;
    EXPECT_EQ(ioControl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, timeouts.data(), 20, &actual), TRUE);
    EXPECT_EQ(actual, 20u);
    EXPECT_EQ(timeouts, (std::array<DWORD, 5>{0xFFFFFFFFu, 10, 900, 10, 1000}));

    const std::array<DWORD, 5> chosen{50, 1, 2, 3, 4};
    EXPECT_EQ(ioControl(IOCTL_SERIAL_SET_TIMEOUTS, chosen.data(), 20, nullptr, 0, nullptr), TRUE);

    // A short or missing input changes nothing.
    const std::array<DWORD, 5> ignored{9, 9, 9, 9, 9};
    EXPECT_EQ(ioControl(IOCTL_SERIAL_SET_TIMEOUTS, ignored.data(), 19, nullptr, 0, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ioControl(IOCTL_SERIAL_SET_TIMEOUTS, nullptr, 20, nullptr, 0, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    std::array<DWORD, 5> untouched{7, 7, 7, 7, 7};
    EXPECT_EQ(ioControl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, untouched.data(), 19, &actual), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(untouched, (std::array<DWORD, 5>{7, 7, 7, 7, 7}));

    EXPECT_EQ(ioControl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, timeouts.data(), 64, &actual), TRUE);
    EXPECT_EQ(timeouts, chosen);
}

TEST_F(SerialPortTest, DcbStartsAtTheDefaultsAndReadsBackWhatWasSet)
{
    const Bytes defaults = {
        28, 0, 0, 0,             // DCBlength
        0x00, 0xE8, 0x03, 0x00,  // BaudRate 256000
        0xEF, 0x0C, 0, 0,        // flag word
        0, 0, 0, 0, 0, 0,        // wReserved, XonLim, XoffLim
        8, 0, 0,                 // ByteSize, Parity none, one stop bit
        0, 0, 0,                 // XonChar, XoffChar, ErrorChar
        0xFF, 0,                 // EofChar, EvtChar
        0, 0,                    // wReserved1
    };
    Bytes dcb(28, 0xAA);
    DWORD actual = 0;
    EXPECT_EQ(ioControl(IOCTL_SERIAL_GET_DCB, nullptr, 0, dcb.data(), 28, &actual), TRUE);
    EXPECT_EQ(actual, 28u);
    EXPECT_EQ(dcb, defaults);

    Bytes chosen(28);
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        chosen[i] = static_cast<std::uint8_t>(0x40 + i);
    }
    EXPECT_EQ(ioControl(IOCTL_SERIAL_SET_DCB, chosen.data(), 28, nullptr, 0, nullptr), TRUE);

    const Bytes ignored(28, 0x99);
    EXPECT_EQ(ioControl(IOCTL_SERIAL_SET_DCB, ignored.data(), 27, nullptr, 0, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ioControl(IOCTL_SERIAL_SET_DCB, nullptr, 28, nullptr, 0, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    Bytes untouched(28, 0xAA);
    EXPECT_EQ(ioControl(IOCTL_SERIAL_GET_DCB, nullptr, 0, untouched.data(), 27, &actual), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ioControl(IOCTL_SERIAL_GET_DCB, nullptr, 0, nullptr, 28, &actual), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(untouched, Bytes(28, 0xAA));

    EXPECT_EQ(ioControl(IOCTL_SERIAL_GET_DCB, nullptr, 0, dcb.data(), 28, &actual), TRUE);
    EXPECT_EQ(dcb, chosen);
}

TEST_F(SerialPortTest, RequestsWithoutAnActionFailWithoutAnErrorCode)
{
    queueOutput("$QUEUED*00\r\n");
    const DWORD idle[] = {
        IOCTL_SERIAL_SET_BREAK_ON,   IOCTL_SERIAL_SET_BREAK_OFF,    IOCTL_SERIAL_SET_DTR,
        IOCTL_SERIAL_CLR_DTR,        IOCTL_SERIAL_SET_RTS,          IOCTL_SERIAL_CLR_RTS,
        IOCTL_SERIAL_SET_XOFF,       IOCTL_SERIAL_SET_XON,          IOCTL_SERIAL_GET_WAIT_MASK,
        IOCTL_SERIAL_SET_WAIT_MASK,  IOCTL_SERIAL_WAIT_ON_MASK,     IOCTL_SERIAL_GET_COMMSTATUS,
        IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_PURGE,           IOCTL_SERIAL_SET_QUEUE_SIZE,
        IOCTL_SERIAL_IMMEDIATE_CHAR, IOCTL_SERIAL_ENABLE_IR,        IOCTL_SERIAL_DISABLE_IR,
        IOCTL_POWER_QUERY,           IOCTL_TMC_RECOVER,
    };
    std::array<std::uint8_t, 64> buffer{};
    DWORD actual = 0;
    for (DWORD code : idle) {
        EXPECT_EQ(ioControl(code, buffer.data(), 4, buffer.data(), 64, &actual), FALSE) << std::hex << code;
        EXPECT_EQ(GetLastError(), kUntouched) << std::hex << code;
    }
    // The purge request does not purge: the queued sentence is still there.
    EXPECT_EQ(readPort(72), "$QUEUED*00\r\n");
    EXPECT_EQ(kernel.now(), 0u);
}

TEST_F(SerialPortTest, UnknownCodesFailWithInvalidParameter)
{
    for (DWORD code : {0x1B0021u, 0x1B0060u, 0x1B0000u, 0u, 0x88B85F08u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ioControl(code, nullptr, 0, nullptr, 0, nullptr), FALSE) << std::hex << code;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << std::hex << code;
    }
}

TEST_F(SerialPortTest, ReverseWordsReversesTheWordOrder)
{
    const std::size_t allocationsBefore = kernel.liveAllocations();
    const Bytes even = {1, 2, 3, 4, 5, 6};
    Bytes out(8, 0xEE);
    DWORD actual = 0;
    EXPECT_EQ(ioControl(IOCTL_TMC_REVERSE_WORDS, even.data(), 6, out.data(), 8, &actual), TRUE);
    EXPECT_EQ(actual, 6u);
    EXPECT_EQ(out, (Bytes{5, 6, 3, 4, 1, 2, 0xEE, 0xEE}));
    EXPECT_EQ(GetLastError(), kUntouched);

    // Odd length: the last input byte is not used, its place reads 0, and only
    // the input length is written.
    const Bytes odd = {1, 2, 3, 4, 5};
    out.assign(8, 0xEE);
    EXPECT_EQ(ioControl(IOCTL_TMC_REVERSE_WORDS, odd.data(), 5, out.data(), 5, &actual), TRUE);
    EXPECT_EQ(actual, 5u);
    EXPECT_EQ(out, (Bytes{3, 4, 1, 2, 0, 0xEE, 0xEE, 0xEE}));

    // In place, and without anywhere to report the length.
    Bytes same = {0xA1, 0xA2, 0xB1, 0xB2, 0xC1, 0xC2, 0xD1, 0xD2};
    EXPECT_EQ(ioControl(IOCTL_TMC_REVERSE_WORDS, same.data(), 8, same.data(), 8, nullptr), TRUE);
    EXPECT_EQ(same, (Bytes{0xD1, 0xD2, 0xC1, 0xC2, 0xB1, 0xB2, 0xA1, 0xA2}));

    EXPECT_EQ(ioControl(IOCTL_TMC_REVERSE_WORDS, even.data(), 0, out.data(), 0, &actual), TRUE);
    EXPECT_EQ(actual, 0u);
    EXPECT_EQ(kernel.liveAllocations(), allocationsBefore);
}

TEST_F(SerialPortTest, ReverseWordsRefusesWhatItCannotDoSafely)
{
    const std::size_t allocationsBefore = kernel.liveAllocations();
    const Bytes input = {1, 2, 3, 4, 5, 6};
    Bytes out(6, 0xEE);
    DWORD actual = 99;
    auto expectRefused = [&](const char* what) {
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << what;
        EXPECT_EQ(out, Bytes(6, 0xEE)) << what;
        EXPECT_EQ(actual, 99u) << what;
    };

    EXPECT_EQ(ioControl(IOCTL_TMC_REVERSE_WORDS, nullptr, 6, out.data(), 6, &actual), FALSE);
    expectRefused("no input");
    EXPECT_EQ(ioControl(IOCTL_TMC_REVERSE_WORDS, input.data(), 6, nullptr, 6, &actual), FALSE);
    expectRefused("no output");
    EXPECT_EQ(ioControl(IOCTL_TMC_REVERSE_WORDS, input.data(), 6, out.data(), 5, &actual), FALSE);
    expectRefused("output shorter than input");
    EXPECT_EQ(ioControl(IOCTL_TMC_REVERSE_WORDS, input.data(), 0xFFFFFFFFu, out.data(), 0xFFFFFFFFu, &actual),
              FALSE);
    expectRefused("work buffer size past 2^32");

    kernel.failAllocations(0, 1);
    EXPECT_EQ(ioControl(IOCTL_TMC_REVERSE_WORDS, input.data(), 6, out.data(), 6, &actual), FALSE);
    expectRefused("no work buffer");
    EXPECT_EQ(kernel.liveAllocations(), allocationsBefore);

    // The next allocation succeeds again.
    EXPECT_EQ(ioControl(IOCTL_TMC_REVERSE_WORDS, input.data(), 6, out.data(), 6, &actual), TRUE);
    EXPECT_EQ(out, (Bytes{5, 6, 3, 4, 1, 2}));
}

}  // namespace
