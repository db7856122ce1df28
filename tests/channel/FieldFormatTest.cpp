// The sentence field formatter must write exactly what the C library's
// formatter writes for the sentence formats, cut the same way when short of
// room.
#include "channel/SentenceTexts.h"
#include "channel/Sentences.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string formatted(unsigned size, const char* format, std::initializer_list<std::int32_t> values)
{
    char text[80];
    std::memset(text, '#', sizeof text);
    const unsigned length = formatFields(text, size, format, values.begin(), static_cast<unsigned>(values.size()));
    EXPECT_EQ(text[size], '#') << "wrote past the buffer";
    EXPECT_EQ(length, std::strlen(text)) << "the length returned is the text's";
    return std::string(text);
}

TEST(FieldFormat, WritesWhatSnprintfWritesAndCutsTheSameWay)
{
    const std::int32_t samples[] = {0, 1, 9, 10, 99, 100, 4095, 0xFFFF, 65536, 123456789, INT_MAX, -1, -10, INT_MIN};
    char expected[80];
    for (std::int32_t v : samples) {
        for (unsigned size : {1u, 4u, 9u, 12u, 59u}) {
            std::snprintf(expected, size, "$PLTMT,%d,%x*", v, v);
            EXPECT_EQ(formatted(size, "$PLTMT,%d,%x*", {v, v}), expected) << v << " in " << size;
        }
    }
    std::snprintf(expected, sizeof expected, kTmcGroupFormat, 8, 0x45, 0x12, 0xAB, 0, 255);
    EXPECT_EQ(formatted(59, kTmcGroupFormat, {8, 0x45, 0x12, 0xAB, 0, 255}), expected);
    std::snprintf(expected, sizeof expected, kRawGroupFormat, 0xD3A1, 0x8000, 65535, 0);
    EXPECT_EQ(formatted(59, kRawGroupFormat, {0xD3A1, 0x8000, 65535, 0}), expected);
    // Text around the conversions and a lone percent sign pass through.
    EXPECT_EQ(formatted(59, "a%db%", {7}), "a7b%");
    // With fewer values than conversions the rest stay as written.
    EXPECT_EQ(formatted(59, "%d,%d", {3}), "3,%d");
    // No room at all: nothing is written.
    char untouched[2] = {'#', '\0'};
    const std::int32_t three = 3;
    formatFields(untouched, 0, "%d", &three, 1);
    EXPECT_EQ(untouched[0], '#');
}

}  // namespace
