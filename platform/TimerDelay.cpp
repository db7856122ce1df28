#include "platform/Platform.h"

namespace {

// One delay unit is clock-rate / kTicksDivisor counter ticks.
constexpr ULONG kTicksDivisor = 2000000;

}  // namespace

void TimerDelay(DWORD n)
{
    if (n == 0) {
        return;
    }
    volatile ULONG* latch = WindowRegister(kTimerWindow, kTimerLatch);
    volatile ULONG* counter = WindowRegister(kTimerWindow, kTimerCounter);
    volatile ULONG* clockRate = WindowRegister(kClockWindow, kClockRateWord);
    if (latch == nullptr || counter == nullptr || clockRate == nullptr) {
        return;  // windows not mapped: there is no counter to wait on
    }

    WRITE_REGISTER_ULONG(latch, 1);
    const ULONG start = READ_REGISTER_ULONG(counter);
    ULONG elapsed;
    ULONG needed;
    do {
        WRITE_REGISTER_ULONG(latch, 1);
        // The rate is read afresh on every pass; unsigned arithmetic makes a
        // counter wrap during the wait harmless.
        needed = n * (READ_REGISTER_ULONG(clockRate) / kTicksDivisor);
        elapsed = READ_REGISTER_ULONG(counter) - start;
    } while (elapsed < needed);
}
