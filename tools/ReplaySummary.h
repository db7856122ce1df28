// What a replay found, in a few lines at its end (or instead of the lines,
// with --summary): how many groups the log gave and how many of their blocks
// were lost, and what the application learnt from the driver's sentences: the
// PIs and station names the decoder confirmed, the TMC service it announced
// (location table, service id, encrypted or not) and how many distinct TMC
// messages it passed.
#pragma once

#include "sim/band/RdsLog.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>

namespace corvane {

class ReplaySummary {
public:
    // A group of the log as it was fed to the receiver.
    void countGroup(const sim::band::LoggedGroup& group)
    {
        ++groups_;
        lostBlocks_ += group.lost[0] + group.lost[1] + group.lost[2] + group.lost[3];
    }
    // A full replay: groups the chip had ready that were gone before the driver took them.
    void setGroupsLostWhileBusy(std::uint64_t groups) { lostWhileBusy_ = groups; }
    // A line the application read (without CR LF).
    void noteLine(std::string_view line);

    std::uint64_t groups() const { return groups_; }
    // Prints the summary, one finding a line.
    void print(std::FILE* out) const;

private:
    void noteTmcGroup(unsigned type, unsigned b, unsigned c, unsigned d);

    std::uint64_t groups_ = 0;
    std::uint64_t lostBlocks_ = 0;
    std::optional<std::uint64_t> lostWhileBusy_;
    std::set<unsigned> pis_;
    std::set<std::string> names_;
    std::optional<unsigned> locationTable_;
    std::optional<unsigned> serviceId_;
    bool tmcAnnounced_ = false;
    bool encrypted_ = false;
    std::set<std::tuple<unsigned, unsigned, unsigned>> messages_;  // (single or first, C, D)
};

}  // namespace corvane
