#include "driver/Corvane.h"

#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "tests/support/DriverFixtures.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr DWORD kUntouched = 0xC0FFEE;  // last error preset before each request

class SerialPortTest : public LoadedTest {
protected:
    std::string readPort(DWORD count)
    {
        std::string buffer(count, '\0');
        buffer.resize(COM_Read(kOpenContext, buffer.data(), count));
        return buffer;
    }
    std::string drainInput()
    {
        Bytes b(512);
        b.resize(gDriver.channel.inputRing.read(b.data(), 512));
        return {b.begin(), b.end()};
    }
    BOOL io(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* actual = nullptr)
    {
        SetLastError(kUntouched);
        return COM_IOControl(kOpenContext, code, static_cast<PBYTE>(const_cast<void*>(in)), inLength,
                             static_cast<PBYTE>(out), outLength, actual);
    }
    void expectRefused(BOOL result)
    {
        EXPECT_EQ(result, FALSE);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    DWORD actual = 0;
};

TEST_F(SerialPortTest, OpenReadWriteAndSeek)
{
    EXPECT_EQ(COM_Open(kDeviceContext, GENERIC_READ, 0), 0x5678u);
    EXPECT_EQ(COM_Close(0x5678), TRUE);
    EXPECT_EQ(COM_Seek(0x5678, 100, 1), 0u);
    EXPECT_EQ(readPort(10), "");

    std::string text;
    for (int i = 0; i < 200; ++i) text += static_cast<char>('!' + i % 90);
    gDriver.channel.outputRing.write(reinterpret_cast<const std::uint8_t*>(text.data()), 100);
    EXPECT_EQ(COM_Read(kOpenContext, nullptr, 10), 0u);  // nothing taken without a buffer
    EXPECT_EQ(readPort(1000), text.substr(0, 72));
    EXPECT_EQ(readPort(1000), text.substr(72, 28));

    EXPECT_EQ(COM_Write(kOpenContext, text.data(), 200), 127u);  // input ring at 128
    EXPECT_EQ(drainInput(), text.substr(0, 127));
    EXPECT_EQ(COM_Write(kOpenContext, text.data(), 0x80000000u), 0u);  // negative as a signed count
    EXPECT_EQ(COM_Write(kOpenContext, nullptr, 10), 0u);
    EXPECT_EQ(drainInput(), "");
}

TEST_F(SerialPortTest, PropertiesReply)
{
    const Bytes expected = {32, 0,    0, 0, 0,  0, 0, 0, 0,    0,    0,    0,    0, 2, 0, 0, 32, 0, 0,  0, 0, 0,
                            0,  0x10, 0, 0, 0,  0, 0, 0, 0,    0,    2,    0,    0, 0, 8, 0, 0,  0, 8,  0, 1, 1,
                            0,  2,    0, 0, 32, 0, 0, 0, 0x2E, 0xF5, 0x3C, 0xE7, 0, 0, 0, 0, 0,  0, 32, 0};
    Bytes reply(64, 0xAA);
    EXPECT_EQ(io(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, reply.data(), 64, &actual), TRUE);
    EXPECT_EQ(actual, 64u);
    EXPECT_EQ(reply, expected);

    Bytes untouched(64, 0xAA);
    expectRefused(io(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, untouched.data(), 63, &actual));
    expectRefused(io(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, untouched.data(), 64, nullptr));
    expectRefused(io(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, nullptr, 64, &actual));
    EXPECT_EQ(untouched, Bytes(64, 0xAA));
}

TEST_F(SerialPortTest, TimeoutsAndDcbStartAtDefaultsAndReadBackWhatWasSet)
{
    const Bytes defaultTimeouts = {0xFF, 0xFF, 0xFF, 0xFF, 10, 0, 0, 0, 0x84, 3, 0, 0, 10, 0, 0, 0, 0xE8, 3, 0, 0};
    const Bytes defaultDcb = {28, 0, 0, 0, 0x00, 0xE8, 0x03, 0, 0xEF, 0x0C, 0,    0, 0, 0,
                              0,  0, 0, 0, 8,    0,    0,    0, 0,    0,    0xFF, 0, 0, 0};
    struct Setting {
        DWORD get, set;
        const Bytes& defaults;
    };
    for (const Setting& s : {Setting{IOCTL_SERIAL_GET_TIMEOUTS, IOCTL_SERIAL_SET_TIMEOUTS, defaultTimeouts},
                             Setting{IOCTL_SERIAL_GET_DCB, IOCTL_SERIAL_SET_DCB, defaultDcb}}) {
        const DWORD n = static_cast<DWORD>(s.defaults.size());
        Bytes got(n + 4, 0xAA);
        EXPECT_EQ(io(s.get, nullptr, 0, got.data(), n + 4, &actual), TRUE);
        EXPECT_EQ(actual, n);
        EXPECT_EQ(Bytes(got.begin(), got.begin() + n), s.defaults);
        expectRefused(io(s.get, nullptr, 0, got.data(), n - 1, &actual));

        Bytes chosen(n);
        for (DWORD i = 0; i < n; ++i) chosen[i] = static_cast<std::uint8_t>(0x40 + i);
        EXPECT_EQ(io(s.set, chosen.data(), n, nullptr, 0), TRUE);
        const Bytes other(n, 0x99);  // short or missing input changes nothing
        expectRefused(io(s.set, other.data(), n - 1, nullptr, 0));
        expectRefused(io(s.set, nullptr, n, nullptr, 0));
        EXPECT_EQ(io(s.get, nullptr, 0, got.data(), n, &actual), TRUE);
        EXPECT_EQ(Bytes(got.begin(), got.begin() + n), chosen);
    }
}

TEST_F(SerialPortTest, IdleRequestsLeaveTheLastErrorAndUnknownCodesSet87)
{
    gDriver.channel.outputRing.write(reinterpret_cast<const std::uint8_t*>("$Q*00\r\n"), 7);
    Bytes buffer(64);
    for (DWORD code = IOCTL_SERIAL_SET_BREAK_ON; code <= IOCTL_SERIAL_DISABLE_IR; code += 4) {
        const bool answered = code == IOCTL_SERIAL_GET_PROPERTIES || code == IOCTL_SERIAL_SET_TIMEOUTS ||
                              code == IOCTL_SERIAL_GET_TIMEOUTS || code == IOCTL_SERIAL_GET_DCB ||
                              code == IOCTL_SERIAL_SET_DCB;
        if (answered) continue;
        EXPECT_EQ(io(code, buffer.data(), 4, buffer.data(), 64, &actual), FALSE) << std::hex << code;
        EXPECT_EQ(GetLastError(), kUntouched) << std::hex << code;
    }
    EXPECT_EQ(readPort(72), "$Q*00\r\n");  // the purge request purges nothing

    for (DWORD code : {0x1B0021u, 0x1B0060u, 0x1B0000u, 0x88B85F08u}) {
        expectRefused(io(code, nullptr, 0, nullptr, 0));
    }
}

TEST_F(SerialPortTest, ReverseWords)
{
    const Bytes in = {1, 2, 3, 4, 5, 6};
    Bytes out(8, 0xEE);
    EXPECT_EQ(io(IOCTL_TMC_REVERSE_WORDS, in.data(), 6, out.data(), 8, &actual), TRUE);
    EXPECT_EQ(actual, 6u);
    EXPECT_EQ(out, (Bytes{5, 6, 3, 4, 1, 2, 0xEE, 0xEE}));
    out.assign(8, 0xEE);
    EXPECT_EQ(io(IOCTL_TMC_REVERSE_WORDS, in.data(), 5, out.data(), 5, &actual), TRUE);
    EXPECT_EQ(actual, 5u);
    EXPECT_EQ(out, (Bytes{3, 4, 1, 2, 0, 0xEE, 0xEE, 0xEE}));
    Bytes same = {1, 2, 3, 4};  // in place, nowhere to report the length
    EXPECT_EQ(io(IOCTL_TMC_REVERSE_WORDS, same.data(), 4, same.data(), 4), TRUE);
    EXPECT_EQ(same, (Bytes{3, 4, 1, 2}));

    // Refused without writing: missing buffers, short output, no work buffer.
    out.assign(6, 0xEE);
    actual = 99;
    expectRefused(io(IOCTL_TMC_REVERSE_WORDS, nullptr, 6, out.data(), 6, &actual));
    expectRefused(io(IOCTL_TMC_REVERSE_WORDS, in.data(), 6, nullptr, 6, &actual));
    expectRefused(io(IOCTL_TMC_REVERSE_WORDS, in.data(), 6, out.data(), 5, &actual));
    expectRefused(io(IOCTL_TMC_REVERSE_WORDS, in.data(), 0xFFFFFFFFu, out.data(), 0xFFFFFFFFu, &actual));
    kernel.failAllocations(0, 1);
    expectRefused(io(IOCTL_TMC_REVERSE_WORDS, in.data(), 6, out.data(), 6, &actual));
    EXPECT_EQ(out, Bytes(6, 0xEE));
    EXPECT_EQ(actual, 99u);
    EXPECT_EQ(kernel.liveAllocations(), 0u);  // every work buffer was freed
}

}  // namespace
