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
// The bus found last: nearly every transfer goes to the same one. Context
// words are never handed out twice, and a bus that goes forgets itself here.
DWORD gLastContext = 0;
I2CBus* gLastBus = nullptr;
DWORD gNextContext = 0x12C10001;
constexpr DWORD kErrorBusy = 170;  // ERROR_BUSY: the driver's surface has no use for it
}  // namespace

I2CBus::I2CBus(Kernel& kernel)
    : kernel_(kernel), context_(gNextContext++), timed_(kernel.schedule() != Schedule::Cooperative)
{
    buses()[context_] = this;
}

I2CBus::~I2CBus()
{
    if (flight_ != nullptr) kernel_.cancel(flight_->step);
    buses().erase(context_);
    if (gLastBus == this) {
        gLastBus = nullptr;
        gLastContext = 0;
    }
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
        if (gLastBus != nullptr && context == gLastContext) {
            bus = gLastBus;
        } else {
            auto it = buses().find(context);
            if (it != buses().end()) {
                bus = it->second;
                gLastBus = bus;
                gLastContext = context;
            }
        }
        if (bus == nullptr || request == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    // Inside the transfer routine from here to its return: a caller cannot
    // take it back once it is in.
    struct UnderWay {
        I2CBus& bus;
        explicit UnderWay(I2CBus& b) : bus(b) { ++bus.underWay_; }
        ~UnderWay() { --bus.underWay_; }
    } underWay{*bus};
    bus->delay();  // a blocking wait, outside the unobserved scope like every Sleep
    if (!bus->timed()) {
        race::KernelScope unobserved;
        return bus->run(*request);
    }
    Flight flight;
    {
        race::KernelScope unobserved;
        if (const std::optional<BOOL> result = bus->start(*request, flight)) return *result;
    }
    bus->awaitCompletion(flight);  // blocking, like the delay
    race::KernelScope unobserved;
    return bus->finish(*request, flight);
}

void I2CBus::delay()
{
    if (stallNext_ != 0) {
        const Micros stall = stallNext_;
        stallNext_ = 0;
        ++delayed_;
        longestSeen_ = std::max(longestSeen_, stall);
        Sleep(static_cast<DWORD>(stall / 1000));
        return;
    }
    if (longestDelay_ == 0) {
        return;
    }
    const auto shortestMs = std::uint32_t(shortestDelay_ / 1000);
    const Micros wait =
        Micros(shortestMs + kernel_.random(Stream::Bus).below(std::uint32_t(longestDelay_ / 1000) - shortestMs + 1)) *
        1000;
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
    if (heldFrom_ < heldUntil_) {  // a hold is set
        const Micros now = kernel_.now();
        if (now >= heldFrom_ && now < heldUntil_) {
            return true;
        }
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

I2CTarget* I2CBus::targetFor(const I2CRequest& request) const
{
    return targets_[static_cast<std::uint8_t>(request.writeAddress >> 1)];
}

void I2CBus::keep(Micros began, const I2CRequest& request, const std::uint8_t* data, bool ok)
{
    recorded_.push_back(
        {kernel_.now(), request.direction, std::vector<std::uint8_t>(data, data + request.length), ok, began});
}

BOOL I2CBus::fail(DWORD error)
{
    ++failed_;
    SetLastError(error);
    return FALSE;
}

BOOL I2CBus::run(I2CRequest& request)
{
    ++transfers_;
    if (!wellFormed(request)) {
        ++malformed_;
        return fail(ERROR_INVALID_PARAMETER);
    }
    bool ok = false;
    if (injectFailure()) {
        ++injected_;
    } else if (I2CTarget* target = targetFor(request)) {
        ok = request.direction == kI2CDirectionWrite ? target->write(request.data, request.length)
                                                     : target->read(request.data, request.length);
    }
    record(kernel_.now(), request, request.data, ok);
    return ok ? TRUE : fail(ERROR_GEN_FAILURE);
}

// ---- Transfers that take time -------------------------------------------------------
//
// The caller starts the flight and waits; hardware events carry it along the
// wire: the address byte (addressed), each later word of a read (wordOut),
// the STOP condition (completed), which frees the controller and sets the
// completion event.

std::optional<BOOL> I2CBus::start(I2CRequest& request, Flight& flight)
{
    ++transfers_;
    if (!wellFormed(request)) {
        ++malformed_;
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (flight_ != nullptr) {
        ++busyRefusals_;
        return fail(kErrorBusy);
    }
    if (injectFailure()) {
        ++injected_;
        record(kernel_.now(), request, request.data, false);
        return fail(ERROR_GEN_FAILURE);
    }
    if (completion_ == nullptr) completion_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    flight.request = &request;
    flight.target = targetFor(request);
    const Micros latency =
        kMinStartLatency + kernel_.random(Stream::Bus).below(std::uint32_t(kMaxStartLatency - kMinStartLatency) + 1);
    flight.began = kernel_.now() + latency;
    flight_ = &flight;
    flight.step = kernel_.at(flight.began + bitsTime(1 + 9), [this] { addressed(); });
    return std::nullopt;
}

void I2CBus::awaitCompletion(const Flight& flight)
{
    // One completion event serves every flight, and a flight may complete
    // before its caller comes to wait (another thread ran meanwhile): a set
    // left over from such a flight wakes the next caller early, who then
    // waits again. The wire always ends, so the wait is not bounded.
    while (!flight.done) WaitForSingleObject(completion_, INFINITE);
}

BOOL I2CBus::finish(I2CRequest& request, Flight& flight)
{
    if (!flight.ok) return fail(ERROR_GEN_FAILURE);
    if (request.direction == kI2CDirectionRead) std::memcpy(request.data, flight.bytes.data(), request.length);
    return TRUE;
}

void I2CBus::stopAfter(std::uint64_t bits)
{
    flight_->step = kernel_.at(flight_->began + bitsTime(bits), [this] { completed(); });
}

void I2CBus::addressed()
{
    Flight& f = *flight_;
    const I2CRequest& r = *f.request;
    if (addressObserver_) addressObserver_(r.direction, r.length);
    const std::uint64_t allBits = 1 + 9 * (1 + std::uint64_t{r.length}) + 1;
    if (f.target == nullptr) {
        stopAfter(1 + 9 + 1);  // no acknowledge: STOP at once
        return;
    }
    if (r.direction == kI2CDirectionWrite) {
        f.ok = f.target->answersAddress();
        f.restarts = f.target->restarts();
        stopAfter(f.ok ? allBits : 1 + 9 + 1);
        return;
    }
    f.ok = f.target->read(f.bytes.data(), r.length);
    f.restarts = f.target->restarts();
    const std::size_t word = f.target->readWordBytes();
    f.wordBytes = word;
    f.nextWord = word;
    if (!f.ok) {
        stopAfter(1 + 9 + 1);
    } else if (word != 0 && word < r.length) {
        f.step = kernel_.at(f.began + bitsTime(1 + 9 * (1 + f.nextWord)), [this] { wordOut(); });
    } else {
        stopAfter(allBits);
    }
}

void I2CBus::wordOut()
{
    Flight& f = *flight_;
    const DWORD length = f.request->length;
    f.ok = f.target->restarts() == f.restarts && f.target->rereadWord(f.bytes.data(), f.nextWord);
    f.nextWord += f.wordBytes;  // a device's word size does not change
    if (f.ok && f.nextWord < length) {
        f.step = kernel_.at(f.began + bitsTime(1 + 9 * (1 + f.nextWord)), [this] { wordOut(); });
    } else {
        stopAfter(1 + 9 * (1 + std::uint64_t{length}) + 1);  // the master clocks on to the end
    }
}

void I2CBus::completed()
{
    Flight& f = *flight_;
    const I2CRequest& r = *f.request;
    if (f.ok && f.target->restarts() != f.restarts) f.ok = false;
    if (f.ok && r.direction == kI2CDirectionWrite) f.ok = f.target->write(r.data, r.length);
    record(f.began, r, r.direction == kI2CDirectionWrite ? r.data : f.bytes.data(), f.ok);
    f.done = true;
    flight_ = nullptr;  // the controller is free
    SetEvent(completion_);
}

}  // namespace sim
