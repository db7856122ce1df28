// The RDS generator as a receiver would log it: the group mix, the name and AF
// codes in 0A, the TMC announcement, the repeated TMC messages and their cycle,
// the clock time at the minute, and changes on the air.
#include "sim/band/RdsGenerator.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using sim::Micros;
using sim::RdsGroup;

constexpr Micros kPeriod = 87'600;

unsigned typeOf(const RdsGroup& g)
{
    return g.blocks[1] >> 12;
}
bool versionB(const RdsGroup& g)
{
    return (g.blocks[1] & 0x0800) != 0;
}

sim::GeneratorSettings tmcStation()
{
    sim::GeneratorSettings s;
    s.pi = 0xD3A1;
    s.name = "RADIO 1";
    s.tmc = true;
    s.tp = true;
    s.pty = 1;
    s.ltn = 1;
    s.radiotext = "News and traffic";
    s.alternativeFrequencies = {9470, 9880, 10410};
    return s;
}

// A receiver hearing every group from the first slot to begin at `start` on.
struct Listener {
    Micros now;
    sim::RdsGenerator generator;

    Listener(sim::GeneratorSettings settings, Micros start = 1'000'000, std::uint64_t seed = 7)
        : now((start + kPeriod - 1) / kPeriod * kPeriod), generator(std::move(settings), seed)
    {}

    std::vector<RdsGroup> take(std::size_t count)
    {
        std::vector<RdsGroup> groups;
        for (std::size_t i = 0; i < count; ++i) {
            groups.push_back(generator.groupAt(now / kPeriod));
            now += kPeriod;
        }
        return groups;
    }
};

TEST(RdsGeneratorTest, MixCarriesNameAndAfsInZeroAAndAnnouncesTmc)
{
    Listener listener(tmcStation());
    const auto groups = listener.take(2000);
    std::map<unsigned, unsigned> count;
    std::string name(8, '?');
    std::vector<std::uint16_t> afBlocks;
    for (const RdsGroup& g : groups) {
        ASSERT_EQ(g.blocks[0], 0xD3A1);
        ASSERT_FALSE(versionB(g));
        ASSERT_TRUE(g.errorFree());
        EXPECT_EQ(g.blocks[1] & 0x07E0, 0x0400 | 1u << 5) << "TP and PTY in every group";
        ++count[typeOf(g)];
        if (typeOf(g) == 0) {
            const unsigned segment = g.blocks[1] & 3;
            name[2 * segment] = static_cast<char>(g.blocks[3] >> 8);
            name[2 * segment + 1] = static_cast<char>(g.blocks[3] & 0xFF);
            EXPECT_EQ((g.blocks[1] & 0x4) != 0, segment == 3) << "DI stereo bit only in segment 3";
            if (afBlocks.size() < 3) afBlocks.push_back(g.blocks[2]);
        }
        if (typeOf(g) == 3) {
            EXPECT_EQ(g.blocks[1] & 0x1F, 0x10) << "application group type 8A";
            EXPECT_EQ(g.blocks[3], 0xCD46);
            EXPECT_EQ(g.blocks[2] >> 14, 0u) << "variant 0";
            EXPECT_EQ((g.blocks[2] >> 6) & 0x3F, 1u) << "location table number";
        }
    }
    EXPECT_EQ(name, "RADIO 1 ");
    // Three AFs: "3 follow" with 94.7, then 98.8 and 104.1, again from the start.
    // The station has been on the air for a second, unheard: the listener
    // comes in at the cycle's second block.
    EXPECT_EQ(afBlocks, (std::vector<std::uint16_t>{113 << 8 | 166, (224 + 3) << 8 | 72, 113 << 8 | 166}));
    // Name about 4 in 10; 3A about 1 in 20; 8A present but not dominant.
    EXPECT_NEAR(count[0] / 2000.0, 0.4, 0.02);
    EXPECT_NEAR(count[3] / 2000.0, 0.05, 0.01);
    EXPECT_GT(count[8], 20u);
    EXPECT_LT(count[8], 400u);
    EXPECT_GT(count[2], 500u);
    EXPECT_GT(count[1], 50u);
    EXPECT_EQ(count[4], 2u) << "1 s to 176 s of listening holds two minute changes";
}

TEST(RdsGeneratorTest, TmcMessagesRepeatTwoOrThreeTimesAndTheListCyclesEveryCycle)
{
    sim::GeneratorSettings settings = tmcStation();
    settings.tmcCycle = 140'000'000;
    const auto& list = settings.tmcMessages;
    ASSERT_GE(list.size(), 5u);
    Listener listener(settings, 0);
    const auto groups = listener.take(static_cast<std::size_t>(2 * 140'000'000 / kPeriod));

    // Bursts of identical 8A groups in successive TMC slots.
    std::vector<std::pair<RdsGroup, unsigned>> bursts;
    for (const RdsGroup& g : groups) {
        if (typeOf(g) != 8) continue;
        EXPECT_EQ(g.blocks[1] & 0x18, 0x08) << "user message (T 0), single group (F 1)";
        if (!bursts.empty() && bursts.back().first == g)
            ++bursts.back().second;
        else
            bursts.push_back({g, 1});
    }
    ASSERT_EQ(bursts.size(), 2 * list.size());
    bool sawTwo = false, sawThree = false;
    for (std::size_t i = 0; i < bursts.size(); ++i) {
        const auto& [g, copies] = bursts[i];
        EXPECT_TRUE(copies == 2 || copies == 3) << "burst " << i << " has " << copies;
        sawTwo |= copies == 2;
        sawThree |= copies == 3;
        const sim::rds::TmcMessage& m = list[i % list.size()];
        EXPECT_EQ(g.blocks[1] & 7, m.duration);
        EXPECT_EQ(g.blocks[2], (m.diversion ? 0x8000 : 0) | (m.negative ? 0x4000 : 0) | m.extent << 11 | m.event);
        EXPECT_EQ(g.blocks[3], m.location);
    }
    EXPECT_TRUE(sawTwo && sawThree);

    // The copies follow one another in successive TMC slots (four or six
    // groups apart, one more when a clock group slips in).
    std::size_t previous = 0;
    for (std::size_t i = 1; i < groups.size(); ++i) {
        if (typeOf(groups[i]) != 8) continue;
        if (previous != 0 && groups[previous] == groups[i]) {
            EXPECT_LE(i - previous, 7u) << "copy at group " << i;
        }
        previous = i;
    }
}

TEST(RdsGeneratorTest, ClockTimeGoesOutInTheFirstGroupOfEachMinute)
{
    sim::GeneratorSettings settings = tmcStation();
    settings.clockStart = sim::kDefaultClockStart + 30;  // 08:00:30 UTC at time 0
    settings.localOffsetHalfHours = 2;
    Listener listener(settings, 0);
    std::vector<Micros> sentAt;
    std::vector<RdsGroup> clocks;
    for (int i = 0; i < 2100; ++i) {  // about 184 s
        const Micros at = listener.now;
        const RdsGroup g = listener.take(1).front();
        if (typeOf(g) == 4) {
            sentAt.push_back(at);
            clocks.push_back(g);
        }
    }
    // Minutes begin at 30 s, 90 s, 150 s of virtual time; the group on air then.
    ASSERT_EQ(sentAt.size(), 3u);
    for (unsigned k = 0; k < 3; ++k) {
        const Micros boundary = (30 + 60 * k) * 1'000'000ull;
        EXPECT_GE(sentAt[k], boundary);
        EXPECT_LT(sentAt[k], boundary + kPeriod);
        const RdsGroup& g = clocks[k];
        const std::uint32_t mjd = (g.blocks[1] & 3u) << 15 | g.blocks[2] >> 1;
        const unsigned hour = (g.blocks[2] & 1u) << 4 | g.blocks[3] >> 12;
        EXPECT_EQ(mjd, 61381u);  // 2026-12-07
        EXPECT_EQ(hour, 8u);
        EXPECT_EQ((g.blocks[3] >> 6) & 0x3F, 1 + k);
        EXPECT_EQ(g.blocks[3] & 0x3F, 2u) << "local offset +1 h, east";
    }
    // A receiver that tunes in two groups after the minute began hears no
    // clock until the next minute.
    Listener late(settings, 30'000'000 + 2 * kPeriod);
    for (const RdsGroup& g : late.take(100)) EXPECT_NE(typeOf(g), 4u);
}

TEST(RdsGeneratorTest, StationWithoutTmcSendsRadiotextEndedAndFlaggedAnew)
{
    sim::GeneratorSettings settings = tmcStation();
    settings.tmc = false;
    settings.radiotext = "Haydn";
    Listener listener(settings);
    auto textAndFlags = [&] {
        std::string text(8, '?');
        unsigned flags = 0;
        for (const RdsGroup& g : listener.take(400)) {
            EXPECT_TRUE(typeOf(g) != 3 && typeOf(g) != 8) << "type " << typeOf(g);
            if (typeOf(g) == 2) {
                const unsigned at = 4 * (g.blocks[1] & 0xF);
                if (at >= text.size()) {
                    ADD_FAILURE() << "segment beyond the text";
                    continue;
                }
                text.replace(at, 4,
                             {char(g.blocks[2] >> 8), char(g.blocks[2]), char(g.blocks[3] >> 8), char(g.blocks[3])});
                flags |= 1u << ((g.blocks[1] >> 4) & 1);
            }
        }
        return std::pair{text, flags};
    };
    EXPECT_EQ(textAndFlags(), (std::pair<std::string, unsigned>{"Haydn\r  ", 1}));
    listener.generator.setRadiotext("Mozart");
    EXPECT_EQ(textAndFlags(), (std::pair<std::string, unsigned>{"Mozart\r ", 2})) << "a new text flips the A/B flag";
}

TEST(RdsGeneratorTest, SameSeedSameGroups)
{
    Listener a(tmcStation(), 0, 42), b(tmcStation(), 0, 42), c(tmcStation(), 0, 43);
    const auto groupsA = a.take(3000);
    EXPECT_EQ(groupsA, b.take(3000));
    EXPECT_NE(groupsA, c.take(3000)) << "the repeat counts come from the seed";
}

}  // namespace
