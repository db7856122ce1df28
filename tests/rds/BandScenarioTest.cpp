// The driver on a band described in a band file: tuned by Tune to a TMC
// station, the capture threads and the decoder turn every group the station
// sends into the sentences the application reads; tuned to a station without
// RDS, the interrupt thread asks for a recovery after a minute.
#include "sim/band/BandFile.h"
#include "sim/band/BandSetup.h"
#include "tests/rds/CaptureRig.h"

#include <memory>

namespace capturetest {
namespace {

constexpr char kBand[] = R"({"stations": [
  {"frequency": 9470, "rssi": 42, "snr": 25,
   "rds": {"pi": "0xD3A1", "name": "RADIO 1", "tmc": true}},
  {"frequency": 8830, "rssi": 30, "snr": 15}
]})";

// Passes the station's groups on and keeps a copy of each, in the order the
// chip received them; the slots it missed pass unrecorded.
class RecordingSource final : public sim::RdsSource {
public:
    explicit RecordingSource(std::shared_ptr<sim::RdsSource> inner) : inner_(std::move(inner)) {}
    std::vector<sim::RdsGroup> sent;

protected:
    sim::RdsGroup produce(std::uint64_t slot) override
    {
        sent.push_back(inner_->groupAt(slot));
        return sent.back();
    }
    void pass(std::uint64_t, std::uint64_t) override {}

private:
    std::shared_ptr<sim::RdsSource> inner_;
};

class BandScenario : public CaptureRig {
protected:
    Lines lines;

    // Listens for `ms`, taking the lines out as an application would.
    void listen(unsigned ms)
    {
        for (unsigned t = 0; t < ms; t += 100) {
            Sleep(100);
            for (std::string& line : takeLines()) lines.push_back(std::move(line));
        }
    }
    std::size_t count(const std::string& prefix) const
    {
        std::size_t n = 0;
        for (const std::string& line : lines) n += line.rfind(prefix, 0) == 0;
        return n;
    }
};

TEST_F(BandScenario, TmcStationIsDecodedWithoutALostGroupAndASilentStationAsksForRecovery)
{
    sim::installBand(kernel, world.band(), sim::band::parseBandFile(kBand, "scenario.json"));
    sim::Station* station = world.band().find(9470);
    ASSERT_NE(station, nullptr);
    auto recording = std::make_shared<RecordingSource>(station->rds);
    station->rds = recording;

    bringUpWithInterrupt();
    // Raw sentences for every group type the repeat filter does not hold
    // back, so that each delivered group leaves a trace in the output.
    gDriver.sentences.outputFilter.flags = kDefaultFilterFlags;
    gDriver.sentences.outputFilter.tmcMask = kDefaultFilterTmcMask;
    gDriver.sentences.outputFilter.maskA = 0xFFFF & ~0x0108;
    gDriver.sentences.outputFilter.maskB = 0xFFFF;
    startGroupThread();
    startInterruptThread();
    Sleep(1);
    takeLines();

    Tune(9470);
    ASSERT_EQ(ChannelFrequency(), 9470);
    const std::size_t heardBeforeCapture = recording->sent.size();
    listen(60000);
    // The station stops sending; what was captured drains.
    station->rds = nullptr;
    listen(1000);
    const std::vector<sim::RdsGroup> sent = recording->sent;
    ASSERT_GT(sent.size() - heardBeforeCapture, 60000 / 88u);

    // PI confirmed on its third reception, then again on every third group.
    ASSERT_FALSE(lines.empty());
    std::size_t firstPi = lines.size();
    for (std::size_t i = 0; i < lines.size() && firstPi == lines.size(); ++i)
        if (lines[i] == "$PLTMT,13,54177*63") firstPi = i;
    ASSERT_LT(firstPi, lines.size());
    EXPECT_EQ(count("$PLTMT,"), count("$PLTMT,13,54177*"));
    // The name once, when every position is confirmed, padded as broadcast.
    EXPECT_EQ(count("$PLTCH,"), 1u);
    EXPECT_EQ(count("$PLTCH,\"RADIO 1 \"*0f"), 1u);
    // TMC: the announcement (application group 8A, identifier 0xCD46) and
    // single-group user messages.
    // Each message the station sent two or three times in a row went out
    // once, at its second copy, in the order sent.
    std::vector<std::string> messages;
    std::array<std::uint16_t, 4> previous{};
    for (std::size_t i = heardBeforeCapture; i < sent.size(); ++i) {
        const auto& g = sent[i].blocks;
        if ((g[1] & 0xF800) != 0x8000) continue;
        if (g == previous) {
            char text[64];
            std::snprintf(text, sizeof text, "$PLTTM,8,%u,%u,%u,%u,%u", g[1] & 0xFF, g[2] >> 8, g[2] & 0xFF, g[3] >> 8,
                          g[3] & 0xFF);
            if (messages.empty() || messages.back() != framed(text)) messages.push_back(framed(text));
        }
        previous = g;
    }
    ASSERT_GE(messages.size(), 3u);
    Lines tmcMessages;
    for (const std::string& line : lines)
        if (line.rfind("$PLTTM,8,", 0) == 0) tmcMessages.push_back(line);
    EXPECT_EQ(tmcMessages, messages);
    std::size_t announcements = 0;
    for (const std::string& line : lines) {
        unsigned b = 0, c1 = 0, c2 = 0, d1 = 0, d2 = 0;
        if (std::sscanf(line.c_str(), "$PLTTM,3,%u,%u,%u,%u,%u*", &b, &c1, &c2, &d1, &d2) == 5) {
            EXPECT_EQ(b & 0x1F, 0x10u) << line;
            EXPECT_EQ(d1 << 8 | d2, 0xCD46u) << line;
            ++announcements;
        }
        if (std::sscanf(line.c_str(), "$PLTTM,8,%u,", &b) == 1) {
            EXPECT_EQ(b & 0x18, 0x08u) << line;  // T 0, F 1
        }
    }
    EXPECT_GT(announcements, 0u);

    // Every group the station sent after the tune, except the TMC groups the
    // repeat filter holds back, came out raw, in order, with none missing.
    std::vector<std::array<std::uint16_t, 3>> raw;
    for (const std::string& line : lines) {
        unsigned pi = 0, b = 0, c = 0, d = 0;
        if (std::sscanf(line.c_str(), "$PLTTR,0,%u,%u,%u,%u*", &pi, &b, &c, &d) != 4) continue;
        EXPECT_EQ(pi, 0xD3A1u);
        if ((b & 0xF800) == 0x8000 || (b & 0xF800) == 0x3000) continue;  // 8A and 3A pass the filter
        raw.push_back({static_cast<std::uint16_t>(b), static_cast<std::uint16_t>(c), static_cast<std::uint16_t>(d)});
    }
    std::vector<std::array<std::uint16_t, 3>> expected;
    for (std::size_t i = heardBeforeCapture; i < sent.size(); ++i) {
        const auto& g = sent[i].blocks;
        EXPECT_TRUE(sent[i].errorFree());
        if ((g[1] & 0xF800) == 0x8000 || (g[1] & 0xF800) == 0x3000) continue;
        expected.push_back({g[1], g[2], g[3]});
    }
    // Until the PI is confirmed (third group) nothing goes out raw.
    ASSERT_GT(raw.size(), 600u);
    ASSERT_LE(expected.size() - raw.size(), 3u);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), expected.end() - static_cast<std::ptrdiff_t>(raw.size())))
        << "a group was lost or reordered between the chip and the output";

    // A station without RDS: after the tune's completion no interrupt comes,
    // and one minute later the interrupt thread asks for a recovery.
    Tune(8830);
    EXPECT_EQ(ChannelFrequency(), 8830);
    Sleep(59000);
    EXPECT_EQ(gDriver.control.recoveryNeeded, 0);
    Sleep(1000);
    EXPECT_EQ(gDriver.control.recoveryNeeded, 1);
    EXPECT_EQ(gDriver.tuner.tunerBusy, 0);
}

}  // namespace
}  // namespace capturetest
