// The chip's pins, its bus side and what a register write sets going.
#include "sim/si4709/Si4709.h"

namespace sim {

using namespace si4709;

namespace {
constexpr unsigned kWritableRegisters = kRegisterCount - kFirstWriteRegister;  // POWERCFG..RDSD
constexpr unsigned kLastControlRegister = BOOTCONFIG;

bool rose(std::uint16_t before, std::uint16_t after, std::uint16_t bit)
{
    return !(before & bit) && (after & bit);
}
bool fell(std::uint16_t before, std::uint16_t after, std::uint16_t bit)
{
    return (before & bit) && !(after & bit);
}
}  // namespace

Si4709::Si4709(Kernel& kernel, Band& band) : kernel_(kernel), band_(band), bandRandom_(kernel.random(Stream::Band))
{
    resetRegisters();
}

Si4709::~Si4709()
{
    interruptListener_ = nullptr;  // the SoC may already be gone
    stopEverything();
}

void Si4709::resetRegisters()
{
    regs_ = {};
    regs_[DEVICEID] = kDeviceId;
    regs_[CHIPID] = kChipIdBeforePowerUp;
    power_ = Power::Off;
    channel_ = 0;
    qualityArmed_ = false;
}

void Si4709::stopEverything()
{
    for (Kernel::EventId* id :
         {&powerEvent_, &tuneEvent_, &seekEvent_, &groupEvent_, &rdsrEvent_, &qualityEvent_, &pulseEvent_}) {
        cancel(*id);
    }
    tuning_ = false;
    seeking_ = false;
    receiving_ = false;
    missedFrom_ = kNothingMissed;  // an unpowered or hung chip is not busy
    qualityStep_ = 0;
    if (lineLow_) {
        setInterruptLine(true);
    }
}

void Si4709::setResetLine(bool level)
{
    if (level == resetHigh_) {
        return;
    }
    resetHigh_ = level;
    ++restarts_;
    stopEverything();
    resetRegisters();
    hung_ = false;
    // The bus mode is latched on the rising edge; in reset the chip is deaf.
    twoWire_ = level && busModeHigh_;
}

void Si4709::setBusModeLine(bool level)
{
    busModeHigh_ = level;
}

void Si4709::hang()
{
    hung_ = true;
    stopEverything();
}

void Si4709::supplyDip()
{
    if (!resetHigh_) {
        return;  // held in reset, the chip has nothing to lose
    }
    ++dips_;
    ++restarts_;
    stopEverything();
    resetRegisters();
    hung_ = false;
}

void Si4709::setQualityAnswers(std::uint16_t stepOneRdsd, std::uint16_t stepTwoRdsd)
{
    stepOneAnswer_ = stepOneRdsd;
    stepTwoAnswer_ = stepTwoRdsd;
}

bool Si4709::read(std::uint8_t* data, std::size_t length)
{
    if (!resetHigh_ || !twoWire_ || hung_) {
        ++nacks_;
        return false;
    }
    if (length == 0 || length % 2 != 0) {
        ++violations_;
        return false;
    }
    ++busReads_;
    // Nothing changes while the bytes go out: the live status is the same for
    // every word of the read.
    const std::uint16_t status = liveStatus();
    // A read that reaches RDSD while RDSR shows hands the reader a group.
    constexpr std::size_t kThroughRdsd = 2 * (RDSD - STATUSRSSI + 1);
    if (length >= kThroughRdsd && (status & kStatusRdsr) != 0) {
        ++groupReads_;
    }
    std::array<std::uint16_t, kRegisterCount> words = regs_;
    words[STATUSRSSI] = status;
    for (std::size_t i = 0; i < length / 2; ++i) {
        const std::uint16_t value = words[(kFirstReadRegister + i) % kRegisterCount];
        data[2 * i] = static_cast<std::uint8_t>(value >> 8);
        data[2 * i + 1] = static_cast<std::uint8_t>(value & 0xFF);
    }
    return true;
}

bool Si4709::answersAddress()
{
    if (!resetHigh_ || !twoWire_ || hung_) {
        ++nacks_;
        return false;
    }
    return true;
}

bool Si4709::rereadWord(std::uint8_t* data, std::size_t offset)
{
    if (!resetHigh_ || !twoWire_ || hung_) {
        return false;
    }
    const std::uint16_t value = reg(static_cast<Register>((kFirstReadRegister + offset / 2) % kRegisterCount));
    data[offset] = static_cast<std::uint8_t>(value >> 8);
    data[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
    return true;
}

bool Si4709::write(const std::uint8_t* data, std::size_t length)
{
    if (!resetHigh_ || !twoWire_ || hung_) {
        ++nacks_;
        return false;
    }
    if (length == 0 || length % 2 != 0 || length > 2 * kWritableRegisters) {
        ++violations_;
        return false;
    }
    ++busWrites_;
    const unsigned count = static_cast<unsigned>(length / 2);
    const std::array<std::uint16_t, 16> before = regs_;
    std::array<std::uint16_t, 16> written = regs_;
    for (unsigned i = 0; i < count; ++i) {
        written[kFirstWriteRegister + i] = static_cast<std::uint16_t>(data[2 * i] << 8 | data[2 * i + 1]);
    }
    // The status and RDS registers are read-only; only the quality test uses them.
    for (unsigned r = kFirstWriteRegister; r <= kLastControlRegister && r < kFirstWriteRegister + count; ++r) {
        regs_[r] = written[r];
    }
    applyWrite(before, count);
    if (kFirstWriteRegister + count > RDSD) {
        applyTestWrite(written, count);
    }
    return true;
}

void Si4709::applyPower(std::uint16_t before)
{
    const std::uint16_t now = regs_[POWERCFG];
    if (power_ == Power::Off && (now & kPowercfgEnable) && !(now & kPowercfgDisable)) {
        power_ = Power::PoweringUp;
        missFrom(slotAt(kernel_.now()));
        powerEvent_ = kernel_.after(timing_.powerUp, [this] {
            powerEvent_ = 0;
            power_ = Power::Ready;
            regs_[CHIPID] = kChipIdPoweredUp;
            setReadChannel(channel_);
            updateReception();
        });
    } else if (power_ != Power::Off && (now & kPowercfgEnable) && (now & kPowercfgDisable)) {
        stopEverything();
        power_ = Power::Off;
        regs_[POWERCFG] = static_cast<std::uint16_t>(now & ~(kPowercfgEnable | kPowercfgDisable));
        regs_[CHIPID] = kChipIdBeforePowerUp;
        regs_[STATUSRSSI] = 0;
        regs_[READCHAN] = 0;
    }
}

void Si4709::applyWrite(const std::array<std::uint16_t, 16>& before, unsigned count)
{
    applyPower(before[POWERCFG]);
    if (power_ != Power::Ready) {
        return;  // settings are kept; nothing runs before power-up
    }
    const std::uint16_t powercfg = regs_[POWERCFG];
    const std::uint16_t channel = regs_[CHANNEL];
    if (fell(before[CHANNEL], channel, kChannelTune)) {
        regs_[STATUSRSSI] &= static_cast<std::uint16_t>(~kStatusStc);
        if (tuning_) {
            // The synthesiser is already on its way: the tune ends at once, quietly.
            cancel(tuneEvent_);
            tuneDone();
        }
    }
    if (fell(before[POWERCFG], powercfg, kPowercfgSeek)) {
        regs_[STATUSRSSI] &= static_cast<std::uint16_t>(~(kStatusStc | kStatusSfBl));
        if (seeking_) {
            stopSeek();
        }
    }
    if (rose(before[CHANNEL], channel, kChannelTune)) {
        startTune();
    } else if (rose(before[POWERCFG], powercfg, kPowercfgSeek)) {
        startSeek();
    }
    if (kSysconfig1Gpio2.get(regs_[SYSCONFIG1]) != kGpio2Interrupt && lineLow_) {
        cancel(pulseEvent_);
        setInterruptLine(true);
    }
    updateReception();
}

std::uint16_t Si4709::reg(Register index) const
{
    return index == STATUSRSSI ? liveStatus() : regs_[index];
}

Si4709::Audio Si4709::audio() const
{
    const std::uint16_t powercfg = regs_[POWERCFG];
    const unsigned volume = kSysconfig2Volume.get(regs_[SYSCONFIG2]);
    return Audio{!(powercfg & kPowercfgDmute) || volume == 0, volume, !(powercfg & kPowercfgDsmute),
                 (powercfg & kPowercfgMono) != 0, (regs_[SYSCONFIG1] & kSysconfig1De) != 0};
}

}  // namespace sim
