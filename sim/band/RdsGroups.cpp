#include "sim/band/RdsGroups.h"

#include <algorithm>
#include <chrono>

namespace sim::rds {

namespace {

constexpr std::uint16_t kTp = 1u << 10;
constexpr unsigned kPtyShift = 5;
constexpr std::uint16_t kTa = 1u << 4;
constexpr std::uint16_t kMusic = 1u << 3;
constexpr std::uint16_t kDi = 1u << 2;
constexpr std::uint16_t kAbFlag = 1u << 4;
constexpr std::uint16_t kApplicationGroup8A = 8u << 1;  // group type x 2 + version
constexpr std::uint16_t kTmcSingleGroup = 1u << 3;      // F bit; T (bit 4) stays 0
constexpr unsigned kLtnShift = 6;
// Service flags after the table number: no AFI, basic mode, national and
// regional scope (the I, N, R, U bits as many national services send them).
constexpr std::uint16_t kTmcScope = 0x0006;
constexpr std::uint16_t kFrequencyBelowFirstCode = 8750;  // 87.5 MHz
constexpr std::uint16_t kAfStep = 10;                     // 100 kHz in 10 kHz units

std::uint16_t blockB(const Programme& p, unsigned type, std::uint16_t low)
{
    std::uint16_t b = static_cast<std::uint16_t>(type << 12);
    if (p.tp) b |= kTp;
    b |= static_cast<std::uint16_t>((p.pty & 0x1F) << kPtyShift);
    return static_cast<std::uint16_t>(b | (low & 0x1F));
}

RdsGroup group(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d)
{
    RdsGroup g;
    g.blocks = {a, b, c, d};
    return g;
}

std::uint8_t character(const std::string& text, std::size_t index)
{
    return index < text.size() ? static_cast<std::uint8_t>(text[index]) : static_cast<std::uint8_t>(' ');
}

std::uint16_t pairOf(std::uint8_t high, std::uint8_t low)
{
    return static_cast<std::uint16_t>(high << 8 | low);
}

}  // namespace

std::uint8_t afCode(std::uint16_t frequency)
{
    if (frequency <= kFrequencyBelowFirstCode || (frequency - kFrequencyBelowFirstCode) % kAfStep != 0) return 0;
    const unsigned code = (frequency - kFrequencyBelowFirstCode) / kAfStep;
    return code <= kAfHighest ? static_cast<std::uint8_t>(code) : 0;
}

std::vector<std::uint16_t> afPairs(const std::vector<std::uint16_t>& frequencies)
{
    std::vector<std::uint8_t> codes;
    for (std::uint16_t f : frequencies) {
        const std::uint8_t code = afCode(f);
        if (code != 0 && codes.size() < kAfMaxCount) codes.push_back(code);
    }
    if (codes.empty()) return {pairOf(kAfCountBase, kAfFiller)};
    std::vector<std::uint16_t> pairs{pairOf(static_cast<std::uint8_t>(kAfCountBase + codes.size()), codes[0])};
    for (std::size_t i = 1; i < codes.size(); i += 2)
        pairs.push_back(pairOf(codes[i], i + 1 < codes.size() ? codes[i + 1] : kAfFiller));
    return pairs;
}

std::string paddedName(const std::string& name)
{
    std::string padded = name.substr(0, kNameLength);
    padded.resize(kNameLength, ' ');
    return padded;
}

RdsGroup nameGroup(const Programme& p, const std::string& name8, unsigned segment, std::uint16_t afPair, bool ta,
                   bool stereo)
{
    segment &= 3;
    // The decoder identification goes out one bit per segment, d3 first; only
    // d0 (stereo) is ever set here.
    const bool di = segment == 3 && stereo;
    std::uint16_t low = static_cast<std::uint16_t>(kMusic | segment);
    if (ta) low |= kTa;
    if (di) low |= kDi;
    return group(p.pi, blockB(p, 0, low), afPair,
                 pairOf(character(name8, 2 * segment), character(name8, 2 * segment + 1)));
}

RdsGroup programmeItemGroup(const Programme& p, std::uint8_t ecc, unsigned day, unsigned hour, unsigned minute)
{
    const std::uint16_t c = ecc;  // variant 0, no language linkage
    const std::uint16_t d = static_cast<std::uint16_t>((day & 0x1F) << 11 | (hour & 0x1F) << 6 | (minute & 0x3F));
    return group(p.pi, blockB(p, 1, 0), c, d);
}

unsigned radiotextSegments(const std::string& text)
{
    const std::size_t length = std::min(text.size(), kRadiotextLength);
    const std::size_t withEnd = length < kRadiotextLength ? length + 1 : length;
    return static_cast<unsigned>(std::max<std::size_t>(1, (withEnd + 3) / 4));
}

RdsGroup radiotextGroup(const Programme& p, const std::string& text, unsigned segment, bool abFlag)
{
    segment &= 0xF;
    const std::size_t length = std::min(text.size(), kRadiotextLength);
    std::uint8_t chars[4];
    for (unsigned i = 0; i < 4; ++i) {
        const std::size_t index = 4 * segment + i;
        chars[i] = index < length    ? static_cast<std::uint8_t>(text[index])
                   : index == length ? kRadiotextEnd
                                     : static_cast<std::uint8_t>(' ');
    }
    const std::uint16_t low = static_cast<std::uint16_t>((abFlag ? kAbFlag : 0) | segment);
    return group(p.pi, blockB(p, 2, low), pairOf(chars[0], chars[1]), pairOf(chars[2], chars[3]));
}

RdsGroup tmcAnnouncementGroup(const Programme& p, std::uint8_t ltn)
{
    const std::uint16_t c = static_cast<std::uint16_t>((ltn & 0x3F) << kLtnShift | kTmcScope);
    return group(p.pi, blockB(p, 3, kApplicationGroup8A), c, kTmcAid);
}

RdsGroup clockGroup(const Programme& p, std::uint32_t mjd, unsigned hour, unsigned minute, int offsetHalfHours)
{
    const std::uint16_t b = blockB(p, 4, static_cast<std::uint16_t>((mjd >> 15) & 3));
    const std::uint16_t c = static_cast<std::uint16_t>((mjd & 0x7FFF) << 1 | ((hour >> 4) & 1));
    const unsigned magnitude = static_cast<unsigned>(offsetHalfHours < 0 ? -offsetHalfHours : offsetHalfHours);
    const std::uint16_t d = static_cast<std::uint16_t>((hour & 0xF) << 12 | (minute & 0x3F) << 6 |
                                                       (offsetHalfHours < 0 ? 1u << 5 : 0u) | (magnitude & 0x1F));
    return group(p.pi, b, c, d);
}

RdsGroup tmcMessageGroup(const Programme& p, const TmcMessage& m)
{
    const std::uint16_t b = blockB(p, 8, static_cast<std::uint16_t>(kTmcSingleGroup | (m.duration & 7)));
    const std::uint16_t c = static_cast<std::uint16_t>((m.diversion ? 1u << 15 : 0u) | (m.negative ? 1u << 14 : 0u) |
                                                       (m.extent & 7u) << 11 | (m.event & 0x7FFu));
    return group(p.pi, b, c, m.location);
}

std::uint32_t modifiedJulianDay(int year, unsigned month, unsigned day)
{
    using namespace std::chrono;
    const sys_days date{std::chrono::year{year} / std::chrono::month{month} / std::chrono::day{day}};
    constexpr int kMjdOfUnixEpoch = 40587;  // 1970-01-01
    return static_cast<std::uint32_t>(date.time_since_epoch().count() + kMjdOfUnixEpoch);
}

}  // namespace sim::rds
