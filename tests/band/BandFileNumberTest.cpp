// Band files whose numbers do not fit a double: inputs the band-file fuzz
// target found escaping the reader as a JSON library exception, replayed here.
// They must come back as the reader's own error, naming the file.
#include "sim/band/BandFile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace {

using sim::band::BandFileError;

std::string errorOf(std::string_view text)
{
    try {
        sim::band::parseBandFile(text, "bands/band.json");
    } catch (const BandFileError& error) {
        return error.what();
    }
    return "no error";
}

TEST(BandFileNumbers, NumberOverflowIsABandFileError)
{
    // The fuzzer's input, cut down by its crash minimiser: a bare number with
    // an exponent far out of range.
    constexpr std::uint8_t kFound[] = {0x35, 0x65, 0x35, 0x35, 0x35};  // "5e555"
    EXPECT_EQ(errorOf({reinterpret_cast<const char*>(kFound), sizeof kFound}),
              "bands/band.json: line 1, column 1: number overflow parsing '5e555'");

    // The same inside a station, where a value is expected, and a negative one:
    // the reader stops at the number, before any key is looked at.
    EXPECT_EQ(errorOf(R"({"stations": [{"frequency": 9470, "rssi": 1e999}]})"),
              "bands/band.json: line 1, column 43: number overflow parsing '1e999'");
    EXPECT_EQ(errorOf(R"({"noiseRssi": -2E+400, "stations": []})"),
              "bands/band.json: line 1, column 15: number overflow parsing '-2E+400'");

    // A large exponent that still fits stays a number, judged by its range.
    EXPECT_NE(errorOf(R"({"noiseRssi": 1e300, "stations": []})").find("noiseRssi"), std::string::npos);
}

}  // namespace
