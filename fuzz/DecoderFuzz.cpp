// Fuzz target: arbitrary group sequences through the group decoder. The first
// two bytes set the output filter's flags, then every 10 bytes are one group
// (blocks A to D and the block-error status word). Every sentence that comes
// out must be a whole, correctly framed line.
#include "driver/DriverContext.h"
#include "fuzz/FuzzChecks.h"
#include "harness/LoadedContext.h"
#include "rds/GroupDecoder.h"
#include "sim/kernel/Kernel.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    sim::Kernel kernel;
    harness::LoadedContext driver;
    driver.readyDecoder();
    if (size >= 2) {
        gDriver.sentences.outputFilter.flags.store(static_cast<std::uint16_t>(data[0] | data[1] << 8));
        data += 2;
        size -= 2;
    }
    fuzz::LineChecker lines;
    for (; size >= 10; data += 10, size -= 10) {
        std::uint16_t w[5];
        std::memcpy(w, data, sizeof w);
        decodeGroup(RdsGroup{w[0], w[1], w[2], w[3], w[4]});
        lines.drain();
    }
    return 0;
}
