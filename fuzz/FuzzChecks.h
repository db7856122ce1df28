// Checks shared by the fuzz targets: what the application reads from the
// port is whole lines, each framed with a valid checksum.
#pragma once

#include "driver/Corvane.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

[[noreturn]] inline void fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::abort();
}

// True when `line` (without CR LF) is "$...*hh" with the right checksum.
inline bool validSentence(const std::string& line)
{
    if (line.size() < 4 || line[0] != '$') return false;
    const auto star = line.rfind('*');
    if (star == std::string::npos || star + 3 != line.size()) return false;
    unsigned sum = 0;
    for (std::size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(line[i]);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", sum);
    return line.compare(star + 1, 2, hex) == 0;
}

// Reads the port and checks every complete line. Without an overrun (the
// caller drains often enough) there is no cut line to excuse.
class LineChecker {
public:
    void drain()
    {
        char buffer[72];
        for (;;) {
            const DWORD n = COM_Read(kOpenContext, buffer, sizeof buffer);
            if (n == 0) break;
            pending_.append(buffer, n);
        }
        for (std::size_t end; (end = pending_.find("\r\n")) != std::string::npos;) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 2);
            if (!validSentence(line)) fail("bad line: " + line);
            ++lines_;
        }
    }
    std::size_t lines() const { return lines_; }

private:
    std::string pending_;
    std::size_t lines_ = 0;
};

}  // namespace fuzz
