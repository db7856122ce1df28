// Fuzz target: arbitrary bytes written to the port of the loaded driver, where
// the command reader splits them into lines and the parser acts on them. The
// first byte chooses how the bytes are written: its low five bits give the
// length of one write (1 to 32 bytes), its top three bits the virtual time
// between writes (10 to 80 ms). Everything read back must be whole lines with
// valid checksums, and the driver must unload cleanly.
#include "fuzz/LoadedDriver.h"

#include <cstdint>

namespace {
// Time after the last write for the commands to take effect (a tune, a seek
// step, the status reports).
constexpr DWORD kSettleMs = 1500;
// Inputs longer than this add nothing a shorter one cannot reach: the input
// ring holds 128 bytes.
constexpr std::size_t kMaxInput = 1024;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0 || size > kMaxInput) return -1;
    const DWORD chunk = (data[0] & 0x1F) + 1u;
    const DWORD pause = ((data[0] >> 5) + 1u) * 10u;
    ++data;
    --size;

    fuzz::LoadedDriver driver;
    driver.run(100);  // the command reader sets its ring up first
    while (size > 0) {
        const DWORD n = size < chunk ? static_cast<DWORD>(size) : chunk;
        DWORD taken = 0;
        driver.asApplication([&] { taken = COM_Write(kOpenContext, data, n); });
        if (taken > n) fuzz::fail("COM_Write took more bytes than it was given");
        data += n;
        size -= n;
        driver.run(pause);
    }
    driver.run(kSettleMs);
    return 0;
}
