#include "channel/ByteRing.h"

#include "driver/DriverContext.h"

#include <algorithm>
#include <cstring>

namespace {

// Index mask of the store in use. A ring is full when the fill count has any
// bit above the mask, i.e. when it holds `size` bytes.
inline std::uint32_t indexMask(std::int32_t size)
{
    return static_cast<std::uint32_t>(size) - 1u;
}

}  // namespace

std::int32_t ByteRing::write(const std::uint8_t* source, std::int32_t count)
{
    if (count <= 0) {
        return 0;
    }
    EnterCriticalSection(&guard);
    if (closed) {
        LeaveCriticalSection(&guard);
        return 0;
    }
    // A write longer than the ring keeps one byte of room; the comparison is signed.
    const std::int32_t toStore = count > size ? size - 1 : count;
    const std::uint32_t mask = indexMask(size);
    if (toStore > 0 && (static_cast<std::uint32_t>(size) & mask) == 0 &&
        head - tail + static_cast<std::uint32_t>(toStore) <= static_cast<std::uint32_t>(size)) {
        // Room for the whole write (the usual case): no byte is dropped, and
        // the bytes go in as at most two copies, before and after the wrap.
        const std::uint32_t start = head & mask;
        const std::uint32_t first =
            std::min(static_cast<std::uint32_t>(toStore), static_cast<std::uint32_t>(size) - start);
        std::memcpy(data + start, source, first);
        std::memcpy(data, source + first, static_cast<std::uint32_t>(toStore) - first);
        head += static_cast<std::uint32_t>(toStore);
        LeaveCriticalSection(&guard);
        return toStore;
    }
    for (std::int32_t i = 0; i < toStore; ++i) {
        if (((head - tail) & ~mask) != 0) {
            ++tail;  // full: the oldest unread byte is dropped
        }
        data[head & mask] = source[i];
        ++head;
    }
    LeaveCriticalSection(&guard);
    return toStore > 0 ? toStore : 0;
}

std::int32_t ByteRing::read(std::uint8_t* destination, std::int32_t count)
{
    if (count <= 0) {
        return 0;
    }
    EnterCriticalSection(&guard);
    const std::uint32_t limit = static_cast<std::uint32_t>(count > size ? size : count);
    const std::uint32_t held = head - tail;
    const std::uint32_t taken = held < limit ? held : limit;
    if (taken > 0) {
        // The unread bytes run from the tail to the end of the store and on
        // from its start: at most two copies, each slot zeroed once taken.
        const std::uint32_t start = tail & indexMask(size);
        const std::uint32_t first = std::min(taken, static_cast<std::uint32_t>(size) - start);
        std::memcpy(destination, data + start, first);
        std::memset(data + start, 0, first);
        if (taken > first) {
            std::memcpy(destination + first, data, taken - first);
            std::memset(data, 0, taken - first);
        }
        tail += taken;
    }
    LeaveCriticalSection(&guard);
    return static_cast<std::int32_t>(taken);
}

void ByteRing::reset(std::int32_t newSize)
{
    EnterCriticalSection(&guard);
    size = newSize;
    head = 0;
    tail = 0;
    LeaveCriticalSection(&guard);
}

void ByteRing::close()
{
    EnterCriticalSection(&guard);
    closed = true;
    LeaveCriticalSection(&guard);
}

void ByteRing::open()
{
    EnterCriticalSection(&guard);
    closed = false;
    LeaveCriticalSection(&guard);
}

void InitRingGuards()
{
    InitializeCriticalSection(&gDriver.channel.outputRing.guard);
    InitializeCriticalSection(&gDriver.channel.inputRing.guard);
}

void ReleaseRingGuards()
{
    DeleteCriticalSection(&gDriver.channel.outputRing.guard);
    DeleteCriticalSection(&gDriver.channel.inputRing.guard);
}

void ResetPortRings()
{
    gDriver.channel.outputRing.reset(kOutputRingSize);
    gDriver.channel.inputRing.reset(kInputRingSize);
}
