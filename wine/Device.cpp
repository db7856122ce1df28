// The device behind the stand-in coredll.dll: what a Windows CE device adds
// to Win32, in real time. The register windows that VirtualCopy binds (the
// timer's free-running counter and the clock-rate word, the GPIO lines to the
// chip), the tuner interrupt tied to the driver's event, the I2C bus driver
// "I2C1:" and the utility driver "UTL0:", and on the bus the Si4709 listening
// to a small FM band. The chip, the band and the bus driver are the
// simulation's own (sim/si4709, sim/band, sim/i2c, and sim/soc's GPIO
// window for the lines), run here by a device thread on the real clock.
#include "wine/StandIn.h"
#include "wine/World.h"

#include "platform/BusTypes.h"
#include "platform/RegisterWindowTable.h"
#include "sim/band/Band.h"
#include "sim/band/RdsGenerator.h"
#include "sim/i2c/I2CBus.h"
#include "sim/si4709/Si4709.h"
#include "sim/soc/GpioWindow.h"

#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace standin {

void initSystemCalls();

namespace {
CRITICAL_SECTION gWorld;
}  // namespace

WorldLock::WorldLock()
{
    EnterCriticalSection(&gWorld);
}

WorldLock::~WorldLock()
{
    LeaveCriticalSection(&gWorld);
}

namespace {

// The timer counts at half the clock rate the clock window reports.
constexpr std::uint32_t kClockRate = 12'000'000;
constexpr std::uint32_t kCounterTicksPerMicro = kClockRate / 2 / 1'000'000;
constexpr std::uint32_t kTimerCounterOffset = 0x34;
constexpr std::uint32_t kClockRateOffset = 0xA10;
constexpr std::uint32_t kGpioWatched[] = {sim::kGpioPadSelect, sim::kGpioBusModeControl, sim::kGpioResetControl};
constexpr DWORD kChipAddress = 0x10;
constexpr DWORD kUtlContext = 0x7100;

// One register window bound into a driver's address space.
struct Mapping {
    void* reservation;   // what VirtualFree releases
    std::uint32_t base;  // the window's physical base
    volatile BYTE* registers;
};

// A utility driver "UTL0:" whose map routine binds a window as VirtualCopy does.
class UtilityDriver final : public sim::Device {
public:
    BOOL ioControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) override;
};

struct World {
    sim::Kernel kernel;
    sim::Band band;
    sim::Si4709 chip{kernel, band};
    sim::I2CBus bus{kernel};
    UtilityDriver utility;
    std::unique_ptr<sim::GpioWindow> gpio;
    std::vector<Mapping> mappings;
    std::uint32_t gpioSeen[3] = {};
    std::map<HANDLE, sim::Device*> openDevices;
    // The tuner interrupt: the event it sets, masked from delivery until the
    // driver's InterruptDone, and an edge kept for then.
    HANDLE interruptEvent = nullptr;
    bool interruptMasked = false;
    bool interruptPending = false;
    DWORD interruptsDelivered = 0;
    bool stop = false;
};

World* gWorldState = nullptr;
HANDLE gDeviceThread = nullptr;

World& world()
{
    return *gWorldState;
}

const RegisterWindow* windowAtPage(std::uintptr_t pageBase)
{
    for (const RegisterWindow& window : kRegisterWindows)
        if ((window.base & ~0xFFFu) == pageBase) return &window;
    return nullptr;
}

volatile ULONG* registerAt(unsigned window, std::uint32_t offset)
{
    for (const Mapping& m : world().mappings)
        if (m.base == kRegisterWindows[window].base) return reinterpret_cast<volatile ULONG*>(m.registers + offset);
    return nullptr;
}

// Commits the reserved range as the window's registers. Under the world lock.
bool bindWindow(void* reservation, std::uintptr_t pageBase, DWORD size)
{
    const RegisterWindow* window = windowAtPage(pageBase);
    if (window == nullptr || VirtualAlloc(reservation, size, MEM_COMMIT, PAGE_READWRITE) == nullptr) return false;
    auto* registers = static_cast<volatile BYTE*>(reservation) + (window->base - pageBase);
    world().mappings.push_back({reservation, window->base, registers});
    if (window == &kRegisterWindows[kClockWindow])
        *reinterpret_cast<volatile ULONG*>(registers + kClockRateOffset) = kClockRate;
    return true;
}

void raiseInterrupt()
{
    World& w = world();
    if (w.interruptEvent == nullptr) return;
    if (w.interruptMasked) {
        w.interruptPending = true;
        return;
    }
    w.interruptMasked = true;
    ++w.interruptsDelivered;
    SetEvent(w.interruptEvent);
}

// One pass of the device: the counter moves on, changed pin registers reach
// the lines, and the chip's timed events that fell due run.
void tick()
{
    World& w = world();
    if (volatile ULONG* counter = registerAt(kTimerWindow, kTimerCounterOffset))
        *counter = static_cast<ULONG>(w.kernel.now() * kCounterTicksPerMicro);
    for (unsigned i = 0; i < 3; ++i) {
        volatile ULONG* pin = registerAt(kGpioWindow, kGpioWatched[i]);
        const std::uint32_t value = pin != nullptr ? *pin : w.gpioSeen[i];
        if (value != w.gpioSeen[i]) w.gpio->write32(kGpioWatched[i], value);
        w.gpioSeen[i] = value;
    }
    w.kernel.advance(0);
}

DWORD WINAPI deviceThread(LPVOID)
{
    for (;;) {
        {
            WorldLock lock;
            if (world().stop) return 0;
            tick();
        }
        Sleep(1);
    }
}

// The bus driver's transfer routine as the driver gets it: the simulated bus,
// one transfer at a time with the device thread. What fell due since the
// device thread's last pass happens first: the chip is ready 110 ms after
// ENABLE, and a driver that waits exactly that long must find it so.
BOOL transfer(DWORD context, I2CRequest* request)
{
    WorldLock lock;
    world().kernel.advance(0);
    return sim::I2CBus::transfer(context, request);
}

DWORD utilityMap(DWORD context, DWORD base, DWORD size, DWORD zero, PVOID* mapped)
{
    const std::uintptr_t pageBase = base & ~0xFFFu;
    const DWORD span = size + (base - pageBase);
    if (context != kUtlContext || zero != 0 || mapped == nullptr) return ERROR_INVALID_PARAMETER;
    void* reservation = VirtualAlloc(nullptr, span, MEM_RESERVE, PAGE_NOACCESS);
    if (reservation == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    WorldLock lock;
    if (!bindWindow(reservation, pageBase, span)) {
        VirtualFree(reservation, 0, MEM_RELEASE);
        return ERROR_INVALID_PARAMETER;
    }
    *mapped = static_cast<BYTE*>(reservation) + (base - pageBase);
    return ERROR_SUCCESS;
}

BOOL UtilityDriver::ioControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned)
{
    if (code != kIoctlUtlGetInterface || out == nullptr || outSize < sizeof(UtlInterface)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    UtlInterface utl{};
    utl.context = kUtlContext;
    utl.map = utilityMap;
    std::memcpy(out, &utl, sizeof utl);
    if (returned != nullptr) *returned = sizeof utl;
    return TRUE;
}

void buildBand(sim::Band& band)
{
    sim::GeneratorSettings first;
    first.pi = 0xD3A1;
    first.name = "WINE FM";
    first.tp = true;
    first.tmc = true;
    first.radiotext = "Corvane.dll on real threads";
    first.alternativeFrequencies = {10370};
    band.add({.frequency = 9150,
              .rssi = 45,
              .snr = 30,
              .pi = first.pi,
              .rds = std::make_shared<sim::RdsGenerator>(first, 1)});
    sim::GeneratorSettings second;
    second.pi = 0xD3A2;
    second.name = "SECOND";
    second.tmc = true;
    band.add({.frequency = 10370,
              .rssi = 38,
              .snr = 24,
              .pi = second.pi,
              .rds = std::make_shared<sim::RdsGenerator>(second, 2)});
    band.add({.frequency = 8850, .rssi = 30, .snr = 20, .rds = nullptr});  // no RDS
}

}  // namespace

bool openDevice(LPCWSTR name, HANDLE& handle)
{
    if (gWorldState == nullptr || name == nullptr) return false;
    WorldLock lock;
    sim::Device* device = nullptr;
    if (_wcsicmp(name, L"I2C1:") == 0) device = &world().bus;
    if (_wcsicmp(name, L"UTL0:") == 0) device = &world().utility;
    if (device == nullptr) return false;
    DWORD error = ERROR_SUCCESS;
    if (!device->open(0, 0, error)) {
        SetLastError(error);
        handle = INVALID_HANDLE_VALUE;
        return true;
    }
    // A handle of Wine's own stands for the open device: unique while open.
    handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    world().openDevices[handle] = device;
    return true;
}

bool deviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     BOOL& result)
{
    if (gWorldState == nullptr) return false;
    WorldLock lock;
    auto it = world().openDevices.find(handle);
    if (it == world().openDevices.end()) return false;
    result = it->second->ioControl(code, in, inSize, out, outSize, returned);
    if (result && it->second == &world().bus && code == kIoctlI2CGetTransferEntry) {
        const I2CTransferRoutine routine = transfer;
        std::memcpy(static_cast<BYTE*>(out) + offsetof(I2CHandle, transfer), &routine, sizeof routine);
    }
    return true;
}

bool closeDevice(HANDLE handle)
{
    if (gWorldState == nullptr) return false;
    WorldLock lock;
    auto it = world().openDevices.find(handle);
    if (it == world().openDevices.end()) return false;
    it->second->close();
    world().openDevices.erase(it);
    CloseHandle(handle);
    return true;
}

}  // namespace standin

using namespace standin;

// ---- What Windows CE adds -----------------------------------------------------------

extern "C" BOOL WINAPI StandIn_InterruptInitialize(DWORD sysIntr, HANDLE event, LPVOID data, DWORD dataSize)
{
    WorldLock lock;
    World& w = world();
    if (sysIntr != kSysIntrTuner || event == nullptr || w.interruptEvent != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    w.interruptEvent = event;
    w.interruptMasked = false;
    w.interruptPending = false;
    return TRUE;
}

extern "C" void WINAPI StandIn_InterruptDone(DWORD sysIntr)
{
    WorldLock lock;
    World& w = world();
    if (sysIntr != kSysIntrTuner || w.interruptEvent == nullptr) return;
    if (w.interruptPending) {
        w.interruptPending = false;
        ++w.interruptsDelivered;
        SetEvent(w.interruptEvent);
    } else {
        w.interruptMasked = false;
    }
}

// Masked, an edge is kept as while a delivery waits for InterruptDone;
// unmasked, one kept meanwhile is delivered.
extern "C" void WINAPI StandIn_InterruptMask(DWORD sysIntr, BOOL disable)
{
    if (!disable) {
        StandIn_InterruptDone(sysIntr);
        return;
    }
    WorldLock lock;
    if (sysIntr == kSysIntrTuner && world().interruptEvent != nullptr) world().interruptMasked = true;
}

extern "C" void WINAPI StandIn_InterruptDisable(DWORD sysIntr)
{
    WorldLock lock;
    if (sysIntr != kSysIntrTuner) return;
    world().interruptEvent = nullptr;  // never set again: the driver may close it now
    world().interruptMasked = false;
    world().interruptPending = false;
}

// The interrupt's event set as if the line had fired, delivery rules and all.
extern "C" BOOL WINAPI StandIn_SetInterruptEvent(DWORD sysIntr)
{
    WorldLock lock;
    if (sysIntr != kSysIntrTuner || world().interruptEvent == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    raiseInterrupt();
    return TRUE;
}

extern "C" LPVOID WINAPI StandIn_VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect)
{
    return VirtualAlloc(address, size, type, protect & ~PAGE_NOCACHE);
}

extern "C" BOOL WINAPI StandIn_VirtualCopy(LPVOID destination, LPVOID source, DWORD size, DWORD protect)
{
    WorldLock lock;
    if (!bindWindow(destination, reinterpret_cast<std::uintptr_t>(source), size)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI StandIn_VirtualFree(LPVOID address, SIZE_T size, DWORD type)
{
    {
        WorldLock lock;
        std::erase_if(world().mappings, [address](const Mapping& m) { return m.reservation == address; });
    }
    return VirtualFree(address, size, type);
}

extern "C" BOOL WINAPI StandIn_KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                               LPDWORD returned)
{
    if (code != kIoctlHalPlatformInfo || out == nullptr || outSize < kPlatformInfoBytes) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    std::memset(out, 0, kPlatformInfoBytes);
    if (returned != nullptr) *returned = kPlatformInfoBytes;
    return TRUE;
}

// ---- For the host ---------------------------------------------------------------------

STANDIN_API void StandInStart()
{
    gWorldState = new World();
    World& w = world();
    buildBand(w.band);
    w.bus.attach(kChipAddress, &w.chip);
    const RegisterWindow& gpio = kRegisterWindows[kGpioWindow];
    w.gpio = std::make_unique<sim::GpioWindow>(w.kernel, gpio.base, gpio.size);
    w.gpio->onLineChange([&w](sim::GpioLine line, bool level) {
        if (line == sim::GpioLine::Reset)
            w.chip.setResetLine(level);
        else
            w.chip.setBusModeLine(level);
    });
    w.chip.onInterruptLine([](bool level) {
        if (!level) raiseInterrupt();
    });
    gDeviceThread = CreateThread(nullptr, 0, deviceThread, nullptr, 0, nullptr);
    SetThreadPriority(gDeviceThread, THREAD_PRIORITY_HIGHEST);
}

STANDIN_API void StandInStop()
{
    {
        WorldLock lock;
        world().stop = true;
    }
    WaitForSingleObject(gDeviceThread, INFINITE);
    CloseHandle(gDeviceThread);
}

STANDIN_API void StandInSnapshot(StandInState* state)
{
    threadCounts(state->threadsCreated, state->threadsRunning);
    state->threadWakes = threadWakes();
    state->debugLines = debugLineCount();
    WorldLock lock;
    World& w = world();
    state->windowsMapped = static_cast<DWORD>(w.mappings.size());
    state->interrupts = w.interruptsDelivered;
    state->busTransfers = static_cast<DWORD>(w.bus.transfers());
    state->busViolations = static_cast<DWORD>(w.chip.violations());
    state->busOpen = static_cast<DWORD>(w.bus.openHandles());
    state->chipFrequency = w.chip.frequency();
    state->chipPoweredUp = w.chip.poweredUp();
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        initSystemCalls();
        InitializeCriticalSection(&gWorld);
    }
    return TRUE;
}
