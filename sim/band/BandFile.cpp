#include "sim/band/BandFile.h"

#include "sim/band/InputFile.h"
#include "sim/band/JsonDocument.h"
#include "sim/band/JsonFields.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace sim::band {

namespace {

constexpr std::int64_t kLowestFrequency = 7600;    // 76 MHz, the chip's widest band
constexpr std::int64_t kHighestFrequency = 10800;  // 108 MHz
constexpr std::int64_t kChannelStep = 5;           // 50 kHz, the finest spacing
constexpr std::int64_t kLowestAf = 8760;
constexpr std::int64_t kHighestAf = 10790;
constexpr std::int64_t kMaxRssi = 75;
constexpr std::int64_t kMaxSnr = 100;
constexpr double kMaxEventTime = 1'000'000.0;  // seconds
constexpr std::int64_t kSecond = 1'000'000;

// Keys of a generated RDS source; none of them goes with a recorded log.
constexpr std::string_view kGeneratorKeys[] = {"pi", "name", "tmc", "pty",         "tp",       "radiotext",
                                               "af", "ltn",  "ecc", "tmcMessages", "tmcCycle", "localOffset"};

std::string quotedKey(std::string_view key)
{
    return "\"" + std::string(key) + "\"";
}

std::int64_t parseClockStart(const Field& field)
{
    const std::string text = field.string(32);
    int year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char zone = 0;
    int consumed = 0;
    const bool shaped = std::sscanf(text.c_str(), "%4d-%2u-%2uT%2u:%2u:%2u%c%n", &year, &month, &day, &hour, &minute,
                                    &second, &zone, &consumed) == 7 &&
                        zone == 'Z' && consumed == static_cast<int>(text.size());
    using namespace std::chrono;
    const year_month_day date{std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}};
    if (!shaped || !date.ok() || year < 1970 || hour > 23 || minute > 59 || second > 59)
        field.fail("\"" + text + "\" is not a UTC time like \"2026-12-07T08:00:00Z\"");
    return sys_days{date}.time_since_epoch().count() * 86400 + hour * 3600 + minute * 60 + second;
}

std::uint16_t parsePi(const Field& field)
{
    if (field.json().is_number()) return static_cast<std::uint16_t>(field.integer(1, 0xFFFF));
    const std::string text = field.string(16);
    unsigned value = 0;
    bool valid = text.size() > 2 && text.size() <= 6 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    for (std::size_t i = 2; valid && i < text.size(); ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        valid = digit >= 0;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    if (!valid || value == 0)
        field.fail("\"" + text +
                   "\" is not a programme identification (a hex string \"0x0001\"..\"0xFFFF\" or a number)");
    return static_cast<std::uint16_t>(value);
}

std::int64_t parseFrequency(const Field& field, std::int64_t lowest, std::int64_t highest, std::int64_t step,
                            const char* stepText)
{
    const std::int64_t frequency = field.integer(lowest, highest);
    if (frequency % step != 0)
        field.fail(std::to_string(frequency) + " is not on the " + stepText + " grid (10 kHz units)");
    return frequency;
}

rds::TmcMessage parseTmcMessage(const Field& field)
{
    field.expectObject({"event", "location", "direction", "extent", "diversion", "duration"});
    rds::TmcMessage message;
    message.event = static_cast<std::uint16_t>(field.required("event", "an ALERT-C event code").integer(1, 2047));
    message.location = static_cast<std::uint16_t>(field.required("location", "a location code").integer(0, 0xFFFF));
    if (auto f = field.member("direction")) message.negative = f->integer(0, 1) == 1;
    if (auto f = field.member("extent")) message.extent = static_cast<std::uint8_t>(f->integer(0, 7));
    if (auto f = field.member("diversion")) message.diversion = f->boolean();
    if (auto f = field.member("duration")) message.duration = static_cast<std::uint8_t>(f->integer(0, 7));
    return message;
}

class BandReader {
public:
    BandReader(const std::filesystem::path& path) : file_(path.string()), folder_(path.parent_path()) {}

    BandDescription read(const nlohmann::json& document)
    {
        const Field top(document, "", file_);
        top.expectObject({"stations", "noiseRssi", "clockStart"});
        BandDescription band;
        band.source = file_;
        if (auto f = top.member("noiseRssi")) band.noiseRssi = static_cast<int>(f->integer(0, kMaxRssi));
        if (auto f = top.member("clockStart")) clockStart_ = parseClockStart(*f);
        const Field stations = top.required("stations", "the list of stations");
        const std::size_t count = stations.arraySize();
        for (std::size_t i = 0; i < count; ++i) {
            const Field station = stations.element(i);
            band.stations.push_back(readStation(station));
            const std::uint16_t frequency = band.stations.back().frequency;
            for (std::size_t j = 0; j < i; ++j) {
                if (band.stations[j].frequency == frequency)
                    station.member("frequency")
                        ->fail(std::to_string(frequency) + " is already the frequency of stations[" +
                               std::to_string(j) + "]");
            }
        }
        return band;
    }

private:
    StationDescription readStation(const Field& field)
    {
        field.expectObject({"frequency", "rssi", "snr", "stereo", "rds", "events"});
        StationDescription station;
        station.frequency =
            static_cast<std::uint16_t>(parseFrequency(field.required("frequency", "in 10 kHz units"), kLowestFrequency,
                                                      kHighestFrequency, kChannelStep, "50 kHz"));
        if (auto f = field.member("rssi")) station.rssi = static_cast<int>(f->integer(0, kMaxRssi));
        if (auto f = field.member("snr")) station.snr = static_cast<int>(f->integer(0, kMaxSnr));
        if (auto f = field.member("stereo")) station.stereo = f->boolean();
        if (auto f = field.member("rds")) station.rds = readRds(*f, station.stereo);
        if (auto f = field.member("events")) {
            const std::size_t count = f->arraySize();
            for (std::size_t i = 0; i < count; ++i) station.events.push_back(readEvent(f->element(i), station));
        }
        return station;
    }

    RdsDescription readRds(const Field& field, bool stereo)
    {
        field.expectObject({"pi", "name", "tmc", "blockErrorRate", "log", "pty", "tp", "radiotext", "af", "ltn", "ecc",
                            "tmcMessages", "tmcCycle", "localOffset"});
        RdsDescription rds;
        if (auto f = field.member("blockErrorRate")) rds.blockErrorRate = f->number(0.0, 1.0);
        if (auto f = field.member("log")) {
            for (std::string_view key : kGeneratorKeys) {
                if (auto other = field.member(key))
                    other->fail(quotedKey(key) + " cannot go with \"log\": a recorded log brings its own groups");
            }
            rds.log = readLog(*f);
            return rds;
        }
        rds.generator = readGenerator(field, stereo);
        return rds;
    }

    std::shared_ptr<const RdsLog> readLog(const Field& field)
    {
        const std::filesystem::path given = field.string(4096);
        if (given.empty()) field.fail("the log file name is empty");
        const std::filesystem::path path = given.is_absolute() ? given : folder_ / given;
        RdsLog log;
        try {
            log = readRdsLog(path);
        } catch (const RdsLogError& error) {
            field.fail(error.what());
        }
        if (log.groups.empty()) field.fail("the log " + path.string() + " holds no RDS group");
        return std::make_shared<const RdsLog>(std::move(log));
    }

    GeneratorSettings readGenerator(const Field& field, bool stereo)
    {
        GeneratorSettings g;
        g.pi = parsePi(field.required("pi", "the programme identification, or \"log\" for a recorded log"));
        g.name = field.required("name", "the station name, up to 8 characters").text(rds::kNameLength);
        g.stereo = stereo;
        g.clockStart = clockStart_;
        if (auto f = field.member("tmc")) g.tmc = f->boolean();
        g.tp = g.tmc;
        if (auto f = field.member("tp")) g.tp = f->boolean();
        if (auto f = field.member("pty")) g.pty = static_cast<std::uint8_t>(f->integer(0, 31));
        if (auto f = field.member("radiotext")) g.radiotext = f->text(rds::kRadiotextLength);
        if (auto f = field.member("af")) {
            const std::size_t count = f->arraySize();
            if (count > rds::kAfMaxCount)
                f->fail("holds " + std::to_string(count) + " frequencies; a list has at most 25");
            for (std::size_t i = 0; i < count; ++i)
                g.alternativeFrequencies.push_back(
                    static_cast<std::uint16_t>(parseFrequency(f->element(i), kLowestAf, kHighestAf, 10, "100 kHz")));
        }
        if (auto f = field.member("ltn")) g.ltn = static_cast<std::uint8_t>(f->integer(0, 63));
        if (auto f = field.member("ecc")) g.ecc = static_cast<std::uint8_t>(f->integer(0, 255));
        if (auto f = field.member("tmcMessages")) {
            g.tmcMessages.clear();
            const std::size_t count = f->arraySize();
            for (std::size_t i = 0; i < count; ++i) g.tmcMessages.push_back(parseTmcMessage(f->element(i)));
        }
        if (auto f = field.member("tmcCycle")) g.tmcCycle = static_cast<Micros>(f->integer(10, 3600)) * kSecond;
        if (auto f = field.member("localOffset")) {
            const double hours = f->number(-12.0, 14.0);
            if (std::fmod(hours * 2, 1.0) != 0.0) f->fail(f->json().dump() + " is not a whole number of half hours");
            g.localOffsetHalfHours = static_cast<int>(hours * 2);
        }
        return g;
    }

    StationEvent readEvent(const Field& field, const StationDescription& station)
    {
        field.expectObject({"at", "rssi", "snr", "stereo", "rds", "tmc", "name", "radiotext", "blockErrorRate"});
        StationEvent event;
        event.at = static_cast<Micros>(
            std::llround(field.required("at", "the virtual time in seconds").number(0.0, kMaxEventTime) * kSecond));
        if (auto f = field.member("rssi")) event.rssi = static_cast<int>(f->integer(0, kMaxRssi));
        if (auto f = field.member("snr")) event.snr = static_cast<int>(f->integer(0, kMaxSnr));
        if (auto f = field.member("stereo")) event.stereo = f->boolean();
        const bool generated = station.rds && station.rds->generator;
        auto needsRds = [&](std::string_view key, bool needsGenerator) -> std::optional<Field> {
            auto f = field.member(key);
            if (f && !station.rds) f->fail("the station sends no RDS (it has no \"rds\")");
            if (f && needsGenerator && !generated)
                f->fail("only a generated RDS source can change its " + std::string(key) + ", not a recorded log");
            return f;
        };
        if (auto f = needsRds("rds", false)) event.rds = f->boolean();
        if (auto f = needsRds("blockErrorRate", false)) event.blockErrorRate = f->number(0.0, 1.0);
        if (auto f = needsRds("tmc", true)) event.tmc = f->boolean();
        if (auto f = needsRds("name", true)) event.name = f->text(rds::kNameLength);
        if (auto f = needsRds("radiotext", true)) event.radiotext = f->text(rds::kRadiotextLength);
        if (field.json().size() == 1) field.fail("the event changes nothing (give \"at\" and what changes)");
        return event;
    }

    std::string file_;
    std::filesystem::path folder_;
    std::int64_t clockStart_ = kDefaultClockStart;
};

}  // namespace

BandDescription parseBandFile(std::string_view text, const std::filesystem::path& path)
{
    nlohmann::json document;
    try {
        document = parseJsonDocument(text, path.string());
    } catch (const JsonFieldError& error) {
        throw BandFileError(error.what());
    }
    try {
        return BandReader(path).read(document);
    } catch (const JsonFieldError& error) {
        throw BandFileError(error.what());
    }
}

BandDescription logBand(const std::filesystem::path& log, std::uint16_t frequency)
{
    RdsLog groups;
    try {
        groups = readRdsLog(log);
    } catch (const RdsLogError& error) {
        throw BandFileError(error.what());
    }
    if (groups.groups.empty()) throw BandFileError(log.string() + ": the log holds no RDS group");
    StationDescription station;
    station.frequency = frequency;
    station.rds.emplace();
    station.rds->log = std::make_shared<const RdsLog>(std::move(groups));
    BandDescription band;
    band.source = log.string();
    band.stations.push_back(std::move(station));
    return band;
}

BandDescription readBandFile(const std::filesystem::path& path)
{
    std::string content;
    try {
        content = readInputFile(path, "band file", kMaxBandFileBytes);
    } catch (const InputFileError& error) {
        throw BandFileError(error.what());
    }
    return parseBandFile(content, path);
}

}  // namespace sim::band
