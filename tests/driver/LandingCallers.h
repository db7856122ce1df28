// The callers of the landing exploration (LandingsTest.cpp, which alone
// includes this): one run's device and what it records (Stage), the table of
// the device's callers and the driver's own events as calls, which of them
// can meet, and the simulated thread each call runs on.
#pragma once

#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "tests/support/DriverFixtures.h"
#include "tools/Unobserved.h"
#include "tools/soak/PoweredDownWatch.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr std::uint8_t kMeasureQuality = 0x04;  // the MOD command's bit: the tick tests the signal quality

// What must hold at every point of a run, not only at its end (the kernel
// calls look() at every counted point; its reads are no points):
// - a receiver held off is off from the return of the power call that left
//   it so to the start of the next (the soak's PoweredDownWatch);
// - a pending power-down (200) gives way only to the unload's 99, or to a
//   power-up's recovery (100) while a call that can power up runs and the
//   recorded inputs say the receiver runs (D0 or D1, not suspended); the
//   unload's 99 to nothing;
// - once the unload has set `unloading`, no power call proceeds: the power
//   manager's and the application's recorded inputs and the park stay as
//   they were.
struct RunWatch {
    corvane::soak::PoweredDownWatch off;
    unsigned powerUpsUnderWay = 0;  // calls that may post a power-up's recovery
    bool loading = false;           // the load sets the request to its load value
    unsigned callsUnderWay = 0, managerCalls = 0, applicationCalls = 0;
    bool overlapped = false;  // two calls of the power manager's, or of the application's
    std::string failure;      // the first rule broken, with its point

    void look(sim::Kernel& kernel, sim::World& world)
    {
        const corvane::Unobserved unobserved;
        if (off.watching()) {
            off.sample(kernel.now(), corvane::soak::viewReceiver(world));
            if (!off.failure().empty()) fail(kernel, off.failure());
        }
        const LifecycleState& life = gDriver.lifecycle;
        const unsigned request = gDriver.control.controlRequest.load();
        if (request != lastRequest_) {
            const bool runs = life.powerManagerOff.load() == 0 && life.appSuspended.load() == 0;
            const bool powerDownLeft = lastRequest_ == kRequestPoweredDown && request != kRequestShutdown &&
                                       !(request == kRequestRecover && powerUpsUnderWay > 0 && runs);
            if (!loading && (lastRequest_ == kRequestShutdown || powerDownLeft))
                fail(kernel,
                     "the request went from " + std::to_string(lastRequest_) + " to " + std::to_string(request));
            lastRequest_ = request;
        }
        const std::uint32_t powerInputs = life.powerManagerOff.load() | life.appSuspended.load() << 1 |
                                          life.parkRequest.load() << 2 | life.parkRound.load() << 3;
        if (!unloading_ && life.unloading.load() != 0) {
            unloading_ = true;
            powerInputsAtUnload_ = powerInputs;
        }
        if (unloading_ && powerInputs != powerInputsAtUnload_)
            fail(kernel, "a power call went on after the unload began (its inputs and park 0x" +
                             hex(powerInputsAtUnload_) + ", now 0x" + hex(powerInputs) + ")");
    }
    void start()
    {
        const corvane::Unobserved unobserved;
        lastRequest_ = gDriver.control.controlRequest.load();
    }

private:
    static std::string hex(std::uint32_t v)
    {
        char text[12];
        std::snprintf(text, sizeof text, "%X", unsigned(v));
        return text;
    }
    void fail(sim::Kernel& kernel, const std::string& what)
    {
        if (failure.empty())
            failure = "at point " + std::to_string(kernel.preemptionPoints()) + " (" +
                      std::to_string(double(kernel.now()) / 1e6) + " s): " + what;
    }
    unsigned lastRequest_ = 0;
    bool unloading_ = false;
    std::uint32_t powerInputsAtUnload_ = 0;
};

// A run of one pair or triple: the device, what the calls recorded, and
// what the verifier reported.
struct Stage {
    harness::Device device{testKernelOptions(sim::Schedule::Cooperative)};
    sim::Kernel& kernel = device.kernel();
    sim::World& world = device.world();
    std::vector<std::string> reports;
    RunWatch watch;
    sim::Micros unloadTook = 0;
    sim::Micros longestPowerCall = 0;

    Stage()
    {
        // Both send RDS, so the tuner interrupt keeps coming: a station
        // without would make the hang detection recover the chip every minute.
        const std::vector<sim::RdsGroup> groups = {{{0xD3C2, 0x0408, 0xE20D, 0x5241}, {}},
                                                   {{0xD3C2, 0x0409, 0xCDCD, 0x4449}, {}}};
        world.addStation(9470, 42, 25, groups);
        world.addStation(10120, 38, 20, groups);
        kernel.setVerifierHandler([this](const std::string& report) { reports.push_back(report); });
        kernel.countPoints();
    }
    void tune(unsigned frequency) { device.command("$PLTCM,H2," + std::to_string(frequency)); }
    // Waits in 10 ms steps, at most `limitMs`, for `done`.
    static bool waitFor(const std::function<bool()>& done, unsigned limitMs)
    {
        for (unsigned waited = 0; !done(); waited += 10) {
            if (waited >= limitMs) return false;
            Sleep(10);
        }
        return true;
    }
    // A recovery's end: the driver has reset the chip since the event and
    // the recovery is done (a write from the shadow may have powered a dipped
    // chip up again meanwhile, without its settings). A supply dip's is due
    // within the hang detection's minute.
    void markResets() { resetsBefore = resets(); }
    void awaitRecovery(unsigned limitMs)
    {
        waitFor([this] { return resets() > resetsBefore && recovered(); }, limitMs);
    }
    void dip()
    {
        markResets();
        const std::uint64_t dips = world.chip().supplyDips();
        world.chip().supplyDip();
        dipped = world.chip().supplyDips() != dips;  // a chip held in reset has nothing to lose
    }
    void settleAfterDip()
    {
        if (dipped) awaitRecovery(75'000);
    }
    std::size_t resets()
    {
        std::size_t low = 0;
        for (const auto& change : world.resetHistory()) low += !change.level;
        return low;
    }
    std::size_t resetsBefore = 0;
    bool dipped = false;
    static bool recovered()
    {
        return gDriver.control.controlRequest.load() == kRequestNone && gDriver.control.recoveryNeeded.load() == 0 &&
               gDriver.control.powerUpOwed.load() == 0 && gDriver.control.retuning.load() == 0;
    }
};

// Which of the driver's recorded inputs a call sets.
enum Sets : unsigned { kNothing = 0, kPowerManager = 1, kApplication = 2, kUnload = 4, kLoad = 8 };

struct CallerKind {
    const char* name;
    Sets sets;
    int value;                // the power manager's D state, or the suspend (1) / resume (0)
    void (*prepare)(Stage&);  // before the calls meet (nullptr: nothing)
    void (*call)(Stage&);     // the call itself: its points are the span's
    void (*settle)(Stage&);   // what the driver does on its own after it (nullptr: nothing)
    bool powerCall() const { return (sets & (kPowerManager | kApplication | kUnload)) != 0; }
};

// The device's callers, and the driver's own events as calls: each event's
// call starts it and its settle waits for the driver's work on it, which is
// in the span (only the settle's own polling is not).
const CallerKind kCallers[] = {
    {"load", kLoad, 0, nullptr, [](Stage& s) { s.device.init(); }, nullptr},
    {"unload", kUnload, 0, nullptr,
     [](Stage& s) {
         const sim::Micros from = s.kernel.now();
         EXPECT_TRUE(s.device.deinit());
         s.unloadTook = s.kernel.now() - from;
     },
     nullptr},
    {"D0", kPowerManager, 0, [](Stage& s) { s.device.setPowerState(3); }, [](Stage& s) { s.device.setPowerState(0); },
     nullptr},
    {"D1", kPowerManager, 1, nullptr, [](Stage& s) { s.device.setPowerState(1); }, nullptr},
    {"D2", kPowerManager, 2, nullptr, [](Stage& s) { s.device.setPowerState(2); }, nullptr},
    {"D3", kPowerManager, 3, nullptr, [](Stage& s) { s.device.setPowerState(3); }, nullptr},
    {"D4", kPowerManager, 4, nullptr, [](Stage& s) { s.device.setPowerState(4); }, nullptr},
    {"system-power", kNothing, 0, nullptr,
     [](Stage& s) {
         s.device.powerDown();
         s.device.powerUp();
     },
     nullptr},
    {"suspend", kApplication, 1, nullptr, [](Stage& s) { s.device.suspendResume(2); }, nullptr},
    {"resume", kApplication, 0, [](Stage& s) { s.device.suspendResume(2); },
     [](Stage& s) { s.device.suspendResume(1); }, nullptr},
    {"recover-request", kNothing, 0, nullptr, [](Stage& s) { s.device.recover(); }, nullptr},
    {"private-command", kNothing, 0, nullptr, [](Stage& s) { s.tune(10120); }, nullptr},
    {"port-write", kNothing, 0, nullptr, [](Stage& s) { s.device.writePort("$PLTCM,H2,10120\r\n"); }, nullptr},
    {"port-read", kNothing, 0, nullptr, [](Stage& s) { s.device.readPort(); }, nullptr},
    {"serial-requests", kNothing, 0, nullptr,
     [](Stage& s) {
         COMMTIMEOUTS timeouts{};
         DCB dcb{};
         DWORD returned = 0;
         s.device.ioControl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0, nullptr);
         s.device.ioControl(IOCTL_SERIAL_GET_DCB, nullptr, 0, &dcb, sizeof dcb, &returned);
         const std::uint8_t words[4] = {1, 2, 3, 4};
         std::uint8_t reversed[4] = {};
         s.device.ioControl(IOCTL_TMC_REVERSE_WORDS, words, sizeof words, reversed, sizeof reversed, &returned);
     },
     nullptr},
    // The interrupt thread's hang detection: a minute without an interrupt.
    {"hang-trigger", kNothing, 0, nullptr,
     [](Stage& s) {
         s.markResets();
         gDriver.tuner.tunerBusy.store(0);
         gDriver.control.recoveryNeeded.store(1);
     },
     [](Stage& s) { s.awaitRecovery(10'000); }},
    // The tick's signal-quality test finds the chip's settings gone (or,
    // while a search keeps the tick from running, the search's read-back or
    // the interrupt thread's hang detection does).
    {"quality-failure", kNothing, 0, [](Stage&) { gDriver.tuner.receiverMode.store(kMeasureQuality); },
     [](Stage& s) { s.dip(); }, [](Stage& s) { s.settleAfterDip(); }},
    // A dip nobody measures for: the interrupts stop and the hang detection
    // recovers the chip after a minute.
    {"supply-dip", kNothing, 0, nullptr, [](Stage& s) { s.dip(); }, [](Stage& s) { s.settleAfterDip(); }},
    {"search", kNothing, 0, nullptr, [](Stage& s) { s.device.command("$PLTCM,+"); }, [](Stage&) { Sleep(4000); }},
    {"recovery", kNothing, 0, nullptr,
     [](Stage& s) {
         s.markResets();
         s.device.recover();
     },
     [](Stage& s) { s.awaitRecovery(10'000); }},
    // The control thread does the work the system's power-up handler left it.
    {"resume-work", kNothing, 0, nullptr,
     [](Stage& s) {
         s.markResets();
         s.device.powerDown();
         s.device.powerUp();
     },
     [](Stage& s) { s.awaitRecovery(10'000); }},
};
constexpr std::size_t kCallerCount = std::size(kCallers);

const CallerKind* callerNamed(const std::string& name)
{
    for (const CallerKind& c : kCallers)
        if (name == c.name) return &c;
    return nullptr;
}

// Whether `later` can arrive while `first` runs. Nothing reaches a driver
// before its load returns but the system's power handlers and the world;
// the device manager does one thing at a time.
bool canMeet(const CallerKind& first, const CallerKind& later)
{
    if (later.sets & kLoad) return false;
    if (first.sets & kLoad) return std::string(later.name) == "system-power" || std::string(later.name) == "supply-dip";
    if ((first.sets & kUnload) && (later.sets & kUnload)) return false;
    return true;
}

// A call on a simulated thread of its own. A later call waits for its
// landing (or for the first call's return, in the counting pass).
class CallThread {
public:
    CallThread(Stage& stage, const CallerKind& kind, std::function<void()> body, bool waits)
        : body_(std::move(body)), arrival_(waits ? CreateEventW(nullptr, FALSE, FALSE, nullptr) : nullptr)
    {
        thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
        const bool manager = (kind.sets & (kPowerManager | kUnload | kLoad)) != 0;
        CeSetThreadPriority(thread_, manager && kind.sets == kPowerManager ? harness::kPowerManagerPriority
                                                                           : harness::kApplicationPriority);
        if (!manager) stage.kernel.setProcess(thread_, sim::Process::Application);
    }
    ~CallThread()
    {
        if (!done_) {
            skip_ = true;
            release();
            WaitForSingleObject(thread_, 600'000);
        }
        CloseHandle(thread_);
        if (arrival_ != nullptr) CloseHandle(arrival_);
    }
    CallThread(const CallThread&) = delete;
    CallThread& operator=(const CallThread&) = delete;

    HANDLE handle() const { return thread_; }
    HANDLE arrival() const { return arrival_; }
    bool released() const { return released_; }
    void release()
    {
        released_ = true;
        if (arrival_ != nullptr) SetEvent(arrival_);
    }
    void skip() { skip_ = true; }
    bool join() { return WaitForSingleObject(thread_, 180'000) == WAIT_OBJECT_0; }
    bool done() const { return done_; }

private:
    static DWORD WINAPI run(LPVOID self)
    {
        auto* call = static_cast<CallThread*>(self);
        if (call->arrival_ != nullptr) WaitForSingleObject(call->arrival_, 600'000);
        if (!call->skip_) call->body_();
        call->done_ = true;
        return 0;
    }
    std::function<void()> body_;
    HANDLE arrival_;
    HANDLE thread_ = nullptr;
    bool released_ = false;
    bool skip_ = false;
    bool done_ = false;
};

}  // namespace
