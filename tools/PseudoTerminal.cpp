#include "tools/PseudoTerminal.h"

#include "tools/StopSignal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace corvane {

namespace {

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// The terminal a link points to, or empty when it is not a link.
std::string linkTarget(const std::string& link)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

PseudoTerminal::PseudoTerminal(std::string linkPath) : link_(std::move(linkPath))
{
    struct stat existing {};
    if (::lstat(link_.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode))
            throw std::runtime_error(link_ + " exists and is not a symbolic link: choose another --pty path");
        struct stat target {};
        if (::stat(link_.c_str(), &target) == 0)
            throw std::runtime_error(link_ + " already serves " + linkTarget(link_) +
                                     ", perhaps for another corvane: choose another --pty path");
        ::unlink(link_.c_str());  // left behind by a run that was killed
    }
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) fail("cannot open a pseudo-terminal");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        ::close(master_);
        fail("cannot unlock the pseudo-terminal");
    }
    const char* name = ::ptsname(master_);
    device_ = name != nullptr ? name : "";
    slave_ = device_.empty() ? -1 : ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
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
    // Our own open came before the watch: every open it reports is a client's.
    watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ < 0 || ::inotify_add_watch(watch_, device_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        if (watch_ >= 0) ::close(watch_);
        ::close(slave_);
        ::close(master_);
        fail("cannot watch the pseudo-terminal's device");
    }

    if (::symlink(device_.c_str(), link_.c_str()) != 0) {
        ::close(watch_);
        ::close(slave_);
        ::close(master_);
        fail("cannot make the link " + link_);
    }
    removeOnStop(link_.c_str());
}

PseudoTerminal::~PseudoTerminal()
{
    removeOnStop(nullptr);
    if (linkTarget(link_) == device_) ::unlink(link_.c_str());
    ::close(watch_);
    ::close(slave_);
    ::close(master_);
}

void PseudoTerminal::noteOpensAndCloses()
{
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(watch_, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            const int before = clients_;
            if ((event->mask & IN_OPEN) != 0) ++clients_;
            if ((event->mask & IN_CLOSE) != 0 && clients_ > 0) --clients_;
            if (before == 0 && clients_ > 0) {
                // A program has opened the port: it starts with what the driver
                // sends from now on, and it has the port to itself.
                ::tcflush(slave_, TCIFLUSH);
                ::ioctl(slave_, TIOCEXCL);
            } else if (before > 0 && clients_ == 0) {
                ::ioctl(slave_, TIOCNXCL);
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

bool PseudoTerminal::clientConnected()
{
    noteOpensAndCloses();
    return clients_ > 0;
}

std::string PseudoTerminal::take(std::size_t most)
{
    std::string bytes(most, '\0');
    const ssize_t n = most == 0 ? 0 : ::read(master_, bytes.data(), most);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

std::size_t PseudoTerminal::send(std::string_view bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) break;  // full: the serial program is not reading
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

}  // namespace corvane
