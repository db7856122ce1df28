// What corvane prints: the driver's lines as the application reads them, each
// complete line without its CR LF, optionally stamped with its virtual time and
// followed by a readable rendering; and the driver's debug output.
#pragma once

#include "sim/kernel/Kernel.h"
#include "tools/DecodeView.h"

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace corvane {

// Virtual time as seconds with three decimals ("12.345").
std::string virtualSeconds(sim::Micros time);

class LineOutput {
public:
    // `print` false: the lines are only counted and observed (a summary instead).
    LineOutput(std::FILE* out, bool timestamps, bool decode, bool print = true);

    // Called with every complete line (without CR LF), printed or not.
    std::function<void(std::string_view)> onLine;

    // Bytes read from the port at virtual time `now`: prints every line they
    // complete. Bytes after the last CR LF wait for the rest of their line.
    void feed(std::string_view bytes, sim::Micros now)
    {
        if (!bytes.empty()) feedLines(bytes, now);  // most reads of a run find nothing
    }
    // Prints one complete line (without CR LF) read at `now`.
    void printLine(std::string_view line, sim::Micros now);

    std::size_t linesPrinted() const { return lines_; }
    // A write failed (a full disk, a closed pipe): the run should end.
    bool failed() const { return writeError_ != 0; }
    int writeError() const { return writeError_; }

private:
    void feedLines(std::string_view bytes, sim::Micros now);

    std::FILE* out_;
    bool timestamps_;
    bool decode_;
    bool print_;
    DecodeView view_;
    std::string pending_;
    std::string written_;  // the line being written, kept for its storage
    std::size_t lines_ = 0;
    int writeError_ = 0;  // errno of the first failed write
};

// The kernel's debug output as lines on a stream, each with the virtual time
// of its first part: a message printed in pieces (an error's location, then its
// text) comes out as one line once its line end arrives.
class DebugOutput {
public:
    explicit DebugOutput(std::FILE* out) : out_(out) {}
    void add(const sim::DebugLine& line);

private:
    std::FILE* out_;
    std::string pending_;
    sim::Micros pendingTime_ = 0;
};

}  // namespace corvane
