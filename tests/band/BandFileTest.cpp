// Band files: a full file read into stations, sources and events; every kind
// of mistake reported with the file, the place and what is wrong; the
// built-in band.
#include "sim/band/BandFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using sim::band::BandFileError;
using sim::band::parseBandFile;

// A folder of its own for the files a test writes, removed afterwards.
class BandFileTest : public ::testing::Test {
protected:
    fs::path folder = fs::temp_directory_path() /
                      ("corvane-band-" + std::to_string(::getpid()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());

    void SetUp() override { fs::create_directories(folder / "recordings"); }
    void TearDown() override { fs::remove_all(folder); }

    fs::path write(const std::string& name, const std::string& text)
    {
        std::ofstream(folder / name, std::ios::binary) << text;
        return folder / name;
    }

    std::string errorOf(const std::string& json)
    {
        try {
            parseBandFile(json, folder / "band.json");
        } catch (const BandFileError& error) {
            return std::string(error.what()).substr(folder.string().size() + 1);
        }
        return "no error";
    }
};

TEST_F(BandFileTest, ReadsStationsSourcesAndEvents)
{
    write("recordings/FE37.spy", "<recorder=\"RDS Spy\">\r\n"
                                 "FE37 0408 E20D 4C41 @2018/01/02 19:20:13.56\r\n"
                                 "---- 0409 CDCD 5449 @2018/01/02 19:20:13.65\r\n");
    const auto path = write("band.json", R"({"noiseRssi": 5, "clockStart": "2027-01-31T23:59:00Z", "stations": [
      {"frequency": 9470, "rssi": 42, "snr": 25,
       "rds": {"pi": "0xD3A1", "name": "RADIO 1", "tmc": true, "blockErrorRate": 0.01},
       "events": [{"at": 600, "tmc": false}, {"at": 900.5, "rssi": 0, "name": "OFF AIR"}]},
      {"frequency": 10120, "rssi": 38, "snr": 20, "rds": {"log": "recordings/FE37.spy"}},
      {"frequency": 8830, "rssi": 30, "snr": 15, "stereo": false},
      {"frequency": 9910, "rds": {"pi": 54770, "name": "CITY", "radiotext": "Hits", "af": [9910, 10790],
       "pty": 10, "tp": true, "ltn": 12, "ecc": 224, "tmcCycle": 300, "localOffset": -3.5,
       "tmcMessages": [{"event": 101, "location": 12690, "direction": 1, "extent": 2, "diversion": true, "duration": 3},
                       {"event": 701, "location": 7}]}}
    ]})");
    const auto band = sim::band::readBandFile(path);
    EXPECT_EQ(band.source, path.string());
    EXPECT_EQ(band.noiseRssi, 5);
    ASSERT_EQ(band.stations.size(), 4u);

    const auto& radio1 = band.stations[0];
    EXPECT_EQ(radio1.frequency, 9470);
    EXPECT_EQ(radio1.rssi, 42);
    EXPECT_EQ(radio1.snr, 25);
    ASSERT_TRUE(radio1.rds && radio1.rds->generator);
    const auto& g = *radio1.rds->generator;
    EXPECT_EQ(g.pi, 0xD3A1);
    EXPECT_EQ(g.name, "RADIO 1");
    EXPECT_TRUE(g.tmc);
    EXPECT_TRUE(g.tp) << "a TMC station is a traffic programme unless told otherwise";
    EXPECT_EQ(g.clockStart, 1'801'439'940);
    EXPECT_EQ(g.tmcMessages, sim::defaultTmcMessages());
    EXPECT_DOUBLE_EQ(radio1.rds->blockErrorRate, 0.01);
    ASSERT_EQ(radio1.events.size(), 2u);
    EXPECT_EQ(radio1.events[0].at, 600'000'000u);
    EXPECT_EQ(radio1.events[0].tmc, false);
    EXPECT_FALSE(radio1.events[0].rssi);
    EXPECT_EQ(radio1.events[1].at, 900'500'000u);
    EXPECT_EQ(radio1.events[1].rssi, 0);
    EXPECT_EQ(radio1.events[1].name, "OFF AIR");

    const auto& logged = band.stations[1];
    ASSERT_TRUE(logged.rds && logged.rds->log);
    EXPECT_FALSE(logged.rds->generator);
    ASSERT_EQ(logged.rds->log->groups.size(), 2u);
    EXPECT_TRUE(logged.rds->log->groups[1].lost[0]);

    EXPECT_FALSE(band.stations[2].rds);
    EXPECT_FALSE(band.stations[2].stereo);

    const auto& city = band.stations[3];
    EXPECT_EQ(city.rssi, 40) << "default level";
    const auto& c = *city.rds->generator;
    EXPECT_EQ(c.pi, 54770);
    EXPECT_FALSE(c.tmc);
    EXPECT_TRUE(c.tp);
    EXPECT_EQ(c.radiotext, "Hits");
    EXPECT_EQ(c.alternativeFrequencies, (std::vector<std::uint16_t>{9910, 10790}));
    EXPECT_EQ(c.pty, 10);
    EXPECT_EQ(c.ltn, 12);
    EXPECT_EQ(c.ecc, 224);
    EXPECT_EQ(c.tmcCycle, 300'000'000u);
    EXPECT_EQ(c.localOffsetHalfHours, -7);
    EXPECT_EQ(c.tmcMessages,
              (std::vector<sim::rds::TmcMessage>{{101, 12690, true, 2, true, 3}, {701, 7, false, 0, false, 0}}));
}

TEST_F(BandFileTest, MistakesNameTheFileThePlaceAndWhatIsWrong)
{
    const std::string ok = R"("frequency": 9470, "rds": {"pi": "0xD3A1", "name": "RADIO 1"})";
    auto station = [](const std::string& body) { return R"({"stations": [{"frequency": 8830}, {)" + body + "}]}"; };

    // Malformed JSON: line and column.
    EXPECT_EQ(errorOf("{\"stations\": [\n  {\"frequency\": 9470,}\n]}"),
              "band.json: parse error at line 2, column 22: syntax error while parsing object key - unexpected '}'; "
              "expected string literal");
    EXPECT_EQ(errorOf(station(R"("frequency": 9470, "rssi": 4, "rssi": 5)")),
              "band.json: the key \"rssi\" appears twice in one object");
    // Unknown keys, at every level, with the keys that are known.
    EXPECT_EQ(errorOf(R"({"stations": [], "station": 1})"),
              "band.json: top level: unknown key \"station\" (known keys: stations, noiseRssi, clockStart)");
    EXPECT_EQ(errorOf(station(R"("frequency": 9470, "rsi": 4)")),
              "band.json: stations[1]: unknown key \"rsi\" (known keys: frequency, rssi, snr, stereo, rds, events)");
    EXPECT_EQ(errorOf(station(R"("frequency": 9470, "rds": {"pi": 1, "name": "A", "nmae": "B"})")),
              "band.json: stations[1].rds: unknown key \"nmae\" (known keys: pi, name, tmc, blockErrorRate, log, pty, "
              "tp, radiotext, af, ltn, ecc, tmcMessages, tmcCycle, localOffset)");
    EXPECT_EQ(errorOf(station(ok + R"(, "events": [{"at": 1, "rsi": 0}])")),
              "band.json: stations[1].events[0]: unknown key \"rsi\" (known keys: at, rssi, snr, stereo, rds, tmc, "
              "name, radiotext, blockErrorRate)");
    // Wrong types.
    EXPECT_EQ(errorOf(station(R"("frequency": "9470")")),
              "band.json: stations[1].frequency: expected a whole number, found the string \"9470\"");
    EXPECT_EQ(errorOf(station(R"("frequency": 94.7)")),
              "band.json: stations[1].frequency: expected a whole number, found the number 94.7");
    EXPECT_EQ(errorOf(station(R"("frequency": 9470, "rds": {"pi": 1, "name": "A", "tmc": "yes"})")),
              "band.json: stations[1].rds.tmc: expected true or false, found the string \"yes\"");
    EXPECT_EQ(errorOf(R"({"stations": {}})"), "band.json: stations: expected an array, found an object");
    EXPECT_EQ(errorOf(R"([1])"), "band.json: top level: expected an object, found an array");
    // Out of range.
    EXPECT_EQ(errorOf(station(R"("frequency": 9470, "rssi": 76)")),
              "band.json: stations[1].rssi: 76 is out of range (0..75)");
    EXPECT_EQ(errorOf(station(R"("frequency": 10810)")),
              "band.json: stations[1].frequency: 10810 is out of range (7600..10800)");
    EXPECT_EQ(errorOf(station(R"("frequency": 9472)")),
              "band.json: stations[1].frequency: 9472 is not on the 50 kHz grid (10 kHz units)");
    EXPECT_EQ(errorOf(station(R"("frequency": 9470, "rds": {"pi": 1, "name": "A", "blockErrorRate": 1.5})")),
              "band.json: stations[1].rds.blockErrorRate: 1.5 is out of range (0..1)");
    EXPECT_EQ(errorOf(station(R"("frequency": 9470, "rds": {"pi": "0xD3G1", "name": "A"})")),
              "band.json: stations[1].rds.pi: \"0xD3G1\" is not a programme identification (a hex string "
              "\"0x0001\"..\"0xFFFF\" or a number)");
    EXPECT_EQ(errorOf(station(R"("frequency": 9470, "rds": {"pi": 65536, "name": "A"})")),
              "band.json: stations[1].rds.pi: 65536 is out of range (1..65535)");
    EXPECT_EQ(errorOf(station(R"("frequency": 9470, "rds": {"pi": 1, "name": "RADIO ONE"})")),
              "band.json: stations[1].rds.name: \"RADIO ONE\" is longer than 8 characters");
    EXPECT_EQ(errorOf(station(ok + R"(, "events": [{"at": -1, "rssi": 0}])")),
              "band.json: stations[1].events[0].at: -1 is out of range (0..1000000)");
    // Missing and conflicting keys, duplicates, events that cannot apply.
    EXPECT_EQ(errorOf(station(R"("rssi": 4)")),
              "band.json: stations[1]: the key \"frequency\" is missing (in 10 kHz units)");
    EXPECT_EQ(errorOf(station(R"("frequency": 9470, "rds": {"name": "A"})")),
              "band.json: stations[1].rds: the key \"pi\" is missing (the programme identification, or \"log\" for a "
              "recorded log)");
    EXPECT_EQ(errorOf(station(R"("frequency": 8830)")),
              "band.json: stations[1].frequency: 8830 is already the frequency of stations[0]");
    EXPECT_EQ(errorOf(station(R"("frequency": 9470, "rds": {"log": "x.spy", "name": "A"})")),
              "band.json: stations[1].rds.name: \"name\" cannot go with \"log\": a recorded log brings its own groups");
    EXPECT_EQ(errorOf(station(R"("frequency": 9470, "events": [{"at": 5, "tmc": false}])")),
              "band.json: stations[1].events[0].tmc: the station sends no RDS (it has no \"rds\")");
    EXPECT_EQ(errorOf(station(ok + R"(, "events": [{"at": 5}])")),
              "band.json: stations[1].events[0]: the event changes nothing (give \"at\" and what changes)");
}

TEST_F(BandFileTest, RecordedLogsMustBeReadableAndHoldGroups)
{
    auto station = [](const std::string& log) {
        return R"({"stations": [{"frequency": 10120, "rds": {"log": ")" + log + R"("}}]})";
    };
    EXPECT_EQ(errorOf(station("recordings/none.spy")),
              "band.json: stations[0].rds.log: " + (folder / "recordings/none.spy").string() +
                  ":0: cannot open the log");
    write("recordings/empty.rds", "% RDS hexgroups\n% Freq 88500\n");
    EXPECT_EQ(errorOf(station("recordings/empty.rds")),
              "band.json: stations[0].rds.log: the log " + (folder / "recordings/empty.rds").string() +
                  " holds no RDS group");
    write("recordings/bad.spy", "FE37 0408 E20D\n");
    EXPECT_EQ(errorOf(station("recordings/bad.spy")),
              "band.json: stations[0].rds.log: " + (folder / "recordings/bad.spy").string() +
                  ":1: block D is missing (a group is four blocks A B C D)");
    write("recordings/ok.spy", "FE37 0408 E20D 4C41\n");
    const std::string json = station("recordings/ok.spy") + "\n";
    EXPECT_EQ(parseBandFile(json, folder / "band.json").stations[0].rds->log->groups.size(), 1u);
    EXPECT_THROW(parseBandFile(json, fs::path("elsewhere") / "band.json"), BandFileError)
        << "logs are found beside the band file";
    EXPECT_THROW(sim::band::readBandFile(folder / "missing.json"), BandFileError);

    // A band of one station for replaying a log.
    const auto replay = sim::band::logBand(folder / "recordings/ok.spy", 10120);
    ASSERT_EQ(replay.stations.size(), 1u);
    EXPECT_EQ(replay.stations[0].frequency, 10120);
    EXPECT_EQ(replay.stations[0].rds->log->groups[0].blocks[0], 0xFE37);
    try {
        sim::band::logBand(folder / "recordings/empty.rds");
        ADD_FAILURE() << "an empty log replayed";
    } catch (const BandFileError& error) {
        EXPECT_EQ(error.what(), (folder / "recordings/empty.rds").string() + ": the log holds no RDS group");
    }
}

TEST(DefaultBandTest, SearchingUpMeetsNoRdsThenRdsThenTmc)
{
    const auto band = sim::band::defaultBand();
    EXPECT_EQ(band.source, "built-in band");
    std::vector<const sim::band::StationDescription*> up;
    for (const auto& s : band.stations) {
        EXPECT_GE(s.frequency, 8750);
        EXPECT_LE(s.frequency, 10800);
        up.push_back(&s);
    }
    std::sort(up.begin(), up.end(), [](auto* a, auto* b) { return a->frequency < b->frequency; });
    ASSERT_GE(up.size(), 3u);
    EXPECT_FALSE(up[0]->rds);
    ASSERT_TRUE(up[1]->rds && up[1]->rds->generator);
    EXPECT_FALSE(up[1]->rds->generator->tmc);
    ASSERT_TRUE(up[2]->rds && up[2]->rds->generator);
    EXPECT_TRUE(up[2]->rds->generator->tmc);
    EXPECT_EQ(up[2]->frequency, 9470);
    EXPECT_EQ(up[2]->rssi, 42);
    EXPECT_EQ(up[2]->rds->generator->pi, 0xD3A1);
    EXPECT_EQ(up[2]->rds->blockErrorRate, 0.0) << "the TMC station's groups arrive whole";
    for (const auto* s : up) {
        if (s->rds) {
            EXPECT_LE(s->rds->generator->name.size(), 8u);
        }
    }
}

}  // namespace
