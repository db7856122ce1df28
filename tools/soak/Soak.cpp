#include "tools/soak/Soak.h"

#include "channel/ByteRing.h"
#include "driver/Corvane.h"
#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "driver/Lifecycle.h"
#include "sim/band/BandFile.h"
#include "sim/band/RdsGenerator.h"
#include "tools/Session.h"
#include "tools/StopSignal.h"
#include "tools/Timeline.h"
#include "tools/soak/CarFaults.h"
#include "tools/soak/DriverView.h"
#include "tools/soak/PoweredDownWatch.h"
#include "tools/soak/SoakChecks.h"
#include "tools/soak/SoakCrash.h"
#include "tools/soak/SoakFaults.h"
#include "tools/soak/SoakRecorder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace corvane {

namespace {

using sim::Micros;
using soak::CarFaults;
using soak::Cause;

constexpr Micros kSecond = 1'000'000;
constexpr Micros kMinute = 60 * kSecond;
constexpr Micros kStep = 250'000;     // the application's pace while faults run
constexpr Micros kHealStep = 50'000;  // finer while the recovery is timed
constexpr Micros kTmcDeadline = 5 * kMinute;
constexpr Micros kStatusSettle = 5 * kSecond;
constexpr Micros kStatusWindow = kMinute;
// The status comes once a second; the application sees it within one step.
constexpr Micros kStatusGap = kSecond + 2 * kHealStep + kHealStep / 2;
// Without TMC on the band the search never ends; its status still comes.
constexpr Micros kSearchStatusGap = 30 * kSecond;
constexpr Micros kHealLength = kTmcDeadline + kStatusSettle + kStatusWindow;
// Commands written before a heal are carried out within this (a recovery
// holds them for 3 s, a parsed command pauses 15 ms).
constexpr Micros kCommandDrainLimit = kMinute;
constexpr Micros kMinFaultPhase = 5 * kMinute;
constexpr Micros kMaxFaultPhase = 30 * kMinute;
// A worker that is not frozen gets the processor at least this often: the
// RDS interrupt thread waits up to a minute for an interrupt, the others
// poll in steps of at most 50 ms (a command waits at most 3 s for a recovery).
constexpr Micros kInterruptThreadBound = 75 * kSecond;
constexpr Micros kWorkerBound = 15 * kSecond;
constexpr Micros kResetReportGrace = 5'000;
// A caller's call returns within this (a command waits at most 3 s for a
// recovery, a power transition for the workers' next steps); the time the
// system stood still does not count.
constexpr Micros kCallerBound = harness::Device::kCallBound;

std::string seconds(Micros t)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", double(t) / 1e6);
    return text;
}

SessionSettings sessionSettings(const SoakSettings& soak)
{
    SessionSettings settings;
    settings.seed = soak.seed;
    settings.debug = soak.debug;
    settings.schedule = soakSchedule(soak);
    settings.applicationThreads = soakApplicationThreads(soak);
    return settings;
}

class Soak {
public:
    Soak(const SoakSettings& settings, const sim::band::BandDescription& band)
        : settings_(settings),
          session_(sessionSettings(settings)),
          tmcBand_(soak::bandHasTmc(band)),
          offWatch_(settings.poweredDownChecks),
          faults_(session_, band, debug_, offWatch_),
          carFaults_(session_, debug_)
    {
        session_.installBand(band);
        if (!settings.plotFile.empty()) timeline_.emplace();
    }
    // A failed run stops with callers' calls under way, which report to the
    // checkers here: the unload lets them finish while the checkers exist.
    ~Soak()
    {
        if (!session_.loaded() || session_.stuck()) return;
        try {
            session_.unloadDriver();
        } catch (const harness::CallerStuck&) {
            // The driver hangs in its unload: it stays as it is.
        }
    }
    Soak(const Soak&) = delete;
    Soak& operator=(const Soak&) = delete;

    SoakReport run()
    {
        SoakReport report;
        report.reproduce = soakReproduceLine(settings_);
        const Micros total = static_cast<Micros>(settings_.hours * 3600.0 * 1e6);
        try {
            session_.loadDriver();
            sim::Random& random = session_.kernel().random(sim::Stream::Faults);
            while (going() && now() < total) {
                // A fault phase, then the heal; a short run is one short phase.
                const Micros left = total - now();
                Micros phase =
                    kMinFaultPhase + random.below(unsigned((kMaxFaultPhase - kMinFaultPhase) / kSecond)) * kSecond;
                if (left < phase + kHealLength) phase = left > kHealLength ? left - kHealLength : left / 2;
                runFaults(now() + phase);
                ++report.cycles;
                if (going()) heal();
            }
        } catch (const harness::CallerStuck& stuck) {
            fail(std::string(stuck.what()) + " (at " + seconds(now()) + ")");
        }
        report.virtualHours = double(now()) / 3600e6;
        report.faults = faults_.started() + carFaults_.started();
        const CarFaults::Counts& car = carFaults_.counts();
        report.carFaults = {car.dips, car.heldLines, car.noiseBursts, car.slowBuses, car.heldBuses};
        report.linesRead = lines_.lines();
        report.cutLines = lines_.cutLines();
        report.debugLines = debug_.checked();
        report.busFailures = session_.world().bus().injectedFailures();
        report.preemptions = session_.kernel().preemptions();
        report.busGuardTaken = guardSkips_.taken();
        report.skippedReads = guardSkips_.reads();
        report.heldOff = offWatch_.windows();
        report.heldOffSeconds = double(offWatch_.watchedFor(now())) / 1e6;
        report.stalledTransfers = faults_.stalledTransfers();
        report.heldWorkers = faults_.heldWorkers();
        report.pastParkBound = offWatch_.pastParkBound();
        report.stopped = stopped_;
        report.tmcRequired = tmcBand_;
        if (failure_.empty()) {
            offWatch_.stop(now());
            try {
                // Stopped in the middle of a system suspend: the system
                // resumes before the driver is unloaded, as a device does.
                if (stopped_ && session_.kernel().systemSuspended()) session_.powerUp();
                session_.unloadDriver();
            } catch (const harness::CallerStuck& stuck) {
                fail(std::string(stuck.what()) + " (at " + seconds(now()) + ")");
            }
        }
        if (failure_.empty()) {
            if (session_.world().protocolViolations() != 0) failure_ = "the driver broke the bus or chip protocol";
        }
        report.passed = failure_.empty();
        if (timeline_) {
            timeline_->finish(double(now()) / 1e6);
            writeTimelinePlot(*timeline_, settings_.plotFile, report.reproduce);
        }
        if (!report.passed) {
            report.failure = failure_;
            report.faultsThen = faultsThen_.empty() ? "none (healed)" : faultsThen_;
            report.recentLines = recorder_.lines();
            report.recentDebug = recorder_.debugMessages();
            report.threadsThen = threadsThen_;
        }
        return report;
    }

private:
    Micros now() { return session_.kernel().now(); }

    // Every check of every step comes here, nearly always with nothing.
    void fail(const std::string& what)
    {
        if (failure_.empty() && !what.empty()) firstFailure(what);
    }

    void firstFailure(const std::string& what)
    {
        failure_ = what;
        threadsThen_ = session_.kernel().describeThreads();
        const std::uint32_t active = faults_.activeFaults() | carFaults_.activeFaults();
        for (unsigned k = 0; k < unsigned(FaultKind::Count); ++k)
            if (active & faultBit(FaultKind(k)))
                faultsThen_ += (faultsThen_.empty() ? "" : ", ") + std::string(faultName(FaultKind(k)));
        if (carFaults_.lastDip() != 0)
            faultsThen_ += (faultsThen_.empty() ? "" : "; ") + std::string("the supply last dipped at ") +
                           seconds(carFaults_.lastDip());
        if (timeline_) timeline_->fail(double(now()) / 1e6, what);
    }

    // Neither failed nor asked to stop.
    bool going() const { return failure_.empty() && !stopped_; }

    void runFaults(Micros until)
    {
        while (going() && now() < until) {
            faults_.step(now(), kStep);
            carFaults_.step(now(), kStep);
            advance(kStep);
        }
    }

    // Lets the world run for `length`, then reads (unless the output is left
    // unread) and checks every invariant.
    void advance(Micros length)
    {
        notePowerUp();
        Sleep(static_cast<DWORD>(length / 1000));
        notePowerUp();
        checkPoweredDown();
        if (faults_.ringWasReset()) lines_.ringReset();
        // While the system is suspended the application stands still.
        const bool systemSuspended = session_.kernel().systemSuspended();
        if (systemSuspended) lastSystemSuspend_ = now();
        if (faults_.reading() && !systemSuspended) {
            // After a pause in reading, or when the ring is full (a flood of
            // spurious interrupts sends a status line for each), the oldest
            // bytes may have been dropped: the first line may be cut.
            const ByteRing& output = gDriver.channel.outputRing;
            if (!reading_ || std::int32_t(output.head - output.tail) >= output.size) lines_.readingGap();
            // A flood can overrun the ring while the application reads it:
            // then the ring dropped bytes inside what was read.
            const std::uint32_t tailBefore = output.tail;
            const std::string bytes = session_.readPort();
            const bool droppedWhileReading = output.tail - tailBefore != bytes.size();
            fail(lines_.feed(bytes, now(), droppedWhileReading));
            // A command emptied the ring while it was read (the tail only
            // goes back then): the rest of a line read in part is gone.
            if (output.tail < tailBefore) lines_.ringReset();
            watchLines();
        }
        reading_ = faults_.reading() && !systemSuspended;
        // The read waited for the application's calls queued before it, a
        // power-up among them.
        notePowerUp();
        checkCallers();
        if (timeline_)
            timeline_->sample(session_.world(), faults_.activeFaults() | carFaults_.activeFaults(),
                              carFaults_.counts().dips);
        checkWorkers();
        // Faults that keep a tune from the chip: a failing or held bus, a
        // slow one (whose transfers hold the bus guard the tune's write then
        // finds taken), an interrupt line that loses, repeats or invents
        // edges, a hung chip.
        constexpr std::uint32_t kTuneTroubles = faultBit(FaultKind::BusFailing) | faultBit(FaultKind::InterruptsLost) |
                                                faultBit(FaultKind::BusHeld) | faultBit(FaultKind::BusSlow) |
                                                faultBit(FaultKind::InterruptLineHeld) |
                                                faultBit(FaultKind::InterruptNoise) | faultBit(FaultKind::ChipHung);
        if (((faults_.activeFaults() | carFaults_.activeFaults()) & kTuneTroubles) != 0) troubledAt_ = now();
        fail(carFaults_.checkDipRecovery(faults_.lastCommand(), troubledAt_));
        checkInterruptsAndGroups();
        faults_.noteChipState(now());
        noteResetPulses();
        fail(debug_.check(session_.kernel().debugLog(), debugNext_));
        for (const sim::DebugLine& line : session_.kernel().debugLog()) recorder_.debug(line);
        session_.kernel().clearDebugLog();
        if (stopRequested()) stopped_ = true;
        debugNext_ = 0;
    }

    // The times the chip's reset line was low, for the debug checker.
    void noteResetPulses()
    {
        const auto& history = session_.world().resetHistory();
        for (; resetSeen_ < history.size(); ++resetSeen_) {
            const auto& change = history[resetSeen_];
            if (!change.level) {
                debug_.begin(Cause::ChipInReset, change.time);
            } else if (debug_.active(Cause::ChipInReset)) {
                // A transfer that failed just before the line rose may be
                // reported just after: the thread can be preempted between.
                debug_.end(Cause::ChipInReset, change.time, kResetReportGrace);
            }
        }
    }

    // A frozen worker may not have run for long: its bound starts again when
    // the driver runs again. A caller's call under way may be a power
    // transition that has resumed the workers or not yet: the driver counts
    // as running again only once it is over.
    void notePowerUp()
    {
        if (!running() || session_.kernel().systemSuspended() || faults_.busiestCaller() != nullptr)
            lastPowerUp_ = now();
    }

    bool running() const { return gDriver.lifecycle.driverState.load() == kDriverRunning; }

    void checkWorkers()
    {
        if (!running()) return;
        const LifecycleState& life = gDriver.lifecycle;
        const struct {
            const char* name;
            HANDLE handle;
            Micros bound;
        } workers[] = {{"group", life.groupThread, kWorkerBound},
                       {"RDS interrupt", life.interruptThread, kInterruptThreadBound},
                       {"control", life.controlThread, kWorkerBound},
                       {"command reader", life.readerThread, kWorkerBound}};
        for (const auto& w : workers) {
            if (w.handle == nullptr) {
                fail("the " + std::string(w.name) + " thread is gone");
                continue;
            }
            Micros last = session_.kernel().lastRun(w.handle);
            if (last < lastPowerUp_) last = lastPowerUp_;
            if (now() - last > w.bound)
                fail("the " + std::string(w.name) + " thread has not run since " + seconds(last) + " (now " +
                     seconds(now()) + ")");
        }
    }

    // A call of the power manager's or the application's that does not come
    // back is a driver that no caller can reach any more.
    void checkCallers()
    {
        if (session_.kernel().systemSuspended()) return;
        const harness::CallerThread* busiest = faults_.busiestCaller();
        if (busiest == nullptr) return;
        const Micros since = std::max(now() - busiest->busyFor(), lastSystemSuspend_);
        if (now() - since > kCallerBound)
            fail("a call on the " + busiest->name() + " thread has not returned since " + seconds(since) + " (now " +
                 seconds(now()) + ")");
    }

    // The callers' threads look at the receiver as their power calls start
    // and return; the soak looks in between, at every step.
    void checkPoweredDown()
    {
        if (offWatch_.enabled()) offWatch_.sample(now(), soak::viewReceiver(session_.world()));
        fail(offWatch_.failure());
    }

    void checkInterruptsAndGroups()
    {
        sim::World& world = session_.world();
        // A power-down under way has parked the interrupt thread with the
        // interrupt masked before it holds the chip in reset: the chip may
        // still pulse, unheard, until the call has returned.
        const bool usable = running() && !faults_.interruptsLost() && faults_.busiestCaller() == nullptr;
        fail(interrupts_.sample(now(), usable, world.chip().interruptPulses(),
                                session_.kernel().interruptsDelivered(kSysIntrTuner)));
        const bool debugOn = (gDriver.sentences.outputFilter.flags.load() & kFilterDebug) != 0;
        fail(groups_.sample(now(), gDriver.rds.decodedGroupCount.load(), debugOn, world.chip().groupReads()));
        guardSkips_.sample(gDriver.tuner.skippedReads.load(), gDriver.tuner.skippedWrites.load());
    }

    void checkChipSettings() { fail(soak::chipSettingsMismatch(session_.world().chip())); }

    // Notes what the recovery check needs from the lines just read.
    void watchLines()
    {
        for (const auto& line : lines_.takeLines()) {
            recorder_.line(line.time, line.text);
            if (line.text.rfind("$PLTTM,", 0) == 0 && tmcSeenAt_ == 0) tmcSeenAt_ = line.time;
            if (line.text.rfind("$PLTTQ,", 0) == 0) {
                // TMC heard on a station the receiver has since left (a
                // search that started as the group came) proves nothing.
                const unsigned frequency = unsigned(std::strtoul(line.text.c_str() + 7, nullptr, 10));
                if (frequency != statusFrequency_) {
                    tmcSeenAt_ = 0;
                    // TMC that faded on a weak station started the search,
                    // which reports as it stops on stations and waits on
                    // them, not once a second.
                    if (statusFrom_ != 0) statusGap_ = kSearchStatusGap;
                }
                statusFrequency_ = frequency;
                if (statusFrom_ != 0 && line.time >= statusFrom_ && lastStatus_ != 0 &&
                    line.time - lastStatus_ > statusGap_)
                    fail("after the heal the tuning status came " + seconds(line.time - lastStatus_) + " apart (at " +
                         seconds(line.time) + ")");
                lastStatus_ = line.time;
            }
        }
    }

    // Bytes in the InputRing, or a request the control thread has not taken.
    static bool commandsPending()
    {
        const ByteRing& input = gDriver.channel.inputRing;
        return input.head != input.tail || gDriver.control.controlRequest.load() != kRequestNone;
    }

    std::string driverState() { return soak::driverState(session_.world().chip()); }

    // The faults stop; the driver must find its way back by itself.
    void heal()
    {
        faults_.healAll(now());
        carFaults_.healAll(now());
        // What the driver queued before the heal tells nothing of its recovery,
        // and commands written before it (kept while the driver was down) are
        // still to be carried out: they may send the receiver elsewhere.
        advance(kHealStep);
        const Micros drainEnd = now() + kCommandDrainLimit;
        while (going() && now() < drainEnd && commandsPending()) advance(kHealStep);
        advance(kHealStep);
        const Micros healedAt = now();
        tmcSeenAt_ = 0;
        statusFrom_ = 0;
        // The receiver has recovered when it stays on a station whose TMC it
        // heard: leaving that station during the settle, or going silent at
        // its end (a search between stations), starts the wait again.
        do {
            if (tmcBand_) {
                while (going() && tmcSeenAt_ == 0 && now() - healedAt < kTmcDeadline) advance(kHealStep);
                if (tmcSeenAt_ == 0 && going()) {
                    fail("no TMC within 5 minutes of the heal at " + seconds(healedAt) + " (" + driverState() + ")");
                    return;
                }
            }
            const Micros settle = now() + kStatusSettle;
            while (going() && now() < settle) advance(kHealStep);
            if (now() - lastStatus_ > kStatusGap) tmcSeenAt_ = 0;
        } while (going() && tmcBand_ && tmcSeenAt_ == 0);
        statusGap_ = tmcBand_ ? kStatusGap : kSearchStatusGap;
        statusFrom_ = now();
        lastStatus_ = now();
        const Micros end = now() + (tmcBand_ ? kStatusWindow : kStatusWindow + kSearchStatusGap);
        while (going() && now() < end) advance(kHealStep);
        if (going() && now() - lastStatus_ > statusGap_)
            fail("after the heal the tuning status stopped at " + seconds(lastStatus_) + " (" + driverState() + ")");
        if (going()) checkChipSettings();
        statusFrom_ = 0;
    }

    SoakSettings settings_;
    Session session_;
    bool tmcBand_;
    soak::LineChecker lines_;
    soak::DebugChecker debug_;
    soak::PoweredDownWatch offWatch_;
    soak::FaultInjector faults_;
    soak::CarFaults carFaults_;
    soak::InterruptLiveness interrupts_;
    soak::GroupAccounting groups_;
    soak::GuardSkips guardSkips_;
    std::size_t debugNext_ = 0;
    std::size_t resetSeen_ = 0;
    bool reading_ = true;
    Micros lastPowerUp_ = 0;
    Micros lastSystemSuspend_ = 0;
    Micros troubledAt_ = 0;  // a fault that keeps a tune from the chip was last seen
    Micros tmcSeenAt_ = 0;
    unsigned statusFrequency_ = 0;  // of the last tuning status read
    Micros statusFrom_ = 0;         // 0: the status gaps are not being checked
    Micros lastStatus_ = 0;
    Micros statusGap_ = kStatusGap;
    std::string failure_;
    std::string faultsThen_;
    std::string threadsThen_;
    bool stopped_ = false;
    soak::FlightRecorder recorder_;
    std::optional<Timeline> timeline_;
};

}  // namespace

sim::band::BandDescription soakScenarioBand(const std::string& scenario)
{
    sim::band::BandDescription band = sim::band::defaultBand();
    if (scenario == "default") return band;
    if (scenario != "weak") throw std::invalid_argument("unknown soak scenario \"" + scenario + "\": default or weak");
    // One TMC station, far away and losing blocks; the strong stations carry
    // no TMC, so every search has to get past them.
    band.source = "soak band \"weak\"";
    std::vector<sim::band::StationDescription> kept;
    for (auto& station : band.stations) {
        if (station.frequency == 9470) continue;
        if (station.frequency == 10480) {
            station.rssi = 26;
            station.snr = 13;
            station.rds->blockErrorRate = 0.08;
        }
        kept.push_back(std::move(station));
    }
    band.stations = std::move(kept);
    return band;
}

unsigned soakApplicationThreads(const SoakSettings& settings)
{
    // One seed in four: the requests come from a second application thread
    // while the first reads. Its own stream, like the schedule's draw.
    return sim::Random(settings.seed ^ 0xA11CA7E5ull).below(4) == 0 ? 2 : 1;
}

sim::Schedule soakSchedule(const SoakSettings& settings)
{
    if (settings.schedule) return *settings.schedule;
    // A stream of its own, so the draw moves nothing else the seed decides.
    return sim::Random(settings.seed ^ 0x5C4ED01Eull).below(2) == 0 ? sim::Schedule::Random : sim::Schedule::Pct;
}

std::string soakReproduceLine(const SoakSettings& settings)
{
    char hours[32];
    std::snprintf(hours, sizeof hours, "%g", settings.hours);
    std::string line = "corvane soak --seed " + std::to_string(settings.seed) + " --hours " + hours;
    if (!settings.bandFile.empty())
        line += " --band " + settings.bandFile;
    else
        line += " --scenario " + settings.scenario;
    line += " --schedule " + std::string(sim::scheduleName(soakSchedule(settings)));
    return settings.poweredDownChecks ? line : line + " --no-power-down-checks";
}

std::string soakBandName(const SoakSettings& settings)
{
    return settings.bandFile.empty() ? "scenario " + settings.scenario : "band " + settings.bandFile;
}

SoakReport runSoak(const SoakSettings& settings)
{
    const sim::band::BandDescription band =
        settings.bandFile.empty() ? soakScenarioBand(settings.scenario) : sim::band::readBandFile(settings.bandFile);
    if (band.stations.empty())
        throw std::invalid_argument(settings.bandFile + ": the band has no station for the soak to tune to");
    const soak::CrashReport crashReport(soakReproduceLine(settings));
    Soak soak(settings, band);
    return soak.run();
}

}  // namespace corvane
