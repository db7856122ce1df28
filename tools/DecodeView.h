// The --decode view across lines: what only a sequence of sentences tells.
// A multi-group TMC message is assembled from its first, further and final
// groups into one message with its optional content; the TMC service
// provider's name is put together from the two tuning-information groups
// that carry it; an encrypted TMC service is pointed out; radiotext (raw
// groups 2A) is collected segment by segment and clock time (raw groups 4A)
// is read, when the raw-group masks let those groups through. Everything else
// is rendered line by line (SentenceView).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class DecodeView {
public:
    // The rendering of one line (without CR LF); empty when there is none.
    std::string render(std::string_view line);

private:
    struct PartialMessage {
        bool open = false;
        unsigned event = 0, location = 0, extent = 0;
        bool negative = false;
        int lastSequence = -1;   // sequence identifier of the last further group taken
        std::vector<bool> bits;  // the free-format bits so far
    };

    std::string tmcGroup(unsigned b, unsigned c, unsigned d, const std::string& single);
    std::string tuningInformation(unsigned variant, unsigned c, unsigned d, const std::string& single);
    std::string radiotext(unsigned b, unsigned c, unsigned d);

    std::array<PartialMessage, 8> messages_{};  // by continuity index
    std::array<char, 8> provider_{};
    std::array<bool, 2> providerHalves_{};
    std::array<char, 64> text_{};
    std::array<bool, 16> textSegments_{};
    std::optional<bool> textFlag_;  // the A/B flag of the text being collected
};

// The optional content of a multi-group TMC message, from its free-format
// bits: "duration 2, additional event 1500"; empty when there is none.
std::string tmcOptionalContent(const std::vector<bool>& bits);

// Clock time from the blocks B, C and D of a 4A group: "2026-12-07 08:01 UTC,
// local time offset +1:00".
std::string clockTime(unsigned b, unsigned c, unsigned d);

}  // namespace corvane
