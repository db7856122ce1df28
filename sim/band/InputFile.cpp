#include "sim/band/InputFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim::band {

std::string describeSize(std::uintmax_t bytes)
{
    return std::to_string(bytes >> 20) + " MiB";
}

InputFile::InputFile(const std::filesystem::path& path, const char* what, std::uintmax_t limit)
    : name_(path.string()), what_(what), limit_(limit)
{
    // Not blocking: opening a FIFO must not wait for a writer.
    fd_ = ::open(name_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) fail(std::string("cannot open the ") + what_ + ": " + std::strerror(errno));
    struct stat status {};
    if (::fstat(fd_, &status) != 0) fail(std::string("cannot read the ") + what_ + ": " + std::strerror(errno));
    if (S_ISDIR(status.st_mode)) fail(std::string("is a directory, not a ") + what_);
    if (!S_ISREG(status.st_mode)) fail(std::string("is not a regular file; a ") + what_ + " must be one");
    if (static_cast<std::uintmax_t>(status.st_size) > limit_)
        fail("is larger than the " + describeSize(limit_) + " a " + what_ + " may have");
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
}

InputFile::~InputFile()
{
    if (fd_ >= 0) ::close(fd_);
}

void InputFile::fail(const std::string& reason) const
{
    throw InputFileError(name_, reason);
}

std::size_t InputFile::read(char* buffer, std::size_t size)
{
    ssize_t n = 0;
    do {
        n = ::read(fd_, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) fail(std::string("cannot read the ") + what_ + ": " + std::strerror(errno));
    read_ += static_cast<std::uintmax_t>(n);
    if (read_ > limit_) fail("is larger than the " + describeSize(limit_) + " a " + what_ + " may have");
    return static_cast<std::size_t>(n);
}

std::string readInputFile(const std::filesystem::path& path, const char* what, std::uintmax_t limit)
{
    InputFile file(path, what, limit);
    std::string content;
    char buffer[64 * 1024];
    for (std::size_t n; (n = file.read(buffer, sizeof buffer)) != 0;) content.append(buffer, n);
    return content;
}

}  // namespace sim::band
