#include "tools/soak/PoweredDownWatch.h"

#include "control/ControlState.h"
#include "driver/DriverContext.h"
#include "tools/Unobserved.h"

#include <algorithm>
#include <cstdio>

namespace corvane::soak {

namespace {

using sim::Micros;

struct CommandedValue {
    const char* name;
    bool hex;
};
constexpr CommandedValue kCommanded[kCommandedValues] = {{"output filter flags", true},
                                                         {"raw group mask A", true},
                                                         {"raw group mask B", true},
                                                         {"TMC group mask", true},
                                                         {"seek RSSI threshold", false},
                                                         {"seek threshold byte", false},
                                                         {"search's RDS wait", false},
                                                         {"search's TMC wait", false},
                                                         {"seek SNR threshold", false},
                                                         {"band mode", false},
                                                         {"volume", false},
                                                         {"receiver mode", false},
                                                         {"automatic search", false}};

std::string seconds(Micros t)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", double(t) / 1e6);
    return text;
}

std::string value(const CommandedValue& what, unsigned v)
{
    char text[16];
    std::snprintf(text, sizeof text, what.hex ? "0x%04X" : "%u", v);
    return text;
}

constexpr const char* kWorkerNames[4] = {"group", "RDS interrupt", "control", "command reader"};

std::string callName(PowerCall call, unsigned state)
{
    switch (call) {
    case PowerCall::PowerManager:
        return "the power manager's D" + std::to_string(state);
    case PowerCall::Suspend:
        return "the application's suspend";
    case PowerCall::Resume:
        return "the application's resume";
    case PowerCall::SystemSuspend:
        return "the system's suspend";
    case PowerCall::SystemResume:
        break;
    }
    return "the system's resume";
}

}  // namespace

ReceiverView viewReceiver(sim::World& world)
{
    const Unobserved unobserved;
    ReceiverView view;
    view.chipInReset = world.chip().inReset();
    view.resetLine = &world.resetHistory();
    view.openBusHandles = world.bus().openHandles();
    view.busOpens = world.bus().opens();
    view.busTransfers = world.bus().transfers();
    view.busTransfersUnderWay = world.bus().transfersUnderWay();
    view.busGuardHeld = gDriver.tuner.busGuard.load() != 0;
    view.outputHead = gDriver.channel.outputRing.head;
    view.request = gDriver.control.controlRequest.load();
    const OutputFilter& filter = gDriver.sentences.outputFilter;
    const ReceiverSettings& settings = gDriver.tuner.settings;
    view.commanded = {filter.flags.load(),
                      filter.maskA.load(),
                      filter.maskB.load(),
                      filter.tmcMask.load(),
                      settings.QFI.load(),
                      settings.seekThresholdByte.load(),
                      settings.QFS.load(),
                      settings.QFT.load(),
                      settings.QFN.load(),
                      settings.bandMode.load(),
                      settings.volume.load(),
                      gDriver.tuner.receiverMode.load(),
                      gDriver.control.autoSearch.load()};
    const LifecycleState& life = gDriver.lifecycle;
    const HANDLE workers[4] = {life.groupThread, life.interruptThread, life.controlThread, life.readerThread};
    view.workersAcknowledged = life.parkRequest.load() != 0;
    view.workersParked = view.workersAcknowledged;
    for (unsigned w = 0; w < 4; ++w) {
        if (workers[w] == nullptr) continue;
        view.workerRuns[w] = true;
        view.workers[w] = world.kernel().activity(workers[w]);
        view.workersAcknowledged &= life.parked[w].load() == life.parkRound.load();
        view.workersParked &= view.workersAcknowledged && view.workers[w].blocked;
    }
    return view;
}

void PoweredDownWatch::callStarted(Micros now, PowerCall call, unsigned state, const ReceiverView& seen)
{
    if (!enabled()) return;
    if (open_) {
        check(now, seen);
        close(now);
    }
    ++callsUnderWay_;
    if (call == PowerCall::PowerManager) deviceState_ = state;
    if (call == PowerCall::Suspend) appSuspended_ = true;
    if (call == PowerCall::Resume) appSuspended_ = false;
}

void PoweredDownWatch::callReturned(Micros now, PowerCall call, const ReceiverView& seen)
{
    if (!enabled() || callsUnderWay_ == 0) return;
    --callsUnderWay_;
    if (call == PowerCall::PowerManager && deviceState_ >= 2) deviceStateAt_ = now;
    const bool parksWorkers = (call == PowerCall::PowerManager && deviceState_ >= 2) || call == PowerCall::Suspend;
    if (parksWorkers && !seen.workersAcknowledged) ++pastParkBound_;
    if (call == PowerCall::Suspend) suspendedAt_ = now;
    // A call on another thread is still under way: its return decides.
    if (callsUnderWay_ != 0 || (deviceState_ < 2 && !appSuspended_)) return;
    openedBy_ = callName(call, deviceState_);
    open(now, seen);
}

void PoweredDownWatch::sample(Micros now, const ReceiverView& seen)
{
    if (enabled() && open_) check(now, seen);
}

void PoweredDownWatch::stop(Micros now)
{
    if (open_) close(now);
    stopped_ = true;
}

void PoweredDownWatch::open(Micros now, const ReceiverView& seen)
{
    open_ = true;
    ++windows_;
    openedAt_ = now;
    lastLook_ = now;
    then_ = seen;
    resetChangesSeen_ = seen.resetLine != nullptr ? seen.resetLine->size() : 0;
    parkedSeen_ = false;
    // A worker the power-down did not wait for (past its bound) may hold the
    // bus guard past its look at the bus's gate: its transfer still comes.
    inFlight_ = std::max(seen.busTransfersUnderWay, seen.busGuardHeld ? 1u : 0u);
    check(now, seen);
}

void PoweredDownWatch::close(Micros now)
{
    open_ = false;
    watched_ += now - openedAt_;
}

// What holds the receiver off, and since when.
std::string PoweredDownWatch::heldOffBy() const
{
    std::string why;
    if (deviceState_ >= 2) why = callName(PowerCall::PowerManager, deviceState_) + " at " + seconds(deviceStateAt_);
    if (appSuspended_)
        why += (why.empty() ? "" : " and ") + std::string("the application's suspend at ") + seconds(suspendedAt_);
    if (openedAt_ != deviceStateAt_ && openedAt_ != suspendedAt_)
        why += ", still after " + openedBy_ + " at " + seconds(openedAt_);
    return why;
}

// The time since the last look, for what happened in between.
std::string PoweredDownWatch::since(Micros now) const
{
    return lastLook_ == now ? "at " + seconds(now) : "between " + seconds(lastLook_) + " and " + seconds(now);
}

void PoweredDownWatch::fail(const std::string& what)
{
    if (failure_.empty()) failure_ = "the receiver is powered down (" + heldOffBy() + ") but " + what;
}

void PoweredDownWatch::check(Micros now, const ReceiverView& seen)
{
    if (seen.resetLine != nullptr) {
        for (; resetChangesSeen_ < seen.resetLine->size(); ++resetChangesSeen_) {
            const sim::LineChange& change = (*seen.resetLine)[resetChangesSeen_];
            if (change.level) fail("the chip came out of reset at " + seconds(change.time));
        }
    }
    if (!seen.chipInReset) fail("the chip is out of reset at " + seconds(now));
    if (seen.busOpens != then_.busOpens) fail("the bus was opened " + since(now));
    if (seen.openBusHandles != 0) fail("the bus is open at " + seconds(now));
    std::uint64_t transfers = seen.busTransfers - then_.busTransfers;
    const unsigned excused = unsigned(std::min<std::uint64_t>(transfers, inFlight_));
    inFlight_ -= excused;
    transfers -= excused;
    if (transfers != 0)
        fail((transfers == 1 ? std::string("a transfer") : std::to_string(transfers) + " transfers") +
             " reached the bus " + since(now));
    // The head counts from 0 again after the ring was emptied.
    if (seen.outputHead != then_.outputHead && seen.outputHead != 0) {
        const std::uint32_t stored =
            seen.outputHead > then_.outputHead ? seen.outputHead - then_.outputHead : seen.outputHead;
        fail("the driver stored " + std::to_string(stored) + " bytes for the application " + since(now));
    }
    if (seen.request != kRequestPoweredDown)
        fail("the control thread's request is " + std::to_string(seen.request) + ", not 200, at " + seconds(now));
    checkCommanded(now, seen);
    checkParked(now, seen);
    then_ = seen;
    lastLook_ = now;
}

// From the first look that finds every worker parked: the workers are
// blocked until the next power call wakes them.
void PoweredDownWatch::checkParked(Micros now, const ReceiverView& seen)
{
    if (!parkedSeen_) {
        parkedSeen_ = seen.workersParked;
        parkedAt_ = now;
        parkedWorkers_ = seen.workers;
        return;
    }
    for (unsigned w = 0; w < 4; ++w) {
        if (!seen.workerRuns[w]) continue;
        const std::uint64_t wakes = seen.workers[w].wakes - parkedWorkers_[w].wakes;
        const std::uint64_t switches = seen.workers[w].switchesTo - parkedWorkers_[w].switchesTo;
        if (wakes != 0 || switches != 0)
            fail("the " + std::string(kWorkerNames[w]) + " thread, parked at " + seconds(parkedAt_) + ", woke " +
                 std::to_string(wakes) + " and ran " + std::to_string(switches) + " times until " + seconds(now));
    }
}

void PoweredDownWatch::checkCommanded(Micros now, const ReceiverView& seen)
{
    for (std::size_t k = 0; k < kCommandedValues; ++k)
        if (seen.commanded[k] != then_.commanded[k])
            fail("a command changed the " + std::string(kCommanded[k].name) + " from " +
                 value(kCommanded[k], then_.commanded[k]) + " to " + value(kCommanded[k], seen.commanded[k]) + " " +
                 since(now));
}

}  // namespace corvane::soak
