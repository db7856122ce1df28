// The soak's faults: which start when, how long each lasts, and how each is
// undone. Every draw comes from the kernel's fault stream. Hardware faults land
// as kernel events at a random moment inside the application's step (between
// two threads, as hardware does). The callers' faults land the same way, on
// their own threads while the application keeps reading: the power manager's
// device power states, the application's suspend and resume, recover
// requests, commands and port garbage (on a second application thread when
// the soak has one); the system's suspend and resume are the kernel's, made
// at the step's start. Each fault opens the debug-message window of its cause
// on the DebugChecker; each power call is shown to the PoweredDownWatch from
// its start to its return (PowerFaults.cpp).
#pragma once

#include "sim/band/BandDescription.h"
#include "sim/kernel/Kernel.h"
#include "tools/Session.h"
#include "tools/soak/PoweredDownWatch.h"
#include "tools/soak/SoakChecks.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace corvane::soak {

class FaultInjector {
public:
    FaultInjector(Session& session, const sim::band::BandDescription& band, DebugChecker& debug,
                  PoweredDownWatch& watch);

    // Ends the faults that are over and maybe starts new ones, at the start of
    // an application step of `step` microseconds.
    void step(sim::Micros now, sim::Micros step);
    // Stops every fault: the bus and interrupts heal, the stations come back,
    // the driver is powered up and resumed, the application reads again. A
    // hung chip stays hung: the driver must reset it.
    void healAll(sim::Micros now);
    // Closes the hang's window once the driver has reset the chip.
    void noteChipState(sim::Micros now);

    bool reading() const { return unreadUntil_ == 0; }
    // Interrupt edges are being lost.
    bool interruptsLost() const { return interruptsUntil_ != 0; }
    // The faults active now, as FaultKind bits (tools/Timeline.h).
    std::uint32_t activeFaults() const;
    // True once after the driver may have emptied its output ring on a
    // power-up (one ran since the last call, or runs now).
    bool ringWasReset();
    // The caller's thread that runs a call posted now and has been at it
    // longest, or null: the power manager, then the thread of the requests.
    const harness::CallerThread* busiestCaller() const;
    std::uint64_t started() const { return started_; }
    // When the application last wrote or handed over a command (0: never).
    sim::Micros lastCommand() const { return lastCommand_; }
    // Transfers a stuck bus held for seconds as a power-down came, and
    // workers the processor was taken from as long.
    std::uint64_t stalledTransfers() const { return stalled_; }
    std::uint64_t heldWorkers() const { return held_ + heldCallers_; }

private:
    struct Fade {
        std::uint16_t frequency = 0;
        bool tmc = false;       // the station's generator sends TMC
        sim::Micros until = 0;  // 0: not fading
        bool errors = false;    // only the block error rate is raised
        int rssi = 0, snr = 0;  // as before the fade
        double blockErrorRate = 0;
        std::shared_ptr<sim::RdsSource> rds;
    };

    bool systemSuspended() const;
    void startFault(sim::Micros now);
    void startBusFault(sim::Micros now);
    void startInterruptFault(sim::Micros now);
    void startHang(sim::Micros now);
    void startFade(sim::Micros now, bool errorsOnly);
    void startPowerDown(sim::Micros now);
    void startSuspend(sim::Micros now);
    void writeGarbage();
    void sendCommandRequest();
    void endBusFault(sim::Micros now);
    void endInterruptFault();
    void endFade(Fade& fade);
    void powerUp(sim::Micros now);
    void clearOpenFaults();
    void resume(sim::Micros now);
    void afterPowerChange(sim::Micros now);
    void powerRequest(DWORD state);
    void troublePowerDown();
    void maybeHoldCaller();
    sim::Micros troubleLength();
    void maybePowerDownInRecovery(sim::Micros now);
    void startPowerDownInRecovery(sim::Micros now);
    void callStarts(PowerCall call, unsigned state = 0);
    void callReturns(PowerCall call);
    // Runs `call` on `thread` at a random moment of the step now running.
    void callInStep(harness::CallerThread& thread, std::function<void()> call);
    harness::CallerThread& requestThread();
    sim::Micros duration(unsigned minSeconds, unsigned maxSeconds);

    Session& session_;
    DebugChecker& debug_;
    PoweredDownWatch& watch_;
    sim::Random& random_;
    sim::Random openFaults_;  // its own stream: the faults drawn before it keep their seeds
    sim::Random callTimes_;   // when in the step a caller's call lands; its own stream too
    sim::Random troubles_;    // what a power-down meets (PowerFaults.cpp); its own stream
    sim::Micros stepEnd_ = 0;
    unsigned powerUpsRunning_ = 0;
    std::vector<Fade> fades_;
    sim::Micros busUntil_ = 0;
    sim::Micros interruptsUntil_ = 0;
    sim::Micros powerUntil_ = 0;    // the power manager powers the driver up again
    bool systemPowerDown_ = false;  // that power-down was the system's suspend, not a device state
    sim::Micros suspendUntil_ = 0;  // the application resumes
    sim::Micros unreadUntil_ = 0;
    bool hangPending_ = false;
    bool ringReset_ = false;
    std::uint64_t started_ = 0;
    sim::Micros lastCommand_ = 0;
    std::uint64_t stalled_ = 0;
    std::uint64_t held_ = 0;
    std::uint64_t heldCallers_ = 0;
    sim::Micros powerDownInRecoveryAt_ = 0;  // a power-down due in a power-up's recovery
    bool powerDownInRecovery_ = false;       // the one starting now is it
};

}  // namespace corvane::soak
