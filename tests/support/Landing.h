// Systematic landing, as CHESS explores with a preemption bound of one: a
// scenario of two calls that meet is played once to count the preemption
// points of the first call's span (sim::Kernel::countPoints), and then once
// per point, the second call landing there (sim::Kernel::landAt), with
// everything else cooperative. A span of more than kEveryPointUpTo points
// (a minute of parked or polling workers) is landed on at the first and the
// last occurrence of every distinct place it passes in the driver's code,
// and at a seeded sample of the others. Each landing replays alone from its
// line.
//
// Which pairs and points (environment):
//   CORVANE_LANDING=A,B[,C][@P[,Q]]  that pair (or triple), at points P (and Q) only
//   CORVANE_LANDINGS=all             every pair and the sampled triples, else a fixed sample
//   CORVANE_LANDING_SHARD=i/n        only the pairs whose index is i modulo n
//   CORVANE_LANDING_EVERY=n          land at every point of spans up to n points (default
//                                    kEveryPointUpTo; 0: places' first and last only)
//   CORVANE_LANDING_EXTRA=k          in a long span, k more points sampled beyond the places' first
//                                    and last (kExtraWhenAll with CORVANE_LANDINGS=all, else 0)
#pragma once

#include "sim/kernel/Kernel.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace landing {

// A driver point the first call's span passed: its number and its place (the
// stack's digest and the thread that passed it).
struct SpanPoint {
    std::uint64_t point;
    std::uint64_t place;
};

// What one play of a scenario saw.
struct Played {
    std::vector<SpanPoint> span;  // filled by the counting pass
    std::uint32_t landed = 0;     // landings that took place
    bool failed = false;
};

// Plays the scenario once, the later calls landing at `points` (none: the
// counting pass, the later calls after the first returned).
using Play = std::function<Played(const std::vector<std::uint64_t>& points)>;

inline constexpr std::size_t kEveryPointUpTo = 3000;
inline constexpr unsigned kExtraWhenAll = 1000;

struct Coverage {
    std::size_t spanPoints = 0;    // driver points in the first call's span
    std::size_t pointsLanded = 0;  // of them, those a landing took place at
    std::size_t placesPassed = 0;  // distinct places among them
    std::size_t placesLanded = 0;  // distinct places a landing took place at
    std::size_t replays = 0;
    std::size_t failures = 0;
};

// The points to land on, in order: every one of a short span; in a long one
// the first and last occurrence of each place, and `extra` drawn among the
// rest (seeded by `seed`).
std::vector<std::uint64_t> choosePoints(const std::vector<SpanPoint>& span, unsigned extra, std::uint64_t seed,
                                        std::size_t everyPointUpTo = kEveryPointUpTo);

// The counting pass, then a replay per chosen point (or only `only`). A
// failing landing prints `reproduce(points)`; after kMaxFailuresShown the
// rest are counted only.
inline constexpr std::size_t kMaxFailuresShown = 3;
Coverage explore(const Play& play, const std::function<std::string(const std::vector<std::uint64_t>&)>& reproduce,
                 unsigned extra, std::uint64_t seed, const std::optional<std::vector<std::uint64_t>>& only,
                 std::size_t everyPointUpTo = kEveryPointUpTo);

// A bound of two, sampled: the counting pass, then `landings` replays, each
// with the second call at one of the points choosePoints gives (drawn) and
// the third within `within` points after it.
Coverage exploreTwoLandings(const Play& play,
                            const std::function<std::string(const std::vector<std::uint64_t>&)>& reproduce,
                            unsigned landings, unsigned within, std::uint64_t seed);

// The selection the environment asks for.
struct Selection {
    std::vector<std::string> names;                // CORVANE_LANDING's callers; empty: every pair (or the sample)
    std::vector<std::uint64_t> points;             // its points, when given
    bool all = false;                              // CORVANE_LANDINGS=all
    unsigned shard = 0, shards = 1;                // CORVANE_LANDING_SHARD
    unsigned extra = 0;                            // CORVANE_LANDING_EXTRA
    std::size_t everyPointUpTo = kEveryPointUpTo;  // CORVANE_LANDING_EVERY
    bool takes(std::size_t index) const { return index % shards == shard; }
};
Selection selectionFromEnvironment();

// One line per pair: its coverage, as make explore-all gathers them.
void printCoverage(const std::string& name, const Coverage& coverage);

}  // namespace landing
