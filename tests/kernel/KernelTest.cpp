// The simulated kernel: ordering, time, waits, suspension, interrupts, locks and
// determinism, observed the way the driver will rely on them.
#include "sim/kernel/Kernel.h"
#include "platform/ce/Shared.h"
#include "sim/kernel/KernelImpl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#if defined(CORVANE_TSAN)
extern "C" void __tsan_write4(void* address);  // what the driver's stores call
#endif

namespace {

// Threads that log are ordered through the section, as they would have to be
// on the device.
struct Log {
    CRITICAL_SECTION guard{};
    std::vector<std::string> entries;
    Log() { InitializeCriticalSection(&guard); }
    void add(const std::string& what)
    {
        EnterCriticalSection(&guard);
        entries.push_back(what + "@" + std::to_string(sim::Kernel::current().now() / 1000));
        LeaveCriticalSection(&guard);
    }
    std::vector<std::string> taken()
    {
        EnterCriticalSection(&guard);
        std::vector<std::string> copy = entries;
        LeaveCriticalSection(&guard);
        return copy;
    }
};

struct Sleeper {
    Log* log;
    const char* name;
    DWORD ms;
};

DWORD sleepThenLog(LPVOID p)
{
    auto* s = static_cast<Sleeper*>(p);
    Sleep(s->ms);
    s->log->add(s->name);
    return 0;
}

TEST(Kernel, ThreadsWakeInVirtualTimeOrderAndTimeJumps)
{
    sim::Kernel kernel;
    Log log;
    Sleeper a{&log, "a", 30}, b{&log, "b", 10}, c{&log, "c", 20};
    for (Sleeper* s : {&a, &b, &c}) ASSERT_NE(CreateThread(nullptr, 0, sleepThenLog, s, 0, nullptr), nullptr);
    Sleep(100);
    EXPECT_EQ(log.taken(), (std::vector<std::string>{"b@10", "c@20", "a@30"}));
    EXPECT_EQ(kernel.now(), 100'000u);
    EXPECT_EQ(GetTickCount(), 100u);
}

namespace {
// Six values live across every call: a compiler keeps them in the registers
// a call must preserve, so a switch that lost one changes the result.
template <bool Switching>
std::uint64_t churn(std::uint64_t n)
{
    std::uint64_t a = n, b = n * 3, c = n * 5, d = n * 7, e = n * 11, f = n * 13;
    for (std::uint64_t i = 0; i < 100; ++i) {
        if constexpr (Switching) Sleep(static_cast<DWORD>(1 + (i + n) % 3));  // a different partner each time
        a = a * 31 + b;
        b ^= c << 1;
        c += d;
        d = d * 17 + e;
        e ^= f >> 2;
        f += a;
    }
    return a ^ b ^ c ^ d ^ e ^ f;
}
std::uint64_t gChurned[3];
char gFormatted[3][16];
}  // namespace

// A switch keeps what each thread holds in its registers, and a new thread's
// stack is aligned as calls require (formatting a double moves aligned vectors
// on it).
TEST(Kernel, ASwitchKeepsEachThreadsRegistersAndANewStackIsAligned)
{
    sim::Kernel kernel;
    HANDLE threads[3];
    for (std::uintptr_t n = 0; n < 3; ++n) {
        const auto worker = [](LPVOID p) -> DWORD {
            const auto n = reinterpret_cast<std::uintptr_t>(p);
            gChurned[n] = churn<true>(n + 1);
            std::snprintf(gFormatted[n], sizeof gFormatted[n], "%.3f", double(n + 1) / 8);
            return 0;
        };
        threads[n] = CreateThread(nullptr, 0, worker, reinterpret_cast<LPVOID>(n), 0, nullptr);
        ASSERT_NE(threads[n], nullptr);
    }
    const std::uint64_t mine = churn<true>(4);
    for (HANDLE t : threads) ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);  // sees what each did
    EXPECT_EQ(mine, churn<false>(4));
    for (std::uint64_t n = 0; n < 3; ++n) EXPECT_EQ(gChurned[n], churn<false>(n + 1)) << "thread " << n + 2;
    EXPECT_STREQ(gFormatted[0], "0.125");
    EXPECT_STREQ(gFormatted[2], "0.375");
}

TEST(Kernel, EventWaitsTimeOutInVirtualTimeOnly)
{
    sim::Kernel kernel;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const auto wall = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 60000), WAIT_TIMEOUT);
    EXPECT_EQ(kernel.now(), 60'000'000u);
    EXPECT_LT(std::chrono::steady_clock::now() - wall, std::chrono::seconds(1));

    // Auto-reset: one SetEvent releases one wait; manual-reset stays set.
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    // A hardware event sets the event 5 ms in: the wait ends then.
    kernel.after(5000, [event] { SetEvent(event); });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(kernel.now(), 60'005'000u);
}

// A user thread that spins in its own code (a preemption point is an access
// to a shared value) is stopped there, at once, and runs on at count 0.
TEST(Kernel, ASuspendedUserThreadStopsInItsOwnCodeUntilItsCountReturnsToZero)
{
    sim::Kernel kernel{sim::KernelOptions{.schedule = sim::Schedule::Random}};
    static std::uint64_t spins;
    spins = 0;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            for (;;) ++spins, CePreemptionPoint();
        },
        nullptr, 0, nullptr);
    kernel.setProcess(t, sim::Process::Application);
    EXPECT_TRUE(CeSetThreadPriority(t, 252));  // below this thread: it runs while this one sleeps
    Sleep(1);
    ASSERT_GT(spins, 0u);
    EXPECT_EQ(SuspendThread(t), 0u);
    EXPECT_EQ(SuspendThread(t), 1u);
    const std::uint64_t frozen = spins;
    Sleep(50);
    EXPECT_EQ(spins, frozen);
    EXPECT_EQ(ResumeThread(t), 2u);
    Sleep(50);
    EXPECT_EQ(spins, frozen) << "still suspended once";
    EXPECT_EQ(ResumeThread(t), 1u);
    Sleep(1);
    EXPECT_GT(spins, frozen) << "runs again as soon as its count returns to 0";
    EXPECT_EQ(ResumeThread(t), 0u);
}

// "If the thread is making a kernel call, SuspendThread fails": from the
// point at the call's start, through the block inside it and the wake, until
// the call returns to the thread's own code. A thread an application thread
// creates is of the application's process too.
TEST(Kernel, AUserThreadCannotBeSuspendedFromACallsStartToItsReturn)
{
    sim::Kernel kernel{sim::KernelOptions{.schedule = sim::Schedule::Random}};
    kernel.setRandomSwitchChance(0);  // priorities alone decide: the test thread takes over when it is due
    enum Stage { OwnCode, Calling, Waiting };
    static volatile Stage stage;
    static HANDLE go, child;
    static std::uint64_t spins;
    stage = Calling;
    spins = 0;
    child = nullptr;
    go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            child = CreateThread(
                nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
            for (;;) {
                if (stage == Calling) GetTickCount();  // every point it passes is a call's start
                if (stage == Waiting) {
                    WaitForSingleObject(go, INFINITE);
                    stage = OwnCode;
                }
                if (stage == OwnCode) ++spins, CePreemptionPoint();
            }
        },
        nullptr, 0, nullptr);
    kernel.setProcess(t, sim::Process::Application);
    EXPECT_TRUE(CeSetThreadPriority(t, 252));  // below this thread: it runs while this one sleeps
    Sleep(1);
    EXPECT_EQ(kernel.process(child), sim::Process::Application) << "a thread is of its creator's process";
    EXPECT_EQ(SuspendThread(t), 0xFFFFFFFFu) << "stopped at the start of a call";
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    stage = Waiting;
    Sleep(1);
    EXPECT_EQ(SuspendThread(t), 0xFFFFFFFFu) << "blocked in a wait";
    SetEvent(go);
    EXPECT_EQ(SuspendThread(t), 0xFFFFFFFFu) << "woken, not yet back from the wait";
    EXPECT_EQ(kernel.suspendCount(t), 0u);
    Sleep(1);
    ASSERT_GT(spins, 0u);
    EXPECT_EQ(SuspendThread(t), 0u) << "back in its own code after the call";
    const std::uint64_t frozen = spins;
    Sleep(5);
    EXPECT_EQ(spins, frozen);
    EXPECT_EQ(ResumeThread(t), 1u);
}

TEST(Kernel, InterruptFiringWhileMaskedIsDeliveredAtInterruptDoneOrUnmask)
{
    sim::Kernel kernel;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    kernel.raiseInterrupt(68);  // not initialised: lost
    ASSERT_TRUE(InterruptInitialize(68, event, nullptr, 0));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    kernel.raiseInterrupt(68);
    kernel.raiseInterrupt(68);  // masked: pending
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    InterruptDone(68);  // delivers the pending edge
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    InterruptDone(68);  // nothing pending: unmasked
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    kernel.raiseInterrupt(68);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(kernel.interruptsDelivered(68), 3u);

    // Masked by the driver, edges wait as for InterruptDone; unmasking
    // delivers one and keeps the line masked for it.
    InterruptDone(68);
    InterruptMask(68, TRUE);
    kernel.raiseInterrupt(68);
    kernel.raiseInterrupt(68);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    InterruptMask(68, FALSE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    kernel.raiseInterrupt(68);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    InterruptDone(68);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(kernel.interruptsDelivered(68), 5u);

    InterruptDone(68);
    InterruptDisable(68);
    kernel.raiseInterrupt(68);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(kernel.interruptInitialised(68));
}

struct LockTest {
    CRITICAL_SECTION section{};
    std::vector<std::string> order;
};

DWORD lockAndLog(LPVOID p)
{
    auto* t = static_cast<LockTest*>(p);
    EnterCriticalSection(&t->section);
    t->order.push_back("worker in @" + std::to_string(sim::Kernel::current().now() / 1000));
    LeaveCriticalSection(&t->section);
    return 0;
}

TEST(Kernel, ContendedCriticalSectionBlocksAndHandsOver)
{
    sim::Kernel kernel;
    LockTest t;
    InitializeCriticalSection(&t.section);
    EnterCriticalSection(&t.section);
    EnterCriticalSection(&t.section);  // recursive entry by the owner
    CreateThread(nullptr, 0, lockAndLog, &t, 0, nullptr);
    Sleep(50);  // the worker blocks on the section meanwhile
    t.order.push_back("main leaves @" + std::to_string(kernel.now() / 1000));
    LeaveCriticalSection(&t.section);
    EXPECT_EQ(t.section.OwnerThread, GetCurrentThreadId());
    LeaveCriticalSection(&t.section);  // the waiting worker takes it when it runs
    EXPECT_EQ(t.section.OwnerThread, 0u);
    Sleep(1);
    EXPECT_TRUE(TryEnterCriticalSection(&t.section));
    EXPECT_EQ(t.order, (std::vector<std::string>{"main leaves @50", "worker in @50"}));
    LeaveCriticalSection(&t.section);
}

// A thread wakes the processor each time it comes back from a blocking call
// it blocked in: a sleep, a wait that waited (signalled or timed out), a
// contended section. A call that does not block (a signalled event, a free
// section) wakes nobody. The switches to a thread count apart: a sleep that
// ends before anything else is due runs on without one.
TEST(Kernel, EveryReturnFromABlockingCallIsAWakeOfItsThread)
{
    sim::Kernel kernel;
    const HANDLE self = kernel.threadHandle(1);
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    LockTest t;
    InitializeCriticalSection(&t.section);
    const auto wakes = [&] { return kernel.activity(self).wakes; };

    const std::uint64_t start = wakes();
    EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);  // signalled: no block
    EnterCriticalSection(&t.section);                            // free
    LeaveCriticalSection(&t.section);
    EXPECT_EQ(wakes(), start);
    Sleep(10);
    EXPECT_EQ(wakes(), start + 1);
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT);
    EXPECT_EQ(wakes(), start + 2);
    kernel.after(5000, [event] { SetEvent(event); });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(wakes(), start + 3);

    // A worker blocks on the section the main thread holds: one wake when it
    // gets it, and a switch to it at its start and at that wake.
    EnterCriticalSection(&t.section);
    const HANDLE worker = CreateThread(nullptr, 0, lockAndLog, &t, 0, nullptr);
    Sleep(50);
    EXPECT_TRUE(kernel.activity(worker).blocked);
    EXPECT_EQ(kernel.activity(worker).wakes, 0u);
    EXPECT_EQ(kernel.activity(worker).switchesTo, 1u);
    LeaveCriticalSection(&t.section);
    Sleep(1);
    EXPECT_EQ(kernel.activity(worker).wakes, 1u);
    EXPECT_EQ(kernel.activity(worker).switchesTo, 2u);
    EXPECT_EQ(wakes(), start + 5);
    EXPECT_EQ(kernel.activity(self).switchesTo, 2u) << "the main thread's sleeps gave the processor away twice";
    EXPECT_EQ(WaitForSingleObject(worker, 0), WAIT_OBJECT_0);  // it ended: what it did comes before the test's end
}

// A user thread waiting on a section is making a kernel call: it cannot be
// suspended, and takes the section in its turn.
TEST(Kernel, AWaiterOnASectionCannotBeSuspendedAndTakesItInTurn)
{
    sim::Kernel kernel;
    LockTest t;
    InitializeCriticalSection(&t.section);
    EnterCriticalSection(&t.section);
    HANDLE first = CreateThread(nullptr, 0, lockAndLog, &t, 0, nullptr);
    kernel.setProcess(first, sim::Process::Application);
    Sleep(10);
    CreateThread(nullptr, 0, lockAndLog, &t, 0, nullptr);
    Sleep(10);
    EXPECT_EQ(SuspendThread(first), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    EXPECT_EQ(kernel.suspendCount(first), 0u);
    LeaveCriticalSection(&t.section);
    Sleep(1);
    EXPECT_TRUE(kernel.threadExited(first));
    EnterCriticalSection(&t.section);  // what the workers logged is seen through the section
    EXPECT_EQ(t.order, (std::vector<std::string>{"worker in @20", "worker in @20"}));
    LeaveCriticalSection(&t.section);
}

TEST(Kernel, ASuspensionStopsAHolderInsideTheSectionAndTheSystemsHandsItToAHeldWaiter)
{
    sim::Kernel kernel{sim::KernelOptions{.schedule = sim::Schedule::Random}};
    LockTest t;
    InitializeCriticalSection(&t.section);
    // A holder that runs its own code inside the section is stopped there.
    HANDLE holder = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* t = static_cast<LockTest*>(p);
            EnterCriticalSection(&t->section);
            for (;;) CePreemptionPoint();
        },
        &t, 0, nullptr);
    kernel.setProcess(holder, sim::Process::Application);
    CeSetThreadPriority(holder, 252);  // below this thread: it runs when this one sleeps
    while (t.section.OwnerThread == 0) Sleep(0);
    EXPECT_EQ(SuspendThread(holder), 0u);
    const sim::Micros stopped = kernel.lastRun(holder);
    Sleep(50);
    EXPECT_EQ(kernel.lastRun(holder), stopped) << "frozen, holding the section";
    EXPECT_EQ(t.section.OwnerThread, kernel.threadId(holder));

    // Released while its only waiter is held by the system's suspend, the
    // section goes to that waiter, which holds it, stopped, until the resume:
    // the harder of the two cases.
    LockTest w;
    InitializeCriticalSection(&w.section);
    EnterCriticalSection(&w.section);
    HANDLE waiter = CreateThread(nullptr, 0, lockAndLog, &w, 0, nullptr);
    Sleep(10);
    kernel.suspendSystem([] {});
    LeaveCriticalSection(&w.section);
    EXPECT_EQ(w.section.OwnerThread, kernel.threadId(waiter));
    EXPECT_FALSE(TryEnterCriticalSection(&w.section));
    EXPECT_TRUE(w.order.empty());
    kernel.resumeSystem([] {});
    Sleep(10);
    EXPECT_EQ(w.section.OwnerThread, 0u);
    EnterCriticalSection(&w.section);  // what the waiter logged is seen through the section
    LeaveCriticalSection(&w.section);
    EXPECT_EQ(w.order.size(), 1u);
}

TEST(Kernel, LastErrorIsKeptPerThread)
{
    sim::Kernel kernel;
    SetLastError(87);
    static DWORD seenInWorker;
    CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            seenInWorker = GetLastError();
            SetLastError(5);
            return 0;
        },
        nullptr, 0, nullptr);
    Sleep(1);
    EXPECT_EQ(seenInWorker, 0u);
    EXPECT_EQ(GetLastError(), 87u);
}

TEST(Kernel, LocalAllocZeroesAndFailsOnCountdown)
{
    sim::Kernel kernel;
    auto* p = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
    kernel.failAllocations(1, 2);
    void* ok = LocalAlloc(LPTR, 8);
    EXPECT_NE(ok, nullptr);
    EXPECT_EQ(LocalAlloc(LPTR, 8), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(LocalAlloc(LPTR, 8), nullptr);
    void* again = LocalAlloc(LPTR, 8);
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(kernel.liveAllocations(), 3u);
    for (void* q : {static_cast<void*>(p), ok, again}) EXPECT_EQ(LocalFree(q), nullptr);
    EXPECT_EQ(kernel.liveAllocations(), 0u);
}

TEST(Kernel, DebugOutputIsCapturedWithTimeThreadAndWindowsFormatRules)
{
    sim::Kernel kernel;
    Sleep(3);
    NKDbgPrintfW(TEXT("ERROR: %s line %d: "), TEXT("Valloc"), 45);
    NKDbgPrintfW(TEXT("size=0x%x, %S %c%c %05u|%-4d|\r\n"), 0x1000u, "narrow", u'o', u'k', 42u, -7);
    ASSERT_EQ(kernel.debugLog().size(), 2u);
    EXPECT_EQ(kernel.debugLog()[0].text, "ERROR: Valloc line 45: ");
    EXPECT_EQ(kernel.debugLog()[1].text, "size=0x1000, narrow ok 00042|-7  |\r\n");
    EXPECT_EQ(kernel.debugLog()[1].time, 3000u);
    EXPECT_EQ(kernel.debugLog()[1].threadId, 1u);
}

class Echo : public sim::Device {
public:
    bool refuse = false;
    int closes = 0;
    bool open(DWORD, DWORD, DWORD& error) override
    {
        error = ERROR_DEVICE_NOT_AVAILABLE;
        return !refuse;
    }
    BOOL ioControl(DWORD code, void*, DWORD, void* out, DWORD outSize, DWORD* returned) override
    {
        if (outSize < 4) return FALSE;
        *static_cast<DWORD*>(out) = code + 1;
        if (returned) *returned = 4;
        return TRUE;
    }
    void close() override { ++closes; }
};

TEST(Kernel, NamedDevicesOpenControlAndClose)
{
    sim::Kernel kernel;
    std::vector<std::string> reports;
    kernel.setVerifierHandler([&](const std::string& report) { reports.push_back(report); });
    Echo echo;
    kernel.addDevice(u"ECH0:", &echo);
    EXPECT_EQ(CreateFileW(TEXT("NONE:"), 0, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE h = CreateFileW(TEXT("ECH0:"), 0, 0, nullptr, 0, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD out = 0, got = 0;
    EXPECT_TRUE(DeviceIoControl(h, 41, nullptr, 0, &out, 4, &got, nullptr));
    EXPECT_EQ(out, 42u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(echo.closes, 1);
    EXPECT_FALSE(DeviceIoControl(h, 41, nullptr, 0, &out, 4, &got, nullptr));
    EXPECT_EQ(reports, (std::vector<std::string>{"handle used after CloseHandle (DeviceIoControl)"}));
    echo.refuse = true;
    EXPECT_EQ(CreateFileW(TEXT("ECH0:"), 0, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_AVAILABLE);
}

class Counter : public sim::RegisterDevice {
public:
    std::uint32_t value = 5;
    int bumps = 0;
    std::uint32_t read32(std::uint32_t offset) override { return offset == 4 ? value : 0xDEAD; }
    void write32(std::uint32_t offset, std::uint32_t v) override
    {
        if (offset == 4) value = v;
    }
    void beforeCompareExchange(std::uint32_t) override
    {
        if (bumps-- > 0) value += 100;  // another writer gets in first
    }
};

TEST(Kernel, RegisterAccessReachesTheDeviceBehindTheAddress)
{
    sim::Kernel kernel;
    alignas(8) ULONG window[4] = {};
    Counter dev;
    kernel.mapRegisters(window, sizeof window, &dev);
    EXPECT_EQ(READ_REGISTER_ULONG(&window[1]), 5u);
    WRITE_REGISTER_ULONG(&window[1], 9);
    EXPECT_EQ(dev.value, 9u);
    dev.bumps = 1;
    EXPECT_EQ(InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&window[1]), 1, 9), 109);
    EXPECT_EQ(dev.value, 109u);
    EXPECT_EQ(InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&window[1]), 1, 109), 109);
    EXPECT_EQ(dev.value, 1u);
    kernel.unmapRegisters(window);
    WRITE_REGISTER_ULONG(&window[1], 3);
    EXPECT_EQ(window[1], 3u);

    // With two windows mapped, memory outside both and memory between them
    // is plain memory, and unmapping one leaves the other's device reached.
    alignas(8) ULONG low[4] = {}, high[4] = {}, plain[2] = {};
    Counter lowDevice, highDevice;
    kernel.mapRegisters(low, sizeof low, &lowDevice);
    kernel.mapRegisters(high, sizeof high, &highDevice);
    EXPECT_EQ(InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&plain[1]), 7, 0), 0);
    EXPECT_EQ(plain[1], 7u);
    EXPECT_EQ(InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&window[1]), 7, 3), 3);
    EXPECT_EQ(window[1], 7u);
    EXPECT_EQ(InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&high[1]), 8, 5), 5);
    EXPECT_EQ(highDevice.value, 8u);
    kernel.unmapRegisters(low);
    WRITE_REGISTER_ULONG(&low[1], 4);
    EXPECT_EQ(low[1], 4u);
    EXPECT_EQ(lowDevice.value, 5u);
    WRITE_REGISTER_ULONG(&high[1], 6);
    EXPECT_EQ(highDevice.value, 6u);
    EXPECT_EQ(high[1], 0u);
    kernel.unmapRegisters(high);
}

// A shared value's every access is one point where another thread may run,
// its read-modify-writes included; a narrow field wraps at its own width, so
// that a compare-and-swap still finds the value it reads, and no 16- or 32-bit
// value comes back sign-extended.
TEST(Kernel, SharedValuesMakeOnePointAnAccessAndWrapAtTheirOwnWidth)
{
    sim::Kernel kernel({.seed = 1, .schedule = sim::Schedule::Random});
    Shared<std::uint8_t> count{255};
    Shared<std::uint16_t> half{0x8000};
    Shared<std::uint32_t> wide{0xFFFFFFFFu};
    int record = 0;
    Shared<int*> published{nullptr};
    const std::uint64_t start = kernel.preemptionPoints();

    EXPECT_EQ(count.fetchAdd(1), 255);
    std::uint8_t expected = 0;
    EXPECT_TRUE(count.compareExchange(expected, 7));
    EXPECT_EQ(count.exchange(0), 7);
    std::uint16_t seen = 0x8000;
    EXPECT_TRUE(half.compareExchange(seen, 0xFFFF));
    seen = 1;
    EXPECT_FALSE(half.compareExchange(seen, 2));
    EXPECT_EQ(seen, 0xFFFF);
    EXPECT_EQ(wide.fetchAdd(2), 0xFFFFFFFFu);
    EXPECT_EQ(wide.load(), 1u);
    published.store(&record, std::memory_order_release);
    EXPECT_EQ(published.load(std::memory_order_acquire), &record);
    EXPECT_EQ(published.exchange(nullptr), &record);
    EXPECT_EQ(kernel.preemptionPoints() - start, 10u);
}

// Five threads that sleep for varied short times: plenty of ties to break,
// and calls between the sleeps where the preemptive modes may switch.
std::vector<sim::TraceEntry> traceFor(std::uint64_t seed, sim::Schedule schedule = sim::Schedule::Cooperative)
{
    sim::KernelOptions options;
    options.seed = seed;
    options.schedule = schedule;
    options.traceSwitches = true;
    sim::Kernel kernel(options);
    for (int i = 0; i < 5; ++i)
        CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                const auto step = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(p));
                for (;;) {
                    for (int call = 0; call < 20; ++call) GetTickCount();
                    Sleep(step);
                }
            },
            reinterpret_cast<LPVOID>(static_cast<std::uintptr_t>(10 + 10 * (i % 2))), 0, nullptr);
    Sleep(1000);
    EXPECT_EQ(kernel.preemptionPoints() > 0, schedule != sim::Schedule::Cooperative);
    return kernel.trace();
}

bool sameTrace(const std::vector<sim::TraceEntry>& a, const std::vector<sim::TraceEntry>& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].time != b[i].time || a[i].kind != b[i].kind || a[i].threadId != b[i].threadId) return false;
    return true;
}

TEST(Kernel, SameSeedSameTraceAndSeedsBreakTiesDifferently)
{
    const auto first = traceFor(1);
    EXPECT_GT(first.size(), 300u);
    EXPECT_TRUE(sameTrace(first, traceFor(1)));
    bool anyDiffers = false;
    for (std::uint64_t seed = 2; seed < 6 && !anyDiffers; ++seed) anyDiffers = !sameTrace(first, traceFor(seed));
    EXPECT_TRUE(anyDiffers) << "ties between threads due at the same time should depend on the seed";

    // The preemptive modes switch inside the threads' runs too, and still
    // replay exactly from the seed and the mode.
    for (sim::Schedule mode : {sim::Schedule::Random, sim::Schedule::Pct}) {
        const auto preempted = traceFor(1, mode);
        EXPECT_GT(preempted.size(), first.size()) << sim::scheduleName(mode);
        EXPECT_TRUE(sameTrace(preempted, traceFor(1, mode))) << sim::scheduleName(mode);
        EXPECT_FALSE(sameTrace(preempted, traceFor(2, mode))) << sim::scheduleName(mode);
    }
    EXPECT_EQ(sim::parseSchedule("pct"), sim::Schedule::Pct);
    EXPECT_EQ(sim::parseSchedule("fast"), std::nullopt);
}

// A cancelled hardware event never runs; cancelling one that ran, or one
// cancelled already, touches no other, though the later event may be kept
// where the first was.
TEST(Kernel, ACancelledEventNeverRunsAndAStaleCancelTouchesNoOther)
{
    sim::Kernel kernel;
    std::string ran;
    const sim::Kernel::EventId a = kernel.after(1000, [&] { ran += 'a'; });
    const sim::Kernel::EventId b = kernel.after(2000, [&] { ran += 'b'; });
    kernel.cancel(b);
    Sleep(3);
    EXPECT_EQ(ran, "a");
    const sim::Kernel::EventId c = kernel.after(1000, [&] { ran += 'c'; });
    const sim::Kernel::EventId d = kernel.after(1500, [&] { ran += 'd'; });
    kernel.cancel(a);  // ran already
    kernel.cancel(b);  // cancelled already
    Sleep(2);
    EXPECT_EQ(ran, "acd");
    kernel.cancel(c);
    kernel.cancel(d);
    const sim::Kernel::EventId e = kernel.after(1000, [&] { ran += 'e'; });
    kernel.cancel(e);
    kernel.after(1000, [&] { ran += 'f'; });
    kernel.cancel(e);
    Sleep(2);
    EXPECT_EQ(ran, "acdf");
}

TEST(Kernel, AdvanceRunsDueHardwareEventsInsideTheRunningThread)
{
    sim::Kernel kernel;
    std::vector<sim::Micros> fired;
    kernel.after(100, [&] { fired.push_back(kernel.now()); });
    kernel.after(300, [&] { fired.push_back(kernel.now()); });
    kernel.advance(250);
    EXPECT_EQ(fired, (std::vector<sim::Micros>{100}));
    EXPECT_EQ(kernel.now(), 250u);
    const auto id = kernel.after(10, [&] { fired.push_back(0); });
    kernel.cancel(id);
    Sleep(1);
    EXPECT_EQ(fired, (std::vector<sim::Micros>{100, 300}));

    // Events due at a preemption point run in the preemptive modes only.
    kernel.atPoint(kernel.preemptionPoints() + 1, [&] { fired.push_back(1); });
    Sleep(1);
    EXPECT_EQ(fired.size(), 2u) << "no points in cooperative mode";
}

// Entries that are overtaken leave at once: the timeline holds the live ones
// only, and pops them in their total order whatever was removed around them.
TEST(Kernel, TheTimelineHoldsOnlyLiveEntriesAndPopsThemInOrder)
{
    sim::EntryQueue heap;
    std::set<std::tuple<sim::Micros, std::uint32_t, std::uint64_t, std::uint32_t>> live;  // time, tie, sequence, key
    std::vector<std::uint64_t> sequenceOf(64, 0);
    std::vector<bool> has(64, false);
    std::mt19937 draw(7);
    std::uint64_t sequence = 0;
    auto dropKey = [&](std::uint32_t key) {
        std::erase_if(live, [&](const auto& e) { return std::get<3>(e) == key; });
        has[key] = false;
    };
    for (int step = 0; step < 20'000; ++step) {
        const std::uint32_t key = draw() % 64;
        switch (draw() % 5) {
        case 0:
        case 1: {  // add, or replace the key's entry
            const sim::TimelineEntry e{draw() % 50, static_cast<std::uint32_t>(draw() % 4), key, sequence++, 0};
            heap.push(e);
            dropKey(key);
            live.emplace(e.time, e.tieBreak, e.sequence, key);
            has[key] = true;
            break;
        }
        case 3: {  // take the earliest out and put a new entry of a free key in its place
            if (live.empty() || has[key]) break;
            const sim::TimelineEntry e{draw() % 50, static_cast<std::uint32_t>(draw() % 4), key, sequence++, 0};
            const sim::TimelineEntry taken = heap.replaceTop(e);
            ASSERT_EQ(taken.sequence, std::get<2>(*live.begin()));
            dropKey(taken.key);
            live.emplace(e.time, e.tieBreak, e.sequence, key);
            has[key] = true;
            break;
        }
        case 2:
            heap.remove(key);
            dropKey(key);
            break;
        default:
            if (live.empty()) break;
            ASSERT_EQ(heap.top().sequence, std::get<2>(*live.begin()));
            dropKey(heap.top().key);
            heap.pop();
        }
        ASSERT_EQ(heap.size(), live.size());
        ASSERT_EQ(heap.firstTime(), live.empty() ? sim::EntryQueue::kNever : std::get<0>(*live.begin()));
        if (!live.empty()) {
            ASSERT_EQ(heap.top().sequence, std::get<2>(*live.begin())) << "step " << step;
        }
        ASSERT_EQ(heap.contains(key), has[key]);
    }

    // Through the kernel: a wait that ends early leaves no time-out behind,
    // and a cancelled hardware event leaves with its cancellation.
    sim::Kernel kernel;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    static HANDLE waitedOn;
    waitedOn = event;
    CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            for (;;) WaitForSingleObject(waitedOn, 60'000);
        },
        nullptr, 0, nullptr);
    for (int i = 0; i < 1000; ++i) {
        SetEvent(event);
        Sleep(1);
    }
    auto& timeline = sim::kernelImpl().timeline;
    EXPECT_EQ(timeline.wakes.size(), 1u) << "the waiter's one time-out";
    const std::size_t events = timeline.events.size();
    kernel.cancel(kernel.after(10, [] {}));
    EXPECT_EQ(timeline.events.size(), events);

    // A sleep that ends before every other entry runs on at once, without a
    // switch or a queued wake, yet draws its tie as a queued wake would, so
    // that later ties fall as before; hardware due at the very time the
    // sleep ends runs first, as the timeline orders it.
    const std::uint64_t switches = kernel.switches();
    sim::Random expected = kernel.random(sim::Stream::Scheduler);
    expected.next();
    const sim::Micros start = kernel.now();
    Sleep(1);
    EXPECT_EQ(kernel.now(), start + 1000);
    EXPECT_EQ(timeline.wakes.size(), 1u);
    sim::Random after = kernel.random(sim::Stream::Scheduler);
    EXPECT_EQ(after.next(), expected.next()) << "the sleep drew exactly one tie";
    bool ran = false;
    kernel.after(2000, [&] { ran = true; });
    Sleep(2);
    EXPECT_TRUE(ran) << "the event due with the wake runs before the sleeper";
    EXPECT_EQ(kernel.now(), start + 3000);
    EXPECT_EQ(kernel.switches(), switches);
}

TEST(Kernel, AnEventDueAtAPointRunsInsideTheThreadPassingIt)
{
    {
        sim::Kernel preemptive({.seed = 1, .schedule = sim::Schedule::Random});
        std::vector<std::uint64_t> points;
        preemptive.atPoint(preemptive.preemptionPoints() + 3, [&] { points.push_back(preemptive.preemptionPoints()); });
        const std::uint64_t start = preemptive.preemptionPoints();
        for (int i = 0; i < 5; ++i) GetTickCount();  // a system call: a point each
        EXPECT_EQ(points, (std::vector<std::uint64_t>{start + 3}));
    }

    // A point where no thread is due and no hardware event falls due costs
    // its fixed time and no draw; one next to a hardware event draws where
    // the event lands.
    for (sim::Schedule mode : {sim::Schedule::Random, sim::Schedule::Pct}) {
        sim::Kernel kernel({.seed = 3, .schedule = mode});
        GetTickCount();  // the first point marks pct's round
        const sim::Random before = kernel.random(sim::Stream::Scheduler);
        const sim::Micros from = kernel.now();
        for (int i = 0; i < 1000; ++i) GetTickCount();
        sim::Random untouched = before;
        EXPECT_EQ(kernel.random(sim::Stream::Scheduler).next(), untouched.next()) << sim::scheduleName(mode);
        EXPECT_EQ(kernel.now() - from, 2000u) << sim::scheduleName(mode);
        bool ran = false;
        kernel.after(1, [&] { ran = true; });
        const sim::Random beside = kernel.random(sim::Stream::Scheduler);
        GetTickCount();
        GetTickCount();
        sim::Random drawn = beside;
        EXPECT_TRUE(ran);
        EXPECT_NE(kernel.random(sim::Stream::Scheduler).next(), drawn.next()) << sim::scheduleName(mode);
    }
}

}  // namespace

namespace {

TEST(Kernel, PacedModeFollowsTheScaledWallClock)
{
    sim::KernelOptions options;
    options.paced = true;
    options.speed = 10.0;  // ten virtual seconds per wall second
    sim::Kernel kernel(options);
    const auto wall = std::chrono::steady_clock::now();
    Sleep(50);
    EXPECT_GE(std::chrono::steady_clock::now() - wall, std::chrono::milliseconds(5));
    EXPECT_EQ(kernel.now(), 50'000u);
}

}  // namespace

namespace {

TEST(Kernel, GuardedCallTurnsAFaultIntoFalse)
{
    sim::Kernel kernel;
    static int stores;
    stores = 0;
    EXPECT_TRUE(CeGuardedCall([](void* p) { *static_cast<int*>(p) = ++stores; }, &stores));
    EXPECT_EQ(stores, 1);
    EXPECT_FALSE(CeGuardedCall(
        [](void* p) {
            ++stores;
            *static_cast<volatile int*>(p) = 5;  // a caller's wild pointer
        },
        reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x10))));
    EXPECT_EQ(stores, 2) << "what ran before the fault stays done";
    EXPECT_TRUE(CeGuardedCall([](void*) {}, nullptr)) << "the guard is usable again after a fault";
}

}  // namespace

namespace {

TEST(Kernel, SpuriousInterruptsFollowTheLastSettingOnly)
{
    sim::Kernel kernel;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(InterruptInitialize(68, event, nullptr, 0));
    static HANDLE shared;
    shared = event;
    // An acknowledging handler, so every edge is delivered.
    CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            for (;;) {
                WaitForSingleObject(shared, INFINITE);
                InterruptDone(68);
            }
        },
        nullptr, 0, nullptr);
    kernel.setInterruptFaults(0, 10'000, 68);  // one edge per 10 ms on average
    kernel.setInterruptFaults(0, 0, 68);
    kernel.setInterruptFaults(0, 10'000, 68);  // switched off and on again: still one chain
    Sleep(100'000);
    const auto edges = kernel.interruptsDelivered(68);
    EXPECT_GT(edges, 8'000u);
    EXPECT_LT(edges, 12'000u) << "two chains would double the rate";
    kernel.setInterruptFaults(0, 0, 68);
    Sleep(1000);
    const auto after = kernel.interruptsDelivered(68);
    Sleep(10'000);
    EXPECT_EQ(kernel.interruptsDelivered(68), after);
    InterruptDisable(68);
}

#if defined(CORVANE_TSAN)
// The race detector sees two threads store one value with nothing ordering
// them: the switch from one to the other orders nothing by itself.
TEST(KernelDeathTest, TheRaceDetectorSeesStoresThatNothingOrders)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            static int shared;
            CreateThread(
                nullptr, 0,
                [](LPVOID) -> DWORD {
                    __tsan_write4(&shared);
                    return 0;
                },
                nullptr, 0, nullptr);
            Sleep(1);
            __tsan_write4(&shared);
            std::exit(0);
        },
        testing::ExitedWithCode(66), "ThreadSanitizer: data race");
}

// LocalFree frees where the sanitizer sees it: a thread that writes to the
// block afterwards, with nothing ordering the write after the free, is
// reported (the bus record's hazard at a power-up or an unload).
TEST(KernelDeathTest, TheRaceDetectorSeesAWriteToMemoryLocalFreeReleased)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            static void* block;
            block = LocalAlloc(LPTR, 16);
            CreateThread(
                nullptr, 0,
                [](LPVOID) -> DWORD {
                    Sleep(10);
                    __tsan_write4(block);
                    return 0;
                },
                nullptr, 0, nullptr);
            Sleep(1);
            LocalFree(block);
            Sleep(20);
            std::exit(0);
        },
        testing::ExitedWithCode(66), "ThreadSanitizer: heap-use-after-free");
}
#endif

}  // namespace
