// ByteRing: the byte rings that carry text between the driver and the
// application (sentences out through COM_Read, command bytes in through
// COM_Write). A ring never fails: a writer that finds it full overwrites the
// oldest unread bytes, a reader that finds it empty gets fewer bytes. Each
// whole write, read and reset holds the ring's critical section, which nobody
// holds across a wait: the driver never suspends a thread (a power-down parks
// its workers outside every lock), so a caller waits at most for one copy of
// at most 512 bytes. A ring can be closed to writers: the output ring is, from
// a power-down to the next power-up, so that a powered-down receiver sends
// nothing. Calls only the critical-section services of platform/ce.
#pragma once

#include "platform/ce/WinCE.h"

#include <cstdint>

// The store of every ring; a ring uses the first `size` bytes of it.
constexpr std::int32_t kByteRingCapacity = 512;

struct ByteRing {
    // Free-running counters: they are never masked when stored and wrap at
    // 2^32; every difference is taken in unsigned 32-bit arithmetic.
    std::uint32_t head;  // bytes ever stored since the last reset
    std::uint32_t tail;  // bytes ever taken, or dropped by an overrun, since the last reset
    std::int32_t size;   // bytes of the store in use: a power of two, at most 512
    std::uint8_t data[kByteRingCapacity];

    // Held across each whole write, read and reset, so that a write lands
    // without bytes of another write inside it and a read sees a consistent
    // ring. Created once per load of the driver (InitRingGuards).
    CRITICAL_SECTION guard;
    bool closed;  // writes store nothing; read and set under the guard

    // Stores up to `count` bytes, the oldest unread bytes making room; a count
    // above `size` stores only the first size - 1 bytes; a closed ring stores
    // nothing. Returns the bytes stored.
    std::int32_t write(const std::uint8_t* source, std::int32_t count);

    // Takes up to min(count, size) bytes, zeroing each taken byte in the store.
    // Returns the bytes taken; 0 leaves the destination untouched.
    std::int32_t read(std::uint8_t* destination, std::int32_t count);
    // Empties the ring and sets its size (a power of two, 1 to 512). The store
    // itself is not cleared; a closed ring stays closed.
    void reset(std::int32_t newSize);
    // Once close returns, no write stores a byte until open: a write under
    // way has finished, and later ones find the ring closed.
    void close();
    void open();
};

// Create and delete the guards of both rings of gDriver. InitRingGuards runs
// once per load, before any ring is reset or used and before any worker
// thread exists; ReleaseRingGuards runs at unload, once no thread uses a ring.
void InitRingGuards();
void ReleaseRingGuards();
// Both rings of gDriver empty at their start sizes.
void ResetPortRings();
