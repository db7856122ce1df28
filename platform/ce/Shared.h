// A value that more than one driver thread reads or writes without a lock.
//
// On the target it is a relaxed atomic of the same width: the same plain loads
// and stores the processor makes anyway, but defined behaviour in C++. On the
// host each access is first a point where the simulated kernel may hand the
// processor to another thread, as a time slice, an interrupt or a thread of
// higher priority can at any instruction on the device; so the simulation tries
// the interleavings the driver must survive. Values only ever touched under a
// lock are plain and need none of this.
#pragma once

#include <atomic>

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
public:
    constexpr Shared() noexcept : value_{} {}
    constexpr Shared(T value) noexcept : value_{value} {}  // NOLINT: load values in aggregate initialisers
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    // The plain spellings std::atomic allows, each one access as above.
    Shared& operator=(T value)
    {
        store(value);
        return *this;
    }
    operator T() const { return load(); }  // NOLINT: reads like the value it holds

    T load(std::memory_order order = std::memory_order_relaxed) const
    {
        CORVANE_PREEMPTION_POINT();
        return value_.load(order);
    }
    // A try-lock takes with an acquiring exchange and frees with a releasing
    // store; a pointer that publishes a record is stored releasing and loaded
    // acquiring; everything else is relaxed.
    void store(T value, std::memory_order order = std::memory_order_relaxed)
    {
        CORVANE_PREEMPTION_POINT();
        value_.store(value, order);
    }
    T exchange(T value, std::memory_order order = std::memory_order_relaxed)
    {
        CORVANE_PREEMPTION_POINT();
        return value_.exchange(value, order);
    }
    // Read-modify-write in one step. Callers that can do with a lost update
    // use load and store instead, and say so.
    T fetchAdd(T delta)
    {
        CORVANE_PREEMPTION_POINT();
        return value_.fetch_add(delta, std::memory_order_relaxed);
    }

    // Replaces the value only when it is still `expected`; otherwise `expected`
    // receives what was found. True when replaced.
    bool compareExchange(T& expected, T desired)
    {
        CORVANE_PREEMPTION_POINT();
        return value_.compare_exchange_strong(expected, desired, std::memory_order_relaxed);
    }

private:
    std::atomic<T> value_;
};
