// Entry points called at once from threads of their own, as the power manager
// and the application's threads call them on a device, and the driver's
// threads meeting on the values they share without a lock. Each scenario is
// played over many seeded random and pct schedules (tests/support/Explore.h)
// and asserts what must hold on every one of them.
#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "driver/IoControlCodes.h"
#include "rds/GroupDecoder.h"
#include "tests/control/ControlRig.h"
#include "tests/support/DriverFixtures.h"
#include "tests/support/Explore.h"
#include "tuner/Tuner.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace {

// The callers run at the normal level of a CE application. The driver must not
// rest on its callers' priorities (the application's are not ours to know);
// at one level they share the processor, which gives the widest interleaving.
constexpr int kCallerPriority = 251;

// Holds callers back until it opens, so that they set off together.
class Gate {
public:
    Gate() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Gate() { CloseHandle(event_); }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
    void open() { SetEvent(event_); }
    HANDLE handle() const { return event_; }

private:
    HANDLE event_;
};

// A caller on a simulated thread of its own: it runs `body` at once, or when
// `gate` opens.
class Caller {
public:
    explicit Caller(std::function<void()> body, const Gate* gate = nullptr)
        : body_(std::move(body)), gate_(gate != nullptr ? gate->handle() : nullptr)
    {
        thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
        CeSetThreadPriority(thread_, kCallerPriority);
    }
    // A caller left running by a failed assertion is waited for: its body
    // refers to the scenario.
    ~Caller()
    {
        if (!done_) WaitForSingleObject(thread_, 60'000);
        CloseHandle(thread_);
    }
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;

    // True once the caller returned, within a minute of virtual time.
    bool join() { return WaitForSingleObject(thread_, 60'000) == WAIT_OBJECT_0; }
    bool finished() const { return done_; }

private:
    static DWORD WINAPI run(LPVOID self)
    {
        auto* caller = static_cast<Caller*>(self);
        if (caller->gate_ != nullptr) WaitForSingleObject(caller->gate_, 60'000);
        caller->body_();
        caller->done_ = true;
        return 0;
    }
    std::function<void()> body_;
    HANDLE gate_;
    HANDLE thread_ = nullptr;
    bool done_ = false;
};

// Waits in 10 ms steps, at most `limitMs`, for `done`; true when it held.
bool waitFor(const std::function<bool()>& done, unsigned limitMs)
{
    for (unsigned waited = 0; !done(); waited += 10) {
        if (waited >= limitMs) return false;
        Sleep(10);
    }
    return true;
}

std::string tuneCommand(unsigned frequency)
{
    return "$PLTCM,H2," + std::to_string(frequency);
}

// The whole driver on two stations, its entry points called from caller
// threads.
class Callers : public DeviceTest {
protected:
    Callers() { addTwoStations(world); }

    void sendPrivate(const std::string& text) { device.command(text); }
    void writeLine(const std::string& text) { device.writePort(text + "\r\n"); }

    // Reads the port every 10 ms until every caller has returned (at most a
    // minute), so that no answer is lost to a full output ring.
    void readWhileRunning(std::initializer_list<Caller*> callers, Lines& into)
    {
        for (unsigned waited = 0; waited < 60'000; waited += 10) {
            for (std::string& line : read()) into.push_back(std::move(line));
            bool all = true;
            for (Caller* caller : callers) all &= caller->finished();
            if (all) return;
            Sleep(10);
        }
        ADD_FAILURE() << "a caller did not return";
    }

    // Runs `first` on a caller of its own and `second` on another, landing at
    // a point drawn among the next 80 the threads pass once `first` set off.
    void meet(const std::function<void()>& first, const std::function<void()>& second, sim::Random& draw)
    {
        const HANDLE arrival = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        auto live = std::make_shared<bool>(true);
        Caller late([&] {
            WaitForSingleObject(arrival, 1000);
            second();
        });
        Caller early(first);
        kernel.atPoint(kernel.preemptionPoints() + 1 + draw.below(80), [arrival, live] {
            if (*live) SetEvent(arrival);
        });
        ASSERT_TRUE(early.join());
        ASSERT_TRUE(late.join());
        *live = false;
        CloseHandle(arrival);
    }

    // Whatever came before, the driver runs: no worker is left frozen, and
    // after the recovery a power-up asks for it tunes and reports again.
    void expectRunningAndAnswering(unsigned frequency)
    {
        const LifecycleState& life = gDriver.lifecycle;
        EXPECT_EQ(life.driverState.load(), kDriverRunning);
        for (HANDLE worker : {life.groupThread, life.interruptThread, life.controlThread, life.readerThread})
            EXPECT_EQ(kernel.suspendCount(worker), 0u) << "a worker was left frozen";
        Sleep(5000);
        read();
        writeLine(tuneCommand(frequency));
        Sleep(3000);
        EXPECT_EQ(world.chip().frequency(), frequency) << "a command after it all is carried out";
        bool reported = false;
        for (const std::string& line : read()) reported |= line.rfind("$PLTTQ," + std::to_string(frequency), 0) == 0;
        EXPECT_TRUE(reported) << "the driver reports the station";
        EXPECT_EQ(kernel.verifierReports(), 0u);
    }
};

// The power manager sets D3 and then D0 while the application suspends and
// resumes the receiver: both end on a power-up, so the driver must run.
class PowerAndSuspendAtOnce : public Callers {
public:
    void play()
    {
        load();
        Sleep(1000);
        Gate gate;
        Caller powerManager(
            [&] {
                device.setPowerState(3);
                device.setPowerState(0);
            },
            &gate);
        Caller application(
            [&] {
                device.suspendResume(2);
                device.suspendResume(1);
            },
            &gate);
        gate.open();
        ASSERT_TRUE(powerManager.join());
        ASSERT_TRUE(application.join());
        expectRunningAndAnswering(9470);
    }
};

TEST(Interleavings, PowerRequestsWhileTheApplicationSuspendsAndResumes)
{
    exploreSchedules<PowerAndSuspendAtOnce>();
}

// While the power manager powers the device down and up, the application
// keeps sending commands both ways; they are ignored or carried out, and the
// driver runs afterwards.
class CommandsAcrossAPowerCycle : public Callers {
public:
    void play()
    {
        load();
        Sleep(1000);
        Caller powerManager([&] {
            Sleep(150);
            device.setPowerState(3);
            Sleep(400);
            device.setPowerState(0);
        });
        Caller application([&] {
            for (unsigned i = 0; i < 6; ++i) {
                sendPrivate(tuneCommand(i % 2 ? 9470 : 10120));
                writeLine(tuneCommand(i % 2 ? 10120 : 9470));
                Sleep(100);
            }
        });
        ASSERT_TRUE(powerManager.join());
        ASSERT_TRUE(application.join());
        expectRunningAndAnswering(10120);
    }
};

TEST(Interleavings, CommandsWhileThePowerManagerPowersDownAndUp)
{
    exploreSchedules<CommandsAcrossAPowerCycle>();
}

// A search is running when two application threads ask for the same station,
// one through the port and one through the private request: whichever comes
// first, the search ends and the receiver stays on that station.
class TuneDuringASearch : public Callers {
public:
    void play()
    {
        load();
        Sleep(1000);
        writeLine("$PLTCM,+");
        ASSERT_TRUE(waitFor([] { return gDriver.control.searchState.load() != 0; }, 2000));
        Lines lines;
        Caller portWriter([&] { writeLine(tuneCommand(9470)); });
        Caller requester([&] { sendPrivate(tuneCommand(9470)); });
        readWhileRunning({&portWriter, &requester}, lines);
        Sleep(3000);
        EXPECT_EQ(world.chip().frequency(), 9470);
        EXPECT_FALSE(world.chip().seeking());
        EXPECT_EQ(gDriver.control.searchState.load(), 0);
        EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestNone);
    }
};

TEST(Interleavings, ATuneAskedFromTwoThreadsEndsARunningSearch)
{
    exploreSchedules<TuneDuringASearch>();
}

// A recovery is under way when two application threads ask for a station:
// the commands wait for it or replace it, and either way the chip comes out
// of reset and ends on that station.
class TuneDuringARecovery : public Callers {
public:
    void play()
    {
        load();
        Sleep(100);
        writeLine(tuneCommand(10120));
        Sleep(2000);
        ASSERT_EQ(world.chip().frequency(), 10120);
        Caller recoverer([&] { device.recover(); });
        const auto recovering = [] { return gDriver.control.controlRequest.load() == kRequestRecover; };
        Caller portWriter([&] {
            if (waitFor(recovering, 1000)) writeLine(tuneCommand(9470));
        });
        Caller requester([&] {
            if (waitFor(recovering, 1000)) sendPrivate(tuneCommand(9470));
        });
        Lines lines;
        readWhileRunning({&recoverer, &portWriter, &requester}, lines);
        Sleep(6000);
        EXPECT_FALSE(world.chip().inReset());
        EXPECT_EQ(gDriver.tuner.i2cOff.load(), 0);
        EXPECT_EQ(world.chip().frequency(), 9470);
        EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestNone);
    }
};

TEST(Interleavings, ATuneAskedWhileARecoveryRunsEndsOnItsStation)
{
    exploreSchedules<TuneDuringARecovery>();
}

// A recovery asked just as the control thread takes a tune: whichever of
// the two it sees first, the recovery runs (the chip's reset line goes low
// once more); a take that clears the request without looking loses it. The
// recovery request is stored at once (a command waits 15 ms first) and
// arrives at a point drawn among the next few the threads pass once the tune
// is stored: mostly inside the control thread's step that takes the tune.
class RecoveryAskedAsATuneIsTaken : public Callers {
public:
    void play()
    {
        load();
        Sleep(1000);
        read();
        const HANDLE arrival = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        auto live = std::make_shared<bool>(true);
        for (int round = 0; round < 4; ++round) {
            const std::size_t resets = lowPulses();
            Caller recoverer([&] {
                WaitForSingleObject(arrival, 100);
                device.recover();
            });
            sendPrivate(tuneCommand(round % 2 == 0 ? 9470 : 10120));
            const std::uint64_t at = kernel.preemptionPoints() + 1 + kernel.random(sim::Stream::Faults).below(40);
            kernel.atPoint(at, [arrival, live] {
                if (*live) SetEvent(arrival);
            });
            ASSERT_TRUE(recoverer.join());
            EXPECT_TRUE(waitFor([&] { return lowPulses() > resets; }, 5000))
                << "the recovery asked as the tune was taken was lost (round " << round << ")";
            Sleep(3000);
            read();
        }
        *live = false;
        CloseHandle(arrival);
    }

private:
    std::size_t lowPulses()
    {
        std::size_t n = 0;
        for (const auto& change : world.resetHistory()) n += !change.level;
        return n;
    }
};

TEST(Interleavings, ARecoveryAskedAsATuneIsTakenIsNotLost)
{
    exploreSchedules<RecoveryAskedAsATuneIsTaken>();
}

// The application asks for a recovery just as the power manager powers the
// device down: whichever of the two comes first, the receiver is off once the
// power-down has returned, and stays off until the power-up (the request 200
// kept, the chip in reset, the bus closed, no transfer). A request that checks
// for the power-down and then writes in two steps puts its 100 over the 200.
// The request arrives at a point drawn among the first the threads pass once
// the power manager has set off.
class RecoveryAskedAsThePowerManagerPowersDown : public Callers {
public:
    void play()
    {
        load();
        Sleep(1000);
        const HANDLE arrival = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        auto live = std::make_shared<bool>(true);
        Caller recoverer([&] {
            WaitForSingleObject(arrival, 1000);
            device.recover();
        });
        Caller powerManager([&] { device.setPowerState(3); });
        const std::uint64_t at = kernel.preemptionPoints() + 1 + kernel.random(sim::Stream::Faults).below(80);
        kernel.atPoint(at, [arrival, live] {
            if (*live) SetEvent(arrival);
        });
        ASSERT_TRUE(recoverer.join());
        ASSERT_TRUE(powerManager.join());
        const std::uint64_t transfers = world.bus().transfers();
        for (unsigned waited = 0; waited < 1000; waited += 10) {
            Sleep(10);
            ASSERT_EQ(gDriver.control.controlRequest.load(), kRequestPoweredDown) << "at " << waited << " ms";
            ASSERT_TRUE(world.chip().inReset());
            ASSERT_EQ(world.bus().openHandles(), 0u);
            ASSERT_EQ(world.bus().transfers(), transfers);
        }
        *live = false;
        CloseHandle(arrival);
        device.setPowerState(0);
        expectRunningAndAnswering(10120);
    }
};

TEST(Interleavings, ARecoveryAskedAsThePowerManagerPowersDownLeavesTheReceiverOff)
{
    exploreSchedules<RecoveryAskedAsThePowerManagerPowersDown>();
}

// Commands from the port (the command-reader thread parses them) and from
// the private request (the caller's thread parses them) at the same time,
// while the control loop ticks: every command is taken once and answered once.
class CommandsFromBothPaths : public Callers {
public:
    void play()
    {
        load();
        Sleep(1000);
        read();
        constexpr unsigned kEach = 8;
        Caller portWriter([&] {
            for (unsigned i = 1; i <= kEach; ++i) {
                const std::string line = "$PLTCM,QFI," + std::to_string(20 + i) + "\r\n";
                for (std::size_t sent = 0; sent < line.size(); Sleep(5))
                    sent += device.offerToPort(std::string_view(line).substr(sent));
            }
        });
        Caller requester([&] {
            for (unsigned i = 1; i <= kEach; ++i) {
                sendPrivate("$PLTCM,QFS," + std::to_string(300 + i));
                Sleep(20);
            }
        });
        Lines lines;
        readWhileRunning({&portWriter, &requester}, lines);
        for (unsigned waited = 0; waited < 2000; waited += 10) {
            Sleep(10);
            for (std::string& line : read()) lines.push_back(std::move(line));
        }
        unsigned answers = 0, qfi = 0, qfs = 0, lastQfi = 0, lastQfs = 0;
        // The start values are 20 and 300; each answer gives both.
        for (const std::string& line : lines) {
            if (std::sscanf(line.c_str(), "$PXRQF,%u,%u,", &qfi, &qfs) != 2) continue;
            ++answers;
            EXPECT_GE(qfi, lastQfi) << "the port's commands are taken in the order written";
            EXPECT_GE(qfs, lastQfs) << "the requests are taken in the order sent";
            lastQfi = qfi, lastQfs = qfs;
        }
        EXPECT_EQ(answers, 2 * kEach) << "each command answered exactly once";
        EXPECT_EQ(lastQfi, 20 + kEach);
        EXPECT_EQ(lastQfs, 300 + kEach);
    }
};

TEST(Interleavings, CommandsFromThePortAndThePrivateRequestAreEachTakenOnce)
{
    exploreSchedules<CommandsFromBothPaths>();
}

// The group thread's raise of the TMC credit against the control thread's
// once-a-second decrease: neither may overwrite the other. Every tick's
// debug line follows its decrease and every TMC sentence its raise, so the
// credit at the end is the start plus 5 a sentence minus 1 a tick.
class TmcCreditFromTwoThreads : public controltest::ControlRig {
public:
    TmcCreditFromTwoThreads() : ControlRig(testSchedule()) {}
    void play()
    {
        world.addStation(9100, 42, 25);
        bringUp();
        gDriver.control.autoSearch.store(0);
        setFlags(kFilterDebug);
        ASSERT_NE(runUntil([&] { return countLines("$GPDBG") > 0; }, 1500), 0u);
        // A PI confirmed before the TMC groups come.
        for (int i = 0; i < 4; ++i) decodeGroup(RdsGroup{0xD3C2, 0x0000, 0xE20D, 0x4142, 0});
        drain();
        const std::size_t from = lines.size();
        gDriver.rds.tmcQuality.store(40);
        // Each pair of groups arrives just before one of the control thread's
        // ticks (its decrease is seen within a millisecond, and the next comes
        // 990 ms later), at a point drawn among the next few the threads pass:
        // mostly inside the tick itself.
        const HANDLE arrival = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        auto live = std::make_shared<bool>(true);
        Caller groups([&] {
            for (std::uint16_t message = 0; message < 8; ++message) {
                WaitForSingleObject(arrival, 3000);
                const RdsGroup tmc{0xD3C2, 0x8006, static_cast<std::uint16_t>(0x1000 + message), 0x2345, 0};
                decodeGroup(tmc);
                decodeGroup(tmc);
            }
        });
        for (int message = 0; message < 8 && !groups.finished(); ++message) {
            std::uint16_t last = tmcQuality();
            ASSERT_NE(runUntil(
                          [&] {
                              const std::uint16_t now = tmcQuality();
                              const bool fell = now < last;
                              last = now;
                              return fell;
                          },
                          1500),
                      0u);
            Sleep(988);
            const std::uint64_t at = kernel.preemptionPoints() + 1 + kernel.random(sim::Stream::Faults).below(60);
            kernel.atPoint(at, [arrival, live] {
                if (*live) SetEvent(arrival);
            });
            if (kernel.schedule() == sim::Schedule::Cooperative) SetEvent(arrival);
        }
        ASSERT_NE(runUntil([&] { return groups.finished(); }, 5000), 0u);
        *live = false;
        CloseHandle(arrival);
        runFor(1500);
        stopThreads();
        drain();
        std::size_t raises = 0, ticks = 0;
        for (std::size_t i = from; i < lines.size(); ++i) {
            raises += lines[i].text.rfind("$PLTTM,", 0) == 0;
            ticks += lines[i].text.rfind("$GPDBG,", 0) == 0;
        }
        ASSERT_GT(raises, 0u);
        ASSERT_GT(ticks, 1u);
        EXPECT_EQ(tmcQuality(), 40 + 5 * raises - ticks) << raises << " raises, " << ticks << " ticks";
    }
};

TEST(Interleavings, TmcCreditRaisedAndLoweredFromTwoThreadsLosesNeither)
{
    exploreSchedules<TmcCreditFromTwoThreads>();
}

// The group thread counts decoded groups while the debug sentence reads and
// clears the count on another thread: every group is reported exactly once.
class CountersWhileGroupsArrive : public LoadedTest {
public:
    void play()
    {
        driver.readyDecoder();
        OutputFilter& filter = gDriver.sentences.outputFilter;
        filter.flags.store(static_cast<std::uint16_t>(filter.flags.load() | kFilterDebug));
        constexpr unsigned kGroups = 300;
        Caller groups([] {
            for (unsigned i = 0; i < kGroups; ++i) {
                // Group 1A: counted, and no sentence of its own.
                decodeGroup(RdsGroup{0xD3C2, 0x1000, 0, 0, 0});
                if (i % 7 == 0) Sleep(1);
            }
        });
        unsigned reported = 0;
        const auto collect = [&] {
            emitDebugCounters();
            const std::string output = harness::takeOutput();
            unsigned count = 0;
            for (std::size_t at = 0; (at = output.find("$GPDBG,ISR,", at)) != std::string::npos; ++at)
                if (std::sscanf(output.c_str() + at, "$GPDBG,ISR,%u,", &count) == 1) reported += count;
        };
        Caller reader([&] {
            while (!groups.finished()) {
                collect();
                Sleep(1);
            }
        });
        ASSERT_TRUE(groups.join());
        ASSERT_TRUE(reader.join());
        collect();
        EXPECT_EQ(reported, kGroups) << "each decoded group reported exactly once";
    }
};

TEST(Interleavings, CountersReadAndClearedWhileGroupsArriveLoseNone)
{
    exploreSchedules<CountersWhileGroupsArrive>();
}

// A settings pass (the B command's, a recovery's) rebuilds the shadow around
// its own read of the chip, while another thread reads the whole register
// file back and compares it with the shadow (the firmware report, the quality
// test, a search). The read-back sets off at a point drawn among the first
// the pass passes, on a bus whose transfers take up to 2 ms. Over passes that
// each change the band mode (and once the volume): on a healthy chip no
// read-back finds it reset (a needless recovery); after a supply dip, a
// read-back whose transfer found the chip still reset must say so (else the
// pass hides the dip, and the station is gone).
template <bool kSupplyDip>
class SettingsPassAndReadBackAtOnce : public LoadedTest {
public:
    void play()
    {
        driver.bringUpTuner();
        world.bus().setTransferDelay(2000);
        ReceiverSettings& settings = gDriver.tuner.settings;
        sim::Random& draw = kernel.random(sim::Stream::Faults);
        for (std::uint8_t round = 0; round < 12; ++round) {
            // A pass the read-back made skip its writes leaves the chip as it
            // was: each round starts from a programmed chip.
            ApplyReceiverSettings(settings);
            if (kSupplyDip) world.chip().supplyDip();
            RegisterReadBack found = RegisterReadBack::Missed;
            bool resetThroughout = false;
            const HANDLE arrival = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            Caller reader([&] {
                WaitForSingleObject(arrival, 1000);
                const bool resetBefore = world.chip().reg(si4709::SYSCONFIG1) == 0;
                found = ReadBackRegisterFile();
                resetThroughout = resetBefore && world.chip().reg(si4709::SYSCONFIG1) == 0;
            });
            Sleep(draw.below(3));
            auto live = std::make_shared<bool>(true);
            kernel.atPoint(kernel.preemptionPoints() + 1 + draw.below(40), [arrival, live] {
                if (*live) SetEvent(arrival);
            });
            // Round 2 sets 200 kHz spacing at volume 0: band, spacing and
            // volume then read 0 from a chip that is in step.
            settings.bandMode.store(round % 3);
            settings.volume.store(round % 6 == 2 ? 0 : 15);
            ApplyReceiverSettings(settings);
            ASSERT_TRUE(reader.join());
            if (!kSupplyDip) {
                EXPECT_NE(found, RegisterReadBack::SettingsLost) << "a healthy chip read as reset";
            }
            if (resetThroughout) {
                EXPECT_NE(found, RegisterReadBack::InStep) << "a reset chip read as in step";
            }
            if (::testing::Test::HasFailure()) return;
        }
    }
};

TEST(Interleavings, ASettingsPassAndARegisterReadBackAtOnceJudgeTheChipRight)
{
    exploreSchedules<SettingsPassAndReadBackAtOnce<false>>();
    exploreSchedules<SettingsPassAndReadBackAtOnce<true>>();
}

// Two power transitions on callers' threads of their own, the second landing
// at a point drawn among the first's: the power manager's D3 and D0 and the
// application's suspend and resume, in every ordered pair, one after another
// from whatever the pair before left, each pair followed by a system suspend
// and resume in one round of two. Whichever order they took effect in, the
// driver ends as the inputs it recorded say: running (a command carried out)
// exactly when the power manager's last state is D0 or D1 and the application
// has not suspended it, otherwise off (request 200, the chip in reset, the bus
// closed, no transfer, a command not carried out). Last, the unload lands in
// a transition and leaves nothing behind.
class PowerTransitionsMeeting : public Callers {
public:
    void play()
    {
        load();
        Sleep(1000);
        const std::function<void()> transitions[] = {
            [&] { device.setPowerState(3); },
            [&] { device.setPowerState(0); },
            [&] { device.suspendResume(2); },
            [&] { device.suspendResume(1); },
        };
        const char* const names[] = {"D3", "D0", "suspend", "resume"};
        sim::Random& draw = kernel.random(sim::Stream::Faults);
        unsigned round = 0;
        for (unsigned first = 0; first < 4; ++first) {
            for (unsigned second = 0; second < 4; ++second, ++round) {
                SCOPED_TRACE(std::string(names[first]) + " then " + names[second]);
                meet(transitions[first], transitions[second], draw);
                if (round % 2 == 1) {
                    device.powerDown();
                    device.powerUp();
                }
                expectAsRecorded(round % 2 == 0 ? 9470 : 10120);
                if (::testing::Test::HasFailure()) return;
            }
        }
        const HANDLE arrival = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        auto live = std::make_shared<bool>(true);
        Caller unloader([&] {
            WaitForSingleObject(arrival, 1000);
            EXPECT_TRUE(device.deinit());
        });
        Caller transition(transitions[draw.below(4)]);
        kernel.atPoint(kernel.preemptionPoints() + 1 + draw.below(80), [arrival, live] {
            if (*live) SetEvent(arrival);
        });
        ASSERT_TRUE(unloader.join());
        ASSERT_TRUE(transition.join());
        *live = false;
        CloseHandle(arrival);
        EXPECT_EQ(kernel.liveThreads(), 1u) << "a worker outlived the unload";
        EXPECT_EQ(world.bus().openHandles(), 0u);
        EXPECT_TRUE(world.chip().inReset());
    }

private:
    void expectAsRecorded(unsigned frequency)
    {
        const LifecycleState& life = gDriver.lifecycle;
        const bool on = life.powerManagerOff.load() == 0 && life.appSuspended.load() == 0;
        Sleep(6000);  // a power-up's recovery is over
        read();
        if (on) {
            EXPECT_EQ(life.driverState.load(), kDriverRunning);
            EXPECT_FALSE(world.chip().inReset());
            EXPECT_EQ(world.bus().openHandles(), 1u);
            writeLine(tuneCommand(frequency));
            Sleep(3000);
            EXPECT_EQ(world.chip().frequency(), frequency) << "a command is carried out";
        } else {
            EXPECT_EQ(life.driverState.load(), kDriverPoweredDown);
            EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestPoweredDown);
            EXPECT_TRUE(world.chip().inReset());
            EXPECT_EQ(world.bus().openHandles(), 0u);
            const std::uint64_t transfers = world.bus().transfers();
            sendPrivate(tuneCommand(frequency));
            Sleep(3000);
            EXPECT_EQ(world.bus().transfers(), transfers) << "nothing reaches the chip while off";
        }
        EXPECT_EQ(kernel.verifierReports(), 0u);
    }
};

TEST(Interleavings, PowerTransitionsMeetingEachOtherEndAsTheirRecordedInputsSay)
{
    exploreSchedules<PowerTransitionsMeeting>();
}

// The writers of the request code, two at a time, the second landing at a
// point drawn among the first's: a tune and a search command, the
// application's recovery request, the tick's recovery (the trigger the
// interrupt thread sets on a silent chip), and the power manager's D3 and D0.
// In every ordered pair, whatever wrote last: a power-down holds (request 200,
// the chip in reset) until its power-up, and the driver then settles with no
// request and no search stop left over and carries out a command.
class RequestWritersMeeting : public Callers {
public:
    void play()
    {
        load();
        Sleep(1000);
        const std::function<void()> writers[] = {
            [&] { sendPrivate(tuneCommand(9470)); },
            [&] { sendPrivate("$PLTCM,+"); },
            [&] { device.recover(); },
            [&] { gDriver.control.recoveryNeeded.store(1); },
            [&] { device.setPowerState(3); },
            [&] { device.setPowerState(0); },
        };
        const char* const names[] = {"tune", "search", "recover", "tick's recovery", "D3", "D0"};
        sim::Random& draw = kernel.random(sim::Stream::Faults);
        for (unsigned first = 0; first < 6; ++first) {
            for (unsigned second = 0; second < 6; ++second) {
                if (first == second) continue;
                SCOPED_TRACE(std::string(names[first]) + " then " + names[second]);
                meet(writers[first], writers[second], draw);
                Sleep(500);
                if (gDriver.lifecycle.powerManagerOff.load() != 0) {
                    EXPECT_EQ(gDriver.control.controlRequest.load(), kRequestPoweredDown);
                    EXPECT_TRUE(world.chip().inReset());
                    device.setPowerState(0);
                }
                const auto settled = [] { return gDriver.control.controlRequest.load() == kRequestNone; };
                EXPECT_TRUE(waitFor(settled, 10'000)) << "request " << +gDriver.control.controlRequest.load();
                // A search command dropped or replaced leaves no stop behind,
                // which would keep the automatic search off for good. (One a
                // recovery held back is posted again after its tune back.)
                Sleep(2000);
                if (settled() && gDriver.control.searchState.load() == kSearchIdle) {
                    EXPECT_EQ(gDriver.control.stopSearch.load(), 0);
                }
                expectRunningAndAnswering(second % 2 == 0 ? 10120 : 9470);
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
};

TEST(Interleavings, RequestWritersMeetingEachOtherLeaveNoRequestBehind)
{
    exploreSchedules<RequestWritersMeeting>();
}

// A close without the bus guard (a power-up or a power-down that could not get
// it) while a recovery on another thread reopens the bus, which it does once
// the handle reads closed, rewriting the one bus record in place. The reopen
// lands at a point drawn among the close's. Whichever wins, a published
// handle is an open device that carries a transfer; a close that took the
// record's device after the reopen rewrote it would shut the fresh one.
class BusCloseAndReopenAtOnce : public LoadedTest {
public:
    void play()
    {
        driver.bringUpTuner();
        sim::Random& draw = kernel.random(sim::Stream::Faults);
        for (unsigned round = 0; round < 12; ++round) {
            ASSERT_TRUE(ReopenBus());
            const HANDLE arrival = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            auto live = std::make_shared<bool>(true);
            Caller recovery([&] {
                WaitForSingleObject(arrival, 1000);
                ReopenBus();
            });
            kernel.atPoint(kernel.preemptionPoints() + 1 + draw.below(12), [arrival, live] {
                if (*live) SetEvent(arrival);
            });
            CloseBus();
            ASSERT_TRUE(recovery.join());
            *live = false;
            CloseHandle(arrival);
            const bool published = gDriver.tuner.pI2CHandle.load() != nullptr;
            EXPECT_EQ(world.bus().openHandles(), published ? 1u : 0u) << "round " << round;
            if (published) {
                EXPECT_TRUE(GuardedReadRegisters(si4709::STATUSRSSI, si4709::READCHAN)) << "round " << round;
            }
            if (::testing::Test::HasFailure()) return;
        }
    }
};

TEST(Interleavings, ABusCloseAndARecoverysReopenAtOnceLeaveAnOpenBusOrNone)
{
    exploreSchedules<BusCloseAndReopenAtOnce>();
}

}  // namespace
