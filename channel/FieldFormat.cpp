// A sentence's fields written into its format text: the two conversions the
// sentence formats use (%d signed decimal, %x lowercase hexadecimal), at a
// fraction of what the C library's general formatter costs. The decoder
// formats about one sentence for every two groups it receives.
#include "channel/Sentences.h"

namespace {

// Writes the digits of `magnitude` in `base` at `out`, within `room` bytes;
// returns how many were written (the lowest digits are cut). The base is a
// constant so that the division is a multiplication.
template <std::uint32_t base>
unsigned putDigits(char* out, unsigned room, std::uint32_t magnitude)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    char reversed[10];
    unsigned count = 0;
    do {
        reversed[count++] = kDigits[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    unsigned written = 0;
    while (count > 0 && written < room) out[written++] = reversed[--count];
    return written;
}

}  // namespace

void formatFields(char* text, unsigned size, const char* format, const std::int32_t* values, unsigned count)
{
    if (size == 0) return;
    const unsigned room = size - 1;
    unsigned length = 0;
    unsigned next = 0;
    for (const char* p = format; *p != '\0' && length < room; ++p) {
        const bool conversion = p[0] == '%' && (p[1] == 'd' || p[1] == 'x') && next < count;
        if (!conversion) {
            text[length++] = *p;
            continue;
        }
        const std::int32_t value = values[next++];
        std::uint32_t magnitude = static_cast<std::uint32_t>(value);
        if (*++p == 'd' && value < 0) {
            text[length++] = '-';
            magnitude = 0u - magnitude;
        }
        length += *p == 'd' ? putDigits<10>(text + length, room - length, magnitude)
                            : putDigits<16>(text + length, room - length, magnitude);
    }
    text[length] = '\0';
}
