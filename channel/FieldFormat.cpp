// A sentence's fields written into its format text: the two conversions the
// sentence formats use (%d signed decimal, %x lowercase hexadecimal), at a
// fraction of what the C library's general formatter costs. The decoder
// formats about one sentence for every two groups it receives.
#include "channel/Sentences.h"

namespace {

// "00" to "99": a decimal number is written two digits per division.
struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text{}
    {
        for (unsigned i = 0; i < 100; ++i) {
            text[2 * i] = static_cast<char>('0' + i / 10);
            text[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
constexpr DigitPairs kDigitPairs{};

// The decimal digits of a number, found in at most four comparisons.
unsigned decimalDigits(std::uint32_t magnitude)
{
    if (magnitude < 100000u) {
        if (magnitude < 100u) return magnitude < 10u ? 1 : 2;
        if (magnitude < 10000u) return magnitude < 1000u ? 3 : 4;
        return 5;
    }
    if (magnitude < 10000000u) return magnitude < 1000000u ? 6 : 7;
    if (magnitude < 1000000000u) return magnitude < 100000000u ? 8 : 9;
    return 10;
}

// The hexadecimal digits of a number.
unsigned hexadecimalDigits(std::uint32_t magnitude)
{
    unsigned digits = 1;
    while (digits < 8 && (magnitude >> (4 * digits)) != 0) ++digits;
    return digits;
}

// Write the digits of `magnitude` at `out`, within `room` bytes, and return
// how many were written (the lowest digits are cut). The digits are counted
// first and then written from the last one back, straight into place; the
// divisions by constants are multiplications or shifts.
unsigned putDecimal(char* out, unsigned room, std::uint32_t magnitude)
{
    unsigned digits = decimalDigits(magnitude);
    for (; digits > room; --digits) magnitude /= 10;
    unsigned i = digits;
    for (; i >= 2; i -= 2) {
        const std::uint32_t pair = magnitude % 100;
        magnitude /= 100;
        out[i - 2] = kDigitPairs.text[2 * pair];
        out[i - 1] = kDigitPairs.text[2 * pair + 1];
    }
    if (i == 1) out[0] = static_cast<char>('0' + magnitude);
    return digits;
}

// The same in lowercase hexadecimal.
unsigned putHexadecimal(char* out, unsigned room, std::uint32_t magnitude)
{
    static constexpr char kHexDigits[] = "0123456789abcdef";
    unsigned digits = hexadecimalDigits(magnitude);
    for (; digits > room; --digits) magnitude >>= 4;
    for (unsigned i = digits; i > 0; --i) {
        out[i - 1] = kHexDigits[magnitude & 0xF];
        magnitude >>= 4;
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
    const char* p = format;
    for (;;) {
        // The text up to the next percent sign goes over as it is.
        char c = *p;
        while (c != '%' && c != '\0' && length < room) {
            text[length++] = c;
            c = *++p;
        }
        if (c == '\0' || length >= room) break;
        if (next == count || (p[1] != 'd' && p[1] != 'x')) {
            text[length++] = '%';  // not a conversion, or no value left for it
            ++p;
            continue;
        }
        const std::int32_t value = values[next++];
        std::uint32_t magnitude = static_cast<std::uint32_t>(value);
        const bool hexadecimal = p[1] == 'x';
        p += 2;
        if (hexadecimal) {
            length += putHexadecimal(text + length, room - length, magnitude);
            continue;
        }
        if (value < 0) {
            text[length++] = '-';
            magnitude = 0u - magnitude;
        }
        length += putDecimal(text + length, room - length, magnitude);
    }
    text[length] = '\0';
    return length;
}
