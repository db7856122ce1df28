// Test support: a freshly loaded driver with its output ring and decoder
// ready, and the sentences it queued, split into lines.
#pragma once

#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "rds/GroupDecoder.h"
#include "sim/kernel/Kernel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane_test {

// Loads the driver context and readies what the sentence and decoder
// routines need, as start-up does before its first sentence.
inline void loadSentenceChannel()
{
    LoadDriverContext();
    InitRingGuards();
    InitDecoderGuard();
    gDriver.channel.outputRing.reset(kOutputRingSize);
}

// Everything queued in the OutputRing, emptied out.
inline std::string takeOutput()
{
    std::string text;
    std::uint8_t buffer[kOutputRingSize];
    for (;;) {
        const std::int32_t n = gDriver.channel.outputRing.read(buffer, kOutputRingSize);
        if (n <= 0)
            break;
        text.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    }
    return text;
}

// The queued lines without their CR LF; a line that is not ended by CR LF
// fails the test.
inline std::vector<std::string> takeLines()
{
    const std::string text = takeOutput();
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated line: " << text.substr(start);
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

}  // namespace corvane_test
