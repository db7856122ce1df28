#include "platform/Platform.h"

void SetPinBits(volatile ULONG* reg, ULONG clear, ULONG set)
{
    // Other code changes other lines' bits in the same register: retry with
    // whatever value the exchange found until no one came in between.
    ULONG old = READ_REGISTER_ULONG(reg);
    for (;;) {
        const ULONG wanted = (old & ~clear) | set;
        const ULONG found = static_cast<ULONG>(InterlockedCompareExchange(
            reinterpret_cast<LONG volatile*>(reg), static_cast<LONG>(wanted), static_cast<LONG>(old)));
        if (found == old) {
            return;
        }
        old = found;
    }
}

namespace {

// Without the GPIO window (its mapping failed at start) the lines cannot be
// reached; the change is dropped rather than written to a bad address.
void changeGpio(DWORD offset, ULONG clear, ULONG set)
{
    volatile ULONG* reg = WindowRegister(kGpioWindow, offset);
    if (reg != nullptr) {
        SetPinBits(reg, clear, set);
    }
}

}  // namespace

void PinMakeOutput(DWORD line)
{
    changeGpio(line, kPinOutputEnable | kPinBit4, kPinOutputEnable);
}

void PinDriveHigh(DWORD line)
{
    changeGpio(line, kPinBit4, kPinLevelHigh);
}

void PinDriveLow(DWORD line)
{
    changeGpio(line, kPinLevelHigh | kPinBit4, 0);
}

void PadSelect(ULONG bits)
{
    changeGpio(kPadSelectRegister, 0, bits);
}
