// A value that more than one driver thread reads or writes without a lock.
//
// Loads and stores are the plain 32-bit loads and stores the processor makes
// anyway (relaxed atomics in C++, so defined behaviour). Every read-modify-write
// and every access that orders memory is one of the kernel's interlocked calls:
// the device's ARM926EJ-S (ARMv5TE) has no atomic read-modify-write instruction
// and no barrier instruction, and the C++ atomics would call the compiler's
// helpers, which need an operating system's help that Windows CE does not give.
// Windows CE makes its interlocked calls atomic on every processor it runs on,
// and each is a full barrier; they work on aligned 32-bit values only.
//
// Narrow fields are therefore widened: a Shared<std::uint8_t> or
// Shared<std::uint16_t> keeps its value in a 32-bit word of its own, always in
// the range of its type. The other way, an interlocked call on the aligned
// word around the field, would read and rewrite its neighbours too: a compare
// and swap on a byte would fail and retry whenever another thread stored to a
// neighbouring field, every exchange and add would become such a loop, and a
// field at the end of a structure would reach past it. A word of its own costs
// a few hundred bytes over the whole driver and keeps every exchange and every
// compare-and-swap one call. Only an add on a narrow field, which must wrap at
// the field's width, is a compare-and-swap loop.
//
// On the host each access is first a point where the simulated kernel may hand
// the processor to another thread, as a time slice, an interrupt or a thread of
// higher priority can at any instruction on the device; so the simulation tries
// the interleavings the driver must survive. Loads and stores make that point
// here; the simulated interlocked calls make it themselves, so every access is
// still one point. Values only ever touched under a lock are plain and need
// none of this.
#pragma once

#include "platform/ce/WinCE.h"

#include <atomic>
#include <type_traits>

#if !defined(UNDER_CE) && !defined(_WIN32)
// Implemented by the simulated kernel: may switch to another ready thread.
void CePreemptionPoint();
// Set by the simulated kernel while it preempts; a test in one byte keeps the
// cooperative mode as fast as it was.
extern bool gCePreemptive;
#define CORVANE_PREEMPTION_POINT() (gCePreemptive ? CePreemptionPoint() : (void)0)
#else
#define CORVANE_PREEMPTION_POINT() ((void)0)
#endif

template <class T>
class Shared {
    static_assert(std::is_pointer_v<T> || (std::is_integral_v<T> && sizeof(T) <= sizeof(LONG)),
                  "a shared value is an integer of at most 32 bits or a pointer");
    // A pointer has its own interlocked calls (the 32-bit ones on the device).
    using Word = std::conditional_t<std::is_pointer_v<T>, PVOID, LONG>;

public:
    constexpr Shared() noexcept : value_{} {}
    constexpr Shared(T value) noexcept : value_{toWord(value)} {}  // NOLINT: load values in aggregate initialisers
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    // The plain spellings std::atomic allows, each one access as above.
    Shared& operator=(T value)
    {
        store(value);
        return *this;
    }
    operator T() const { return load(); }  // NOLINT: reads like the value it holds

    // A try-lock takes with an acquiring exchange and frees with a releasing
    // store; a pointer that publishes a record is stored releasing and loaded
    // acquiring; everything else is relaxed. An ordering access is an
    // interlocked call, a full barrier.
    T load(std::memory_order order = std::memory_order_relaxed) const
    {
        if (order != std::memory_order_relaxed) return fromWord(compareExchangeWord(Word{}, Word{}));
        CORVANE_PREEMPTION_POINT();
        return fromWord(std::atomic_ref<Word>(value_).load(std::memory_order_relaxed));
    }
    void store(T value, std::memory_order order = std::memory_order_relaxed)
    {
        if (order != std::memory_order_relaxed) {
            exchangeWord(toWord(value));
            return;
        }
        CORVANE_PREEMPTION_POINT();
        std::atomic_ref<Word>(value_).store(toWord(value), std::memory_order_relaxed);
    }
    // Every exchange orders memory, whatever order is asked.
    T exchange(T value, std::memory_order = std::memory_order_relaxed) { return fromWord(exchangeWord(toWord(value))); }
    // Read-modify-write in one step. Callers that can do with a lost update
    // use load and store instead, and say so.
    T fetchAdd(T delta)
    {
        static_assert(std::is_integral_v<T>, "only integers are added to");
        if constexpr (sizeof(T) == sizeof(LONG)) {
            return static_cast<T>(InterlockedExchangeAdd(&value_, static_cast<LONG>(delta)));
        } else {
            // The sum wraps at the field's width: the word never holds more.
            LONG seen = std::atomic_ref<LONG>(value_).load(std::memory_order_relaxed);
            for (;;) {
                const LONG sum = toWord(static_cast<T>(static_cast<T>(seen) + delta));
                const LONG found = InterlockedCompareExchange(&value_, sum, seen);
                if (found == seen) return static_cast<T>(seen);
                seen = found;
            }
        }
    }

    // Replaces the value only when it is still `expected`; otherwise `expected`
    // receives what was found. True when replaced.
    bool compareExchange(T& expected, T desired)
    {
        const Word wanted = toWord(expected);
        const Word found = compareExchangeWord(toWord(desired), wanted);
        expected = fromWord(found);
        return found == wanted;
    }

private:
    static constexpr Word toWord(T value)
    {
        if constexpr (std::is_pointer_v<T>) {
            return static_cast<PVOID>(value);
        } else {
            return static_cast<LONG>(value);
        }
    }
    static T fromWord(Word word) { return static_cast<T>(word); }
    Word exchangeWord(Word value)
    {
        if constexpr (std::is_pointer_v<T>) {
            return InterlockedExchangePointer(&value_, value);
        } else {
            return InterlockedExchange(&value_, value);
        }
    }
    Word compareExchangeWord(Word desired, Word expected) const
    {
        if constexpr (std::is_pointer_v<T>) {
            return InterlockedCompareExchangePointer(&value_, desired, expected);
        } else {
            return InterlockedCompareExchange(&value_, desired, expected);
        }
    }

    // Written only through the interlocked calls or as a whole aligned word.
    alignas(sizeof(Word)) mutable Word value_;
};
