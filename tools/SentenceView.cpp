#include "tools/SentenceView.h"

#include <charconv>
#include <cstdio>
#include <optional>
#include <vector>

namespace corvane {

namespace {

std::string format(const char* pattern, auto... values)
{
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, values...);
    return buffer;
}

std::string hex4(unsigned value)
{
    return format("%04X", value & 0xFFFF);
}

// "8A", "0B": the group type and version of block B.
std::string groupType(unsigned blockB)
{
    return format("%u%c", (blockB >> 12) & 0xF, (blockB & 0x0800) ? 'B' : 'A');
}

// The comma-separated numeric fields after the address; nullopt when one is not a number.
std::optional<std::vector<unsigned>> numbers(std::string_view fields, std::size_t expected)
{
    std::vector<unsigned> values;
    while (true) {
        const std::size_t comma = fields.find(',');
        const std::string_view field = fields.substr(0, comma);
        unsigned value = 0;
        const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
        if (field.empty() || error != std::errc{} || end != field.data() + field.size()) return std::nullopt;
        values.push_back(value);
        if (comma == std::string_view::npos) break;
        fields.remove_prefix(comma + 1);
    }
    if (values.size() != expected) return std::nullopt;
    return values;
}

std::string groupList(unsigned mask)
{
    std::string list;
    for (unsigned type = 0; type < 16; ++type)
        if (mask & (1u << type)) list += (list.empty() ? "" : " ") + std::to_string(type);
    return list.empty() ? "none" : list;
}

std::string afCode(unsigned code)
{
    if (code >= 1 && code <= 204) return megahertz(8750 + code * 10);
    if (code == 205) return "filler";
    if (code == 224) return "no AF follows";
    if (code >= 225 && code <= 249) return format("%u AF%s", code - 224, code == 225 ? " follows" : "s follow");
    if (code == 250) return "an LF/MF frequency follows";
    return format("code %u", code);
}

std::string tuningStatus(const std::vector<unsigned>& f)
{
    switch (f[4]) {
    case 5:
        return "searching: " + megahertz(f[0]);
    case 6:
        return "tuning to " + megahertz(f[0]) + " (started)";
    case 0:
    case 1:
    case 2: {
        static const char* const kBands[] = {"87.5-108 MHz, 100 kHz steps", "76-90 MHz, 100 kHz steps",
                                             "87.5-108 MHz, 200 kHz steps"};
        return format("tuned to %s, RSSI %u dBuV, TMC quality %u, %s, band %s", megahertz(f[0]).c_str(), f[1], f[2],
                      f[3] ? "channel valid" : "seek failed or band limit", kBands[f[4]]);
    }
    default:
        return format("tuning status of unknown form %u", f[4]);
    }
}

std::string tmcMessage(unsigned b, unsigned c, unsigned d)
{
    if (b & 0x10) return format("TMC tuning information, variant %u", b & 0xF);
    const std::string body = format("event %u, location %u, extent %u, direction %s", c & 0x7FF, d, (c >> 11) & 7,
                                    (c & 0x4000) ? "negative" : "positive");
    if (b & 0x08) {
        return "TMC message: " + body + format(", duration %u", b & 7) + ((c & 0x8000) ? ", diversion advised" : "");
    }
    if (c & 0x8000) return format("TMC multi-group message %u, first group: ", b & 7) + body;
    return format("TMC multi-group message %u, further group", b & 7);
}

std::string openDataAnnouncement(unsigned b, unsigned c, unsigned d)
{
    const unsigned code = b & 0x1F;  // group type x 2 + version
    const std::string application = format("%u%c", code >> 1, (code & 1) ? 'B' : 'A');
    if (d == 0xCD46 || d == 0xCD47) {
        const unsigned variant = c >> 14;
        if (variant == 0)
            return format("TMC announced in group %s, AID %04X, location table %u", application.c_str(), d,
                          (c >> 6) & 0x3F);
        return format("TMC announced in group %s, AID %04X, variant %u", application.c_str(), d, variant);
    }
    return format("open data application %04X announced in group %s", d, application.c_str());
}

std::string tmcGroup(const std::vector<unsigned>& f)
{
    const unsigned b = (f[0] << 12) | (f[1] & 0xFF);
    const unsigned c = ((f[2] & 0xFF) << 8) | (f[3] & 0xFF);
    const unsigned d = ((f[4] & 0xFF) << 8) | (f[5] & 0xFF);
    if (f[0] == 8) return tmcMessage(b, c, d);
    if (f[0] == 3) return openDataAnnouncement(b, c, d);
    return format("TMC-counted group of type %u: B %02X, C %s, D %s", f[0], b & 0xFF, hex4(c).c_str(), hex4(d).c_str());
}

// The rendering of a sentence with a good checksum, by its address.
std::string renderFields(std::string_view address, std::string_view fields)
{
    if (address == "PLTCH") {
        if (fields.size() == 10 && fields.front() == '"' && fields.back() == '"')
            return "station name \"" + std::string(fields.substr(1, 8)) + "\"";
        return "station name, malformed";
    }
    if (address == "PLTV") return "version " + std::string(fields);

    struct Numeric {
        const char* address;
        std::size_t count;
        std::string (*render)(const std::vector<unsigned>&);
    };
    static const Numeric kNumeric[] = {
        {"PLTTQ", 5, tuningStatus},
        {"PLTMT", 2, [](const std::vector<unsigned>& f) { return format("PI %04X, country code %X", f[1], f[0]); }},
        {"PLTTR", 5,
         [](const std::vector<unsigned>& f) {
             return format("raw group %s, PI %04X, blocks B %04X C %04X D %04X", groupType(f[2]).c_str(), f[1], f[2],
                           f[3], f[4]);
         }},
        {"PLTTM", 6, tmcGroup},
        {"PXRAF", 1,
         [](const std::vector<unsigned>& f) {
             return "alternative frequencies: " + afCode(f[0] >> 8) + ", " + afCode(f[0] & 0xFF);
         }},
        {"PXRFW", 5,
         [](const std::vector<unsigned>& f) {
             return format("chip: device ID %04X, firmware %u, device %u, revision %u, test %u", f[4], f[0], f[2], f[3],
                           f[1]);
         }},
        {"PXRSNR", 7,
         [](const std::vector<unsigned>& f) {
             return format("signal quality at %s: RSSI %u dBuV, quality %u", megahertz(f[0]).c_str(), f[1], f[2]);
         }},
        {"PXRQF", 4,
         [](const std::vector<unsigned>& f) {
             return format(
                 "search settings: seek RSSI threshold %u, RDS wait %u.%02u s, TMC wait %u.%02u s, "
                 "seek SNR threshold %u",
                 f[0], f[1] / 100, f[1] % 100, f[2] / 100, f[2] % 100, f[3]);
         }},
        {"PLTFD", 3,
         [](const std::vector<unsigned>& f) {
             return "filter masks: TMC groups " + groupList(f[0]) + "; raw groups A " + groupList(f[1]) +
                    "; raw groups B " + groupList(f[2]);
         }},
        {"PLTTS", 2, [](const std::vector<unsigned>& f) { return format("output flags 0x%04X", f[1]); }},
    };
    if (address == "PLTCF") return "configuration code " + std::string(fields);
    if (address == "GPDBG") return "debug counters: " + std::string(fields);
    if (address == "GPBLER") return "block errors (0 none .. 3 uncorrectable): " + std::string(fields);
    for (const Numeric& kind : kNumeric) {
        if (address != kind.address) continue;
        const auto values = numbers(fields, kind.count);
        if (!values) return std::string(address) + ", malformed";
        return kind.render(*values);
    }
    return {};
}

}  // namespace

std::string megahertz(unsigned frequency)
{
    return format("%u.%02u MHz", frequency / 100, frequency % 100);
}

std::string renderSentence(std::string_view line)
{
    const std::size_t star = line.rfind('*');
    if (line.size() < 2 || line[0] != '$' || star == std::string_view::npos || star + 3 != line.size()) return {};
    unsigned sent = 0;
    const auto [end, error] = std::from_chars(line.data() + star + 1, line.data() + line.size(), sent, 16);
    if (error != std::errc{} || end != line.data() + line.size()) return {};
    unsigned checksum = 0;
    for (char c : line.substr(1, star - 1)) checksum ^= static_cast<unsigned char>(c);

    const std::string_view body = line.substr(1, star - 1);
    const std::size_t comma = body.find(',');
    const std::string_view address = body.substr(0, comma);
    const std::string_view fields = comma == std::string_view::npos ? std::string_view{} : body.substr(comma + 1);
    std::string rendering = renderFields(address, fields);
    if (rendering.empty()) return {};
    if (checksum != sent) rendering += format(" [checksum %02x, expected %02x]", sent, checksum);
    return rendering;
}

}  // namespace corvane
