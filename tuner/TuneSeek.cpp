// Tune and seek: start the operation in the chip, then wait for seek/tune
// complete (STC). The waits do not poll the chip blindly: they read the status
// registers only after the RDS interrupt thread has seen a chip interrupt and
// set stcSeen (tunerBusy keeps that thread away from the RDS registers). Every
// wait step re-checks controlRequest so that a new request ends the operation
// within one step.
#include "driver/DriverContext.h"
#include "tuner/RegisterValues.h"
#include "tuner/Tuner.h"

using namespace si4709;

namespace {

// A tune or seek always leaves the chip with 50 us de-emphasis.
constexpr std::uint16_t kSysconfig1TuneSeek = kSysconfig1Interrupts50us;

constexpr unsigned kCompletePasses = 50;  // STC must show within 49 passes
constexpr unsigned kTuneClearPasses = 50;
constexpr unsigned kSeekClearPasses = 65;
constexpr DWORD kTuneStepMs = 10;
constexpr DWORD kSeekStepMs = 20;
constexpr DWORD kSeekIdleStepMs = 10;
constexpr unsigned kSeekIdleSteps = 18;  // 180 ms more per pass without an interrupt
constexpr unsigned kIdlePassesPerDisplayStep = 5;

RegisterShadow& shadow()
{
    return gDriver.tuner.shadow;
}

bool requestPending()
{
    return gDriver.control.controlRequest.load() != kRequestNone;
}

bool stcSeen()
{
    return gDriver.tuner.stcSeen.load() != 0;
}

void setTunerBusy(std::uint8_t value)
{
    gDriver.tuner.tunerBusy.store(value);
}

bool stcShown(std::uint16_t status)
{
    return (status & kStatusStc) != 0;
}

// The bit that started the operation: TUNE in CHANNEL or SEEK in POWERCFG.
struct StartBit {
    unsigned reg;
    std::uint16_t bit;
};
constexpr StartBit kTuneBit{CHANNEL, kChannelTune};
constexpr StartBit kSeekBit{POWERCFG, kPowercfgSeek};

void clearStartBit(StartBit start)
{
    shadow().set(start.reg, shadow().get(start.reg) & ~start.bit);
}

// An operation that STC did not complete (or that a request ended): the start
// bit is cleared and the status read once more before the interrupt thread
// may use the chip again.
void endEarly(StartBit start)
{
    clearStartBit(start);
    GuardedWriteRegisters(start.reg);
    ReadStatus();
    setTunerBusy(0);
}

// STC showed: the start bit is cleared, then the chip must drop STC again.
void acknowledgeComplete(StartBit start)
{
    clearStartBit(start);
    gDriver.tuner.stcSeen.store(0);
    GuardedWriteRegisters(start.reg);
}

// The end after the wait for STC to fall; a request that ended that wait
// leaves the status to whoever handles the request.
void endAfterClear(bool cleared)
{
    setTunerBusy(0);
    if (cleared) {
        ReadStatus();
    }
}

// Waits for STC after TUNE was set. True when it showed within 49 passes. A
// write of TUNE that did not reach the chip (another thread held the bus
// guard, or the transfer failed) is made again at each pass until it does:
// the chip has not started, and the tune would otherwise be lost.
bool waitTuneComplete(bool started)
{
    for (unsigned pass = 1;; ++pass) {
        Sleep(kTuneStepMs);
        if (!started) started = GuardedWriteRegisters(SYSCONFIG1);
        if (stcSeen()) {
            ReadStatus();
        }
        if (requestPending()) {
            return false;
        }
        if (pass >= kCompletePasses) {
            return false;  // STC on the last pass still ends early
        }
        if (stcShown(shadow().get(STATUSRSSI))) {
            return true;
        }
    }
}

// Waits for STC to fall after TUNE was cleared. False when a request ended it.
bool waitTuneCleared()
{
    for (unsigned pass = 1; pass <= kTuneClearPasses; ++pass) {
        Sleep(kTuneStepMs);
        // Not marked fresh: the tune's last read follows once STC has fallen.
        if (stcSeen()) {
            GuardedReadRegisters(STATUSRSSI, READCHAN);
        }
        if (requestPending()) {
            return false;
        }
        if (!stcShown(shadow().get(STATUSRSSI))) {
            break;
        }
    }
    return true;
}

// Waits for STC after SEEK was set. True when it showed within 49 passes; the
// channel the read that showed it brought is where the chip is kept.
bool waitSeekComplete()
{
    std::uint16_t status = 0;
    bool read = false;
    for (unsigned pass = 1;; ++pass) {
        Sleep(kSeekStepMs);
        if (stcSeen()) {
            read = ReadStatus();
            status = shadow().get(STATUSRSSI);
        } else {
            Sleep(kSeekIdleStepMs);
        }
        if (requestPending() || pass >= kCompletePasses) {
            return false;
        }
        if (stcShown(status)) {
            if (read) gDriver.tuner.keptFrequency.store(FrequencyOfChannel(kReadchanChan.get(shadow().get(READCHAN))));
            return true;
        }
    }
}

// Waits for STC to fall after SEEK was cleared. Without interrupts a pass
// lasts 200 ms and every sixth such pass moves the reported frequency, so the
// application sees the search progress. False when a request ended it.
bool waitSeekCleared(std::uint8_t up, void (*displayStep)(std::uint8_t up))
{
    std::uint16_t status = 0xFFFF;
    unsigned idle = 0;
    for (unsigned pass = 1; pass <= kSeekClearPasses; ++pass) {
        Sleep(kSeekStepMs);
        if (stcSeen()) {
            ReadStatus();
            status = shadow().get(STATUSRSSI);
        } else {
            for (unsigned step = 0; step < kSeekIdleSteps; ++step) {
                Sleep(kSeekIdleStepMs);
                if (requestPending()) {
                    return false;
                }
            }
            if (++idle > kIdlePassesPerDisplayStep) {
                displayStep(up);
                idle = 0;
            }
        }
        if (requestPending()) {
            return false;
        }
        if (!stcShown(status)) {
            break;
        }
    }
    return true;
}

}  // namespace

void Tune(std::uint16_t frequency)
{
    RegisterShadow& regs = shadow();
    gDriver.tuner.stcSeen.store(0);
    setTunerBusy(1);
    ReadStatus();
    regs.set(SYSCONFIG1, kSysconfig1TuneSeek);
    const std::uint16_t channel = frequency == 0 ? regs.get(CHANNEL) : FrequencyToChannel(frequency);
    gDriver.tuner.keptFrequency.store(FrequencyOfChannel(kChannelChan.get(channel)));
    regs.set(CHANNEL, channel | kChannelTune);
    const bool started = GuardedWriteRegisters(SYSCONFIG1);

    if (!waitTuneComplete(started)) {
        endEarly(kTuneBit);
        return;
    }
    acknowledgeComplete(kTuneBit);
    endAfterClear(waitTuneCleared());
}

void StartSeek(std::uint8_t up)
{
    RegisterShadow& regs = shadow();
    regs.set(SYSCONFIG3, kSysconfig3Seek);
    GuardedWriteRegisters(SYSCONFIG3);
    regs.set(SYSCONFIG1, kSysconfig1TuneSeek);
    GuardedWriteRegisters(SYSCONFIG1);
    ReadStatus();
    std::uint16_t powercfg = regs.get(POWERCFG);
    powercfg = up != 0 ? (powercfg | kPowercfgSeekup) : (powercfg & ~kPowercfgSeekup);
    regs.set(POWERCFG, powercfg | kPowercfgSeek);
    GuardedWriteRegisters(POWERCFG);
    gDriver.tuner.stcSeen.store(0);
    setTunerBusy(1);
    // While the chip seeks, where it is is what it reports (KeptFrequency).
    gDriver.tuner.keptFrequency.store(0);
}

// However the seek ended, the chip is on the channel the status read that
// showed STC brought, or else the next one tells (ReadStatus keeps it).
void CompleteSeek(std::uint8_t up, void (*displayStep)(std::uint8_t up))
{
    if (!waitSeekComplete()) {
        endEarly(kSeekBit);
        return;
    }
    acknowledgeComplete(kSeekBit);
    endAfterClear(waitSeekCleared(up, displayStep));
}
