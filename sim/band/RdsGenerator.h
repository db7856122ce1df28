// A station's RDS encoder: the groups a broadcaster sends, in a realistic mix.
//
// Every ten groups carry the name four times (0A, segments 0..3 in turn, AF
// codes in block C), radiotext (2A) three times, two TMC slots and one slot
// that alternates between the TMC announcement (3A) and the programme item
// (1A). A station without TMC, or a TMC station with no message due, fills
// the TMC slots with radiotext, and a station without TMC sends radiotext in
// place of the 3A as well.
//
// TMC messages (8A, single group) go out spread evenly over a cycle of a few
// minutes: message i of n is due in the i-th n-th of each cycle. Each goes out
// two or three times in successive TMC slots, as broadcasters repeat them, and
// the whole list starts again with the next cycle. The broadcast runs on
// whether or not anyone listens: a message whose time passed while the
// receiver was elsewhere is not sent late.
//
// The clock time (4A) goes out in the first group of every minute; a receiver
// that was not listening at the minute waits for the next one.
//
// The schedule follows the air time of each group slot, and every slot is
// produced whether or not a receiver hears it, so the station sends the same
// groups whoever listens. The repeat counts are drawn from the generator's own
// random stream (seeded from the band's stream when a band is built), so a
// seed replays the same groups.
#pragma once

#include "sim/band/RdsGroups.h"
#include "sim/band/RdsSource.h"
#include "sim/kernel/Kernel.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// A small list of realistic messages: queues, an accident, a closure and
// roadworks on locations of table 1.
std::vector<rds::TmcMessage> defaultTmcMessages();

// 2026-12-07 08:00:00 UTC, as seconds since 1970: the clock at virtual time 0.
inline constexpr std::int64_t kDefaultClockStart = 1'796'630'400;

struct GeneratorSettings {
    std::uint16_t pi = 0;
    std::string name;                                   // the programme service name, up to 8 characters
    std::uint8_t pty = 0;                               // programme type
    bool tp = false;                                    // traffic programme flag
    bool stereo = true;                                 // the DI stereo bit in segment 3
    std::string radiotext;                              // up to 64 characters; empty: no 2A, the name fills its slots
    std::vector<std::uint16_t> alternativeFrequencies;  // 10 kHz units
    std::uint8_t ecc = 0xE0;                            // extended country code sent in 1A
    bool tmc = false;                                   // send 3A and 8A
    std::uint8_t ltn = 1;                               // location table number announced in 3A
    std::vector<rds::TmcMessage> tmcMessages = defaultTmcMessages();
    Micros tmcCycle = 120'000'000;                 // the message list starts again this often
    std::int64_t clockStart = kDefaultClockStart;  // UTC seconds at virtual time 0
    int localOffsetHalfHours = 2;                  // sent in 4A
};

class RdsGenerator final : public RdsSource {
public:
    RdsGenerator(GeneratorSettings settings, std::uint64_t seed);

    // Changes on the air, from the next group on.
    void setTmc(bool on);
    void setName(const std::string& name);
    void setRadiotext(const std::string& text);                 // a new text toggles the A/B flag
    void setStereo(bool stereo) { settings_.stereo = stereo; }  // the DI stereo bit

    const GeneratorSettings& settings() const { return settings_; }
    std::uint64_t sent() const { return sent_; }  // groups on the air, heard or not

protected:
    RdsGroup produce(std::uint64_t slot) override;

private:
    RdsGroup nextName();
    RdsGroup nextText();
    bool tmcDue(Micros now, RdsGroup& group);
    bool clockDue(Micros now, RdsGroup& group);
    RdsGroup programmeItem(Micros now) const;
    void buildNameGroups();
    void buildTextGroups();

    GeneratorSettings settings_;
    rds::Programme programme_;
    std::string name8_;
    // The name's and the text's groups, built when they change rather than
    // for every group sent: the four name segments without and with the
    // stereo bit (block C, the AF pair, is filled in as each goes out), and
    // the text's segments with the current A/B flag.
    std::array<RdsGroup, 8> nameGroups_{};
    std::array<RdsGroup, 16> textGroups_{};
    unsigned textSegments_ = 0;
    std::vector<std::uint16_t> afPairs_;
    Random random_;

    std::size_t slot_ = 0;
    unsigned nameSegment_ = 0;
    std::size_t afIndex_ = 0;
    unsigned textSegment_ = 0;
    bool abFlag_ = false;
    bool extraAnnounces_ = true;  // the next extra slot is 3A (TMC) rather than 1A
    std::int64_t lastTmcWindow_ = -1;
    std::size_t burstMessage_ = 0;
    unsigned copiesLeft_ = 0;
    std::int64_t lastClockMinute_ = -1;
    std::uint64_t sent_ = 0;
};

}  // namespace sim
