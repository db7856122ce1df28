// The test thread as the application of reception control: it reads what the
// driver queued every millisecond, keeps each line with the virtual time it
// was read at, and notes when the chip started a seek and when the tuner
// stopped being busy. Where the bytes come from is the fixture's choice (the
// output ring of a loaded context, or the port of a loaded device).
#pragma once

#include "driver/DriverContext.h"
#include "sim/World.h"

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace controltest {

constexpr sim::Micros kMs = 1000;

struct Line {
    sim::Micros time;
    std::string text;
};

// A "$PLTTQ" line taken apart.
struct Status {
    sim::Micros time;
    unsigned frequency, rssi, quality, valid, form;
};

class ReceptionLog {
public:
    ReceptionLog(sim::Kernel& kernel, sim::World& world, std::function<std::string()> read)
        : kernel_(kernel), world_(world), read_(std::move(read))
    {}

    std::vector<Line> lines;
    std::vector<sim::Micros> seekStarts;  // read times at which the chip was found seeking anew
    std::vector<sim::Micros> busyEnds;    // read times at which tunerBusy was found back at 0

    // Lets the workers start, then reads half a millisecond after the control
    // thread's 10 ms steps, so the times between its sentences are exact.
    void readBetweenSteps()
    {
        Sleep(1);
        kernel_.advance(kMs / 2);
        drain();
    }

    // Reads what the driver queued, line by line, stamped with the time now.
    void drain()
    {
        pending_ += read_();
        for (std::size_t end; (end = pending_.find("\r\n")) != std::string::npos;) {
            lines.push_back({kernel_.now(), pending_.substr(0, end)});
            pending_.erase(0, end + 2);
        }
        const bool seeking = world_.chip().seeking();
        if (seeking && !wasSeeking_) seekStarts.push_back(kernel_.now());
        wasSeeking_ = seeking;
        const bool busy = gDriver.tuner.tunerBusy.load() != 0;
        if (!busy && wasBusy_) busyEnds.push_back(kernel_.now());
        wasBusy_ = busy;
    }

    // Runs the world for `ms` milliseconds, reading every millisecond.
    void runFor(unsigned ms)
    {
        for (unsigned i = 0; i < ms; ++i) {
            Sleep(1);
            drain();
        }
    }

    // Runs until `done` holds (checked every millisecond) or `limitMs` pass;
    // returns the time it held, 0 if it never did.
    sim::Micros runUntil(const std::function<bool()>& done, unsigned limitMs)
    {
        for (unsigned i = 0; i < limitMs; ++i) {
            if (done()) return kernel_.now();
            Sleep(1);
            drain();
        }
        return done() ? kernel_.now() : 0;
    }

    // The tuning status lines read since `from` (all forms).
    std::vector<Status> statuses(sim::Micros from = 0) const
    {
        std::vector<Status> found;
        for (const Line& line : lines) {
            Status s{line.time, 0, 0, 0, 0, 0};
            if (line.time >= from && std::sscanf(line.text.c_str(), "$PLTTQ,%u,%u,%u,%u,%u*", &s.frequency, &s.rssi,
                                                 &s.quality, &s.valid, &s.form) == 5)
                found.push_back(s);
        }
        return found;
    }

    // Live tuning status lines (not the search-in-progress or started forms)
    // reporting `frequency`.
    std::vector<Status> liveStatuses(std::uint16_t frequency, sim::Micros from = 0) const
    {
        std::vector<Status> found;
        for (const Status& s : statuses(from))
            if (s.frequency == frequency && s.form <= 2) found.push_back(s);
        return found;
    }

    std::size_t countLines(const std::string& prefix, sim::Micros from = 0) const
    {
        std::size_t n = 0;
        for (const Line& line : lines)
            if (line.time >= from && line.text.rfind(prefix, 0) == 0) ++n;
        return n;
    }

    bool sawLine(const std::string& text) const
    {
        for (const Line& line : lines)
            if (line.text == text) return true;
        return false;
    }

private:
    sim::Kernel& kernel_;
    sim::World& world_;
    std::function<std::string()> read_;
    std::string pending_;
    bool wasSeeking_ = false;
    bool wasBusy_ = false;
};

}  // namespace controltest
