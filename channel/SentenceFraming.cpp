// Framing of one output line: "$", the fields, "*", the XOR checksum as two
// lowercase hex digits, carriage return, line feed.
#include "channel/Sentences.h"

#include "driver/DriverContext.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

std::uint8_t sentenceChecksum(const char* text)
{
    std::uint8_t sum = 0;
    const char* p = text;
    if (*p == '$') ++p;
    for (; *p != '\0'; ++p) sum = static_cast<std::uint8_t>(sum ^ static_cast<std::uint8_t>(*p));
    return sum;
}

namespace {

// Appends "*", the checksum of the `length` text bytes in `line` and the line
// end, and writes the line to the OutputRing. One write per line: the ring's
// guard keeps the line whole against sentences from other threads.
void sendLine(char* line, unsigned length)
{
    line[length] = '\0';
    const std::uint8_t sum = sentenceChecksum(line);
    line[length++] = '*';
    line[length++] = kHexDigits[sum >> 4];
    line[length++] = kHexDigits[sum & 0x0F];
    line[length++] = '\r';
    line[length++] = '\n';
    gDriver.channel.outputRing.write(reinterpret_cast<const std::uint8_t*>(line), static_cast<std::int32_t>(length));
}

}  // namespace

void emitSentence(const char* text)
{
    char line[kSentenceBufferBytes];
    unsigned length = 0;
    while (length < kSentenceTextMax && text[length] != '\0') {
        line[length] = text[length];
        ++length;
    }
    sendLine(line, length);
}

void emitFields(const char* format, const std::int32_t* values, unsigned count)
{
    char line[kSentenceBufferBytes];
    sendLine(line, formatFields(line, kSentenceTextMax + 1, format, values, count));
}
