// The driver's port served as a pseudo-terminal, so that any serial program
// (a terminal, a navigation application, Python's serial module) can talk to
// it: a symbolic link at the path given points to the terminal's device, in
// raw mode (no echo, no line editing). It behaves like the device's port: one
// program at a time (a second open fails while one holds the port), and a
// program that opens it finds nothing left over from before. Reading and
// writing never block; what the terminal cannot take now is the caller's to
// keep and offer again.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

class PseudoTerminal {
public:
    // Opens the terminal and makes the link. A link whose terminal is still
    // there belongs to a running corvane: that is an error, as is any other
    // file at the path; a link left behind by a killed run is replaced.
    // Throws std::runtime_error with what failed.
    explicit PseudoTerminal(std::string linkPath);
    ~PseudoTerminal();  // removes the link if it is still ours
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& devicePath() const { return device_; }
    const std::string& linkPath() const { return link_; }

    // Whether a serial program holds the terminal open. When one opens it,
    // what the terminal still held is discarded and the terminal becomes
    // exclusive until the program closes it.
    bool clientConnected();
    // Up to `most` bytes the serial program has written and not yet given.
    std::string take(std::size_t most);
    // Sends what the terminal takes now; returns how many bytes that was.
    std::size_t send(std::string_view bytes);

private:
    void noteOpensAndCloses();

    std::string link_;
    std::string device_;
    int master_ = -1;
    int slave_ = -1;   // kept open: the settings stay, and exclusivity can be lifted again
    int watch_ = -1;   // notifications of opens and closes of the device
    int clients_ = 0;  // opens of the device by others minus their closes
};

}  // namespace corvane
