// The soak's flight recorder: the last lines the application read and the
// driver's last debug messages, each with its virtual time, so that a failure
// report shows what led to it. A debug message printed in pieces (an error's
// location, then its text) is kept whole, with the time of its first piece.
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

    void line(sim::Micros time, const std::string& text) { keep(lines_, stamp(time) + text); }

    void debug(const sim::DebugLine& piece)
    {
        if (pending_.empty()) pending_ = stamp(piece.time) + "[thread " + std::to_string(piece.threadId) + "] ";
        pending_ += piece.text;
        if (pending_.back() != '\n') return;
        while (pending_.back() == '\n' || pending_.back() == '\r') pending_.pop_back();
        keep(debug_, std::move(pending_));
        pending_.clear();
    }

    std::vector<std::string> lines() const { return {lines_.begin(), lines_.end()}; }
    std::vector<std::string> debugMessages() const
    {
        std::vector<std::string> messages(debug_.begin(), debug_.end());
        if (!pending_.empty()) messages.push_back(pending_);
        return messages;
    }

private:
    static std::string stamp(sim::Micros time)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f s ", double(time) / 1e6);
        return text;
    }
    static void keep(std::deque<std::string>& kept, std::string text)
    {
        kept.push_back(std::move(text));
        if (kept.size() > kKept) kept.pop_front();
    }

    std::deque<std::string> lines_;
    std::deque<std::string> debug_;
    std::string pending_;  // a debug message whose line end has not come yet
};

}  // namespace corvane::soak
