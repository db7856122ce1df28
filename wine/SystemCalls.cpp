// The system calls of the stand-in coredll.dll: threads, events, waits,
// critical sections, errors and memory are Wine's own (a second, independent
// implementation of them, on real threads), with what Windows CE does
// differently: the driver's threads are kernel threads, which SuspendThread
// does not suspend, and thread priorities are on CE's scale of 256. The stand-in keeps the
// list of the threads the driver created, so the host can tell whether the
// unload ended every one. NKDbgPrintfW and the C library are here too.
#include "wine/StandIn.h"
#include "wine/World.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace standin {

struct ThreadRecord {
    HANDLE handle = nullptr;  // the stand-in's own handle: the driver may close its copy
    DWORD id = 0;
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    int cePriority = 251;  // THREAD_PRIORITY_NORMAL on CE's scale
};

// Returns from Sleep and WaitForSingleObject by the driver's threads.
volatile LONG gThreadWakes = 0;

namespace {

constexpr DWORD kMaxThreads = 64;
ThreadRecord gThreads[kMaxThreads];
DWORD gThreadCount = 0;
CRITICAL_SECTION gThreadLock;  // the list and every record's call state
CRITICAL_SECTION gOutputLock;  // whole lines on the standard error stream
CRITICAL_SECTION gDebugLock;   // the debug lines kept
std::vector<std::wstring>* gDebugLines = nullptr;
bool gEchoDebug = true;

struct Locked {
    explicit Locked(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
    ~Locked() { LeaveCriticalSection(&section_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    CRITICAL_SECTION& section_;
};

ThreadRecord* recordOf(HANDLE thread)
{
    const DWORD id = GetThreadId(thread);
    for (DWORD i = 0; i < gThreadCount; ++i)
        if (gThreads[i].id == id) return &gThreads[i];
    return nullptr;
}

DWORD WINAPI threadStart(LPVOID parameter)
{
    auto* record = static_cast<ThreadRecord*>(parameter);
    return record->start(record->parameter);
}

// CE's 256 levels onto Win32's seven: 248..255 are the classic levels (251
// normal); everything above them is real-time on CE, the highest here.
int win32Priority(int ce)
{
    if (ce < 248) return THREAD_PRIORITY_HIGHEST;
    static constexpr int kClassic[] = {
        THREAD_PRIORITY_TIME_CRITICAL, THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_NORMAL,
        THREAD_PRIORITY_BELOW_NORMAL,  THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_IDLE};
    return kClassic[ce - 248];
}

}  // namespace

void logLine(const char* text)
{
    Locked locked(gOutputLock);
    std::fputs(text, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void threadCounts(DWORD& created, DWORD& running)
{
    Locked locked(gThreadLock);
    created = gThreadCount;
    running = 0;
    for (DWORD i = 0; i < gThreadCount; ++i)
        if (WaitForSingleObject(gThreads[i].handle, 0) != WAIT_OBJECT_0) ++running;
}

// A return of the calling thread from a sleep or a wait: counted when the
// thread is one the driver created.
void countWake()
{
    const DWORD self = GetCurrentThreadId();
    Locked locked(gThreadLock);
    for (DWORD i = 0; i < gThreadCount; ++i)
        if (gThreads[i].id == self) {
            InterlockedIncrement(&gThreadWakes);
            return;
        }
}

DWORD threadWakes()
{
    return static_cast<DWORD>(gThreadWakes);
}

DWORD debugLineCount()
{
    Locked locked(gDebugLock);
    return static_cast<DWORD>(gDebugLines->size());
}

void initSystemCalls()
{
    InitializeCriticalSection(&gThreadLock);
    InitializeCriticalSection(&gOutputLock);
    InitializeCriticalSection(&gDebugLock);
    gDebugLines = new std::vector<std::wstring>();
}

}  // namespace standin

using namespace standin;

STANDIN_API DWORD StandInDebugCount(const wchar_t* text)
{
    Locked locked(gDebugLock);
    DWORD count = 0;
    for (const std::wstring& line : *gDebugLines)
        if (line.find(text) != std::wstring::npos) ++count;
    return count;
}

STANDIN_API void StandInEchoDebug(BOOL echo)
{
    gEchoDebug = echo != FALSE;
}

// ---- Threads -------------------------------------------------------------------

extern "C" HANDLE WINAPI StandIn_CreateThread(LPSECURITY_ATTRIBUTES attributes, DWORD stackSize,
                                              LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                              LPDWORD threadId)
{
    ThreadRecord* record;
    {
        Locked locked(gThreadLock);
        if (gThreadCount == kMaxThreads) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        record = &gThreads[gThreadCount];
        record->start = start;
        record->parameter = parameter;
        // Started held, so that the record is complete before the thread runs.
        DWORD id = 0;
        HANDLE thread = CreateThread(attributes, stackSize, threadStart, record, flags | CREATE_SUSPENDED, &id);
        if (thread == nullptr) return nullptr;
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &record->handle, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        record->id = id;
        ++gThreadCount;
        if (threadId != nullptr) *threadId = id;
        if ((flags & CREATE_SUSPENDED) == 0) ResumeThread(thread);
        return thread;
    }
}

// The driver is loaded in the kernel process, so its threads are kernel
// threads, and "calling SuspendThread on a kernel thread does not suspend the
// thread": the call fails (ERROR_NOT_SUPPORTED, as the simulated kernel
// answers) and says so, since a driver that counts on it freezes nothing.
// Threads of the host's own are Wine's to suspend.
extern "C" DWORD WINAPI StandIn_SuspendThread(HANDLE thread)
{
    Locked locked(gThreadLock);
    if (ThreadRecord* record = recordOf(thread)) {
        std::fprintf(stderr, "coredll stand-in: SuspendThread on thread %lu: it has no effect on a kernel thread\n",
                     static_cast<unsigned long>(record->id));
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0xFFFFFFFFu;
    }
    return SuspendThread(thread);
}

// A kernel thread is never suspended: resuming one changes nothing.
extern "C" DWORD WINAPI StandIn_ResumeThread(HANDLE thread)
{
    Locked locked(gThreadLock);
    if (recordOf(thread) != nullptr) return 0;
    return ResumeThread(thread);
}

extern "C" void WINAPI StandIn_ExitThread(DWORD code)
{
    ExitThread(code);
}

extern "C" BOOL WINAPI StandIn_CloseHandle(HANDLE object)
{
    if (closeDevice(object)) return TRUE;
    return CloseHandle(object);
}

extern "C" BOOL WINAPI StandIn_CeSetThreadPriority(HANDLE thread, int priority)
{
    if (priority < 0 || priority > 255) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    {
        Locked locked(gThreadLock);
        if (ThreadRecord* record = recordOf(thread)) record->cePriority = priority;
    }
    return SetThreadPriority(thread, win32Priority(priority));
}

extern "C" int WINAPI StandIn_CeGetThreadPriority(HANDLE thread)
{
    Locked locked(gThreadLock);
    ThreadRecord* record = recordOf(thread);
    return record != nullptr ? record->cePriority : 251;
}

// ---- Events, waits, critical sections --------------------------------------------

extern "C" HANDLE WINAPI StandIn_CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                                              LPCWSTR name)
{
    return CreateEventW(attributes, manualReset, initialState, name);
}

extern "C" BOOL WINAPI StandIn_SetEvent(HANDLE event)
{
    return SetEvent(event);
}

extern "C" DWORD WINAPI StandIn_WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    const DWORD result = WaitForSingleObject(object, milliseconds);
    countWake();
    return result;
}

extern "C" void WINAPI StandIn_Sleep(DWORD milliseconds)
{
    Sleep(milliseconds);
    countWake();
}

extern "C" DWORD WINAPI StandIn_GetTickCount()
{
    return GetTickCount();
}

extern "C" void WINAPI StandIn_InitializeCriticalSection(LPCRITICAL_SECTION section)
{
    InitializeCriticalSection(section);
}

extern "C" void WINAPI StandIn_DeleteCriticalSection(LPCRITICAL_SECTION section)
{
    DeleteCriticalSection(section);
}

extern "C" void WINAPI StandIn_EnterCriticalSection(LPCRITICAL_SECTION section)
{
    EnterCriticalSection(section);
}

extern "C" BOOL WINAPI StandIn_TryEnterCriticalSection(LPCRITICAL_SECTION section)
{
    return TryEnterCriticalSection(section);
}

extern "C" void WINAPI StandIn_LeaveCriticalSection(LPCRITICAL_SECTION section)
{
    LeaveCriticalSection(section);
}

// ---- Interlocked access ---------------------------------------------------------------

// Wine's own, on the real processor's atomic instructions.
extern "C" LONG WINAPI StandIn_InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand)
{
    return _InterlockedCompareExchange(target, exchange, comparand);
}

extern "C" LONG WINAPI StandIn_InterlockedExchange(LONG volatile* target, LONG value)
{
    return _InterlockedExchange(target, value);
}

extern "C" LONG WINAPI StandIn_InterlockedExchangeAdd(LONG volatile* target, LONG delta)
{
    return _InterlockedExchangeAdd(target, delta);
}

// ---- Errors and memory -------------------------------------------------------------

extern "C" void WINAPI StandIn_SetLastError(DWORD error)
{
    SetLastError(error);
}

extern "C" DWORD WINAPI StandIn_GetLastError()
{
    return GetLastError();
}

extern "C" HLOCAL WINAPI StandIn_LocalAlloc(UINT flags, SIZE_T bytes)
{
    return LocalAlloc(flags, bytes);
}

extern "C" HLOCAL WINAPI StandIn_LocalFree(HLOCAL memory)
{
    return LocalFree(memory);
}

// ---- Devices -------------------------------------------------------------------------

extern "C" HANDLE WINAPI StandIn_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                             DWORD creation, DWORD flags, HANDLE templateFile)
{
    HANDLE device;
    if (openDevice(name, device)) return device;
    return CreateFileW(name, access, share, attributes, creation, flags, templateFile);
}

extern "C" BOOL WINAPI StandIn_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                               DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped)
{
    BOOL result;
    if (deviceIoControl(device, code, in, inSize, out, outSize, returned, result)) return result;
    return DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
}

// ---- The kernel debug output ------------------------------------------------------------

// Wide format, C calling convention; %s is a wide string, as with
// Microsoft's wide formatting functions.
extern "C" void StandIn_NKDbgPrintfW(LPCWSTR format, ...)
{
    wchar_t text[512];
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, 511, format, args);
    va_end(args);
    text[511] = L'\0';
    std::wstring line(text);
    while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
    {
        Locked locked(gDebugLock);
        gDebugLines->push_back(line);
    }
    if (!gEchoDebug) return;
    char utf8[1024];
    const int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8, sizeof utf8 - 1, nullptr, nullptr);
    utf8[n > 0 ? n - 1 : 0] = '\0';
    logLine((std::string("  debug: ") + utf8).c_str());
}

// ---- The C library ----------------------------------------------------------------------

extern "C" void* StandIn_memcpy(void* destination, const void* source, size_t count)
{
    return std::memcpy(destination, source, count);
}

extern "C" void* StandIn_memset(void* destination, int value, size_t count)
{
    return std::memset(destination, value, count);
}

extern "C" size_t StandIn_strlen(const char* text)
{
    return std::strlen(text);
}
