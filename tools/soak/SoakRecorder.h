// The soak's flight recorder: the last lines the application read and the
// driver's last debug messages, each with its virtual time, so that a failure
// report shows what led to it. A debug message printed in pieces (an error's
// location, then its text) is kept whole, with the time of its first piece.
// Times are kept as numbers and written only when a report asks for the
// lines: a soak keeps tens of thousands of lines an hour and reports few.
#pragma once

#include "sim/kernel/Kernel.h"

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace corvane::soak {

class FlightRecorder {
public:
    static constexpr std::size_t kKept = 12;  // of each kind

    void line(sim::Micros time, const std::string& text) { keep(lines_, {time, text}); }

    void debug(const sim::DebugLine& piece)
    {
        if (pending_.text.empty()) pending_ = {piece.time, "[thread " + std::to_string(piece.threadId) + "] "};
        pending_.text += piece.text;
        if (pending_.text.back() != '\n') return;
        while (pending_.text.back() == '\n' || pending_.text.back() == '\r') pending_.text.pop_back();
        keep(debug_, std::move(pending_));
        pending_ = {};
    }

    std::vector<std::string> lines() const { return stamped(lines_); }
    std::vector<std::string> debugMessages() const
    {
        std::vector<std::string> messages = stamped(debug_);
        if (!pending_.text.empty()) messages.push_back(stamp(pending_.time) + pending_.text);
        return messages;
    }

private:
    struct Kept {
        sim::Micros time = 0;
        std::string text;
    };
    static std::string stamp(sim::Micros time)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f s ", double(time) / 1e6);
        return text;
    }
    static std::vector<std::string> stamped(const std::deque<Kept>& kept)
    {
        std::vector<std::string> texts;
        for (const Kept& k : kept) texts.push_back(stamp(k.time) + k.text);
        return texts;
    }
    static void keep(std::deque<Kept>& kept, Kept entry)
    {
        kept.push_back(std::move(entry));
        if (kept.size() > kKept) kept.pop_front();
    }

    std::deque<Kept> lines_;
    std::deque<Kept> debug_;
    Kept pending_;  // a debug message whose line end has not come yet
};

}  // namespace corvane::soak
