#pragma once

#include "channel/ByteRing.h"

#include <cstdint>

// Ring sizes: the output ring always has the whole store; the input ring has
// 128 bytes from load on and again after every power-up, so that commands
// written back to back never overwrite each other.
constexpr std::int32_t kOutputRingSize = 512;
constexpr std::int32_t kInputRingSize = 128;

struct ChannelState {
    ByteRing outputRing;  // sentences, driver to application (read by COM_Read)
    ByteRing inputRing;   // command bytes, application to driver (written by COM_Write)
    // Serialises parseCommand between the command-reader thread and the
    // private command request. Created once per load (InitCommandGuard).
    CRITICAL_SECTION commandGuard;
};
