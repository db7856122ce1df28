// Reading the files a user names (band files, RDS logs, scripts) safely: only
// a regular file is read (a directory, a device such as /dev/zero or a FIFO is
// refused before any byte is read), and never more than a stated size, so
// that an input that never ends cannot exhaust memory. Every refusal names
// the file and the system's reason.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace sim::band {

// The largest band file or script read, and the largest RDS log.
inline constexpr std::uintmax_t kMaxBandFileBytes = 16u << 20;
inline constexpr std::uintmax_t kMaxRdsLogBytes = 1024u << 20;

class InputFileError : public std::runtime_error {
public:
    InputFileError(const std::string& file, const std::string& reason)
        : std::runtime_error(file + ": " + reason), reason_(reason)
    {}
    const std::string& reason() const { return reason_; }  // without the file's name

private:
    std::string reason_;
};

// An open regular file, read in pieces; the file is closed with the object.
class InputFile {
public:
    // `what` names the kind of file in messages ("band file"). Throws
    // InputFileError when the file cannot be opened, is not a regular file or
    // is larger than `limit` bytes.
    InputFile(const std::filesystem::path& path, const char* what, std::uintmax_t limit);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Up to `size` bytes into `buffer`; 0 at the end. Throws InputFileError on a
    // read error, or when the file grows beyond the limit while it is read.
    std::size_t read(char* buffer, std::size_t size);

private:
    [[noreturn]] void fail(const std::string& reason) const;

    std::string name_;
    const char* what_;
    std::uintmax_t limit_;
    std::uintmax_t read_ = 0;
    int fd_ = -1;
};

// The whole content of a regular file of at most `limit` bytes.
std::string readInputFile(const std::filesystem::path& path, const char* what, std::uintmax_t limit);

// "16 MiB": a limit as --help and the messages state it.
std::string describeSize(std::uintmax_t bytes);

}  // namespace sim::band
