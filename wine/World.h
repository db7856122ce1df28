// Inside the stand-in coredll.dll: what its system calls (SystemCalls.cpp)
// and its simulated device (Device.cpp) share.
#pragma once

#include <windows.h>

namespace standin {

// Everything simulated (band, chip, bus, register windows, interrupt) is
// touched under this one lock, by the device's own thread and by the calls.
class WorldLock {
public:
    WorldLock();
    ~WorldLock();
    WorldLock(const WorldLock&) = delete;
    WorldLock& operator=(const WorldLock&) = delete;
};

// Writes one line to the standard error stream, whole.
void logLine(const char* text);

// The devices a driver opens by name ("I2C1:", "UTL0:"); false for any other
// name or handle, which then go to Wine.
bool openDevice(LPCWSTR name, HANDLE& handle);
bool deviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     BOOL& result);
bool closeDevice(HANDLE handle);

// Counts kept by the system calls, for the host's snapshot.
void threadCounts(DWORD& created, DWORD& running);
// Returns of the driver's threads from Sleep and WaitForSingleObject: each a
// wake of the processor for the driver.
DWORD threadWakes();
DWORD debugLineCount();

}  // namespace standin
