#include "sim/band/RdsLogReader.h"

#include <array>
#include <cstring>

namespace sim::band {

namespace {

// Each byte's value as a hexadecimal digit, or -1.
constexpr std::array<std::int8_t, 256> kHexDigit = [] {
    std::array<std::int8_t, 256> table{};
    for (auto& value : table) value = -1;
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<std::int8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<std::int8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::int8_t>(c - 'a' + 10);
    return table;
}();

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

enum class Quick { Group, Other, Short };

// The common line in one pass over the buffer: blanks, four blocks of four
// hexadecimal digits or "----" each followed by a blank or the line's end,
// then nothing but blanks and a time stamp "@..." up to the line feed. Group:
// the group and `next` at the byte after the line feed (or at `end` for a
// last line without one). Short: the line runs past `end`. Other: anything
// else (a comment, a header, a blank line, an error), which the line parser
// then reads, with its messages.
Quick quickGroup(const char* p, const char* end, bool last, LoggedGroup& group, const char*& next)
{
    auto at = [&](const char* q) { return q < end ? *q : '\n'; };  // past the end: the line ends there
    while (p < end && blank(*p)) ++p;
    for (std::size_t i = 0; i < 4; ++i) {
        if (end - p < 5 && !last) return Quick::Short;
        if (end - p < 4) return Quick::Other;
        if (p[0] == '-' && p[1] == '-' && p[2] == '-' && p[3] == '-') {
            group.blocks[i] = 0;
            group.lost[i] = true;
        } else {
            const int a = kHexDigit[static_cast<unsigned char>(p[0])], b = kHexDigit[static_cast<unsigned char>(p[1])],
                      c = kHexDigit[static_cast<unsigned char>(p[2])], d = kHexDigit[static_cast<unsigned char>(p[3])];
            if ((a | b | c | d) < 0) return Quick::Other;
            group.blocks[i] = static_cast<std::uint16_t>(a << 12 | b << 8 | c << 4 | d);
            group.lost[i] = false;
        }
        p += 4;
        const char after = at(p);
        if (!blank(after) && (i < 3 || (after != '\n' && after != '\r'))) return Quick::Other;
        while (p < end && blank(*p)) ++p;
    }
    if (p < end && *p == '@')
        while (p < end && *p != '\n') ++p;  // the time stamp: its text is not read
    if (p < end && *p == '\r') ++p;
    if (p == end) {
        if (!last) return Quick::Short;
        next = end;
        return Quick::Group;
    }
    if (*p != '\n') return Quick::Other;
    next = p + 1;
    return Quick::Group;
}

}  // namespace

RdsLogReader::RdsLogReader(const std::filesystem::path& path) : name_(path.string()), buffer_(new char[kBufferSize])
{
    try {
        file_ = std::make_unique<InputFile>(path, "log", kMaxRdsLogBytes);
    } catch (const InputFileError& error) {
        throw RdsLogError(name_, 0, error.reason());
    }
}

bool RdsLogReader::refill()
{
    if (atEnd_) return false;
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    std::size_t n = 0;
    try {
        n = file_->read(buffer_.get() + end_, kBufferSize - end_);
    } catch (const InputFileError& error) {
        throw RdsLogError(name_, 0, error.reason());
    }
    end_ += n;
    atEnd_ = n == 0;
    return n != 0;
}

bool RdsLogReader::next(LoggedGroup& group)
{
    while (true) {
        const char* start = buffer_.get() + begin_;
        const char* next = nullptr;
        switch (quickGroup(start, buffer_.get() + end_, atEnd_, group, next)) {
        case Quick::Group:
            begin_ = static_cast<std::size_t>(next - buffer_.get());
            group.line = ++line_;
            return true;
        case Quick::Short:  // more of the file, or its end, decides
            if (end_ - begin_ < kBufferSize && !atEnd_) {
                refill();
                continue;
            }
            break;
        case Quick::Other:
            break;
        }
        const void* feed = std::memchr(start, '\n', end_ - begin_);
        std::size_t length = 0;
        if (feed != nullptr) {
            length = static_cast<std::size_t>(static_cast<const char*>(feed) - start);
            begin_ += length + 1;
        } else if (end_ - begin_ == kBufferSize) {
            throw RdsLogError(name_, line_ + 1, "the line is longer than any group line can be");
        } else if (refill()) {
            continue;
        } else if (begin_ != end_) {
            length = end_ - begin_;  // the last line, without a line feed
            begin_ = end_;
        } else {
            return false;
        }
        ++line_;
        if (parseRdsLogLine(std::string_view(start, length), line_, name_, group)) return true;
    }
}

}  // namespace sim::band
