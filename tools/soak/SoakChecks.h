// The soak's invariants, each a small checker fed by the soak loop: the
// lines the application reads (whole, known, checksummed, or the cut front of
// an overrun), and the debug messages (each explained by a fault that was
// active when it was printed). A checker returns the first violation as text;
// empty means all is well.
#pragma once

#include "sim/kernel/Kernel.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::soak {

// ---- Lines -----------------------------------------------------------------

// True when `line` (without CR LF) is a whole sentence of a known form whose
// checksum matches: "$ADDRESS,...*hh", no second '$' or '*' inside.
bool wholeSentence(std::string_view line);

// Splits what the application reads into lines and checks each. After a gap in
// reading (the output may have overrun meanwhile) the first line may be the
// cut front of a sentence: the rest of one, without its '$'.
class LineChecker {
public:
    // Bytes just read at virtual time `now`; the complete lines are checked and
    // kept for inspection until takeLines. `dropped`: the ring overran while
    // they were read, so a line among them may join two sentences at the seam.
    std::string feed(std::string_view bytes, sim::Micros now, bool dropped = false);
    // The application did not read for a while, or the ring is full: the
    // next line may be cut, and the bytes that followed a line the
    // application holds only in part may be gone, so that part is dropped.
    void readingGap();
    // The driver emptied its output ring (a power-up): a partial line is gone.
    void ringReset();

    struct Line {
        sim::Micros time = 0;
        std::string text;
    };
    // The complete lines fed since the last call, oldest first; they stay as
    // they are until the next feed.
    std::span<const Line> takeLines();
    std::uint64_t lines() const { return lines_; }
    std::uint64_t cutLines() const { return cut_; }

private:
    std::string partial_;
    bool cutAllowed_ = false;
    std::vector<Line> complete_;  // the first held_ are the lines not yet taken
    std::size_t held_ = 0;
    std::uint64_t lines_ = 0;
    std::uint64_t cut_ = 0;
};

// ---- Debug messages ----------------------------------------------------------

// What can explain a debug message.
// The chip does not answer while its reset line is low: the driver's own
// reset pulse (a recovery sleeps in it) lets other threads run into it.
// Another device holding the bus makes transfers fail as busy. A supply dip
// restarts the chip: a transfer on the wire across it fails.
enum class Cause : unsigned { Bus, Hang, Power, PowerRequest, ChipInReset, BusHeld, SupplyDip, Count };

// The message classes the driver can print. A hard error comes as two lines,
// the location prefix ("ERROR: Corvane line 1631: ") and the message; the
// prefix is classed by its line number.
enum class Message : unsigned { TransferFailed, BusClosed, BusAlreadyClosed, BusOpenFailed, PowerRequest, Unknown };
Message classify(std::string_view text);
// Whether `cause` explains messages of class `message`.
bool explains(Cause cause, Message message);

class DebugChecker {
public:
    // Cause `cause` is active from now on (until end()).
    void begin(Cause cause, sim::Micros now);
    // Cause `cause` ends at `now`; its messages stay explained `grace` longer.
    void end(Cause cause, sim::Micros now, sim::Micros grace);
    bool active(Cause cause) const { return windows_[unsigned(cause)].open; }

    // Checks the debug lines from `next` on; advances next past them.
    std::string check(const std::vector<sim::DebugLine>& log, std::size_t& next);
    std::uint64_t checked() const { return checked_; }

private:
    struct Window {
        bool open = false;
        sim::Micros from = 0;
        sim::Micros until = 0;                                  // when closed: explained up to here
        std::vector<std::pair<sim::Micros, sim::Micros>> past;  // closed windows, newest last
    };
    bool explained(Cause cause, sim::Micros time) const;
    std::array<Window, unsigned(Cause::Count)> windows_{};
    std::uint64_t checked_ = 0;
};

// ---- The receiver ------------------------------------------------------------

// Interrupts are taken: over every window of kWindow in which the driver ran
// and no fault lost edges, a chip that pulsed its interrupt line three times
// or more had at least one interrupt delivered, which needs the driver to
// have acknowledged the one before (a stuck line or noise must not leave the
// interrupt masked).
class InterruptLiveness {
public:
    static constexpr sim::Micros kWindow = 5'000'000;
    // usable: the driver runs and nothing loses edges now.
    std::string sample(sim::Micros now, bool usable, std::uint64_t pulses, std::uint64_t delivered);

private:
    bool open_ = false;
    sim::Micros from_ = 0;
    std::uint64_t pulses_ = 0;
    std::uint64_t delivered_ = 0;
};

// Every group the driver decodes was handed out by the chip: the driver's
// count of decoded groups (8 bits, wrapping; sampled often enough that it
// cannot wrap between samples) never overtakes the chip's reads that
// returned a group. An interrupt without RDSR taken for a group, or a group
// stored again after a read that failed, breaks it.
class GroupAccounting {
public:
    // debugOn: the debug sentence clears the driver's count; the check stops.
    std::string sample(sim::Micros now, std::uint8_t decodedCount, bool debugOn, std::uint64_t groupReads);
    std::uint64_t decoded() const { return decoded_; }

private:
    bool off_ = false;
    std::uint8_t last_ = 0;
    std::uint64_t decoded_ = 0;
};

// The driver's counts of guarded transfers skipped because another thread
// held the bus guard, sampled often enough that its 16-bit counts cannot wrap
// twice between samples, added up over the run.
class GuardSkips {
public:
    void sample(std::uint16_t skippedReads, std::uint16_t skippedWrites)
    {
        reads_ += std::uint16_t(skippedReads - lastReads_);
        writes_ += std::uint16_t(skippedWrites - lastWrites_);
        lastReads_ = skippedReads;
        lastWrites_ = skippedWrites;
    }
    std::uint64_t reads() const { return reads_; }
    std::uint64_t taken() const { return reads_ + writes_; }  // the guard found taken

private:
    std::uint16_t lastReads_ = 0, lastWrites_ = 0;
    std::uint64_t reads_ = 0, writes_ = 0;
};

}  // namespace corvane::soak
