// A receiver held off is off. It may run only while the power manager's last
// device state is D0 or D1 and the application has not suspended it (its last
// suspend or resume request was not the suspend). From the return of the
// power call that leaves it held off until the start of the next power call
// (the power manager's, the application's suspend or resume, the system's
// suspend or resume) the device must show it off throughout:
// - the chip is held in reset: its reset line stays low;
// - the bus is closed: no handle of "I2C1:" is open, none is opened;
// - no transfer reaches the bus, but for one already under way as the call
//   returned (inside the bus driver's transfer routine, or with the bus guard
//   taken and the bus's gate looked at) by a worker the power-down did not
//   wait for (a stuck bus, or the processor taken from it, held it past the
//   wait for the workers to park), which it cannot call back;
// - the driver stores nothing for the application: the output ring's head
//   stays where it was (or goes back to 0, an emptied ring). The head, not
//   what the application reads: it may leave the output unread for minutes,
//   and what it reads after the power-down may have been stored before;
// - no command is carried out: the control thread's request stays 200 (powered
//   down) and nothing a command sets changes (the output filter, the receiver
//   settings, the receiver mode, the automatic search);
// - once every worker that runs has parked (acknowledged the power-down's
//   park request and blocked), none runs again: not one wake of the processor
//   for the driver until the next power call.
// What a power call does while it runs is its own; what it leaves is checked
// at its return. The soak looks at each call's start and return and at every
// step of its loop: the bus's counts, the ring's head and the reset line's
// history cover the time between two looks, the reset line to the
// microsecond. So does the request code: only a power-down, itself a power
// call, stores 200. A setting a command changed and changed back between two
// looks would go unseen.
#pragma once

#include "sim/World.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::soak {

enum class PowerCall { PowerManager, Suspend, Resume, SystemSuspend, SystemResume };

// What commands set: the output filter's flags and masks, the receiver
// settings, the receiver mode and the automatic search.
inline constexpr std::size_t kCommandedValues = 13;

// What the device and the driver show of the receiver at one moment.
struct ReceiverView {
    bool chipInReset = false;
    const std::vector<sim::LineChange>* resetLine = nullptr;  // every change of the reset line so far
    std::uint64_t openBusHandles = 0;
    std::uint64_t busOpens = 0;
    std::uint64_t busTransfers = 0;
    unsigned busTransfersUnderWay = 0;  // callers inside the bus driver's transfer routine
    bool busGuardHeld = false;          // a worker holds the driver's bus guard: a transfer may follow
    std::uint32_t outputHead = 0;       // bytes stored in the output ring since its last reset
    unsigned request = 0;               // the control thread's request code
    std::array<unsigned, kCommandedValues> commanded{};
    // The four workers (null: not running), whether each runs, has parked
    // for the power-down's request and blocked, and what the kernel counted.
    std::array<bool, 4> workerRuns{};
    bool workersAcknowledged = false;  // every worker that runs acknowledged the park request
    bool workersParked = false;        // and is blocked
    std::array<sim::Kernel::ThreadActivity, 4> workers{};
};

// A look at the world and the driver that is no preemption point.
ReceiverView viewReceiver(sim::World& world);

class PoweredDownWatch {
public:
    explicit PoweredDownWatch(bool enabled = true) : enabled_(enabled) {}
    bool enabled() const { return enabled_ && !stopped_; }

    // A power call starts (`state`: the D state the power manager asks for);
    // a receiver held off until now is checked a last time.
    void callStarted(sim::Micros now, PowerCall call, unsigned state, const ReceiverView& seen);
    // It returned: with no other power call under way, a receiver held off
    // is watched from now on.
    void callReturned(sim::Micros now, PowerCall call, const ReceiverView& seen);
    void sample(sim::Micros now, const ReceiverView& seen);
    // The driver is about to be unloaded: nothing more to watch.
    void stop(sim::Micros now);

    bool watching() const { return open_; }
    // The first invariant broken, with its time; empty while all is well.
    const std::string& failure() const { return failure_; }
    // How often, and for how long in all, the receiver was watched held off.
    std::uint64_t windows() const { return windows_; }
    sim::Micros watchedFor(sim::Micros now) const { return watched_ + (open_ ? now - openedAt_ : 0); }
    // Power-downs on callers' threads that returned before every worker had
    // parked: the workers the bus held past the power-down's bound.
    std::uint64_t pastParkBound() const { return pastParkBound_; }

private:
    void open(sim::Micros now, const ReceiverView& seen);
    void close(sim::Micros now);
    void check(sim::Micros now, const ReceiverView& seen);
    void checkCommanded(sim::Micros now, const ReceiverView& seen);
    void checkParked(sim::Micros now, const ReceiverView& seen);
    void fail(const std::string& what);
    std::string since(sim::Micros now) const;
    std::string heldOffBy() const;

    bool enabled_;
    bool stopped_ = false;
    unsigned callsUnderWay_ = 0;
    unsigned deviceState_ = 0;  // the power manager's last D state
    bool appSuspended_ = false;
    sim::Micros deviceStateAt_ = 0;  // the return of the power manager's call that set it
    sim::Micros suspendedAt_ = 0;    // the return of the application's suspend

    bool open_ = false;
    sim::Micros openedAt_ = 0;
    std::string openedBy_;  // the call whose return began the watch
    sim::Micros lastLook_ = 0;
    ReceiverView then_;
    std::size_t resetChangesSeen_ = 0;
    unsigned inFlight_ = 0;    // transfers under way as the watch began, not yet seen to end
    bool parkedSeen_ = false;  // every worker parked, since parkedAt_
    sim::Micros parkedAt_ = 0;
    std::array<sim::Kernel::ThreadActivity, 4> parkedWorkers_{};

    std::uint64_t windows_ = 0;
    std::uint64_t pastParkBound_ = 0;
    sim::Micros watched_ = 0;
    std::string failure_;
};

}  // namespace corvane::soak
