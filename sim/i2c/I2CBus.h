// The platform's I2C bus driver, device "I2C1:". Control code 0x220000 hands
// out the bus's context word and transfer routine (the first bytes of an
// I2CHandle); code 0x321018 (bus power) is accepted and counted. The transfer
// routine checks every I2CRequest (addresses 0x20/0x21, the two setup buffers,
// option 0, direction 0 or 1, 1 to 32 data bytes, a data pointer) and passes the
// transfer to the device at the 7-bit address; a malformed request fails and is
// counted, a device that does not acknowledge makes the transfer fail.
//
// Faults: opens that fail, a driver that refuses 0x220000, transfers that fail
// with a probability (bus random stream) or by countdown (let N pass, fail R);
// a slow bus, whose transfers take up to a given time (another master holding
// it, a device stretching the clock: the caller's thread waits, as it waits
// for the bus driver's completion on the device); a bus held by another
// device, whose transfers fail as busy until a given time.
#pragma once

#include "platform/BusTypes.h"
#include "sim/i2c/I2CTarget.h"
#include "sim/kernel/Kernel.h"

#include <cstdint>
#include <map>
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
    // Each transfer first waits a time drawn up to `longest` (0: none).
    void setTransferDelay(Micros longest) { longestDelay_ = longest; }
    // Transfers fail as busy from virtual time `from` until `until`.
    void holdBetween(Micros from, Micros until)
    {
        heldFrom_ = from;
        heldUntil_ = until;
    }
    // Ends the opens and transfers failing (not the delay or the hold).
    void clearFaults();

    // ---- Observation ---------------------------------------------------------
    struct Transfer {
        Micros time;
        DWORD direction;
        std::vector<std::uint8_t> data;  // bytes sent, or bytes read
        bool ok;
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
    std::uint64_t failedTransfers() const { return failed_; }
    std::uint64_t injectedFailures() const { return injected_; }
    std::uint64_t delayedTransfers() const { return delayed_; }
    Micros longestTransfer() const { return longestSeen_; }
    std::uint64_t malformedRequests() const { return malformed_; }

private:
    BOOL run(I2CRequest& request);
    void delay();
    bool wellFormed(const I2CRequest& request) const;
    bool injectFailure();

    Kernel& kernel_;
    DWORD context_;
    std::map<std::uint8_t, I2CTarget*> targets_;
    std::uint32_t failOpens_ = 0;
    bool refuseEntry_ = false;
    double failProbability_ = 0.0;
    std::uint32_t passBeforeFail_ = 0;
    std::uint32_t failCount_ = 0;
    Micros longestDelay_ = 0;
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
    std::uint64_t failed_ = 0;
    std::uint64_t injected_ = 0;
    std::uint64_t malformed_ = 0;
};

}  // namespace sim
