// The soak's flight recorder: the last lines the application read and the
// driver's last debug messages, each with its virtual time, so that a failure
// report shows what led to it. A debug message printed in pieces (an error's
// location, then its text) is kept whole, with the time of its first piece.
// Times are kept as numbers and written only when a report asks for the
// lines: a soak keeps tens of thousands of lines an hour and reports few.
#pragma once

#include "sim/kernel/Kernel.h"

#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::soak {

class FlightRecorder {
public:
    static constexpr std::size_t kKept = 12;  // of each kind

    void line(sim::Micros time, std::string_view text)
    {
        Kept& slot = lines_.next();
        slot.time = time;
        slot.text.assign(text);
    }

    void debug(const sim::DebugLine& piece)
    {
        if (pending_.text.empty()) pending_ = {piece.time, "[thread " + std::to_string(piece.threadId) + "] "};
        pending_.text += piece.text;
        if (pending_.text.back() != '\n') return;
        while (pending_.text.back() == '\n' || pending_.text.back() == '\r') pending_.text.pop_back();
        debug_.next() = std::move(pending_);
        pending_ = {};
    }

    std::vector<std::string> lines() const { return lines_.stamped(); }
    std::vector<std::string> debugMessages() const
    {
        std::vector<std::string> messages = debug_.stamped();
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
    // The last kKept entries, in slots used in turn: a slot keeps its storage
    // for the entry that later takes its place.
    class Ring {
    public:
        Kept& next()
        {
            Kept& slot = slots_[(first_ + count_) % kKept];
            if (count_ < kKept)
                ++count_;
            else
                first_ = (first_ + 1) % kKept;
            return slot;
        }
        // Oldest first, each with its time.
        std::vector<std::string> stamped() const
        {
            std::vector<std::string> texts;
            for (std::size_t k = 0; k < count_; ++k) {
                const Kept& kept = slots_[(first_ + k) % kKept];
                texts.push_back(stamp(kept.time) + kept.text);
            }
            return texts;
        }

    private:
        std::array<Kept, kKept> slots_{};
        std::size_t first_ = 0;  // the oldest
        std::size_t count_ = 0;
    };

    Ring lines_;
    Ring debug_;
    Kept pending_;  // a debug message whose line end has not come yet
};

}  // namespace corvane::soak
