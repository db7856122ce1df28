// The platform's I2C bus driver, device "I2C1:". Control code 0x220000 hands
// out the bus's context word and transfer routine (the first bytes of an
// I2CHandle); code 0x321018 (bus power) is accepted and counted. The transfer
// routine checks every I2CRequest (addresses 0x20/0x21, the two setup buffers,
// option 0, direction 0 or 1, 1 to 32 data bytes, a data pointer) and passes the
// transfer to the device at the 7-bit address; a malformed request fails and is
// counted, a device that does not acknowledge makes the transfer fail.
//
// Time on the wire. In the preemptive schedules a transfer takes the time its
// bits take at the bus clock (400 kHz unless set): a start-up latency of the
// controller (10 to 60 us, from the bus random stream), the START condition
// (one bit time), the address byte and every data byte (nine clocks each, the
// acknowledge included), the STOP condition (one bit time). Reading registers
// 10 to 15 (12 bytes) takes about 0.3 ms at 400 kHz, 1.2 ms at 100 kHz. The
// platform's bus driver starts the controller and blocks its caller on the
// controller's completion interrupt, so meanwhile the caller waits in the
// kernel (on an event the completion sets) and other threads and hardware
// events run. Along the way:
// - the chip answers its address as the address byte's acknowledge bit goes
//   by; a chip that does not (in reset, not in 2-wire mode, hung) fails the
//   transfer at the STOP that follows at once;
// - a read takes the chip's registers as they go out, word by word; a write
//   takes effect at its STOP condition;
// - a chip reset (its reset line pulled) or restarted (a supply dip) while a
//   transfer runs has dropped out of it: the transfer fails at its planned
//   end (the chip "does not acknowledge while RST is low"; for a read the
//   master would clock in the released bus as 0xFF and could not tell, and we
//   take the stricter, documented reading: the transfer fails);
// - the caller's thread may be suspended meanwhile (a power-down): the wire
//   does not care; the controller completes, and the thread, stopped as it
//   leaves the kernel wait, returns from the transfer when it is resumed;
// - closing the device handle (power-down, unload) does not stop a transfer:
//   it runs on the bus driver's context word, which outlives every handle;
// - a transfer asked for while the controller still runs one fails at once as
//   busy (ERROR_BUSY), counted, and touches nothing: the stricter of the two
//   things a bus driver may do (the other, queueing behind its own lock, would
//   hide a client that lets two threads onto the bus; the tuner driver's bus
//   guard is there so that it never does).
// In the cooperative schedule transfers keep taking no time at all, so that
// the tests of exact timings keep their meaning (see timed()).
//
// Faults: opens that fail, a driver that refuses 0x220000, transfers that fail
// with a probability (bus random stream) or by countdown (let N pass, fail R);
// a slow bus, whose transfers take up to a given time (another master holding
// it, a device stretching the clock: the caller's thread waits, as it waits
// for the bus driver's completion on the device) before the controller starts
// them; a bus held by another device, whose transfers fail as busy until a
// given time. Injected failures end a transfer at once, without wire time.
#pragma once

#include "platform/BusTypes.h"
#include "sim/i2c/I2CTarget.h"
#include "sim/kernel/Kernel.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace sim {

inline constexpr char16_t kI2CDeviceName[] = u"I2C1:";

class I2CBus final : public Device {
public:
    explicit I2CBus(Kernel& kernel);
    ~I2CBus() override;
    I2CBus(const I2CBus&) = delete;
    I2CBus& operator=(const I2CBus&) = delete;

    void attach(std::uint8_t address, I2CTarget* target);  // 7-bit address

    bool open(DWORD access, DWORD shareMode, DWORD& error) override;
    BOOL ioControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) override;
    void close() override;

    // The routine handed out by code 0x220000.
    static BOOL transfer(DWORD context, I2CRequest* request);
    DWORD context() const { return context_; }

    // ---- Faults ------------------------------------------------------------
    void failOpens(std::uint32_t count) { failOpens_ = count; }
    void refuseTransferEntry(bool refuse) { refuseEntry_ = refuse; }
    void setTransferFailureProbability(double probability) { failProbability_ = probability; }
    // Lets `pass` transfers through, then fails the next `fail` ones.
    void failTransfers(std::uint32_t pass, std::uint32_t fail);
    // Each transfer first waits a time drawn from `shortest` up to `longest`
    // (0: none).
    void setTransferDelay(Micros longest, Micros shortest = 0)
    {
        longestDelay_ = longest;
        shortestDelay_ = std::min(shortest, longest);
    }
    // The next transfer waits this long before the controller starts it: a
    // device that stretches the clock for seconds, a bus stuck until it lets go.
    void stallNextTransfer(Micros duration) { stallNext_ = duration; }
    // Transfers fail as busy from virtual time `from` until `until`.
    void holdBetween(Micros from, Micros until)
    {
        heldFrom_ = from;
        heldUntil_ = until;
    }
    // Ends the opens and transfers failing (not the delay or the hold).
    void clearFaults();

    // ---- Timing ------------------------------------------------------------------
    // The bus clock in Hz (400 kHz unless set; 100 kHz is the other standard rate).
    void setClockRate(std::uint32_t hertz) { clockRate_ = hertz; }
    std::uint32_t clockRate() const { return clockRate_; }
    // How long the wire takes for a transfer of `length` data bytes from its
    // START condition to the end of its STOP condition.
    Micros wireTime(std::size_t length) const { return bitsTime(1 + 9 * (1 + length) + 1); }
    static constexpr Micros kMinStartLatency = 10;
    static constexpr Micros kMaxStartLatency = 60;
    // Called (in hardware context) as each timed transfer's address byte has
    // gone out, with the transfer's direction and length: what a logic
    // analyser on the bus would show.
    void onAddressByte(std::function<void(DWORD direction, DWORD length)> observer)
    {
        addressObserver_ = std::move(observer);
    }

    // ---- Observation ---------------------------------------------------------
    struct Transfer {
        Micros time;  // when it ended (its STOP condition)
        DWORD direction;
        std::vector<std::uint8_t> data;  // bytes sent, or bytes read
        bool ok;
        Micros began;  // its START condition (the same as time when it took no time)
    };
    // With recording on, every well-formed transfer is kept here.
    void setRecording(bool on) { recording_ = on; }
    const std::vector<Transfer>& recorded() const { return recorded_; }
    void clearRecorded() { recorded_.clear(); }

    std::uint64_t opens() const { return opens_; }
    std::uint64_t closes() const { return closes_; }
    std::uint64_t openHandles() const { return opens_ - closes_; }
    std::uint64_t transferEntryRequests() const { return entryRequests_; }
    std::uint64_t busPowerRequests() const { return busPowerRequests_; }
    std::uint64_t transfers() const { return transfers_; }
    // Callers inside the transfer routine now (waiting for the bus, or on
    // the wire): what a thread that closes the bus cannot call back.
    unsigned transfersUnderWay() const { return underWay_; }
    std::uint64_t failedTransfers() const { return failed_; }
    std::uint64_t injectedFailures() const { return injected_; }
    std::uint64_t delayedTransfers() const { return delayed_; }
    Micros longestTransfer() const { return longestSeen_; }
    std::uint64_t malformedRequests() const { return malformed_; }
    // Transfers refused because the controller still ran another.
    std::uint64_t busyRefusals() const { return busyRefusals_; }
    bool transferOnWire() const { return flight_ != nullptr; }

private:
    // One transfer on the wire: the caller's thread waits for it to be done.
    struct Flight {
        I2CRequest* request = nullptr;
        I2CTarget* target = nullptr;                        // null: nobody at the address
        Micros began = 0;                                   // START condition
        std::uint64_t restarts = 0;                         // the target's restart count at the address byte
        std::size_t nextWord = 0;                           // a read: offset of the next word the target drives
        std::size_t wordBytes = 0;                          // the target's readWordBytes()
        std::array<std::uint8_t, kI2CMaxTransfer> bytes{};  // as the controller received them
        bool ok = false;
        bool done = false;
        Kernel::EventId step = 0;
    };

    // The cooperative schedule keeps transfers instant; see the header comment.
    bool timed() const { return timed_; }
    Micros bitsTime(std::uint64_t bits) const { return (bits * 1'000'000 + clockRate_ - 1) / clockRate_; }
    BOOL run(I2CRequest& request);
    // Checks the request; a result when the transfer ends at once (malformed,
    // controller busy, injected failure), else the flight is on the wire.
    std::optional<BOOL> start(I2CRequest& request, Flight& flight);
    void awaitCompletion(const Flight& flight);
    BOOL finish(I2CRequest& request, Flight& flight);
    void addressed();
    void wordOut();
    void stopAfter(std::uint64_t bits);
    void completed();
    I2CTarget* targetFor(const I2CRequest& request) const;
    void record(Micros began, const I2CRequest& request, const std::uint8_t* data, bool ok)
    {
        if (recording_) keep(began, request, data, ok);
    }
    void keep(Micros began, const I2CRequest& request, const std::uint8_t* data, bool ok);
    BOOL fail(DWORD error);
    void delay();
    bool wellFormed(const I2CRequest& request) const;
    bool injectFailure();

    Kernel& kernel_;
    DWORD context_;
    bool timed_;                             // the kernel's schedule is fixed when it is built
    std::array<I2CTarget*, 256> targets_{};  // by 7-bit address; null: nobody there
    std::uint32_t failOpens_ = 0;
    bool refuseEntry_ = false;
    double failProbability_ = 0.0;
    std::uint32_t passBeforeFail_ = 0;
    std::uint32_t failCount_ = 0;
    Micros longestDelay_ = 0;
    Micros stallNext_ = 0;
    Micros shortestDelay_ = 0;
    Micros heldFrom_ = 0;
    Micros heldUntil_ = 0;
    std::uint64_t delayed_ = 0;
    Micros longestSeen_ = 0;
    bool recording_ = false;
    std::vector<Transfer> recorded_;
    std::uint64_t opens_ = 0;
    std::uint64_t closes_ = 0;
    std::uint64_t entryRequests_ = 0;
    std::uint64_t busPowerRequests_ = 0;
    std::uint64_t transfers_ = 0;
    unsigned underWay_ = 0;
    std::uint64_t failed_ = 0;
    std::uint64_t injected_ = 0;
    std::uint64_t malformed_ = 0;
    std::uint64_t busyRefusals_ = 0;
    std::uint32_t clockRate_ = 400'000;
    Flight* flight_ = nullptr;
    HANDLE completion_ = nullptr;  // the controller's completion event
    std::function<void(DWORD, DWORD)> addressObserver_;
};

}  // namespace sim
