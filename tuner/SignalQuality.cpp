// The chip's two-step signal-quality test. It borrows the RDS registers: test
// values go into RDSA..RDSD, the chip clears RDSD when a step is done and
// leaves the result in RDSA's low byte. During the test the chip's RDS and
// STC interrupts are off and tunerBusy keeps the interrupt thread away from
// the chip; afterwards every register the test touched is put back.
#include "driver/DriverContext.h"
#include "tuner/RegisterValues.h"
#include "tuner/Tuner.h"

using namespace si4709;

namespace {

constexpr std::uint8_t kReceiverModeMeasureQuality = 0x04;
constexpr std::uint16_t kSysconfig1InterruptsOff = static_cast<std::uint16_t>(~kSysconfig1Interrupts);
static_assert(kSysconfig1InterruptsOff == 0x2FFF);
constexpr std::uint16_t kRdsdPending = 0xFFFF;  // what a failed or skipped read leaves
constexpr DWORD kPollMs = 30;
constexpr unsigned kSavedFirst = POWERCFG;
constexpr unsigned kSavedCount = RDSD - POWERCFG + 1;

RegisterShadow& shadow()
{
    return gDriver.tuner.shadow;
}

void startStep(const std::uint16_t (&values)[4])
{
    shadow().set(RDSA, values[0]);
    shadow().set(RDSB, values[1]);
    shadow().set(RDSC, values[2]);
    shadow().set(RDSD, values[3]);
    GuardedWriteRegisters(RDSD);
}

// Polls until RDSD AND doneMask is 0. A chip that never gets there (or a bus
// that fails for good) would hold the control thread forever, so the poll
// gives up after kQualityPollLimit passes.
bool waitStepDone(std::uint16_t doneMask)
{
    shadow().set(RDSD, kRdsdPending);
    for (unsigned pass = 0; pass < kQualityPollLimit; ++pass) {
        // An unload waits a bounded time for this thread: it must not poll on.
        if (gDriver.lifecycle.stopControlThread.load() != 0) {
            return false;
        }
        Sleep(kPollMs);
        GuardedReadRegisters(STATUSRSSI, RDSD);
        if ((shadow().get(RDSD) & doneMask) == 0) {
            return true;
        }
    }
    return false;
}

void restore(const std::uint16_t (&saved)[kSavedCount])
{
    for (unsigned i = 0; i < kSavedCount; ++i) {
        shadow().set(kSavedFirst + i, saved[i]);
    }
    shadow().set(SYSCONFIG1, shadow().get(SYSCONFIG1) | kSysconfig1Interrupts);
    GuardedWriteRegisters(RDSD);
    gDriver.tuner.tunerBusy.store(0);
}

}  // namespace

bool MeasureSignalQuality(void (*report)())
{
    if ((gDriver.tuner.receiverMode.load() & kReceiverModeMeasureQuality) == 0) {
        return true;
    }
    RegisterShadow& regs = shadow();
    gDriver.tuner.tunerBusy.store(1);
    // The whole register file, so that what the test changes is put back as
    // the chip had it. A chip that lost its settings has no station to test.
    if (ReadBackRegisterFile() == RegisterReadBack::SettingsLost) {
        gDriver.tuner.tunerBusy.store(0);
        return false;
    }
    std::uint16_t saved[kSavedCount];
    for (unsigned i = 0; i < kSavedCount; ++i) {
        saved[i] = regs.get(kSavedFirst + i);
    }
    regs.set(SYSCONFIG1, regs.get(SYSCONFIG1) & kSysconfig1InterruptsOff);
    GuardedWriteRegisters(SYSCONFIG1);

    startStep(kQualityStepOne);
    if (!waitStepDone(kQualityStepOneBusy)) {
        restore(saved);
        return true;
    }
    // The second step is done when the low byte clears; the high byte may stay.
    startStep(kQualityStepTwo);
    if (!waitStepDone(kQualityStepTwoBusy)) {
        restore(saved);
        return true;
    }

    regs.set(SYSCONFIG1, regs.get(SYSCONFIG1) | kSysconfig1Interrupts);
    gDriver.tuner.qualityResult.store(static_cast<std::uint8_t>(kQualityResult.get(regs.get(RDSA))));
    GuardedWriteRegisters(SYSCONFIG1);
    Sleep(kPollMs);
    report();
    restore(saved);
    return true;
}
