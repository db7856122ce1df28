// Test rig for the command reader and parser: a freshly loaded driver on a
// simulated world with the chip brought up and the start-up defaults stored,
// and helpers to write commands and read the answers.
#pragma once

#include "channel/Commands.h"
#include "driver/Corvane.h"
#include "tests/channel/OutputLines.h"
#include "tests/support/DriverFixtures.h"
#include "tuner/Tuner.h"

#include <string>

namespace corvane_test {

class CommandRig : public LoadedTest {
protected:
    // The parser's pauses and the reader's rounds, to the millisecond.
    CommandRig() : LoadedTest(kExactTimings)
    {
        driver.bringUpTuner();
        takeOutput();
    }
    ~CommandRig() override { stopReader(); }

    void startReader() { reader = CreateThread(nullptr, 0, CommandReaderThread, nullptr, 0, nullptr); }
    void stopReader()
    {
        if (reader == nullptr) return;
        gDriver.lifecycle.stopReaderThread = 1;
        Sleep(100);
        EXPECT_TRUE(kernel.threadExited(reader));
        CloseHandle(reader);
        reader = nullptr;
    }

    // What the application does: write bytes to the port.
    void write(const std::string& bytes) { COM_Write(0, bytes.data(), static_cast<DWORD>(bytes.size())); }

    // A command as the reader hands it over: "$", the body, a carriage return.
    static void command(const std::string& body) { parseCommand(("$" + body + "\r").c_str()); }

    std::uint16_t chip(si4709::Register reg) { return world.chip().reg(reg); }

    std::uint32_t inputPending() const { return gDriver.channel.inputRing.head - gDriver.channel.inputRing.tail; }

    HANDLE reader = nullptr;
};

}  // namespace corvane_test
