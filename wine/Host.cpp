// The host program of make windows-test: the device manager, the power
// manager and the application around the shipped Corvane.dll, loaded with
// LoadLibrary under Wine beside the stand-in coredll.dll.
//
//   host.exe DLL            the check: load, read, serial requests, tune, the
//                           station's name and PI, a private command, a bad
//                           buffer, power down and up, unload, FreeLibrary
//   host.exe DLL SECONDS    the stress run: commands, power transitions,
//                           serial requests and reads on threads of their own
//
// Wine's exit code is not reliable once a process crashed, so the last line
// says how it went: "host verdict: PASS" or "host verdict: FAIL ...".
#include "wine/StandIn.h"

#include "driver/IoControlCodes.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace {

// A lock for the host's own threads (the cross compiler's C++ library here
// has no std::mutex).
class Lock {
public:
    Lock() { InitializeCriticalSection(&section_); }
    ~Lock() { DeleteCriticalSection(&section_); }
    void lock() { EnterCriticalSection(&section_); }
    void unlock() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};
using Guard = std::lock_guard<Lock>;

constexpr DWORD kDeviceContext = 0x1234;
constexpr DWORD kOpenContext = 0x5678;

// The stream entry points, looked up by name as the device manager does.
struct Driver {
    HMODULE module = nullptr;
    DWORD (*Init)(LPCWSTR) = nullptr;
    BOOL (*Deinit)(DWORD) = nullptr;
    DWORD (*Open)(DWORD, DWORD, DWORD) = nullptr;
    BOOL (*Close)(DWORD) = nullptr;
    DWORD (*Read)(DWORD, LPVOID, DWORD) = nullptr;
    DWORD (*Write)(DWORD, LPCVOID, DWORD) = nullptr;
    DWORD (*Seek)(DWORD, LONG, WORD) = nullptr;
    BOOL (*IOControl)(DWORD, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD) = nullptr;
    void (*PowerUp)(DWORD) = nullptr;
    void (*PowerDown)(DWORD) = nullptr;

    bool load(const std::wstring& path)
    {
        module = LoadLibraryW(path.c_str());
        if (module == nullptr) return false;
        bool all = true;
        auto bind = [&](auto& entry, const char* name) {
            entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(
                reinterpret_cast<void*>(GetProcAddress(module, name)));
            all = all && entry != nullptr;
        };
        bind(Init, "COM_Init");
        bind(Deinit, "COM_Deinit");
        bind(Open, "COM_Open");
        bind(Close, "COM_Close");
        bind(Read, "COM_Read");
        bind(Write, "COM_Write");
        bind(Seek, "COM_Seek");
        bind(IOControl, "COM_IOControl");
        bind(PowerUp, "COM_PowerUp");
        bind(PowerDown, "COM_PowerDown");
        return all;
    }

    BOOL control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned = nullptr)
    {
        DWORD ignored = 0;
        return IOControl(kOpenContext, code, static_cast<PBYTE>(const_cast<void*>(in)), inSize, static_cast<PBYTE>(out),
                         outSize, returned != nullptr ? returned : &ignored);
    }
    DWORD write(const std::string& text) { return Write(kOpenContext, text.data(), static_cast<DWORD>(text.size())); }
    // A command through the private request, which skips the "$PLTCM" prefix.
    void command(const std::string& text) { control(IOCTL_TMC_COMMAND, text.data(), DWORD(text.size()), nullptr, 0); }
};

Driver gDriver;

void say(const char* format, ...)
{
    static Lock lock;
    Guard guard(lock);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The stress run's choices: one generator a thread, all from the run's seed.
unsigned gSeed = 1;
struct Random {
    explicit Random(unsigned stream) : state(gSeed * 2654435761u + stream) {}
    unsigned below(unsigned bound)
    {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % bound;
    }
    unsigned state;
};

// "$" text "*" two lowercase hex digits: the XOR of every byte between.
bool wellFormed(const std::string& line)
{
    const std::size_t star = line.size() >= 4 ? line.size() - 3 : std::string::npos;
    if (line.empty() || line[0] != '$' || star == std::string::npos || line[star] != '*') return false;
    unsigned sum = 0;
    for (std::size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(line[i]);
    char expected[3];
    std::snprintf(expected, sizeof expected, "%02x", sum);
    return line.compare(star + 1, 2, expected) == 0;
}

// Reads the port on a thread of its own, as an application does, and sorts
// what it reads into lines. A line that lacks its "$" was cut at its start by
// the ring's overrun. A read takes at most 72 bytes, so a line may come in
// two reads; when a tune, a search or a power-up discards the queued output in
// between, the line's end is gone and the next "$" follows on the same line.
// Neither counts as broken, the second only within 3 s of such a request.
class PortReader {
public:
    void start() { thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr); }
    void stop()
    {
        stop_ = true;
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    // Waits for a whole line that begins with `prefix`, read after line
    // number `from`; returns its number plus one, or 0 on time-out.
    std::size_t waitFor(const std::string& prefix, DWORD milliseconds, std::size_t from = 0)
    {
        const DWORD start = GetTickCount();
        do {
            {
                Guard guard(lock_);
                for (std::size_t i = from; i < lines_.size(); ++i)
                    if (lines_[i].compare(0, prefix.size(), prefix) == 0) return i + 1;
            }
            Sleep(10);
        } while (GetTickCount() - start < milliseconds);
        return 0;
    }
    std::size_t count()
    {
        Guard guard(lock_);
        return lines_.size();
    }
    std::size_t countOf(const std::string& prefix)
    {
        Guard guard(lock_);
        std::size_t n = 0;
        for (const std::string& line : lines_) n += line.compare(0, prefix.size(), prefix) == 0;
        return n;
    }
    void expectDiscard() { lastDiscard_ = GetTickCount(); }
    std::atomic<bool> varySize{false};
    // The last lines read, for a failed check.
    void showLast(std::size_t n)
    {
        Guard guard(lock_);
        for (std::size_t i = lines_.size() > n ? lines_.size() - n : 0; i < lines_.size(); ++i)
            say("         read: %s", lines_[i].c_str());
    }

    std::atomic<unsigned> broken{0}, cutByOverrun{0}, cutByDiscard{0};
    std::string firstBroken;

private:
    static DWORD WINAPI run(LPVOID self)
    {
        static_cast<PortReader*>(self)->loop();
        return 0;
    }
    void loop()
    {
        std::string pending;
        char buffer[256];
        Random random(0);
        while (!stop_) {
            // Reads of every size in the stress run: a line may come in pieces.
            const DWORD n =
                gDriver.Read(kOpenContext, buffer, varySize ? 1 + random.below(sizeof buffer) : sizeof buffer);
            if (n == 0) {
                Sleep(5);
                continue;
            }
            pending.append(buffer, n);
            for (std::size_t end; (end = pending.find("\r\n")) != std::string::npos; pending.erase(0, end + 2))
                take(pending.substr(0, end));
        }
    }
    void take(std::string line)
    {
        for (std::size_t next; (next = line.find('$', 1)) != std::string::npos; line.erase(0, next)) {
            if (line[0] == '$' && GetTickCount() - lastDiscard_ < 3000)
                ++cutByDiscard;
            else
                judge(line.substr(0, next));
        }
        judge(line);
    }
    void judge(const std::string& line)
    {
        if (line.find('$') == std::string::npos) {
            ++cutByOverrun;
            return;
        }
        if (!wellFormed(line)) {
            if (broken++ == 0) firstBroken = line;
            return;
        }
        Guard guard(lock_);
        lines_.push_back(line.substr(0, line.size() - 3));
    }

    HANDLE thread_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<DWORD> lastDiscard_{0};
    Lock lock_;
    std::vector<std::string> lines_;  // whole sentences, without checksum
};

PortReader gReader;
unsigned gFailures = 0;

void check(bool ok, const char* what)
{
    say("%s %s", ok ? "  ok  " : "  FAIL", what);
    if (ok) return;
    ++gFailures;
    gReader.showLast(8);
}

StandInState snapshot()
{
    StandInState state{};
    StandInSnapshot(&state);
    return state;
}

void serialRequests()
{
    DCB dcb{};
    DWORD returned = 0;
    check(gDriver.control(IOCTL_SERIAL_GET_DCB, nullptr, 0, &dcb, sizeof dcb, &returned) && returned == sizeof dcb &&
              dcb.DCBlength == sizeof dcb && dcb.BaudRate == 256000 && dcb.ByteSize == 8,
          "IOCTL_SERIAL_GET_DCB: the port's defaults in a DCB");
    dcb.BaudRate = 115200;
    DCB back{};
    check(gDriver.control(IOCTL_SERIAL_SET_DCB, &dcb, sizeof dcb, nullptr, 0) &&
              gDriver.control(IOCTL_SERIAL_GET_DCB, nullptr, 0, &back, sizeof back) && back.BaudRate == 115200,
          "IOCTL_SERIAL_SET_DCB: kept and handed back");
    COMMTIMEOUTS timeouts{};
    check(gDriver.control(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts, sizeof timeouts) &&
              timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutConstant == 900,
          "IOCTL_SERIAL_GET_TIMEOUTS: the defaults in COMMTIMEOUTS");
    COMMPROP properties{};
    check(gDriver.control(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &properties, sizeof properties, &returned) &&
              returned == sizeof properties && properties.dwMaxTxQueue == 512 && properties.dwMaxBaud == BAUD_USER,
          "IOCTL_SERIAL_GET_PROPERTIES: a COMMPROP");
}

// A frequency's status line as the control loop reports it, RSSI included.
std::string statusOf(int frequency, int rssi)
{
    return "$PLTTQ," + std::to_string(frequency) + "," + std::to_string(rssi) + ",";
}

void runCheck()
{
    check(gReader.waitFor("$PXRFW,19,", 5000) && gReader.countOf("$PXRFW,19,") == 2,
          "COM_Read: the two firmware sentences (firmware 19, read from the chip)");
    check(gReader.waitFor("$PLTTQ,", 5000), "COM_Read: a tuning status line");
    serialRequests();

    gReader.expectDiscard();
    check(gDriver.write("$PLTCM,H2,9150\r\n") == 16, "COM_Write: a tune to 91.50 MHz taken");
    std::size_t at = gReader.waitFor("$PLTTQ,9150,2,0,0,6", 3000);
    check(at != 0, "the tune answered with its tuning-started line");
    check(gReader.waitFor(statusOf(9150, 45), 5000, at) != 0, "the status line of 91.50 MHz, with the station's RSSI");
    check(snapshot().chipFrequency == 9150, "the chip is on 91.50 MHz");
    check(gReader.waitFor("$PLTCH,\"WINE FM \"", 15000, at) != 0, "the station's name decoded from its groups");
    check(gReader.waitFor("$PLTMT,13,54177", 15000, at) != 0, "the station's PI (0xD3A1) confirmed");

    gDriver.command("$PLTCM,QFI,25");
    check(gReader.waitFor("$PXRQF,25,300,300,1", 2000) != 0, "IOCTL_TMC_COMMAND: a private command answered");

    // A wide string through the variable arguments of the debug output.
    const DWORD d4 = 4;
    gDriver.control(IOCTL_POWER_QUERY, nullptr, 0, const_cast<DWORD*>(&d4), sizeof d4);
    check(StandInDebugCount(L"Corvane::IOCTL_POWER_QUERYsucceeded") == 1,
          "IOCTL_POWER_QUERY: the driver's answer on the debug output");

    const DWORD faults = StandInDebugCount(L"exception in ioctl");
    DWORD returned = 0;
    gDriver.control(IOCTL_POWER_CAPABILITIES, nullptr, 0, reinterpret_cast<void*>(0x10), 48, &returned);
    check(StandInDebugCount(L"exception in ioctl") == faults + 1,
          "IOCTL_POWER_CAPABILITIES into a bad buffer: the fault caught by the guard");

    gReader.expectDiscard();
    gDriver.PowerDown(kDeviceContext);
    Sleep(1000);
    check(!snapshot().chipPoweredUp, "COM_PowerDown: the chip held in reset");
    const std::size_t beforeUp = gReader.count();
    gReader.expectDiscard();
    gDriver.PowerUp(kDeviceContext);
    check(gReader.waitFor(statusOf(9150, 45), 15000, beforeUp) != 0, "COM_PowerUp: back on 91.50 MHz, reporting");
    // The power manager's D3: the workers park and block until its D0,
    // waking nobody meanwhile.
    DWORD state = 3;
    gDriver.control(IOCTL_POWER_SET, nullptr, 0, &state, sizeof state);
    Sleep(500);
    const DWORD wakes = snapshot().threadWakes;
    Sleep(1500);
    check(!snapshot().chipPoweredUp && snapshot().threadWakes == wakes,
          "IOCTL_POWER_SET to D3: the chip held in reset, the parked workers wake nobody");
    const std::size_t beforeD0 = gReader.count();
    gReader.expectDiscard();
    state = 0;
    gDriver.control(IOCTL_POWER_SET, nullptr, 0, &state, sizeof state);
    check(gReader.waitFor(statusOf(9150, 45), 15000, beforeD0) != 0,
          "IOCTL_POWER_SET to D0: back on 91.50 MHz, reporting");
    const std::size_t afterUp = gReader.count();
    check(gDriver.write("$PLTCM,QFI,20\r\n") == 15 && gReader.waitFor("$PXRQF,20,300,300,1", 3000, afterUp) != 0,
          "after the power-up a command written is answered");
    // The next station up is the only one above with a carrier: the chip's
    // seek (STC and the interrupt) stops there, and the search reports it.
    const std::size_t beforeSearch = gReader.count();
    gReader.expectDiscard();
    gDriver.write("$PLTCM,+\r\n");
    check(gReader.waitFor(statusOf(10370, 38), 20000, beforeSearch) != 0,
          "a search up: the chip's seek stops on 103.70 MHz, reported");
    say("  read %u sentences, %u TMC groups, %u interrupts", unsigned(gReader.count()),
        unsigned(gReader.countOf("$PLTTM,")), unsigned(snapshot().interrupts));
}

// The stress run's activities, each on a thread of its own until `stop`.
std::atomic<bool> gStop{false};
std::atomic<unsigned> gCommands{0}, gPowerCycles{0}, gSerialRequests{0};

DWORD WINAPI commander(LPVOID)
{
    static const char* const kCommands[] = {
        "$PLTCM,H2,9150\r\n", "$PLTCM,H2,10370\r\n",  "$PLTCM,H2,8850\r\n", "$PLTCM,+\r\n",      "$PLTCM,-\r\n",
        "$PLTCM,X\r\n",       "$PLTCM,REQ,8193\r\n",  "$PLTCM,QFI,22\r\n",  "$PLTCM,F,1015\r\n", "$PLTCM,A2\r\n",
        "$PLTCM,V\r\n",       "$PLTCM,RFA,65535\r\n", "$PLTCM,B,0\r\n",     "$PLTCM,S2,9150\r\n"};
    Random random(1);
    while (!gStop) {
        const char* text = kCommands[random.below(sizeof kCommands / sizeof *kCommands)];
        gReader.expectDiscard();
        if (random.below(3) == 0)
            gDriver.command(text);
        else
            gDriver.write(text);
        ++gCommands;
        Sleep(300 + random.below(2700));
    }
    return 0;
}

DWORD WINAPI powerManager(LPVOID)
{
    Random random(2);
    while (!gStop) {
        Sleep(4000 + random.below(8000));
        const unsigned how = random.below(3);
        const DWORD down = 4, up = 0;
        const BYTE suspend = 2, resume = 1;
        if (how == 0) gDriver.PowerDown(kDeviceContext);
        if (how == 1) gDriver.control(IOCTL_POWER_SET, nullptr, 0, const_cast<DWORD*>(&down), sizeof down);
        if (how == 2) gDriver.control(IOCTL_TMC_SUSPEND_RESUME, &suspend, 1, nullptr, 0);
        Sleep(100 + random.below(1500));
        gReader.expectDiscard();
        if (how == 0) gDriver.PowerUp(kDeviceContext);
        if (how == 1) gDriver.control(IOCTL_POWER_SET, nullptr, 0, const_cast<DWORD*>(&up), sizeof up);
        if (how == 2) gDriver.control(IOCTL_TMC_SUSPEND_RESUME, &resume, 1, nullptr, 0);
        gReader.expectDiscard();
        ++gPowerCycles;
    }
    return 0;
}

DWORD WINAPI serialClient(LPVOID)
{
    while (!gStop) {
        DCB dcb{};
        COMMTIMEOUTS timeouts{};
        COMMPROP properties{};
        gDriver.control(IOCTL_SERIAL_GET_DCB, nullptr, 0, &dcb, sizeof dcb);
        gDriver.control(IOCTL_SERIAL_SET_DCB, &dcb, sizeof dcb, nullptr, 0);
        gDriver.control(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts, sizeof timeouts);
        gDriver.control(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &properties, sizeof properties);
        gSerialRequests += 4;
        Sleep(100);
    }
    return 0;
}

void runStress(DWORD seconds)
{
    say("  stress: %lu s, seed %u", static_cast<unsigned long>(seconds), gSeed);
    StandInEchoDebug(FALSE);
    gReader.varySize = true;
    // Every group raw as well: a sentence for each group, the ring under load.
    gDriver.command("$PLTCM,RFA,65535");
    gDriver.command("$PLTCM,RFB,65535");
    HANDLE threads[] = {CreateThread(nullptr, 0, commander, nullptr, 0, nullptr),
                        CreateThread(nullptr, 0, powerManager, nullptr, 0, nullptr),
                        CreateThread(nullptr, 0, serialClient, nullptr, 0, nullptr)};
    for (DWORD elapsed = 0; elapsed < seconds;) {
        const DWORD step = std::min<DWORD>(30, seconds - elapsed);
        Sleep(step * 1000);
        elapsed += step;
        say("  %3lu s: %u sentences, %u commands, %u power cycles, %u broken", static_cast<unsigned long>(elapsed),
            unsigned(gReader.count()), unsigned(gCommands), unsigned(gPowerCycles), unsigned(gReader.broken));
    }
    gStop = true;
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    // Whatever the power manager left, the driver is running when unloaded.
    gDriver.PowerUp(kDeviceContext);
    check(gReader.count() > seconds, "sentences kept coming");
    say("  %u sentences whole, %u cut by an overrun, %u cut by a discard; %u commands, %u power cycles,"
        " %u serial requests, %u debug lines",
        unsigned(gReader.count()), unsigned(gReader.cutByOverrun), unsigned(gReader.cutByDiscard), unsigned(gCommands),
        unsigned(gPowerCycles), unsigned(gSerialRequests), unsigned(snapshot().debugLines));
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: host.exe PATH-TO-Corvane.dll [STRESS-SECONDS]\n");
        return 2;
    }
    std::wstring path = argv[1];
    if (!path.empty() && path[0] == L'/') path = L"Z:" + path;  // a Unix path, through Wine's drive Z:
    const DWORD stressSeconds = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 0;
    gSeed = GetTickCount();

    StandInStart();
    check(gDriver.load(path), "LoadLibrary: Corvane.dll loaded, its ten entry points found");
    if (gFailures != 0) {
        say("host verdict: FAIL (the DLL did not load)");
        return 1;
    }
    const DWORD started = GetTickCount();
    check(gDriver.Init(L"Drivers\\Active\\42") == kDeviceContext, "COM_Init: the device context");
    say("  COM_Init took %lu ms", static_cast<unsigned long>(GetTickCount() - started));
    check(snapshot().threadsCreated == 4, "four worker threads started");
    check(gDriver.Open(kDeviceContext, GENERIC_READ | GENERIC_WRITE, 0) == kOpenContext, "COM_Open");
    gReader.start();

    if (stressSeconds > 0)
        runStress(stressSeconds);
    else
        runCheck();

    gReader.stop();
    check(gReader.broken == 0, "every sentence read whole, with its checksum");
    if (gReader.broken != 0) say("  first broken line: %s", gReader.firstBroken.c_str());
    check(gDriver.Close(kOpenContext) != FALSE, "COM_Close");
    const DWORD unloading = GetTickCount();
    check(gDriver.Deinit(kDeviceContext) != FALSE, "COM_Deinit returned TRUE");
    const StandInState after = snapshot();
    say("  COM_Deinit took %lu ms; driver threads: %lu created, %lu still running",
        static_cast<unsigned long>(GetTickCount() - unloading), static_cast<unsigned long>(after.threadsCreated),
        static_cast<unsigned long>(after.threadsRunning));
    check(after.threadsRunning == 0, "COM_Deinit: every thread the driver created has ended");
    check(after.busOpen == 0 && after.windowsMapped == 0, "COM_Deinit: the bus closed, the register windows freed");
    check(after.busViolations == 0, "the chip saw no malformed transfer");
    check(FreeLibrary(gDriver.module) != FALSE, "FreeLibrary");
    Sleep(2000);
    say("  the process is alive 2 s after FreeLibrary");
    StandInStop();
    if (gFailures == 0)
        say("host verdict: PASS");
    else
        say("host verdict: FAIL (%u checks)", gFailures);
    return gFailures == 0 ? 0 : 1;
}
