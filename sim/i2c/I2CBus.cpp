#include "sim/i2c/I2CBus.h"
#include "sim/kernel/RaceDetector.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {
// Context words handed out to drivers; the transfer routine finds its bus here.
std::map<DWORD, I2CBus*>& buses()
{
    static std::map<DWORD, I2CBus*> all;
    return all;
}
DWORD gNextContext = 0x12C10001;
}  // namespace

I2CBus::I2CBus(Kernel& kernel) : kernel_(kernel), context_(gNextContext++)
{
    buses()[context_] = this;
}

I2CBus::~I2CBus()
{
    buses().erase(context_);
}

void I2CBus::attach(std::uint8_t address, I2CTarget* target)
{
    targets_[address] = target;
}

bool I2CBus::open(DWORD access, DWORD shareMode, DWORD& error)
{
    if (failOpens_ > 0) {
        --failOpens_;
        error = ERROR_DEVICE_NOT_AVAILABLE;
        return false;
    }
    ++opens_;
    return true;
}

void I2CBus::close()
{
    ++closes_;
}

BOOL I2CBus::ioControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned)
{
    switch (code) {
    case kIoctlI2CGetTransferEntry: {
        ++entryRequests_;
        if (refuseEntry_) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        if (out == nullptr || outSize < kI2CHandleBusPart) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // Fill the bus part of the caller's I2CHandle, field by field.
        auto* bytes = static_cast<std::uint8_t*>(out);
        const I2CTransferRoutine routine = &I2CBus::transfer;
        std::memcpy(bytes + offsetof(I2CHandle, context), &context_, sizeof context_);
        std::memcpy(bytes + offsetof(I2CHandle, transfer), &routine, sizeof routine);
        if (returned != nullptr) {
            *returned = kI2CHandleBusPart;
        }
        return TRUE;
    }
    case kIoctlI2CBusPower:
        ++busPowerRequests_;
        return TRUE;
    default:
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
}

BOOL I2CBus::transfer(DWORD context, I2CRequest* request)
{
    I2CBus* bus = nullptr;
    {
        race::KernelScope unobserved;
        auto it = buses().find(context);
        if (it == buses().end() || request == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        bus = it->second;
    }
    bus->delay();  // a blocking wait, outside the unobserved scope like every Sleep
    race::KernelScope unobserved;
    return bus->run(*request);
}

void I2CBus::delay()
{
    if (longestDelay_ == 0) {
        return;
    }
    const Micros wait = Micros(kernel_.random(Stream::Bus).below(std::uint32_t(longestDelay_ / 1000) + 1)) * 1000;
    if (wait == 0) {
        return;
    }
    ++delayed_;
    longestSeen_ = std::max(longestSeen_, wait);
    Sleep(static_cast<DWORD>(wait / 1000));
}

bool I2CBus::wellFormed(const I2CRequest& r) const
{
    return (r.writeAddress & 1u) == 0 && r.writeAddress < 0x100 && r.readAddress == (r.writeAddress | 1u) &&
           r.clockSetup != nullptr && r.clockSetupLength == 2 && r.busSetup != nullptr && r.busSetupLength == 2 &&
           r.options == 0 && (r.direction == kI2CDirectionWrite || r.direction == kI2CDirectionRead) &&
           r.data != nullptr && r.length >= 1 && r.length <= kI2CMaxTransfer;
}

void I2CBus::failTransfers(std::uint32_t pass, std::uint32_t fail)
{
    passBeforeFail_ = pass;
    failCount_ = fail;
}

void I2CBus::clearFaults()
{
    failOpens_ = 0;
    refuseEntry_ = false;
    failProbability_ = 0.0;
    passBeforeFail_ = 0;
    failCount_ = 0;
}

bool I2CBus::injectFailure()
{
    if (kernel_.now() >= heldFrom_ && kernel_.now() < heldUntil_) {
        return true;
    }
    if (failCount_ > 0) {
        if (passBeforeFail_ > 0) {
            --passBeforeFail_;
        } else {
            --failCount_;
            return true;
        }
    }
    return failProbability_ > 0.0 && kernel_.random(Stream::Bus).chance(failProbability_);
}

BOOL I2CBus::run(I2CRequest& request)
{
    ++transfers_;
    if (!wellFormed(request)) {
        ++malformed_;
        ++failed_;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool ok = false;
    if (injectFailure()) {
        ++injected_;
    } else if (auto it = targets_.find(static_cast<std::uint8_t>(request.writeAddress >> 1)); it != targets_.end()) {
        ok = request.direction == kI2CDirectionWrite ? it->second->write(request.data, request.length)
                                                     : it->second->read(request.data, request.length);
    }
    if (recording_) {
        recorded_.push_back({kernel_.now(), request.direction,
                             std::vector<std::uint8_t>(request.data, request.data + request.length), ok});
    }
    if (!ok) {
        ++failed_;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    return TRUE;
}

}  // namespace sim
