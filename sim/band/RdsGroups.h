// The RDS groups a broadcaster builds, block by block: station name with
// alternative frequencies (0A), programme item (1A), radiotext (2A), the
// open-data announcement of the TMC application (3A), clock time (4A) and
// single-group TMC messages (8A). Pure functions of their inputs; the
// generator decides which group goes out when.
#pragma once

#include "sim/band/RdsSource.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::rds {

inline constexpr std::uint16_t kTmcAid = 0xCD46;   // RDS-TMC (ALERT-C)
inline constexpr std::uint8_t kAfFiller = 205;     // pads an odd list
inline constexpr std::uint8_t kAfCountBase = 224;  // 224 + n: n AFs follow
inline constexpr std::uint8_t kAfLowest = 1;       // 87.6 MHz
inline constexpr std::uint8_t kAfHighest = 204;    // 107.9 MHz
inline constexpr std::size_t kAfMaxCount = 25;
inline constexpr std::size_t kNameLength = 8;
inline constexpr std::size_t kRadiotextLength = 64;
inline constexpr std::uint8_t kRadiotextEnd = 0x0D;

// What every group of a station carries in block B besides its own bits.
struct Programme {
    std::uint16_t pi = 0;
    bool tp = false;       // traffic programme
    std::uint8_t pty = 0;  // programme type, 0..31
};

// The AF code of a frequency in 10 kHz units (8760 -> 1 ... 10790 -> 204);
// 0 when the frequency has no code (off the 100 kHz grid or out of range).
std::uint8_t afCode(std::uint16_t frequency);

// The AF list as pairs of codes for block C: the count code and the first
// frequency, then two frequencies a pair, a filler after an odd last one.
// An empty list is one pair: "no AF follows" and a filler.
std::vector<std::uint16_t> afPairs(const std::vector<std::uint16_t>& frequencies);

// A name padded or cut to eight characters.
std::string paddedName(const std::string& name);

// 0A segment c (0..3): characters 2c and 2c+1, DI bit d(3-c), TA, music.
RdsGroup nameGroup(const Programme& p, const std::string& name8, unsigned segment, std::uint16_t afPair, bool ta,
                   bool stereo);

// 1A with the extended country code (variant 0) and the programme item
// number (day of month, hour, minute).
RdsGroup programmeItemGroup(const Programme& p, std::uint8_t ecc, unsigned day, unsigned hour, unsigned minute);

// The number of 2A segments the text needs (its end code included).
unsigned radiotextSegments(const std::string& text);
// 2A segment (0..15): four characters, 0x0D after a text shorter than 64.
RdsGroup radiotextGroup(const Programme& p, const std::string& text, unsigned segment, bool abFlag);

// 3A: application group type 8A announced with the TMC identifier; block C
// variant 0 with the location table number and the service flags.
RdsGroup tmcAnnouncementGroup(const Programme& p, std::uint8_t ltn);

// 4A: UTC date and time (modified Julian day, hour, minute) and the local
// offset in half hours (negative west of Greenwich).
RdsGroup clockGroup(const Programme& p, std::uint32_t mjd, unsigned hour, unsigned minute, int offsetHalfHours);

struct TmcMessage {
    std::uint16_t event = 0;     // 11-bit ALERT-C event code
    std::uint16_t location = 0;  // location code in the station's table
    bool negative = false;       // direction of the queue growth
    std::uint8_t extent = 0;     // further locations covered, 0..7
    bool diversion = false;      // diversion advised
    std::uint8_t duration = 0;   // duration and persistence, 0..7

    bool operator==(const TmcMessage&) const = default;
};

// 8A single-group user message (T = 0, F = 1).
RdsGroup tmcMessageGroup(const Programme& p, const TmcMessage& message);

// The modified Julian day of a civil date.
std::uint32_t modifiedJulianDay(int year, unsigned month, unsigned day);

}  // namespace sim::rds
