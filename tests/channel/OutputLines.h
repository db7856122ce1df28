// Test support: the lines the driver queued in the OutputRing.
#pragma once

#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "harness/LoadedContext.h"
#include "rds/GroupDecoder.h"
#include "sim/kernel/Kernel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane_test {

using Lines = std::vector<std::string>;

using harness::takeOutput;

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
