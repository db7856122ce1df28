// What a soak campaign runs and what it has run: the seeds (a range or a list,
// one shard of them for one of several machines) and the results file, one
// JSON line per finished seed, which a resumed campaign reads to skip the
// seeds it already holds. Plain data and parsing; the processes are
// Campaign.cpp's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::soak {

// "1-200", "7", "1,5,9-12": the seeds in the order given, each once. Throws
// std::invalid_argument (with what is wrong) for anything else, for a range
// that runs backwards, and for more than kMaxCampaignSeeds seeds.
inline constexpr std::size_t kMaxCampaignSeeds = 10'000'000;
std::vector<std::uint64_t> parseSeedList(const std::string& text);

// "K/N" with 1 <= K <= N: part K of N. Throws std::invalid_argument.
struct Shard {
    unsigned part = 1;
    unsigned parts = 1;
};
Shard parseShard(const std::string& text);
// The seeds of one part: every N-th seed from the K-th on, so that every part
// gets early and late seeds alike and the parts together hold each seed once.
std::vector<std::uint64_t> shardSeeds(const std::vector<std::uint64_t>& seeds, Shard shard);

// One finished seed, as a line of the results file.
struct SeedResult {
    std::uint64_t seed = 0;
    std::string schedule;  // random, pct or cooperative
    std::string band;      // "scenario default", "band city.json"
    double hours = 0;      // virtual hours asked for
    double ran = 0;        // virtual hours run (less when it failed)
    std::string outcome;   // passed, failed or crashed
    std::string failure;   // the failure's first message; empty when passed
    std::string reproduce;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    std::uint64_t busGuardTaken = 0;  // guarded transfers skipped, the guard taken by another thread
    std::uint64_t skippedReads = 0;   // the reads among them
};

std::string resultLine(const SeedResult& result);  // one JSON object, no line end
// A line of a results file; nullopt for a line that is not one (a line cut
// short when a campaign was killed while writing it).
std::optional<SeedResult> parseResultLine(const std::string& line);

// The results in a file, in file order; a missing file holds none. Throws
// std::invalid_argument naming the first line that is neither a result nor
// one cut short by a kill: the file is not a results file.
std::vector<SeedResult> readResults(const std::string& path);

}  // namespace corvane::soak
