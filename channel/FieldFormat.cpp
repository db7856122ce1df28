// A sentence's fields written into its format text: the two conversions the
// sentence formats use (%d signed decimal, %x lowercase hexadecimal), at a
// fraction of what the C library's general formatter costs. The decoder
// formats about one sentence for every two groups it receives.
#include "channel/Sentences.h"

namespace {

// Writes the digits of `magnitude` in `base` at `out`, within `room` bytes;
// returns how many were written (the lowest digits are cut). The digits are
// counted first and then written from the last one back, straight into place.
// The base is a constant so that the division is a multiplication or a shift.
template <std::uint32_t base, unsigned maxDigits>
unsigned putDigits(char* out, unsigned room, std::uint32_t magnitude)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    unsigned digits = 1;
    for (std::uint32_t bound = base; digits < maxDigits && magnitude >= bound; bound *= base) ++digits;
    for (; digits > room; --digits) magnitude /= base;
    for (unsigned i = digits; i > 0; --i) {
        out[i - 1] = kDigits[magnitude % base];
        magnitude /= base;
    }
    return digits;
}

}  // namespace

unsigned formatFields(char* text, unsigned size, const char* format, const std::int32_t* values, unsigned count)
{
    if (size == 0) return 0;
    const unsigned room = size - 1;
    unsigned length = 0;
    unsigned next = 0;
    for (const char* p = format; *p != '\0' && length < room; ++p) {
        if (p[0] != '%' || next == count || (p[1] != 'd' && p[1] != 'x')) {
            text[length++] = *p;
            continue;
        }
        const std::int32_t value = values[next++];
        std::uint32_t magnitude = static_cast<std::uint32_t>(value);
        if (*++p == 'x') {
            length += putDigits<16, 8>(text + length, room - length, magnitude);
            continue;
        }
        if (value < 0) {
            text[length++] = '-';
            magnitude = 0u - magnitude;
        }
        length += putDigits<10, 10>(text + length, room - length, magnitude);
    }
    text[length] = '\0';
    return length;
}
