// Test rig for the tuner with its RDS capture: the tuner brought up on a
// simulated world, the tuner interrupt initialised with its event, and the two
// capture threads started on request the way start-up starts them.
#pragma once

#include "channel/Sentences.h"
#include "rds/Capture.h"
#include "rds/GroupDecoder.h"
#include "rds/GroupQueue.h"
#include "tests/channel/OutputLines.h"
#include "tests/tuner/TunerRig.h"

#include <cstdio>
#include <functional>
#include <string>

namespace capturetest {

using namespace si4709;
using corvane_test::Lines;
using corvane_test::takeLines;

constexpr DWORD kTunerSysIntr = 68;
constexpr sim::Micros kMs = 1000;

// The line as the application reads it, checksum included.
inline std::string framed(const std::string& text)
{
    char checksum[4];
    std::snprintf(checksum, sizeof checksum, "%02x", sentenceChecksum(text.c_str()));
    return text + "*" + checksum;
}

class CaptureRig : public tunertest::TunerRig {
protected:
    using TunerRig::TunerRig;
    HANDLE event = nullptr;
    HANDLE groupThread = nullptr;
    HANDLE interruptThread = nullptr;

    ~CaptureRig() override
    {
        stopThreads();
        if (event != nullptr) {
            InterruptDisable(kTunerSysIntr);
            CloseHandle(event);
        }
    }

    // Brings the chip up and hooks its interrupt to an event.
    void bringUpWithInterrupt()
    {
        bringUp();
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_TRUE(InterruptInitialize(kTunerSysIntr, event, nullptr, 0));
        gDriver.lifecycle.sysIntr = kTunerSysIntr;
        gDriver.lifecycle.interruptEvent = event;
    }

    void startInterruptThread()
    {
        interruptThread = CreateThread(nullptr, 0, RdsInterruptThread, nullptr, 0, nullptr);
        ASSERT_NE(interruptThread, nullptr);
    }

    void startGroupThread()
    {
        groupThread = CreateThread(nullptr, 0, GroupThread, nullptr, 0, nullptr);
        ASSERT_NE(groupThread, nullptr);
    }

    void stopThreads()
    {
        gDriver.lifecycle.stopGroupThread = 1;
        gDriver.lifecycle.stopInterruptThread = 1;
        if (interruptThread != nullptr) {
            SetEvent(event);
        }
        Sleep(kGroupDrainMs + 10);
        for (HANDLE* thread : {&groupThread, &interruptThread}) {
            if (*thread != nullptr) {
                EXPECT_TRUE(kernel.threadExited(*thread));
                // Joined: what the unload frees afterwards is ordered after it.
                WaitForSingleObject(*thread, 0);
                CloseHandle(*thread);
                *thread = nullptr;
            }
        }
    }

    // Sleeps a millisecond at a time until `done` holds; false after `limitMs`.
    bool waitUntil(const std::function<bool()>& done, unsigned limitMs)
    {
        for (unsigned i = 0; i < limitMs && !done(); ++i) Sleep(1);
        return done();
    }

    // Tunes the chip by hand (no driver wait) and waits until it is there.
    void tuneChipTo(std::uint16_t frequency)
    {
        gDriver.tuner.shadow.set(CHANNEL, kChannelTune | FrequencyToChannel(frequency));
        WriteRegisters(CHANNEL);
        Sleep(70);
        gDriver.tuner.shadow.set(CHANNEL, FrequencyToChannel(frequency));
        WriteRegisters(CHANNEL);
    }
};

}  // namespace capturetest
