// The built-in band: what the program plays when no band file is given, and
// the band the station-search scenarios run on.
#include "sim/band/BandFile.h"

namespace sim::band {

namespace {

StationDescription station(std::uint16_t frequency, int rssi, int snr)
{
    StationDescription s;
    s.frequency = frequency;
    s.rssi = rssi;
    s.snr = snr;
    return s;
}

RdsDescription generated(std::uint16_t pi, const char* name, bool tmc, std::uint8_t pty, const char* radiotext,
                         std::vector<std::uint16_t> af, double blockErrorRate = 0.0)
{
    GeneratorSettings g;
    g.pi = pi;
    g.name = name;
    g.tmc = tmc;
    g.tp = tmc;
    g.pty = pty;
    g.radiotext = radiotext;
    g.alternativeFrequencies = std::move(af);
    RdsDescription rds;
    rds.generator = std::move(g);
    rds.blockErrorRate = blockErrorRate;
    return rds;
}

}  // namespace

BandDescription defaultBand()
{
    BandDescription band;
    band.source = "built-in band";

    // 88.3 MHz: a local station without RDS.
    band.stations.push_back(station(8830, 30, 15));

    // 89.7 MHz: classical music with RDS but no traffic service.
    StationDescription klassik = station(8970, 36, 22);
    klassik.rds =
        generated(0xD312, "KLASSIK", false, 14, "Klassik am Morgen: Haydn, Sinfonie Nr. 94", {8970, 9150, 10260});
    band.stations.push_back(std::move(klassik));

    // 94.7 MHz: the regional programme with the TMC service.
    StationDescription radio1 = station(9470, 42, 25);
    radio1.rds = generated(0xD3A1, "RADIO 1", true, 1, "RADIO 1 - Nachrichten und Verkehr", {9470, 9880, 10410});
    band.stations.push_back(std::move(radio1));

    // 99.1 MHz: a city station with RDS, some blocks damaged on the way.
    StationDescription city = station(9910, 34, 18);
    city.rds = generated(0xD5F2, "CITY FM", false, 10, "CITY FM - Die Hits", {9910}, 0.02);
    band.stations.push_back(std::move(city));

    // 102.3 MHz: a distant carrier, too weak and noisy to stop a seek.
    band.stations.push_back(station(10230, 12, 4));

    // 104.8 MHz: a second TMC station, further away.
    StationDescription info = station(10480, 28, 14);
    info.rds = generated(0xD4C7, "INFO 24", true, 3, "INFO 24 - Verkehr aktuell", {10480, 8910}, 0.03);
    band.stations.push_back(std::move(info));

    // 106.6 MHz: another station without RDS.
    band.stations.push_back(station(10660, 26, 12));
    return band;
}

}  // namespace sim::band
