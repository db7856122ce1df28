// A run on one time line, for a person to look at first when a seed fails:
// where the receiver was tuned, its RSSI and TMC credit, which faults were
// active, and marks where it searched, recovered the chip, was powered down
// or up, and where the run failed. Sampled by the run or soak loop between
// its steps; drawn as SVG by gnuplot (TimelinePlot.cpp).
#pragma once

#include "sim/World.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The faults a soak can have active, one bit each.
enum class FaultKind : unsigned {
    BusFailing,
    InterruptsLost,
    ChipHung,
    StationFading,
    PoweredDown,
    Suspended,
    OutputUnread,
    InterruptLineHeld,
    InterruptNoise,
    BusSlow,
    BusHeld,
    Count
};
const char* faultName(FaultKind kind);
constexpr std::uint32_t faultBit(FaultKind kind)
{
    return 1u << unsigned(kind);
}

class Timeline {
public:
    struct Sample {
        double time;       // seconds
        double frequency;  // MHz; 0 when the chip is off or in reset
        int rssi;          // -1 when the chip is off or in reset
        int tmcCredit;     // the driver's TMC quality, 0..100
    };
    struct Band {
        FaultKind kind;
        double from, to;  // seconds
    };
    enum class MarkKind { Search, Recovery, PowerDown, PowerUp, SupplyDip, Failure };
    struct Mark {
        MarkKind kind;
        double time;
        std::string text;  // the failure's message
    };

    // One look at the world and the driver, at most every kSampleEvery. It
    // reads the driver's shared values without being a preemption point: the
    // observer must not move the schedule, or a seed drawn with a picture
    // would not be the seed without one.
    void sample(sim::World& world, std::uint32_t activeFaults = 0, std::uint64_t supplyDips = 0);
    void fail(double time, const std::string& message);
    void finish(double time);

    const std::vector<Sample>& samples() const { return samples_; }
    const std::vector<Band>& bands() const { return bands_; }
    const std::vector<Mark>& marks() const { return marks_; }
    double end() const { return end_; }

private:
    static constexpr double kSampleEvery = 0.25;  // seconds
    std::vector<Sample> samples_;
    std::vector<Band> bands_;
    std::vector<Mark> marks_;
    std::uint32_t faults_ = 0;
    double faultsFrom_[unsigned(FaultKind::Count)] = {};
    bool searching_ = false;
    bool running_ = true;
    bool recovering_ = false;
    std::uint64_t dips_ = 0;
    double end_ = 0;
    bool failed_ = false;
};

// A long span's samples in a chart's width: per slice of time, the frequency
// held most of it (0: off throughout) and the range the frequency swept, and
// the least, the mean and the most of RSSI and TMC credit (RSSI: NaN when the
// chip was off throughout). A spike of one sample stays in the range, as
// picking every n-th sample would lose it.
struct TimelineSlice {
    double time;  // the middle of the slice
    double frequency, lowestFrequency, highestFrequency;
    double rssiLeast, rssiMean, rssiMost;
    double tmcLeast, tmcMean, tmcMost;
};
std::vector<TimelineSlice> timelineSlices(const std::vector<Timeline::Sample>& samples, double from, double to,
                                          std::size_t slices);

// Draws the time line as an SVG file with gnuplot: the whole run, and below
// it the last ten minutes before the failure (or the end) in detail.
// gnuplot writes into the file, never to standard output. Throws
// std::runtime_error when the file cannot be written or gnuplot cannot be run
// or fails.
void writeTimelinePlot(const Timeline& timeline, const std::string& svgPath, const std::string& title);

}  // namespace corvane
