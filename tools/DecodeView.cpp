#include "tools/DecodeView.h"

#include "tools/SentenceFields.h"

#include "tools/SentenceView.h"

#include <charconv>
#include <chrono>
#include <cstdio>

namespace corvane {

namespace {

// A printable character of a name or text, or '?'.
char printable(unsigned code)
{
    return code >= 0x20 && code < 0x7F ? static_cast<char>(code) : '?';
}

// The label's name and its field's width in bits, by label number.
struct Label {
    const char* name;
    unsigned width;
};
constexpr Label kLabels[16] = {
    {"duration", 3},
    {"control code", 3},
    {"length of route affected", 5},
    {"speed limit", 5},
    {"quantifier", 5},
    {"quantifier", 8},
    {"supplementary information", 8},
    {"explicit start time", 8},
    {"explicit stop time", 8},
    {"additional event", 11},
    {"detailed diversion", 16},
    {"destination", 16},
    {"reserved label 12", 16},
    {"cross-linkage to source", 16},
    {"separator", 0},
    {"reserved label 15", 0},
};

unsigned take(const std::vector<bool>& bits, std::size_t& at, unsigned width)
{
    unsigned value = 0;
    for (unsigned i = 0; i < width; ++i) value = value << 1 | unsigned(bits[at++]);
    return value;
}

}  // namespace

std::string tmcOptionalContent(const std::vector<bool>& bits)
{
    std::string content;
    for (std::size_t at = 0; at + 4 <= bits.size();) {
        // What is left being zeros is padding.
        bool rest = false;
        for (std::size_t i = at; i < bits.size(); ++i) rest = rest || bits[i];
        if (!rest) break;
        const Label& label = kLabels[take(bits, at, 4)];
        if (at + label.width > bits.size()) break;
        content += (content.empty() ? "" : ", ") + std::string(label.name);
        if (label.width != 0) content += " " + std::to_string(take(bits, at, label.width));
    }
    return content;
}

std::string clockTime(unsigned b, unsigned c, unsigned d)
{
    const unsigned mjd = (b & 3) << 15 | c >> 1;
    const unsigned hour = (c & 1) << 4 | d >> 12;
    const unsigned minute = (d >> 6) & 0x3F;
    const unsigned halfHours = d & 0x1F;
    const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{int(mjd) - 40587}}};
    char text[96];
    std::snprintf(text, sizeof text, "clock time %04d-%02u-%02u %02u:%02u UTC, local time offset %c%u:%02u",
                  int(date.year()), unsigned(date.month()), unsigned(date.day()), hour, minute, (d & 0x20) ? '-' : '+',
                  halfHours / 2, halfHours % 2 * 30);
    return text;
}

std::string DecodeView::render(std::string_view line)
{
    const std::string single = renderSentence(line);
    if (single.empty() || single.find("[checksum") != std::string::npos) return single;
    if (std::array<unsigned, 6> f{}; sentenceNumbers(line, "$PLTTM,", f)) {
        const unsigned b = f[1] & 0xFF, c = (f[2] & 0xFF) << 8 | (f[3] & 0xFF), d = (f[4] & 0xFF) << 8 | (f[5] & 0xFF);
        if (f[0] == 8) return tmcGroup(b, c, d, single);
        if (f[0] == 3 && (d == 0xCD46 || d == 0xCD47) && c >> 14 == 0 && ((c >> 6) & 0x3F) == 0)
            return single + " (table 0: the service is encrypted)";
    } else if (std::array<unsigned, 5> raw{}; sentenceNumbers(line, "$PLTTR,", raw)) {
        const unsigned b = raw[2], c = raw[3], d = raw[4];
        if ((b >> 11) == 0x08) return single + "; " + clockTime(b, c, d);  // 4A
        if ((b >> 11) == 0x04) return single + "; " + radiotext(b, c, d);  // 2A
    }
    return single;
}

std::string DecodeView::tmcGroup(unsigned b, unsigned c, unsigned d, const std::string& single)
{
    if (b & 0x10) return tuningInformation(b & 0x0F, c, d, single);
    if (b & 0x08) return single;  // a single-group message
    const unsigned index = b & 7;
    if (index == 0) return "TMC encryption administration group: the service is encrypted";
    PartialMessage& message = messages_[index];
    if (c & 0x8000) {
        message = PartialMessage{true, c & 0x7FF, d, (c >> 11) & 7, (c & 0x4000) != 0, -1, {}};
        return single;
    }
    const bool second = (c & 0x4000) != 0;
    const int sequence = int((c >> 12) & 3);
    // The second group comes first, then the sequence counts down to 0; a
    // repeat, or a gap where a group was lost, leaves the message as it was.
    const bool next =
        second ? message.lastSequence == -1 : message.lastSequence != -1 && sequence == message.lastSequence - 1;
    if (!message.open || !next) return single;
    message.lastSequence = sequence;
    for (int i = 11; i >= 0; --i) message.bits.push_back((c >> i) & 1);
    for (int i = 15; i >= 0; --i) message.bits.push_back((d >> i) & 1);
    if (sequence != 0) return single;
    message.open = false;
    char text[160];
    std::snprintf(text, sizeof text, "TMC multi-group message %u: event %u, location %u, extent %u, direction %s",
                  index, message.event, message.location, message.extent, message.negative ? "negative" : "positive");
    const std::string content = tmcOptionalContent(message.bits);
    return std::string(text) + (content.empty() ? "" : "; " + content);
}

std::string DecodeView::tuningInformation(unsigned variant, unsigned c, unsigned d, const std::string& single)
{
    if (variant != 4 && variant != 5) return single;
    const std::size_t half = variant - 4;
    const unsigned codes[4] = {c >> 8, c & 0xFF, d >> 8, d & 0xFF};
    for (std::size_t i = 0; i < 4; ++i) provider_[half * 4 + i] = printable(codes[i]);
    providerHalves_[half] = true;
    if (!providerHalves_[0] || !providerHalves_[1])
        return single + ", provider name " + (half == 0 ? "first" : "second") + " half \"" +
               std::string(&provider_[half * 4], 4) + "\"";
    return "TMC service provider \"" + std::string(provider_.data(), provider_.size()) + "\"";
}

std::string DecodeView::radiotext(unsigned b, unsigned c, unsigned d)
{
    const bool flag = (b & 0x10) != 0;
    if (textFlag_ != flag) {  // a new text
        text_.fill(' ');
        textSegments_.fill(false);
        textFlag_ = flag;
    }
    const unsigned segment = b & 0x0F;
    const unsigned codes[4] = {c >> 8, c & 0xFF, d >> 8, d & 0xFF};
    for (std::size_t i = 0; i < 4; ++i) text_[segment * 4 + i] = codes[i] == 0x0D ? '\r' : printable(codes[i]);
    textSegments_[segment] = true;
    // Whole when every segment up to the end mark (or all sixteen) has come.
    std::size_t length = 0;
    for (std::size_t s = 0; s < 16; ++s) {
        if (!textSegments_[s]) {
            char part[48];
            std::snprintf(part, sizeof part, "radiotext segment %u \"%.4s\"", segment, &text_[segment * 4]);
            return part;
        }
        const std::string_view four(&text_[s * 4], 4);
        if (const std::size_t end = four.find('\r'); end != std::string_view::npos) {
            length = s * 4 + end;
            break;
        }
        length = s * 4 + 4;
    }
    return "radiotext \"" + std::string(text_.data(), length) + "\"";
}

}  // namespace corvane
