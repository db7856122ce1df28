// The kernel debug output's format rules, as on Windows CE: the format is wide
// text; %s takes a wide string and %S a narrow one; %c a wide character;
// d i u x X o p with flags, width, precision and the l/h/ll length modifiers.
#include "sim/kernel/Kernel.h"

#include <cstdio>

namespace sim {

namespace {

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void pad(std::string& out, const std::string& text, int width, bool left)
{
    const int fill = width - static_cast<int>(text.size());
    if (!left && fill > 0) out.append(static_cast<std::size_t>(fill), ' ');
    out += text;
    if (left && fill > 0) out.append(static_cast<std::size_t>(fill), ' ');
}

}  // namespace

std::string toUtf8(std::u16string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::string formatWide(const WCHAR* format, std::va_list args)
{
    std::string out;
    if (format == nullptr) return out;
    std::va_list ap;
    va_copy(ap, args);
    for (const WCHAR* p = format; *p != 0; ++p) {
        if (*p != u'%') {
            appendUtf8(out, *p);
            continue;
        }
        ++p;
        if (*p == u'%') {
            out += '%';
            continue;
        }
        std::string flags;
        while (*p == u'-' || *p == u'0' || *p == u'+' || *p == u' ' || *p == u'#') flags += static_cast<char>(*p++);
        int width = 0;
        if (*p == u'*') {
            width = va_arg(ap, int);
            ++p;
        }
        while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0');
        int precision = -1;
        if (*p == u'.') {
            ++p;
            precision = 0;
            while (*p >= u'0' && *p <= u'9') precision = precision * 10 + (*p++ - u'0');
        }
        int longs = 0;
        bool shortArg = false;
        while (*p == u'l' || *p == u'h' || *p == u'I' || *p == u'w') {
            if (*p == u'l') ++longs;
            if (*p == u'h') shortArg = true;
            ++p;
        }
        const bool left = flags.find('-') != std::string::npos;
        const char conv = static_cast<char>(*p);
        if (conv == 0) break;
        switch (conv) {
        case 's': {
            std::string text;
            if (shortArg) {
                const char* s = va_arg(ap, const char*);
                text = s ? s : "(null)";
            } else {
                const WCHAR* s = va_arg(ap, const WCHAR*);
                text = s ? toUtf8(s) : "(null)";
            }
            if (precision >= 0 && static_cast<int>(text.size()) > precision)
                text.resize(static_cast<std::size_t>(precision));
            pad(out, text, width, left);
            break;
        }
        case 'S': {
            const char* s = va_arg(ap, const char*);
            pad(out, s ? s : "(null)", width, left);
            break;
        }
        case 'c': {
            std::string text;
            appendUtf8(text, static_cast<char32_t>(va_arg(ap, int)));
            pad(out, text, width, left);
            break;
        }
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
        case 'p': {
            std::string conversion = "%" + flags;
            if (width > 0) conversion += std::to_string(width);
            if (precision >= 0) conversion += "." + std::to_string(precision);
            char buffer[64];
            if (conv == 'p') {
                std::snprintf(buffer, sizeof buffer, "%p", va_arg(ap, void*));
            } else if (longs >= 2) {
                conversion += "ll";
                conversion += conv;
                if (conv == 'd' || conv == 'i')
                    std::snprintf(buffer, sizeof buffer, conversion.c_str(), va_arg(ap, long long));
                else
                    std::snprintf(buffer, sizeof buffer, conversion.c_str(), va_arg(ap, unsigned long long));
            } else {
                // int and long are both 32 bits on the target.
                conversion += conv;
                if (conv == 'd' || conv == 'i')
                    std::snprintf(buffer, sizeof buffer, conversion.c_str(), va_arg(ap, int));
                else
                    std::snprintf(buffer, sizeof buffer, conversion.c_str(), va_arg(ap, unsigned int));
            }
            out += buffer;
            break;
        }
        default:
            out += '%';
            appendUtf8(out, conv);
            break;
        }
    }
    va_end(ap);
    return out;
}

}  // namespace sim
