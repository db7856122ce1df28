// Test support for the group decoder: a freshly loaded driver with the
// start-up output filter, and builders for hand-made groups.
#pragma once

#include "tests/channel/OutputLines.h"
#include "tests/support/TestSeed.h"

#include <string>
#include <vector>

namespace corvane_test {

constexpr std::uint16_t kStationPi = 0xFE37;  // 65079, country nibble 15

constexpr RdsGroup makeGroup(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d,
                             std::uint16_t status = 0)
{
    return RdsGroup{a, b, c, d, status};
}

// Group 0A carrying name segment `segment` (characters 2 * segment and
// 2 * segment + 1) and the AF codes 224, 205 in block C.
constexpr RdsGroup nameGroup(std::uint16_t pi, unsigned segment, char first, char second, std::uint16_t status = 0)
{
    return RdsGroup{
        pi, static_cast<std::uint16_t>(0x0400 | segment), 0xE0CD,
        static_cast<std::uint16_t>((static_cast<std::uint8_t>(first) << 8) | static_cast<std::uint8_t>(second)),
        status};
}

class DecoderTest : public ::testing::Test {
protected:
    sim::Kernel kernel{testKernelOptions()};
    harness::LoadedContext driver;
    DecoderTest() { driver.readyDecoder(); }

    static void setFlags(std::uint16_t flags) { gDriver.sentences.outputFilter.flags.store(flags); }

    // Decodes one group and returns the lines it produced.
    static Lines decode(const RdsGroup& group)
    {
        decodeGroup(group);
        return takeLines();
    }

    // Decodes groups and returns every line they produced.
    static Lines decodeAll(std::initializer_list<RdsGroup> groups)
    {
        for (const RdsGroup& group : groups) decodeGroup(group);
        return takeLines();
    }

    // Confirms a PI with three groups 2A (which produce no raw group sentence
    // by default) and drops what they produced.
    static void confirmStation(std::uint16_t pi)
    {
        for (int i = 0; i < 3; ++i) decodeGroup(makeGroup(pi, 0x2400, 0x2020, 0x2020));
        takeLines();
        ASSERT_EQ(gDriver.rds.decoder.confirmedPi.load(), pi);
    }

    // Sends a name as its four segments, each `copies` times in a row, and
    // returns the lines produced after each group.
    static std::vector<Lines> sendName(std::uint16_t pi, const char (&name)[9], int copies)
    {
        std::vector<Lines> perGroup;
        for (unsigned segment = 0; segment < 4; ++segment)
            for (int i = 0; i < copies; ++i)
                perGroup.push_back(decode(nameGroup(pi, segment, name[2 * segment], name[2 * segment + 1])));
        return perGroup;
    }
};

}  // namespace corvane_test
