// Recorded RDS group logs: one group per line as four hexadecimal blocks
// A B C D. Two formats are read:
//   RDS Spy (.spy):      a first line "<recorder=...>", then lines
//                        "AAAA BBBB CCCC DDDD @YYYY/MM/DD HH:MM:SS.cc"
//   RDS Surveyor (.rds): comment lines beginning with "%", then the same lines
// A block written "----" was not received or could not be corrected. Blank
// lines are skipped; anything else is an error naming the file and the line.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim::band {

struct LoggedGroup {
    std::array<std::uint16_t, 4> blocks{};  // A, B, C, D; 0 where lost
    std::array<bool, 4> lost{};             // the block was written "----"
    std::size_t line = 0;                   // line number in the log, from 1
};

struct RdsLog {
    std::string name;  // the file, as given, for messages
    std::vector<LoggedGroup> groups;
};

class RdsLogError : public std::runtime_error {
public:
    RdsLogError(const std::string& name, std::size_t line, const std::string& what);
    std::size_t line() const { return line_; }

private:
    std::size_t line_;
};

// Parses the text of a log. `name` appears in error messages
// ("name:line: what is wrong"; "name: what is wrong" for the whole file).
// Throws RdsLogError.
RdsLog parseRdsLog(std::string_view text, std::string_view name);

// One line of a log (without its line feed), the `lineNumber`-th: true and
// the group when it holds one, false for a header, a comment or a blank line.
// Throws RdsLogError.
bool parseRdsLogLine(std::string_view line, std::size_t lineNumber, std::string_view name, LoggedGroup& group);

// Reads and parses a whole log file (a regular file of at most kMaxRdsLogBytes;
// RdsLogReader reads one group at a time).
// Throws RdsLogError (line 0 when the file cannot be read).
RdsLog readRdsLog(const std::filesystem::path& path);

}  // namespace sim::band
