// The simulated kernel against Windows CE 6.0's documented behaviour, one
// object kind a test, and the verifier's reports of what CE leaves undefined.
#include "sim/kernel/Kernel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A kernel whose verifier reports are collected instead of ending the run.
struct Verified {
    sim::Kernel kernel;
    std::vector<std::string> reports;
    std::uint64_t seen = 0;
    explicit Verified(sim::Schedule schedule = sim::Schedule::Cooperative)
        : kernel(sim::KernelOptions{.schedule = schedule})
    {
        kernel.setVerifierHandler([this](const std::string& report) {
            reports.push_back(report);
            ++seen;
        });
    }
    // Every report is counted: a run's report count is what tells a campaign it failed.
    ~Verified() { EXPECT_EQ(kernel.verifierReports(), seen); }
    // The reports since the last call.
    std::vector<std::string> take() { return std::exchange(reports, {}); }
};

struct Waiter {
    HANDLE object;
    DWORD timeout;
    DWORD result = 0;
    sim::Micros endedAt = 0;
    std::string* order = nullptr;
    char name = '?';
};

DWORD waitOnce(LPVOID p)
{
    auto* w = static_cast<Waiter*>(p);
    w->result = WaitForSingleObject(w->object, w->timeout);
    w->endedAt = sim::Kernel::current().now();
    if (w->order != nullptr) *w->order += w->name;
    return 0;
}

HANDLE startWaiter(Waiter& w, int priority)
{
    HANDLE t = CreateThread(nullptr, 0, waitOnce, &w, 0, nullptr);
    CeSetThreadPriority(t, priority);
    return t;
}

// WaitForSingleObject and the event calls.
TEST(CeConformance, EventsAndWaits)
{
    Verified v;
    // "If dwMilliseconds is zero, the function tests the object's state and
    // returns immediately": an auto-reset event is consumed by the test.
    HANDLE autoReset = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_TIMEOUT);

    // One SetEvent releases one waiter of an auto-reset event, the one of
    // highest priority first, then the longest waiting among equals; a
    // manual-reset event releases all and stays set until reset.
    std::string order;
    Waiter low{autoReset, INFINITE, 0, 0, &order, 'L'}, high{autoReset, INFINITE, 0, 0, &order, 'H'},
        high2{autoReset, INFINITE, 0, 0, &order, 'h'};
    startWaiter(low, 200);
    Sleep(1);
    startWaiter(high, 100);
    Sleep(1);
    startWaiter(high2, 100);
    Sleep(1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(SetEvent(autoReset));
        Sleep(1);
    }
    EXPECT_EQ(order, "HhL");
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_TIMEOUT) << "each set was taken by one waiter";
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Waiter m1{manual, INFINITE}, m2{manual, INFINITE};
    startWaiter(m1, 150);
    startWaiter(m2, 150);
    Sleep(1);
    EXPECT_TRUE(SetEvent(manual));
    Sleep(1);
    EXPECT_EQ(m1.result, WAIT_OBJECT_0);
    EXPECT_EQ(m2.result, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    // "If an event handle is closed after WaitForSingleObject is called, it
    // will never be signaled and only return after timeout has expired": a
    // verifier failure, and the wait times out.
    HANDLE closing = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Waiter left{closing, 5000};
    startWaiter(left, 150);
    Sleep(1);
    const sim::Micros closedAt = v.kernel.now();
    EXPECT_TRUE(CloseHandle(closing));
    EXPECT_EQ(v.take(),
              (std::vector<std::string>{"handle closed while thread 7 waits on it: the wait can only time out"}));
    Sleep(6000);
    EXPECT_EQ(left.result, WAIT_TIMEOUT);
    EXPECT_EQ(left.endedAt, closedAt - 1000 + 5'000'000);

    // A wait on a closed or an invalid handle fails at once; only the closed
    // one is the program's error.
    EXPECT_EQ(WaitForSingleObject(closing, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(v.take(), (std::vector<std::string>{"handle used after CloseHandle (WaitForSingleObject)"}));
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7FF0), 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(closing));
    EXPECT_EQ(v.take(), (std::vector<std::string>{"handle closed twice"}));
    EXPECT_TRUE(v.reports.empty());
}

// SuspendThread, ResumeThread, priorities and waits on thread handles.
TEST(CeConformance, Threads)
{
    Verified v;
    static int ticks;
    ticks = 0;
    const auto tick = [](LPVOID) -> DWORD {
        for (;;) ++ticks, Sleep(10);
    };
    // The driver's workers and this thread are of the kernel process: "calling
    // SuspendThread on a kernel thread does not suspend the thread". The call
    // fails with ERROR_NOT_SUPPORTED, the verifier says so, ResumeThread
    // changes nothing, and the thread runs on.
    HANDLE kernelThread = CreateThread(nullptr, 0, tick, nullptr, 0, nullptr);
    Sleep(25);
    EXPECT_EQ(SuspendThread(kernelThread), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(v.take(), (std::vector<std::string>{"SuspendThread on thread 2: it has no effect on a kernel thread"}));
    EXPECT_EQ(ResumeThread(kernelThread), 0u);
    const int before = ticks;
    Sleep(50);
    EXPECT_EQ(ticks, before + 5);
    EXPECT_EQ(v.kernel.suspendCount(kernelThread), 0u);

    // An application's thread is a user thread. Making a kernel call (here a
    // sleep) it cannot be suspended: ERROR_BUSY, to be tried again. Created
    // suspended it is in its own code: "the previous suspend count indicates
    // success"; the count stops at MAXIMUM_SUSPEND_COUNT (127) with an error
    // and no increment.
    const DWORD thisThread = GetCurrentThreadId();
    HANDLE sleeper = CreateThread(nullptr, 0, tick, nullptr, 0, nullptr);
    v.kernel.setProcess(sleeper, sim::Process::Application);
    Sleep(5);
    EXPECT_EQ(SuspendThread(sleeper), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    constexpr DWORD kCreateSuspended = 0x4;
    HANDLE t = CreateThread(nullptr, 0, tick, nullptr, kCreateSuspended, nullptr);
    v.kernel.setProcess(t, sim::Process::Application);
    EXPECT_EQ(v.kernel.process(t), sim::Process::Application);
    EXPECT_EQ(v.kernel.process(v.kernel.threadHandle(thisThread)), sim::Process::Kernel);
    for (DWORD i = 1; i < 127; ++i) ASSERT_EQ(SuspendThread(t), i);
    EXPECT_EQ(SuspendThread(t), 0xFFFFFFFFu);
    EXPECT_EQ(v.kernel.suspendCount(t), 127u);
    // ResumeThread returns the previous count; 0: it was not suspended.
    ticks = 0;
    for (DWORD i = 127; i > 1; --i) ASSERT_EQ(ResumeThread(t), i);
    Sleep(25);
    const int sleeperOnly = ticks;
    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(ResumeThread(t), 0u);
    ticks = 0;
    Sleep(25);
    EXPECT_GT(ticks, sleeperOnly) << "both tick once the count is 0";
    EXPECT_TRUE(v.reports.empty());

    // Priorities 0 to 255; another value fails with the parameter error.
    EXPECT_FALSE(CeSetThreadPriority(t, 256));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CeSetThreadPriority(reinterpret_cast<HANDLE>(0x7FF0), 100));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // A thread handle is signalled when the thread ends.
    HANDLE quick = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return Sleep(30), 0; }, nullptr, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(quick, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(quick, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(v.kernel.now() % 1000, 0u);
    EXPECT_TRUE(v.kernel.threadExited(quick));
    EXPECT_TRUE(v.reports.empty());
}

// Critical sections: recursion, TryEnter, and what CE leaves undefined.
TEST(CeConformance, CriticalSections)
{
    Verified v;
    CRITICAL_SECTION section{};
    EnterCriticalSection(&section);
    EXPECT_EQ(v.take(), (std::vector<std::string>{
                            "critical section used before InitializeCriticalSection (EnterCriticalSection)"}));
    LeaveCriticalSection(&section);

    InitializeCriticalSection(&section);
    // The owner may enter again; it must leave as often.
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    EXPECT_EQ(section.RecursionCount, 2u);
    static CRITICAL_SECTION* shared;
    static BOOL triedFromOther;
    shared = &section;
    CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            triedFromOther = TryEnterCriticalSection(shared);
            LeaveCriticalSection(shared);  // not the owner
            return 0;
        },
        nullptr, 0, nullptr);
    Sleep(1);
    EXPECT_FALSE(triedFromOther);
    EXPECT_EQ(v.take(), (std::vector<std::string>{"critical section left by thread 2, which does not own it"}));
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    EXPECT_EQ(section.OwnerThread, 0u);

    // Deleted while held; then used after deletion.
    EnterCriticalSection(&section);
    DeleteCriticalSection(&section);
    EXPECT_EQ(v.take(), (std::vector<std::string>{"critical section deleted while thread 1 holds it"}));
    EnterCriticalSection(&section);
    EXPECT_EQ(v.take(),
              (std::vector<std::string>{"critical section used after DeleteCriticalSection (EnterCriticalSection)"}));
    LeaveCriticalSection(&section);

    // A thread that ends inside a section leaves its waiters waiting.
    CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            EnterCriticalSection(shared);
            return 0;
        },
        nullptr, 0, nullptr);
    Sleep(1);
    EXPECT_EQ(v.take(),
              (std::vector<std::string>{"thread 3 exits holding 1 critical section(s): their waiters wait for ever"}));

    // Deleted while another thread waits for it.
    static CRITICAL_SECTION other;
    InitializeCriticalSection(&other);
    EnterCriticalSection(&other);
    CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            EnterCriticalSection(&other);
            return 0;
        },
        nullptr, 0, nullptr);
    Sleep(1);
    DeleteCriticalSection(&other);
    EXPECT_EQ(v.take(), (std::vector<std::string>{"critical section deleted while thread 1 holds it",
                                                  "critical section deleted while thread 4 waits for it"}));
}

// InterruptInitialize, InterruptDone, InterruptDisable and the interrupt
// event's single waiter.
TEST(CeConformance, Interrupts)
{
    Verified v;
    // "If you use hEvent in a call to WaitForSingleObject before you call
    // InterruptInitialize, InterruptInitialize fails."
    HANDLE used = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(used, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(InterruptInitialize(68, used, nullptr, 0));
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(InterruptInitialize(68, event, nullptr, 0));
    EXPECT_FALSE(InterruptInitialize(68, CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr, 0))
        << "one event per interrupt";

    // "Two threads are waiting on the same interrupt event": the second wait fails.
    Waiter first{event, 1000}, second{event, 1000};
    startWaiter(first, 150);
    Sleep(1);
    startWaiter(second, 150);
    Sleep(1);
    EXPECT_EQ(second.result, WAIT_FAILED);
    v.kernel.raiseInterrupt(68);
    Sleep(1);
    EXPECT_EQ(first.result, WAIT_OBJECT_0);

    // Masked from delivery to InterruptDone; SetEvent still simulates one.
    v.kernel.raiseInterrupt(68);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "masked: kept pending";
    InterruptDone(68);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    InterruptDone(68);
    InterruptDisable(68);
    v.kernel.raiseInterrupt(68);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(InterruptInitialize(68, CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr, 0))
        << "free again after InterruptDisable";
    InterruptDisable(68);
    EXPECT_TRUE(v.reports.empty());
}

// LocalAlloc and LocalFree.
TEST(CeConformance, LocalMemory)
{
    Verified v;
    void* block = LocalAlloc(LPTR, 12);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(LocalFree(block), nullptr) << "NULL on success";
    EXPECT_EQ(LocalFree(block), block) << "the block back on failure";
    EXPECT_EQ(v.take(), (std::vector<std::string>{"memory freed twice (LocalFree)"}));
    int notFromLocalAlloc = 0;
    EXPECT_EQ(LocalFree(&notFromLocalAlloc), &notFromLocalAlloc);
    EXPECT_EQ(v.take(), (std::vector<std::string>{"memory freed that LocalAlloc did not allocate (LocalFree)"}));
    EXPECT_EQ(LocalFree(nullptr), nullptr);
    EXPECT_EQ(v.kernel.liveAllocations(), 0u);
}

// The kernel's power handlers: not preemptible, and no system call but debug
// output and SetInterruptEvent; every other thread stands still between the
// suspend and the resume.
TEST(CeVerifier, PowerHandlersMakeNoSystemCallsAndTheSystemStandsStill)
{
    Verified v{sim::Schedule::Random};
    static int ticks;
    ticks = 0;
    CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            for (;;) ++ticks, Sleep(10);
        },
        nullptr, 0, nullptr);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(InterruptInitialize(70, event, nullptr, 0));
    Sleep(100);
    v.kernel.suspendSystem([] { NKDbgPrintfW(TEXT("going down\r\n")); });
    EXPECT_TRUE(v.reports.empty()) << "debug output is allowed";
    const int frozenAt = ticks;
    Sleep(1000);
    EXPECT_EQ(ticks, frozenAt) << "no thread runs while the system is suspended";
    v.kernel.resumeSystem([] {
        SetInterruptEvent(70);
        SuspendThread(nullptr);  // planted: a system call
    });
    EXPECT_EQ(v.take(), (std::vector<std::string>{
                            "system call in a power handler: the system halts (SuspendThread in COM_PowerUp)"}));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "SetInterruptEvent set the event";
    Sleep(100);
    EXPECT_GT(ticks, frozenAt) << "running again after the resume";
    InterruptDisable(70);
}

TEST(CeVerifier, AThreadThatRunsAfterItsModuleWasUnloaded)
{
    Verified v;
    HANDLE late = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return Sleep(500), 0; }, nullptr, 0, nullptr);
    HANDLE done = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    Sleep(1);
    v.kernel.moduleUnloaded({v.kernel.threadId(late), v.kernel.threadId(done)});
    Sleep(100);
    EXPECT_TRUE(v.reports.empty()) << "an ended thread, or one that has not woken yet, is no report";
    Sleep(500);
    EXPECT_EQ(v.take(), (std::vector<std::string>{"thread 2 ran after COM_Deinit returned: its code is unloaded"}));
}

}  // namespace
