// A device on the simulated I2C bus, seen from the bus: it acknowledges a
// transfer or not.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

class I2CTarget {
public:
    virtual ~I2CTarget() = default;
    // `length` bytes sent to the device. False: the device did not acknowledge.
    virtual bool write(const std::uint8_t* data, std::size_t length) = 0;
    // `length` bytes clocked out of the device into `data`. False: no acknowledge
    // (the buffer is then left as it was).
    virtual bool read(std::uint8_t* data, std::size_t length) = 0;

    // ---- For a bus on which a transfer takes time ----------------------------
    // Such a bus asks answersAddress() as the address byte's acknowledge bit
    // goes by; a read's data phase then starts with read() and a write ends at
    // its stop condition with write(). In between the device may be reset or
    // restarted: a restart count that moved since the address byte means the
    // device lost its place in the transfer and answers no more of it.
    virtual bool answersAddress() { return true; }
    virtual std::uint64_t restarts() const { return 0; }
    // A device that drives a read in words of several bytes takes each word
    // from its registers as the word's first byte goes out: after read() gave
    // the whole read as it stood at the start of the data phase, the bus asks
    // again for each later word, at its time, with its byte offset. 0: the
    // device takes the whole read at its start.
    virtual std::size_t readWordBytes() const { return 0; }
    // False: the device no longer answers (the buffer is then left as it was).
    virtual bool rereadWord(std::uint8_t* data, std::size_t offset) { return true; }
};

}  // namespace sim
