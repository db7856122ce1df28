// Fuzz target: sequences of I/O control requests to the loaded driver. Each
// request takes four bytes and then its buffer contents:
//   code     an index into the known codes; the last index takes the next four
//            bytes as a raw code
//   flags    bit 0: no input buffer, bit 1: no output buffer, bit 2: no place
//            for the returned length, bit 3: the output buffer is the input
//            buffer, bit 4: unused; bits 5-7: virtual time to let pass
//            afterwards (x 20 ms)
//   inLen    input length; outLen: output length (0..255)
//   then inLen bytes of input and outLen bytes of initial output contents
//   (missing bytes read as 0).
// Buffers are exactly as long as their lengths: the driver checks lengths, not
// what the memory behind a pointer really holds. Without a buffer the length
// is blown up to a large value, which the driver must refuse without touching
// anything. Serial requests that succeed report no more than the output holds;
// the power requests, the one place where the fault guard catches a caller's
// bad pointer, must come back without taking the process down. Only they are
// handed bad pointers, in place of the missing ones (the store of the returned
// length in a power-set is not checked for null: on the device null and any
// other address in the first page fault alike, but here a null store would be
// undefined behaviour that the sanitizer stops on). Every other request gets
// null for a missing pointer and may trust a non-null one.
#include "driver/IoControlCodes.h"
#include "fuzz/LoadedDriver.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

constexpr DWORD kCodes[] = {
    IOCTL_SERIAL_SET_BREAK_ON,
    IOCTL_SERIAL_SET_BREAK_OFF,
    IOCTL_SERIAL_SET_DTR,
    IOCTL_SERIAL_CLR_DTR,
    IOCTL_SERIAL_SET_RTS,
    IOCTL_SERIAL_CLR_RTS,
    IOCTL_SERIAL_SET_XOFF,
    IOCTL_SERIAL_SET_XON,
    IOCTL_SERIAL_GET_WAIT_MASK,
    IOCTL_SERIAL_SET_WAIT_MASK,
    IOCTL_SERIAL_WAIT_ON_MASK,
    IOCTL_SERIAL_GET_COMMSTATUS,
    IOCTL_SERIAL_GET_MODEMSTATUS,
    IOCTL_SERIAL_GET_PROPERTIES,
    IOCTL_SERIAL_SET_TIMEOUTS,
    IOCTL_SERIAL_GET_TIMEOUTS,
    IOCTL_SERIAL_PURGE,
    IOCTL_SERIAL_SET_QUEUE_SIZE,
    IOCTL_SERIAL_IMMEDIATE_CHAR,
    IOCTL_SERIAL_GET_DCB,
    IOCTL_SERIAL_SET_DCB,
    IOCTL_SERIAL_ENABLE_IR,
    IOCTL_SERIAL_DISABLE_IR,
    IOCTL_POWER_CAPABILITIES,
    IOCTL_POWER_GET,
    IOCTL_POWER_SET,
    IOCTL_POWER_QUERY,
    IOCTL_TMC_REVERSE_WORDS,
    IOCTL_TMC_COMMAND,
    IOCTL_TMC_RECOVER,
    IOCTL_TMC_SUSPEND_RESUME,
};
constexpr std::size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];
constexpr std::size_t kMaxInput = 2048;
constexpr DWORD kSettleMs = 1000;

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return size_ == 0; }
    std::uint8_t byte()
    {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }
    void fill(std::uint8_t* to, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i) to[i] = byte();
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

bool isPowerRequest(DWORD code)
{
    return (code & 0xFFFFF000u) == (IOCTL_POWER_GET & 0xFFFFF000u);
}

bool isSerialGet(DWORD code)
{
    return code == IOCTL_SERIAL_GET_PROPERTIES || code == IOCTL_SERIAL_GET_TIMEOUTS || code == IOCTL_SERIAL_GET_DCB ||
           code == IOCTL_TMC_REVERSE_WORDS;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0 || size > kMaxInput) return -1;
    Input input(data, size);
    fuzz::LoadedDriver driver;
    driver.run(100);
    while (!input.empty()) {
        const std::size_t index = input.byte() % (kCodeCount + 1);
        DWORD code = 0;
        if (index < kCodeCount) {
            code = kCodes[index];
        } else {
            for (int i = 0; i < 4; ++i) code = code << 8 | input.byte();
        }
        const std::uint8_t flags = input.byte();
        const bool noIn = flags & 1, noOut = flags & 2, noActual = flags & 4, aliased = flags & 8;
        const bool badPointers = isPowerRequest(code);
        const DWORD pause = (flags >> 5) * 20u;
        DWORD inLength = input.byte();
        DWORD outLength = input.byte();

        std::unique_ptr<std::uint8_t[]> in(new std::uint8_t[inLength]);
        std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[outLength]);
        input.fill(in.get(), inLength);
        input.fill(out.get(), outLength);
        PBYTE inBuffer = in.get();
        PBYTE outBuffer = out.get();
        if (aliased && !noIn && !noOut) {
            outBuffer = inBuffer;
            outLength = inLength;
        }
        // An address in the never-mapped first page: touching it faults.
        auto* const bad = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(0x18));
        PBYTE const missing = badPointers ? bad : nullptr;
        if (noIn) {
            inBuffer = missing;
            inLength *= 0x01010101u;
        }
        if (noOut) {
            outBuffer = missing;
            outLength *= 0x01010101u;
        }
        constexpr DWORD kUntouched = 0xDEADBEEF;
        DWORD actual = kUntouched;
        BOOL ok = FALSE;
        const auto request = [&] {
            ok = COM_IOControl(kOpenContext, code, inBuffer, inLength, outBuffer, outLength,
                               noActual ? reinterpret_cast<PDWORD>(missing) : &actual);
        };
        if (isPowerRequest(code))
            driver.asPowerManager(request);
        else
            driver.asApplication(request);
        if (ok && isSerialGet(code) && !noActual && actual != kUntouched && actual > outLength)
            fuzz::fail("a request reported more bytes than its output buffer holds");
        driver.run(pause);
    }
    driver.run(kSettleMs);
    return 0;
}
