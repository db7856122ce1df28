// The faults a car gives a receiver in its dashboard, added to the soak's
// others: the supply dipping while the engine cranks (the chip starts again
// from its power-on state and nobody tells the driver), the interrupt line
// stuck low for seconds, bursts of ignition noise on the interrupt line while
// the chip has nothing to report, and a bus that is slow (transfers of up to
// 200 ms) or held by another device (transfers fail as busy). Drawn from a
// stream of their own, so that the soak's other faults keep their draws.
// Each lands as a kernel event at a random moment inside the application's
// step, between two threads, as hardware does.
#pragma once

#include "sim/kernel/Kernel.h"
#include "tools/Session.h"
#include "tools/soak/SoakChecks.h"

#include <cstdint>
#include <string>

namespace corvane::soak {

class CarFaults {
public:
    CarFaults(Session& session, DebugChecker& debug);

    // Ends the faults that are over and maybe starts one, at the start of an
    // application step of `step` microseconds.
    void step(sim::Micros now, sim::Micros step);
    // Ends every car fault (a dip is over as it happens).
    void healAll(sim::Micros now);

    // The interrupt line carries more than the chip sends (held, or noise).
    bool interruptLineDisturbed() const { return heldLineUntil_ != 0 || noiseUntil_ != 0; }

    // When the supply last dipped (0: never).
    sim::Micros lastDip() const { return lastDip_; }
    // A dip keeps the station: once the driver's recovery has reset the chip
    // the dip reset and tuned it back, the receiver is on the frequency it
    // was on before the dip, unless a command (one written since
    // `lastCommand`) or a search moved it, or a failing bus or interrupt
    // line kept the tune back from the chip (`troubledAt`: when such a fault
    // was last seen active). The first failure, or empty.
    std::string checkDipRecovery(sim::Micros lastCommand, sim::Micros troubledAt);
    // The car faults active now, as FaultKind bits (tools/Timeline.h).
    std::uint32_t activeFaults() const;

    struct Counts {
        std::uint64_t dips = 0, heldLines = 0, noiseBursts = 0, slowBuses = 0, heldBuses = 0;
    };
    const Counts& counts() const { return counts_; }
    std::uint64_t started() const
    {
        return counts_.dips + counts_.heldLines + counts_.noiseBursts + counts_.slowBuses + counts_.heldBuses;
    }

private:
    void startDip();
    void startHeldLine(sim::Micros now);
    void startNoise(sim::Micros now);
    void startSlowBus(sim::Micros now);
    void startHeldBus(sim::Micros now);
    void endHeldLine();
    void endNoise();
    void endSlowBus();
    void endHeldBus(sim::Micros now);
    void noiseEdge(std::uint64_t burst, sim::Micros meanGap);
    sim::Micros duration(double minSeconds, double maxSeconds);
    sim::Micros within(sim::Micros step) { return random_.below(std::uint32_t(step)); }

    Session& session_;
    DebugChecker& debug_;
    sim::Random random_;
    sim::Micros heldLineUntil_ = 0;
    sim::Micros noiseUntil_ = 0;
    std::uint64_t noiseBurst_ = 0;  // a burst's edges stop when it ends
    sim::Micros slowUntil_ = 0;
    sim::Micros heldBusUntil_ = 0;
    Counts counts_;
    sim::Micros lastDip_ = 0;
    bool dipWatched_ = false;  // a dip whose recovery is still to be checked
    std::uint16_t beforeDip_ = 0;
    std::size_t resetChangesAtDip_ = 0;
};

}  // namespace corvane::soak
