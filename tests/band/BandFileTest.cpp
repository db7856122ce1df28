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
    fs::path folder = fs::temp_directory_path() / ("corvane-band-" + std::to_string(::getpid()) + "-" +
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
    write("recordings/FE37.spy", "<recorder=\"RDS Spy\">\r\nFE37 0408 E20D 4C41\r\n---- 0409 CDCD 5449\r\n");
    const auto path = write("band.json", R"({"noiseRssi": 5, "clockStart": "2027-01-31T23:59:00Z", "stations": [
      {"frequency": 9470, "rssi": 42, "snr": 25,
       "rds": {"pi": "0xD3A1", "name": "RADIO 1", "tmc": true, "blockErrorRate": 0.01},
       "events": [{"at": 600, "tmc": false}, {"at": 900.5, "rssi": 0, "name": "OFF AIR"}]},
      {"frequency": 10120, "rssi": 38, "snr": 20, "rds": {"log": "recordings/FE37.spy"}},
      {"frequency": 8830, "stereo": false},
      {"frequency": 9910, "rds": {"pi": 54770, "name": "CITY", "af": [9910, 10790], "tp": true, "localOffset": -3.5,
       "tmcMessages": [{"event": 101, "location": 12690, "direction": 1, "extent": 2, "diversion": true, "duration": 3},
                       {"event": 701, "location": 7}]}}
    ]})");
    const auto band = sim::band::readBandFile(path);
    EXPECT_EQ(band.noiseRssi, 5);
    ASSERT_EQ(band.stations.size(), 4u);

    const auto& radio1 = band.stations[0];
    const auto& g = *radio1.rds->generator;
    EXPECT_EQ(g.pi, 0xD3A1);
    EXPECT_TRUE(g.tmc && g.tp) << "a TMC station is a traffic programme unless told otherwise";
    EXPECT_EQ(g.clockStart, 1'801'439'940);
    EXPECT_EQ(g.tmcMessages, sim::defaultTmcMessages());
    EXPECT_DOUBLE_EQ(radio1.rds->blockErrorRate, 0.01);
    ASSERT_EQ(radio1.events.size(), 2u);
    EXPECT_EQ(radio1.events[0].tmc, false);
    EXPECT_FALSE(radio1.events[0].rssi);
    EXPECT_EQ(radio1.events[1].at, 900'500'000u);
    EXPECT_EQ(radio1.events[1].rssi, 0);
    EXPECT_EQ(radio1.events[1].name, "OFF AIR");

    const auto& logged = band.stations[1].rds;
    ASSERT_TRUE(logged && logged->log && !logged->generator);
    EXPECT_TRUE(logged->log->groups.at(1).lost[0]);
    EXPECT_FALSE(band.stations[2].rds);
    EXPECT_EQ(band.stations[2].rssi, 40) << "default level";

    const auto& c = *band.stations[3].rds->generator;
    EXPECT_EQ(c.pi, 54770);
    EXPECT_TRUE(!c.tmc && c.tp);
    EXPECT_EQ(c.alternativeFrequencies, (std::vector<std::uint16_t>{9910, 10790}));
    EXPECT_EQ(c.localOffsetHalfHours, -7);
    EXPECT_EQ(c.tmcMessages,
              (std::vector<sim::rds::TmcMessage>{{101, 12690, true, 2, true, 3}, {701, 7, false, 0, false, 0}}));
}

TEST_F(BandFileTest, MistakesNameTheFileThePlaceAndWhatIsWrong)
{
    const std::string ok = R"("frequency": 9470, "rds": {"pi": "0xD3A1", "name": "RADIO 1"})";
    auto station = [](const std::string& body) { return R"({"stations": [{"frequency": 8830}, {)" + body + "}]}"; };
    const std::pair<std::string, std::string> cases[] = {
        {"{\"stations\": [\n  {\"frequency\": 9470,}\n]}",
         "parse error at line 2, column 22: syntax error while parsing object key - unexpected '}'; expected string "
         "literal"},
        {station(R"("frequency": 9470, "rssi": 4, "rssi": 5)"),
         "line 1, column 67: the key \"rssi\" appears twice in one object"},
        {station(R"("frequency": 9470, "rsi": 4)"),
         "stations[1]: unknown key \"rsi\" (known keys: frequency, rssi, snr, stereo, rds, events)"},
        {station(ok + R"(, "events": [{"at": 1, "rds": false, "nmae": "B"}])"),
         "stations[1].events[0]: unknown key \"nmae\" (known keys: at, rssi, snr, stereo, rds, tmc, name, radiotext, "
         "blockErrorRate)"},
        {station(R"("frequency": "9470")"),
         "stations[1].frequency: expected a whole number, found the string \"9470\""},
        {station(R"("frequency": 94.7)"), "stations[1].frequency: expected a whole number, found the number 94.7"},
        {station(R"("frequency": 9470, "rds": {"pi": 1, "name": "A", "tmc": "yes"})"),
         "stations[1].rds.tmc: expected true or false, found the string \"yes\""},
        {R"({"stations": {}})", "stations: expected an array, found an object"},
        {station(R"("frequency": 9470, "rssi": 76)"), "stations[1].rssi: 76 is out of range (0..75)"},
        {station(R"("frequency": 9472)"), "stations[1].frequency: 9472 is not on the 50 kHz grid (10 kHz units)"},
        {station(R"("frequency": 9470, "rds": {"pi": 1, "name": "A", "blockErrorRate": 1.5})"),
         "stations[1].rds.blockErrorRate: 1.5 is out of range (0..1)"},
        {station(R"("frequency": 9470, "rds": {"pi": "0xD3G1", "name": "A"})"),
         "stations[1].rds.pi: \"0xD3G1\" is not a programme identification (a hex string \"0x0001\"..\"0xFFFF\" or a "
         "number)"},
        {station(R"("frequency": 9470, "rds": {"pi": 1, "name": "RADIO ONE"})"),
         "stations[1].rds.name: \"RADIO ONE\" is longer than 8 characters"},
        {station(R"("rssi": 4)"), "stations[1]: the key \"frequency\" is missing (in 10 kHz units)"},
        {station(R"("frequency": 8830)"), "stations[1].frequency: 8830 is already the frequency of stations[0]"},
        {station(R"("frequency": 9470, "rds": {"log": "x.spy", "name": "A"})"),
         "stations[1].rds.name: \"name\" cannot go with \"log\": a recorded log brings its own groups"},
        {station(R"("frequency": 9470, "events": [{"at": 5, "tmc": false}])"),
         "stations[1].events[0].tmc: the station sends no RDS (it has no \"rds\")"},
        {station(ok + R"(, "events": [{"at": 5}])"),
         "stations[1].events[0]: the event changes nothing (give \"at\" and what changes)"},
    };
    for (const auto& [json, message] : cases) EXPECT_EQ(errorOf(json), "band.json: " + message);
}

TEST_F(BandFileTest, RecordedLogsMustBeReadableAndHoldGroups)
{
    auto station = [](const std::string& log) {
        return R"({"stations": [{"frequency": 10120, "rds": {"log": ")" + log + R"("}}]})";
    };
    EXPECT_EQ(errorOf(station("recordings/none.spy")),
              "band.json: stations[0].rds.log: " + (folder / "recordings/none.spy").string() +
                  ": cannot open the log: No such file or directory");
    write("recordings/empty.rds", "% RDS hexgroups\n% Freq 88500\n");
    EXPECT_EQ(errorOf(station("recordings/empty.rds")), "band.json: stations[0].rds.log: the log " +
                                                            (folder / "recordings/empty.rds").string() +
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

}  // namespace
