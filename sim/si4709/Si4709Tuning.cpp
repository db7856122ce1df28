// Band arithmetic, the live signal status, tune and seek.
#include "sim/si4709/Si4709.h"

#include <algorithm>

namespace sim {

using namespace si4709;

namespace {
constexpr std::uint16_t kBottomEurope = 8750;  // 87.5 MHz
constexpr std::uint16_t kBottomJapanWide = 7600;
constexpr std::uint16_t kTopWide = 10800;
constexpr std::uint16_t kTopJapan = 9000;
constexpr int kMaxRssi = 75;
constexpr int kSnrDbPerSksnrStep = 2;

int clampRssi(int rssi)
{
    return std::clamp(rssi, 0, kMaxRssi);
}
}  // namespace

std::uint16_t Si4709::bandBottom() const
{
    return kSysconfig2Band.get(regs_[SYSCONFIG2]) == 0 ? kBottomEurope : kBottomJapanWide;
}

unsigned Si4709::spacing() const
{
    switch (kSysconfig2Space.get(regs_[SYSCONFIG2])) {
    case 0:
        return 20;
    case 1:
        return 10;
    default:
        return 5;
    }
}

unsigned Si4709::topChannel() const
{
    const std::uint16_t top = kSysconfig2Band.get(regs_[SYSCONFIG2]) == 2 ? kTopJapan : kTopWide;
    return (top - bandBottom()) / spacing();
}

std::uint16_t Si4709::frequencyOf(unsigned channel) const
{
    return static_cast<std::uint16_t>(bandBottom() + spacing() * channel);
}

Station* Si4709::lookUpStation(unsigned channel) const
{
    heardChannel_ = channel;
    heardBandSetting_ = regs_[SYSCONFIG2];
    heardFrequency_ = frequencyOf(channel);
    heardStation_ = band_.find(heardFrequency_);
    heardGeneration_ = band_.generation();
    return heardStation_;
}

std::uint16_t Si4709::liveStatus() const
{
    constexpr std::uint16_t kLatched = kStatusRdsr | kStatusStc | kStatusSfBl | kStatusRdss | kStatusBlera.mask();
    std::uint16_t status = regs_[STATUSRSSI] & kLatched;
    if (power_ != Power::Ready || hung_) {
        return status;
    }
    const Station* station = stationOn(channel_);
    const int rssi = station != nullptr ? clampRssi(station->rssi) : clampRssi(band_.noiseRssi());
    status = kStatusRssi.set(status, static_cast<unsigned>(rssi));
    if (station == nullptr) {
        status |= kStatusAfcrl;  // no carrier to lock to
    } else if (station->stereo && !(regs_[POWERCFG] & kPowercfgMono)) {
        status |= kStatusSt;
    }
    return status;
}

void Si4709::setReadChannel(unsigned channel)
{
    regs_[READCHAN] = kReadchanChan.set(regs_[READCHAN], channel);
}

void Si4709::completeOperation()
{
    regs_[STATUSRSSI] |= kStatusStc;
    ++stcCount_;
    if (regs_[SYSCONFIG1] & kSysconfig1Stcien) {
        pulseInterrupt();
    }
    updateReception();
}

void Si4709::startTune()
{
    if (seeking_) {
        cancel(seekEvent_);
        seeking_ = false;
    }
    cancel(tuneEvent_);
    regs_[STATUSRSSI] &= static_cast<std::uint16_t>(~(kStatusStc | kStatusSfBl));
    stopReception();
    tuneTarget_ = kChannelChan.get(regs_[CHANNEL]);
    tuning_ = true;
    tuneEvent_ = kernel_.after(timing_.tune, [this] {
        tuneEvent_ = 0;
        tuneDone();
    });
}

void Si4709::tuneDone()
{
    tuning_ = false;
    channel_ = tuneTarget_;
    setReadChannel(channel_);
    if (regs_[CHANNEL] & kChannelTune) {
        completeOperation();
    } else {
        updateReception();
    }
}

void Si4709::startSeek()
{
    if (tuning_) {
        cancel(tuneEvent_);
        tuning_ = false;
    }
    cancel(seekEvent_);
    regs_[STATUSRSSI] &= static_cast<std::uint16_t>(~(kStatusStc | kStatusSfBl));
    stopReception();
    const std::uint16_t powercfg = regs_[POWERCFG];
    seekUp_ = (powercfg & kPowercfgSeekup) != 0;
    seekWrap_ = !(powercfg & kPowercfgSkmode);
    seekThreshold_ = kSysconfig2Seekth.get(regs_[SYSCONFIG2]);
    seekSnr_ = kSysconfig3Sksnr.get(regs_[SYSCONFIG3]);
    seekStart_ = channel_;
    seekSteps_ = 0;
    seeking_ = true;
    seekEvent_ = kernel_.after(timing_.seekStep, [this] { seekStep(); });
}

void Si4709::seekStep()
{
    seekEvent_ = 0;
    const unsigned top = topChannel();
    ++seekSteps_;
    unsigned next = 0;
    if (seekUp_) {
        if (channel_ >= top) {
            if (!seekWrap_) {
                finishSeek(true);
                return;
            }
            next = 0;
        } else {
            next = channel_ + 1;
        }
    } else {
        if (channel_ == 0) {
            if (!seekWrap_) {
                finishSeek(true);
                return;
            }
            next = top;
        } else {
            next = std::min(channel_ - 1, top);
        }
    }
    channel_ = next;
    setReadChannel(next);
    if (next == seekStart_ || seekSteps_ > top + 1) {
        finishSeek(true);  // round the band without a station
    } else if (stopsSeek(next)) {
        finishSeek(false);
    } else {
        seekEvent_ = kernel_.after(timing_.seekStep, [this] { seekStep(); });
    }
}

bool Si4709::stopsSeek(unsigned channel) const
{
    const Station* station = stationOn(channel);
    if (station == nullptr || clampRssi(station->rssi) < static_cast<int>(seekThreshold_)) {
        return false;
    }
    return seekSnr_ == 0 || station->snr >= kSnrDbPerSksnrStep * static_cast<int>(seekSnr_);
}

void Si4709::finishSeek(bool failed)
{
    seeking_ = false;
    if (failed) {
        regs_[STATUSRSSI] |= kStatusSfBl;
    }
    completeOperation();
}

void Si4709::stopSeek()
{
    cancel(seekEvent_);
    seeking_ = false;
    updateReception();
}

}  // namespace sim
