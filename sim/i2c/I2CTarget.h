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
};

}  // namespace sim
