// Fuzz target: arbitrary text through the recorded-log reader. A log either
// reads or fails with the reader's own error naming a line of the text; a read
// log holds only groups from existing lines, in order, with lost blocks at 0.
#include "fuzz/FuzzChecks.h"
#include "sim/band/RdsLog.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t lineCount = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    try {
        const sim::band::RdsLog log = sim::band::parseRdsLog(text, "fuzz.spy");
        std::size_t previous = 0;
        for (const auto& group : log.groups) {
            if (group.line <= previous || group.line > lineCount) fuzz::fail("a group with a wrong line number");
            previous = group.line;
            for (int i = 0; i < 4; ++i)
                if (group.lost[i] && group.blocks[i] != 0) fuzz::fail("a lost block that is not 0");
        }
    } catch (const sim::band::RdsLogError& error) {
        if (error.line() > lineCount) fuzz::fail("an error on a line the text does not have");
    }
    return 0;
}
