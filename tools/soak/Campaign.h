// A soak campaign: many seeds, each in a process of its own (the program run
// again as `corvane soak --seed N ...`, the very line that reproduces it), a
// few at once, so that a crash is one seed's failure and not the
// campaign's. It shows its progress (one line kept current on a terminal, a
// line per finished seed otherwise), appends a JSON line per finished seed to
// the results file as it ends, skips the seeds a resumed results file already
// holds, and ends with a summary: seeds passed and failed, virtual hours, wall
// and CPU time, and each failure's reproduce line. Ctrl-C stops every job;
// seeds cut short are not recorded, so a resumed campaign runs them again.
// A seed still running past its wall-time limit is killed and recorded as a
// failure (outcome "hung") with its reproduce line: a campaign cannot stall.
#pragma once

#include "tools/soak/CampaignPlan.h"
#include "tools/soak/Soak.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace corvane::soak {

struct CampaignSettings {
    std::vector<std::uint64_t> seeds;  // this machine's part, in order
    unsigned jobs = 1;                 // processes at once
    SoakSettings soak;                 // hours, band, schedule (its seed is unused)
    std::string resultsFile;           // empty: none
    bool resume = false;               // skip the seeds resultsFile holds
    std::string program;               // the corvane program each seed runs
    double seedLimitSeconds = 0;       // wall time a seed may take before it is killed as hung; 0: seedTimeLimit
};

// The wall time a seed of `hours` virtual hours may take by default before
// the campaign kills it and records it as hung.
double seedTimeLimit(double hours);

struct CampaignSummary {
    std::size_t seeds = 0;    // of this campaign
    std::size_t resumed = 0;  // taken from the results file
    std::size_t passed = 0;
    std::size_t failed = 0;  // crashes included
    std::size_t notRun = 0;  // left when the campaign was stopped
    double virtualHours = 0;
    double wallSeconds = 0;           // of this run of the campaign
    double cpuSeconds = 0;            // of every seed, resumed ones included
    std::uint64_t busGuardTaken = 0;  // summed over the seeds, resumed ones included
    std::uint64_t skippedReads = 0;
    std::size_t seedsWithSkippedReads = 0;
    bool stopped = false;
    std::vector<SeedResult> failures;
};

// Runs the campaign, its progress and summary on `out`. Throws
// std::invalid_argument when the results file holds another campaign's seeds
// (other hours or band) or cannot be written.
CampaignSummary runCampaign(const CampaignSettings& settings, std::FILE* out);

void printCampaignSummary(const CampaignSummary& summary, std::FILE* out);

}  // namespace corvane::soak
