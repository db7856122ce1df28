#include "tools/PseudoTerminal.h"

#include "tools/StopSignal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace corvane {

namespace {

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

PseudoTerminal::PseudoTerminal(std::string linkPath) : link_(std::move(linkPath))
{
    struct stat existing{};
    if (::lstat(link_.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode))
            throw std::runtime_error(link_ + " exists and is not a symbolic link: choose another --pty path");
        ::unlink(link_.c_str());
    }
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) fail("cannot open a pseudo-terminal");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        ::close(master_);
        fail("cannot unlock the pseudo-terminal");
    }
    const char* name = ::ptsname(master_);
    device_ = name != nullptr ? name : "";
    slave_ = device_.empty() ? -1 : ::open(device_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        ::close(master_);
        fail("cannot open the pseudo-terminal's device");
    }
    // Raw: the driver's lines must not come back as input through an echo.
    termios settings{};
    ::tcgetattr(slave_, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(slave_, TCSANOW, &settings);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);

    if (::symlink(device_.c_str(), link_.c_str()) != 0) {
        ::close(slave_);
        ::close(master_);
        fail("cannot make the link " + link_);
    }
    removeOnStop(link_.c_str());
}

PseudoTerminal::~PseudoTerminal()
{
    removeOnStop(nullptr);
    ::unlink(link_.c_str());
    ::close(slave_);
    ::close(master_);
}

std::string PseudoTerminal::take()
{
    std::string bytes;
    char buffer[256];
    for (ssize_t n; (n = ::read(master_, buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
}

void PseudoTerminal::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n <= 0) return;  // full: the serial program is not reading
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace corvane
