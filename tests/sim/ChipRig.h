// Test rig for the simulated hardware: a kernel, a world, the GPIO window and
// the "I2C1:" bus opened the way the driver opens them, and a register shadow
// written from POWERCFG and read from STATUSRSSI as the driver does.
#pragma once

#include "platform/BusTypes.h"
#include "platform/ce/WinCE.h"
#include "tests/support/DriverFixtures.h"
#include "tuner/Si4709Registers.h"

#include <array>
#include <cstdint>
#include <vector>

namespace simtest {

using namespace si4709;

constexpr std::uint16_t kInterruptConfig =
    kSysconfig1Rdsien | kSysconfig1Stcien | kSysconfig1Rds | (kGpio2Interrupt << 2);

class ChipRig : public WorldTest {
protected:
    explicit ChipRig(sim::Schedule schedule = kExactTimings) : WorldTest(schedule) {}  // the chip's own timings
    volatile ULONG* gpio = nullptr;
    I2CHandle bus{};
    std::array<std::uint16_t, 16> shadow{};
    const BYTE clockSetup[2] = {0xA2, 0x54};
    const BYTE busSetup[2] = {0xA1, 0x64};

    ~ChipRig() override
    {
        if (bus.device != nullptr && bus.device != INVALID_HANDLE_VALUE) {
            CloseHandle(bus.device);
        }
    }

    void mapGpio()
    {
        void* window = VirtualAlloc(nullptr, 1536, MEM_RESERVE, PAGE_NOACCESS);
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(VirtualCopy(window, reinterpret_cast<void*>(std::uintptr_t{sim::kGpioWindowBase}), 1536,
                                PAGE_READWRITE | PAGE_NOCACHE));
        gpio = static_cast<volatile ULONG*>(window);
    }

    void pin(std::uint32_t offset, std::uint32_t clear, std::uint32_t set)
    {
        volatile ULONG* reg = gpio + offset / 4;
        WRITE_REGISTER_ULONG(reg, (READ_REGISTER_ULONG(reg) & ~clear) | set);
    }

    void openBus()
    {
        bus.device = CreateFileW(TEXT("I2C1:"), 0, 0, nullptr, 0, 0, nullptr);
        ASSERT_NE(bus.device, INVALID_HANDLE_VALUE);
        BYTE zeros[16] = {};
        ASSERT_TRUE(DeviceIoControl(bus.device, kIoctlI2CGetTransferEntry, zeros, sizeof zeros, &bus, kI2CHandleBusPart,
                                    nullptr, nullptr));
    }

    // Drives the bus-mode line to `busMode` and pulses reset (300 ms low).
    void resetChip(bool busMode = true)
    {
        pin(sim::kGpioPadSelect, 0, sim::kPadSelectBusMode | sim::kPadSelectReset);
        pin(sim::kGpioBusModeControl, sim::kPinOutputLevel,
            sim::kPinOutputEnable | (busMode ? sim::kPinOutputLevel : 0));
        pin(sim::kGpioResetControl, sim::kPinOutputLevel, sim::kPinOutputEnable);
        Sleep(300);
        pin(sim::kGpioResetControl, 0, sim::kPinOutputLevel);
        Sleep(10);
    }

    void SetUp() override
    {
        mapGpio();
        openBus();
        resetChip();
    }

    BOOL transfer(DWORD direction, BYTE* data, DWORD length)
    {
        I2CRequest request{};
        request.writeAddress = kWriteAddress;
        request.readAddress = kReadAddress;
        request.clockSetup = clockSetup;
        request.clockSetupLength = 2;
        request.busSetup = busSetup;
        request.busSetupLength = 2;
        request.busTiming = 40000;
        request.direction = direction;
        request.data = data;
        request.length = length;
        return bus.transfer(bus.context, &request);
    }

    // Sends shadow registers POWERCFG..last.
    bool send(unsigned last)
    {
        std::vector<BYTE> bytes;
        for (unsigned r = kFirstWriteRegister; r <= last; ++r) {
            bytes.push_back(static_cast<BYTE>(shadow[r] >> 8));
            bytes.push_back(static_cast<BYTE>(shadow[r] & 0xFF));
        }
        return transfer(kI2CDirectionWrite, bytes.data(), static_cast<DWORD>(bytes.size())) != 0;
    }

    // Reads `count` registers from STATUSRSSI on into the shadow.
    bool fetch(unsigned count = 2)
    {
        std::vector<BYTE> bytes(2 * count);
        if (!transfer(kI2CDirectionRead, bytes.data(), static_cast<DWORD>(bytes.size()))) {
            return false;
        }
        for (unsigned i = 0; i < count; ++i) {
            shadow[(kFirstReadRegister + i) % kRegisterCount] =
                static_cast<std::uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
        }
        return true;
    }

    std::uint16_t status()
    {
        EXPECT_TRUE(fetch(2));
        return shadow[STATUSRSSI];
    }
    unsigned readChannel()
    {
        EXPECT_TRUE(fetch(2));
        return kReadchanChan.get(shadow[READCHAN]);
    }

    // Powers the chip up: band 87.5-108 MHz at 100 kHz, volume 15, the given
    // seek thresholds and SYSCONFIG1, then waits for it to be ready.
    void powerUp(std::uint16_t sysconfig1 = kInterruptConfig, unsigned seekth = 20, unsigned sksnr = 0)
    {
        ASSERT_TRUE(fetch(16));
        shadow[POWERCFG] = kPowercfgDmute | kPowercfgDsmute | kPowercfgRdsm | kPowercfgEnable;
        shadow[SYSCONFIG1] = sysconfig1;
        shadow[SYSCONFIG2] = static_cast<std::uint16_t>(seekth << 8 | 1u << 4 | 15);
        shadow[SYSCONFIG3] = static_cast<std::uint16_t>(sksnr << 4);
        ASSERT_TRUE(send(SYSCONFIG3));
        Sleep(110);
        ASSERT_TRUE(world.chip().poweredUp());
    }

    void startTune(unsigned channel)
    {
        shadow[CHANNEL] = static_cast<std::uint16_t>(kChannelTune | channel);
        ASSERT_TRUE(send(CHANNEL));
    }
    void endTune()
    {
        shadow[CHANNEL] &= static_cast<std::uint16_t>(~kChannelTune);
        ASSERT_TRUE(send(CHANNEL));
    }
    void startSeek(bool up, bool stopAtEdge = false)
    {
        shadow[POWERCFG] =
            static_cast<std::uint16_t>((shadow[POWERCFG] & ~(kPowercfgSeekup | kPowercfgSkmode)) | kPowercfgSeek |
                                       (up ? kPowercfgSeekup : 0) | (stopAtEdge ? kPowercfgSkmode : 0));
        ASSERT_TRUE(send(POWERCFG));
    }
    void endSeek()
    {
        shadow[POWERCFG] &= static_cast<std::uint16_t>(~kPowercfgSeek);
        ASSERT_TRUE(send(POWERCFG));
    }

    // Tunes and acknowledges: returns once STC has been seen and cleared.
    void tuneTo(unsigned channel)
    {
        startTune(channel);
        Sleep(61);
        ASSERT_TRUE(status() & kStatusStc);
        endTune();
    }
};

}  // namespace simtest
