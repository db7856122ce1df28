#include "sim/band/RdsLogReader.h"

#include <cstring>

namespace sim::band {

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
