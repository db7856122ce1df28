#include "sim/band/RdsLog.h"

#include "sim/band/RdsLogReader.h"

namespace sim::band {

namespace {

constexpr std::string_view kLostBlock = "----";

std::string describe(std::string_view token)
{
    std::string shown(token.substr(0, 24));
    if (token.size() > 24) shown += "...";
    return "\"" + shown + "\"";
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Splits off the next blank-separated token; empty at the end of the line.
std::string_view nextToken(std::string_view& rest)
{
    const auto start = rest.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    const auto end = rest.find_first_of(" \t");
    const std::string_view token = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    return token;
}

class LineParser {
public:
    LineParser(std::string_view name, std::size_t line) : name_(name), line_(line) {}

    LoggedGroup parse(std::string_view text) const
    {
        static constexpr const char* kBlockNames[] = {"A", "B", "C", "D"};
        LoggedGroup group;
        group.line = line_;
        std::string_view rest = text;
        for (std::size_t i = 0; i < 4; ++i) {
            const std::string_view token = nextToken(rest);
            if (token.empty())
                fail(std::string("block ") + kBlockNames[i] + " is missing (a group is four blocks A B C D)");
            if (token == kLostBlock) {
                group.lost[i] = true;
                continue;
            }
            group.blocks[i] = parseBlock(token, kBlockNames[i]);
        }
        const std::string_view trailer = nextToken(rest);
        if (!trailer.empty() && trailer.front() != '@')
            fail("unexpected " + describe(trailer) + " after block D (only a time stamp \"@...\" may follow)");
        return group;
    }

private:
    std::uint16_t parseBlock(std::string_view token, const char* blockName) const
    {
        if (token.size() != 4)
            fail(std::string("block ") + blockName + " " + describe(token) +
                 " is not four hexadecimal digits or \"----\"");
        unsigned value = 0;
        for (char c : token) {
            const int digit = hexValue(c);
            if (digit < 0)
                fail(std::string("block ") + blockName + " " + describe(token) +
                     " is not four hexadecimal digits or \"----\"");
            value = value * 16 + static_cast<unsigned>(digit);
        }
        return static_cast<std::uint16_t>(value);
    }

    [[noreturn]] void fail(const std::string& what) const { throw RdsLogError(std::string(name_), line_, what); }

    std::string_view name_;
    std::size_t line_;
};

}  // namespace

RdsLogError::RdsLogError(const std::string& name, std::size_t line, const std::string& what)
    : std::runtime_error(name + (line != 0 ? ":" + std::to_string(line) : std::string()) + ": " + what), line_(line)
{}

bool parseRdsLogLine(std::string_view line, std::size_t lineNumber, std::string_view name, LoggedGroup& group)
{
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return false;  // blank line
    const char lead = line[first];
    if (lead == '%') return false;  // RDS Surveyor comment
    if (lead == '<') {
        if (lineNumber != 1)
            throw RdsLogError(std::string(name), lineNumber, "a \"<...>\" header is allowed only on the first line");
        return false;  // RDS Spy header
    }
    group = LineParser(name, lineNumber).parse(line);
    return true;
}

RdsLog parseRdsLog(std::string_view text, std::string_view name)
{
    RdsLog log;
    log.name = std::string(name);
    std::size_t lineNumber = 0;
    LoggedGroup group;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (parseRdsLogLine(line, ++lineNumber, name, group)) log.groups.push_back(group);
    }
    return log;
}

RdsLog readRdsLog(const std::filesystem::path& path)
{
    RdsLogReader reader(path);
    RdsLog log;
    log.name = path.string();
    for (LoggedGroup group; reader.next(group);) log.groups.push_back(group);
    return log;
}

}  // namespace sim::band
