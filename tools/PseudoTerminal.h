// The driver's port served as a pseudo-terminal, so that any serial program
// (a terminal, a navigation application, Python's serial module) can talk to
// it: a symbolic link at the path given points to the terminal's device, in
// raw mode (no echo, no line editing). Reading and writing never block: bytes
// the serial program has not read stay buffered up to the terminal's limit,
// and a write that finds the buffer full drops the rest.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

class PseudoTerminal {
public:
    // Opens the terminal and makes the link. An existing symbolic link at the
    // path is replaced (left behind by a killed run); any other file there is
    // an error. Throws std::runtime_error with what failed.
    explicit PseudoTerminal(std::string linkPath);
    ~PseudoTerminal();  // removes the link
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& devicePath() const { return device_; }
    const std::string& linkPath() const { return link_; }

    // Whatever the serial program has written since the last call.
    std::string take();
    // Sends bytes to the serial program.
    void send(std::string_view bytes);

private:
    std::string link_;
    std::string device_;
    int master_ = -1;
    int slave_ = -1;  // kept open: the settings stay and reads never see a hang-up
};

}  // namespace corvane
