#include "tools/soak/SoakFaults.h"

#include "driver/Corvane.h"
#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "driver/Lifecycle.h"
#include "sim/band/RdsGenerator.h"
#include "sim/soc/Soc.h"
#include "tools/Timeline.h"

#include <string>

namespace corvane::soak {

namespace {

using sim::Micros;

constexpr Micros kSecond = 1'000'000;
// A new fault starts about this often (each step draws).
constexpr Micros kMeanFaultInterval = 40 * kSecond;
// Messages of a cause that ended are still explained this long: a failed
// transfer is reported as it fails (the power faults' grace is in
// PowerFaults.cpp).
constexpr Micros kBusGrace = kSecond;
constexpr Micros kHangGrace = 2 * kSecond;

// Commands an application sends that keep the receiver after TMC: searches,
// automatic search on, reports, version; tunes go to a TMC station only.
const char* const kSafeCommands[] = {"$PLTCM,+", "$PLTCM,-",        "$PLTCM,A2",       "$PLTCM,A3",
                                     "$PLTCM,V", "$PLTCM,REQ,8192", "$PLTCM,REQ,4096", "$PLTCM,REQ,16385"};
// Letters that name no command.
constexpr char kNoCommand[] = "CDEGIJKLNPUWYZabhqsx0189#,*";

}  // namespace

FaultInjector::FaultInjector(Session& session, const sim::band::BandDescription& band, DebugChecker& debug,
                             PoweredDownWatch& watch)
    : session_(session),
      debug_(debug),
      watch_(watch),
      random_(session.kernel().random(sim::Stream::Faults)),
      openFaults_(session.kernel().seed() ^ 0x0BE17A11C0FFEEull),
      callTimes_(session.kernel().seed() ^ 0xCA11E25u),
      troubles_(session.kernel().seed() ^ 0x57A11ED0B05ull)
{
    for (const auto& station : band.stations) {
        Fade fade;
        fade.frequency = station.frequency;
        fade.tmc = station.rds && station.rds->generator && station.rds->generator->tmc;
        fades_.push_back(fade);
    }
}

Micros FaultInjector::duration(unsigned minSeconds, unsigned maxSeconds)
{
    return Micros(minSeconds) * kSecond + Micros(random_.below((maxSeconds - minSeconds) * 1000)) * 1000;
}

void FaultInjector::step(Micros now, Micros step)
{
    stepEnd_ = now + step;
    if (busUntil_ != 0 && now >= busUntil_) endBusFault(now);
    if (interruptsUntil_ != 0 && now >= interruptsUntil_) endInterruptFault();
    for (Fade& fade : fades_)
        if (fade.until != 0 && now >= fade.until) endFade(fade);
    if (powerUntil_ != 0 && now >= powerUntil_) powerUp(now);
    if (suspendUntil_ != 0 && now >= suspendUntil_ && !systemSuspended()) resume(now);
    if (unreadUntil_ != 0 && now >= unreadUntil_) unreadUntil_ = 0;
    if (powerDownInRecoveryAt_ != 0 && now + step > powerDownInRecoveryAt_) startPowerDownInRecovery(now);
    if (random_.chance(double(step) / double(kMeanFaultInterval))) startFault(now);
}

// While the system is suspended no thread of the device runs: neither the
// application nor the power manager can make a request.
bool FaultInjector::systemSuspended() const
{
    return session_.kernel().systemSuspended();
}

void FaultInjector::startFault(Micros now)
{
    ++started_;
    const unsigned kind = random_.below(14);
    if (systemSuspended() && kind >= 6 && kind <= 11) return;
    switch (kind) {
    case 0:
    case 1:
        startBusFault(now);
        break;
    case 2:
        startInterruptFault(now);
        break;
    case 3:
        startHang(now);
        break;
    case 4:
        startFade(now, false);
        break;
    case 5:
        startFade(now, true);
        break;
    case 6:
        startPowerDown(now);
        break;
    case 7:
        startSuspend(now);
        break;
    case 8:
        callInStep(requestThread(), [this] { session_.recover(); });
        break;
    case 9:
    case 10:
        writeGarbage();
        break;
    case 11:
        sendCommandRequest();
        break;
    default:
        // Long enough, at a few sentences a second, to overrun the 512-byte ring.
        if (unreadUntil_ == 0) unreadUntil_ = now + duration(2, 120);
        break;
    }
}

void FaultInjector::startBusFault(Micros now)
{
    if (busUntil_ != 0) return;
    busUntil_ = now + duration(1, 90);
    debug_.begin(Cause::Bus, now);
    sim::I2CBus& bus = session_.world().bus();
    const bool countdown = random_.chance(0.4);
    const double probability = 0.005 + 0.3 * random_.unit();
    const std::uint32_t pass = random_.below(200);
    const std::uint32_t fail = 1 + random_.below(20);
    session_.kernel().after(random_.below(unsigned(kSecond / 4)), [&bus, countdown, probability, pass, fail] {
        if (countdown)
            bus.failTransfers(pass, fail);
        else
            bus.setTransferFailureProbability(probability);
    });
}

void FaultInjector::endBusFault(Micros now)
{
    session_.world().bus().clearFaults();
    busUntil_ = 0;
    debug_.end(Cause::Bus, now, kBusGrace);
}

void FaultInjector::startInterruptFault(Micros now)
{
    if (interruptsUntil_ != 0) return;
    interruptsUntil_ = now + duration(5, 180);
    const double lose = random_.chance(0.7) ? 0.6 * random_.unit() : 0.0;
    const Micros spurious = lose == 0.0 || random_.chance(0.5) ? 20'000 + random_.below(5'000'000) : 0;
    session_.kernel().setInterruptFaults(lose, spurious, kSysIntrTuner);
}

void FaultInjector::endInterruptFault()
{
    session_.kernel().setInterruptFaults(0.0, 0, kSysIntrTuner);
    interruptsUntil_ = 0;
}

void FaultInjector::startHang(Micros now)
{
    if (hangPending_ || debug_.active(Cause::Hang)) return;
    hangPending_ = true;
    debug_.begin(Cause::Hang, now);
    session_.kernel().after(random_.below(unsigned(kSecond / 4)), [this] {
        session_.world().chip().hang();
        hangPending_ = false;
    });
}

void FaultInjector::noteChipState(Micros now)
{
    if (debug_.active(Cause::Hang) && !hangPending_ && !session_.world().chip().hung())
        debug_.end(Cause::Hang, now, kHangGrace);
}

void FaultInjector::startFade(Micros now, bool errorsOnly)
{
    Fade& fade = fades_[random_.below(unsigned(fades_.size()))];
    sim::Station* station = session_.world().band().find(fade.frequency);
    if (fade.until != 0 || station == nullptr) return;
    fade.until = now + duration(10, 600);
    fade.errors = errorsOnly;
    fade.rssi = station->rssi;
    fade.snr = station->snr;
    fade.blockErrorRate = station->blockErrorRate;
    fade.rds = station->rds;
    if (errorsOnly) {
        station->blockErrorRate = 0.05 + 0.6 * random_.unit();
        return;
    }
    station->rssi = int(random_.below(unsigned(station->rssi) + 1));
    station->snr = int(random_.below(unsigned(station->snr) + 1));
    if (random_.chance(0.3)) station->rds = nullptr;
    if (fade.tmc && random_.chance(0.5))
        if (auto generator = std::dynamic_pointer_cast<sim::RdsGenerator>(fade.rds)) generator->setTmc(false);
}

void FaultInjector::endFade(Fade& fade)
{
    fade.until = 0;
    sim::Station* station = session_.world().band().find(fade.frequency);
    if (station == nullptr) return;
    station->blockErrorRate = fade.blockErrorRate;
    if (fade.errors) return;
    station->rssi = fade.rssi;
    station->snr = fade.snr;
    station->rds = fade.rds;
    if (fade.tmc)
        if (auto generator = std::dynamic_pointer_cast<sim::RdsGenerator>(fade.rds)) generator->setTmc(true);
}

harness::CallerThread& FaultInjector::requestThread()
{
    return session_.application(session_.applicationThreads() - 1);
}

// The call lands at a point drawn among those the threads are expected to
// pass in the rest of the step (at the rate they passed them so far), so
// mostly in the middle of a driver thread's sequence; at the step's end if
// they pass fewer. In cooperative mode, at a time drawn in the step.
void FaultInjector::callInStep(harness::CallerThread& thread, std::function<void()> call)
{
    sim::Kernel& kernel = session_.kernel();
    const Micros now = kernel.now();
    if (stepEnd_ <= now) {
        thread.post(std::move(call));
        return;
    }
    if (kernel.schedule() == sim::Schedule::Cooperative) {
        thread.post(std::move(call), now + callTimes_.below(unsigned(stepEnd_ - now)));
        return;
    }
    const double rate = now > 0 ? double(kernel.preemptionPoints()) / double(now) : 0;
    const auto expected = static_cast<unsigned>(rate * double(stepEnd_ - now));
    thread.post(std::move(call), stepEnd_, kernel.preemptionPoints() + 1 + callTimes_.below(std::max(1u, expected)));
}

const harness::CallerThread* FaultInjector::busiestCaller() const
{
    const harness::CallerThread* busiest = nullptr;
    for (const harness::CallerThread* thread :
         {&session_.powerManager(), &session_.application(session_.applicationThreads() - 1)})
        if (thread->busyFor() > 0 && (busiest == nullptr || thread->busyFor() > busiest->busyFor())) busiest = thread;
    return busiest;
}

std::uint32_t FaultInjector::activeFaults() const
{
    std::uint32_t bits = 0;
    const auto set = [&bits](bool on, FaultKind kind) { bits |= on ? faultBit(kind) : 0; };
    set(busUntil_ != 0, FaultKind::BusFailing);
    set(interruptsUntil_ != 0, FaultKind::InterruptsLost);
    set(hangPending_ || session_.world().chip().hung(), FaultKind::ChipHung);
    for (const Fade& fade : fades_) set(fade.until != 0, FaultKind::StationFading);
    set(powerUntil_ != 0, FaultKind::PoweredDown);
    set(suspendUntil_ != 0, FaultKind::Suspended);
    set(unreadUntil_ != 0, FaultKind::OutputUnread);
    return bits;
}

bool FaultInjector::ringWasReset()
{
    const bool reset = ringReset_ || powerUpsRunning_ > 0;
    ringReset_ = false;
    return reset;
}

void FaultInjector::writeGarbage()
{
    std::string bytes;
    auto printable = [this](unsigned count) {
        std::string text;
        while (text.size() < count) {
            const char c = char(0x20 + random_.below(0x5F));
            if (c != '$') text += c;
        }
        return text;
    };
    switch (random_.below(6)) {
    case 0:  // noise on the line
        for (unsigned n = 1 + random_.below(120); n > 0; --n) bytes += char(random_.below(256));
        break;
    case 1:  // a command letter that names nothing
        bytes =
            std::string("$PLTCM,") + kNoCommand[random_.below(sizeof kNoCommand - 1)] + printable(random_.below(10));
        break;
    case 2:  // a body too long for the reader
        bytes = "$PLTCM," + printable(19 + random_.below(40));
        break;
    case 3: {  // near misses of the command address
        const char* const misses[] = {"$PLTCX,A3", "$GPGGA,1,2", "PLTCM,+", "$PLTCM", "$PLTC", "$$$$", "$PLTCM,\r\r\n"};
        bytes = misses[random_.below(sizeof misses / sizeof *misses)];
        break;
    }
    case 4: {  // a tune to the TMC station, then its search on
        for (const Fade& fade : fades_)
            if (fade.tmc) {
                bytes = "$PLTCM,S2," + std::to_string(fade.frequency);
                break;
            }
        if (bytes.empty()) bytes = kSafeCommands[0];
        break;
    }
    default:
        bytes = kSafeCommands[random_.below(sizeof kSafeCommands / sizeof *kSafeCommands)];
        break;
    }
    // Every burst ends its line, so that no fragment joins the next burst.
    bytes += random_.chance(0.5) ? "\r\n" : "\r";
    lastCommand_ = session_.kernel().now();
    callInStep(requestThread(), [this, bytes] { session_.writePort(bytes); });
}

void FaultInjector::sendCommandRequest()
{
    // Straight to the parser on the application's thread; the parser skips
    // the six bytes of the address unchecked.
    std::string text = kSafeCommands[random_.below(sizeof kSafeCommands / sizeof *kSafeCommands)];
    if (random_.chance(0.3)) text = "$XXXXX," + std::string(1, kNoCommand[random_.below(sizeof kNoCommand - 1)]);
    if (random_.chance(0.2)) text.resize(random_.below(unsigned(text.size()) + 1));
    lastCommand_ = session_.kernel().now();
    callInStep(requestThread(), [this, text] { session_.command(text); });
}

void FaultInjector::healAll(Micros now)
{
    clearOpenFaults();  // armed at a power-up that did not open the bus
    if (busUntil_ != 0) endBusFault(now);
    if (interruptsUntil_ != 0) endInterruptFault();
    for (Fade& fade : fades_)
        if (fade.until != 0) endFade(fade);
    if (powerUntil_ != 0) powerUp(now);
    if (suspendUntil_ != 0) resume(now);
    unreadUntil_ = 0;
}

void FaultInjector::clearOpenFaults()
{
    session_.world().bus().failOpens(0);
    session_.kernel().failAllocations(0, 0);
}

}  // namespace corvane::soak
