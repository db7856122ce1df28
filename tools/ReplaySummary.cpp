#include "tools/ReplaySummary.h"

#include "tools/SentenceFields.h"

#include <array>
#include <charconv>

namespace corvane {

namespace {

// The AIDs under which RDS-TMC (ALERT-C) is announced in group 3A.
constexpr unsigned kTmcAid = 0xCD46;
constexpr unsigned kTmcAidAlternative = 0xCD47;

}  // namespace

void ReplaySummary::noteLine(std::string_view line)
{
    if (line.size() < 7 || line.substr(0, 4) != "$PLT") return;
    if (std::array<unsigned, 6> f{}; sentenceNumbers(line, "$PLTTM,", f)) {
        noteTmcGroup(f[0], f[1] & 0xFF, ((f[2] & 0xFF) << 8) | (f[3] & 0xFF), ((f[4] & 0xFF) << 8) | (f[5] & 0xFF));
    } else if (std::array<unsigned, 2> pi{}; sentenceNumbers(line, "$PLTMT,", pi)) {
        pis_.insert(pi[1]);
    } else if (line.substr(0, 7) == "$PLTCH,") {
        const std::size_t star = line.rfind('*');
        if (star != std::string_view::npos && star > 8) names_.emplace(line.substr(7, star - 7));
    }
}

void ReplaySummary::noteTmcGroup(unsigned type, unsigned b, unsigned c, unsigned d)
{
    if (type == 3 && (d == kTmcAid || d == kTmcAidAlternative)) {
        tmcAnnounced_ = true;
        const unsigned variant = c >> 14;
        if (variant == 0) {
            locationTable_ = (c >> 6) & 0x3F;
            if (*locationTable_ == 0) encrypted_ = true;  // the table is named only to those with the key
        } else if (variant == 1) {
            serviceId_ = (c >> 6) & 0x3F;
        }
    } else if (type == 8 && (b & 0x10) == 0) {
        const bool single = (b & 0x08) != 0;
        // Continuity index 0 is kept for the encryption administration groups.
        if (!single && (b & 0x07) == 0)
            encrypted_ = true;
        else if (single || (c & 0x8000) != 0)
            messages_.emplace(single, c, d);
    }
}

void ReplaySummary::print(std::FILE* out) const
{
    std::fprintf(out, "groups read: %llu\n", static_cast<unsigned long long>(groups_));
    std::fprintf(out, "blocks lost: %llu\n", static_cast<unsigned long long>(lostBlocks_));
    if (lostWhileBusy_)
        std::fprintf(out, "groups lost while the receiver was busy: %llu\n",
                     static_cast<unsigned long long>(*lostWhileBusy_));
    std::string pis;
    for (unsigned pi : pis_) {
        char text[8];
        std::snprintf(text, sizeof text, "%s%04X", pis.empty() ? "" : " ", pi & 0xFFFF);
        pis += text;
    }
    std::fprintf(out, "PIs confirmed: %s\n", pis.empty() ? "none" : pis.c_str());
    std::string names;
    for (const std::string& name : names_) names += (names.empty() ? "" : " ") + name;
    std::fprintf(out, "names confirmed: %s\n", names.empty() ? "none" : names.c_str());
    if (!tmcAnnounced_ && messages_.empty() && !encrypted_) {
        std::fprintf(out, "TMC service: none announced\n");
    } else {
        std::string service = locationTable_ ? "location table " + std::to_string(*locationTable_)
                                             : std::string("location table not announced");
        service += serviceId_ ? ", service id " + std::to_string(*serviceId_) : ", service id not announced";
        service += encrypted_ ? ", encrypted" : ", not encrypted";
        std::fprintf(out, "TMC service: %s\n", service.c_str());
    }
    std::fprintf(out, "distinct TMC messages: %zu\n", messages_.size());
}

}  // namespace corvane
