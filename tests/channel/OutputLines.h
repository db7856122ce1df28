// Test support: a freshly loaded driver ready for sentences and decoding, and
// the lines it queued in the OutputRing.
#pragma once

#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "rds/GroupDecoder.h"
#include "sim/kernel/Kernel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane_test {

using Lines = std::vector<std::string>;

// What start-up does before its first sentence.
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
    while (const std::int32_t n = gDriver.channel.outputRing.read(buffer, kOutputRingSize))
        text.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    return text;
}

// The queued lines without their CR LF; text not ended by CR LF fails the test.
inline Lines takeLines()
{
    const std::string text = takeOutput();
    Lines lines;
    for (std::size_t start = 0, end; start < text.size(); start = end + 2) {
        end = text.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated line: " << text.substr(start);
            break;
        }
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

}  // namespace corvane_test
