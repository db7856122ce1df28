// A recorded RDS log read as a stream, one group at a time, in constant
// memory whatever the log's length: what a replay of a long log needs. The
// file is checked as every input is (a regular file, at most kMaxRdsLogBytes).
//
//     sim::band::RdsLogReader reader("log.spy");
//     for (sim::band::LoggedGroup group; reader.next(group);) use(group);
#pragma once

#include "sim/band/InputFile.h"
#include "sim/band/RdsLog.h"

#include <filesystem>
#include <memory>
#include <string>

namespace sim::band {

class RdsLogReader {
public:
    // Opens the log. Throws RdsLogError (line 0) when it cannot be read.
    explicit RdsLogReader(const std::filesystem::path& path);

    // The next group in the log; false at its end. Throws RdsLogError naming
    // the line of a malformed group, or line 0 when reading fails.
    bool next(LoggedGroup& group);

    const std::string& name() const { return name_; }

private:
    // Reads more of the file behind what is left of the buffer; false at the end.
    bool refill();

    static constexpr std::size_t kBufferSize = 256 * 1024;  // also the longest line
    std::string name_;
    std::unique_ptr<InputFile> file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t begin_ = 0;  // the unparsed bytes are [begin_, end_)
    std::size_t end_ = 0;
    std::size_t line_ = 0;
    bool atEnd_ = false;
};

}  // namespace sim::band
