// The Si4709 FM receiver as the bus and the world see it.
//
// Bus side (an I2CTarget at 0x10): reads return registers from STATUSRSSI
// upward, wrapping after RDSD to DEVICEID; writes store from POWERCFG upward.
// On a bus whose transfers take time, a read returns each register as it
// stood when its bytes went out, and a write takes effect at its stop
// condition, all of it at once (model choice: the chip's documents say
// nothing finer).
// The chip does not acknowledge while its reset line is low, when it was not
// put into 2-wire mode (bus-mode line high at the rising reset edge) or while
// it hangs. A transfer of an odd number of bytes, or a write that would run
// past RDSD, is refused and counted as a protocol violation.
//
// World side: the chip hears the Band: RSSI, SNR, stereo and RDS groups of the
// station on its frequency. Timing (virtual, through kernel events): ready
// 110 ms after ENABLE; tune 60 ms; seek 60 ms per channel; RDSR falling 40 ms
// after a group; the interrupt output (GPIO2 = 01) pulses low for 5 ms when STC
// rises with STCIEN and when RDSR rises with RDSIEN.
//
// RDS follows the air: stations send a group in every slot of 87.6 ms from
// the start of the run, listened to or not. The chip receives while it is
// powered up with RDS on, not tuning, seeking or running the quality test; a
// group is ready at the end of its slot if the chip received all of it. A
// group whose slot overlapped a busy spell is lost: the chip counts those of
// the station it then hears (groupsLostWhileBusy).
//
// Seek stops at the first channel with a carrier whose RSSI reaches SEEKTH and,
// when SKSNR is n > 0, whose SNR reaches 2n dB (SKSNR 1 = 2 dB ... 15 = 30 dB).
// Channels without a carrier never stop a seek and read AFCRL = 1.
//
// Signal-quality test: writing RDSA..RDSD = kQualityStepOne starts step one,
// which ends 20 ms later with RDSD = 0; then kQualityStepTwo starts step
// two, which ends 40 ms later with RDSD = 0x0100 (done flag in the high byte,
// low byte 0) and the result in RDSA's low byte: the station's SNR in dB
// (0 without a carrier, or when step one did not run first). Other writes to
// STATUSRSSI..RDSD are ignored.
#pragma once

#include "sim/band/Band.h"
#include "sim/i2c/I2CTarget.h"
#include "sim/kernel/Kernel.h"
#include "tuner/Si4709Registers.h"

#include <array>
#include <cstdint>
#include <functional>

namespace sim {

inline constexpr std::uint16_t kChipIdPoweredUp =
    si4709::kChipIdRev.of(4) | si4709::kChipIdDev.of(9) | si4709::kChipIdFirmware.of(19);
static_assert(kChipIdPoweredUp == 0x1253);
inline constexpr std::uint16_t kChipIdBeforePowerUp =
    kChipIdPoweredUp & si4709::kChipIdRev.mask();  // DEV, FIRMWARE read 0

struct Si4709Timing {
    Micros powerUp = 110'000;
    Micros tune = 60'000;
    Micros seekStep = 60'000;
    Micros rdsrHold = 40'000;
    Micros interruptPulse = 5'000;
    Micros qualityStepOne = 20'000;
    Micros qualityStepTwo = 40'000;
};

class Si4709 final : public I2CTarget {
public:
    Si4709(Kernel& kernel, Band& band);
    ~Si4709() override;
    Si4709(const Si4709&) = delete;
    Si4709& operator=(const Si4709&) = delete;

    // ---- Pins ------------------------------------------------------------------
    void setResetLine(bool level);
    void setBusModeLine(bool level);
    // The interrupt output's level (high when idle or not configured).
    void onInterruptLine(std::function<void(bool)> listener) { interruptListener_ = std::move(listener); }

    // ---- Bus side ----------------------------------------------------------------
    bool write(const std::uint8_t* data, std::size_t length) override;
    bool read(std::uint8_t* data, std::size_t length) override;
    // On a bus whose transfers take time: the chip shifts a read out one
    // 16-bit register at a time, each as it stands when its high byte starts;
    // a reset edge or a supply dip during a transfer drops the chip out of it.
    bool answersAddress() override;
    std::uint64_t restarts() const override { return restarts_; }
    std::size_t readWordBytes() const override { return 2; }
    bool rereadWord(std::uint8_t* data, std::size_t offset) override;
    std::uint64_t violations() const { return violations_; }
    std::uint64_t unacknowledged() const { return nacks_; }
    std::uint64_t busWrites() const { return busWrites_; }
    std::uint64_t busReads() const { return busReads_; }
    // Reads that returned RDSR set with the four blocks: what the driver may
    // take as groups (the same group read twice counts twice).
    std::uint64_t groupReads() const { return groupReads_; }

    // ---- World side ----------------------------------------------------------------
    // A register as a read would return it now.
    std::uint16_t reg(si4709::Register index) const;
    bool inReset() const { return !resetHigh_; }
    bool twoWireMode() const { return twoWire_; }
    bool poweredUp() const { return power_ == Power::Ready; }
    bool tuning() const { return tuning_; }
    bool seeking() const { return seeking_; }
    unsigned channel() const { return channel_; }
    std::uint16_t frequency() const { return frequencyOf(channel_); }  // 10 kHz units
    std::uint16_t bandBottom() const;
    unsigned topChannel() const;

    // Stops answering the bus, interrupting and receiving until the next reset.
    void hang();
    bool hung() const { return hung_; }
    // The supply dips below the chip's brown-out level (an engine cranking):
    // the chip starts again from its power-on state, powered down with every
    // register at its reset value (RDS off, volume 0, interrupts off), while
    // its reset line stays high and it keeps answering the bus in the mode it
    // had. Nothing tells the driver.
    void supplyDip();
    std::uint64_t supplyDips() const { return dips_; }
    Si4709Timing& timing() { return timing_; }
    // RDSD values that end the two signal-quality steps; stall keeps them running.
    void setQualityAnswers(std::uint16_t stepOneRdsd, std::uint16_t stepTwoRdsd);
    void stallQualityTest(bool stall) { stallQuality_ = stall; }

    struct Audio {
        bool muted;       // DMUTE clear or VOLUME 0
        unsigned volume;  // VOLUME
        bool softMute;    // DSMUTE clear
        bool mono;
        bool deemphasis50us;
    };
    Audio audio() const;

    std::uint64_t groupsDelivered() const { return groupsDelivered_; }
    // Groups on the air that the chip missed because it was powering up,
    // tuning, seeking, measuring or had RDS off, counted when it next takes a
    // group (a spell on a channel without RDS forgives the ones before).
    std::uint64_t groupsLostWhileBusy() const { return groupsLostWhileBusy_; }
    std::uint64_t interruptPulses() const { return pulses_; }
    std::uint64_t stcCount() const { return stcCount_; }

private:
    enum class Power { Off, PoweringUp, Ready };

    // Si4709.cpp: pins, bus, register writes
    void resetRegisters();
    void stopEverything();
    void cancel(Kernel::EventId& id)
    {
        if (id != 0) {
            kernel_.cancel(id);
            id = 0;
        }
    }
    void applyWrite(const std::array<std::uint16_t, 16>& before, unsigned count);
    void applyPower(std::uint16_t before);
    // Si4709Tuning.cpp
    std::uint16_t frequencyOf(unsigned channel) const;
    unsigned spacing() const;
    // The station on a channel as the band has it now. A station keeps its
    // frequency and its place until the band changes, and the band's
    // generation says when it did: the last answer stands until then.
    Station* stationOn(unsigned channel) const
    {
        if (channel == heardChannel_ && regs_[si4709::SYSCONFIG2] == heardBandSetting_ &&
            band_.generation() == heardGeneration_ &&
            (heardStation_ == nullptr || heardStation_->frequency == heardFrequency_)) {
            return heardStation_;
        }
        return lookUpStation(channel);
    }
    Station* lookUpStation(unsigned channel) const;
    std::uint16_t liveStatus() const;
    void setReadChannel(unsigned channel);
    void startTune();
    void tuneDone();
    void startSeek();
    void seekStep();
    bool stopsSeek(unsigned channel) const;
    void finishSeek(bool failed);
    void stopSeek();
    void completeOperation();
    // Si4709Rds.cpp
    void updateReception();
    void stopReception();
    void missFrom(std::uint64_t slot);
    void awaitGroup(std::uint64_t slot);
    void groupTick();
    void deliver(const RdsGroup& group, bool verbose);
    void applyTestWrite(const std::array<std::uint16_t, 16>& written, unsigned count);
    void qualityStepDone(int step);
    void pulseInterrupt();
    void setInterruptLine(bool level);

    Kernel& kernel_;
    Band& band_;
    Random& bandRandom_;  // the kernel's band stream: block damage on the air
    Si4709Timing timing_;
    std::array<std::uint16_t, 16> regs_{};
    bool resetHigh_ = false;
    bool busModeHigh_ = false;
    bool twoWire_ = false;
    bool hung_ = false;
    Power power_ = Power::Off;
    unsigned channel_ = 0;
    // tune and seek
    bool tuning_ = false;
    bool seeking_ = false;
    unsigned tuneTarget_ = 0;
    unsigned seekStart_ = 0;
    unsigned seekSteps_ = 0;
    bool seekUp_ = true;
    bool seekWrap_ = true;
    unsigned seekThreshold_ = 0;
    unsigned seekSnr_ = 0;
    // RDS and the quality test
    bool receiving_ = false;
    std::uint64_t listenSlot_ = 0;               // the slot the chip hears now, ready at its end
    std::uint64_t missedFrom_ = kNothingMissed;  // first slot lost since the last group taken
    static constexpr std::uint64_t kNothingMissed = ~std::uint64_t{0};
    int qualityStep_ = 0;  // running step, 0 none
    bool qualityArmed_ = false;
    bool stallQuality_ = false;
    std::uint16_t stepOneAnswer_ = 0x0000;
    std::uint16_t stepTwoAnswer_ = 0x0100;
    // The station last found on a channel, kept while the band setting
    // (SYSCONFIG2) and the band's stations stay the same: the chip asks on
    // every group and every register read.
    mutable Station* heardStation_ = nullptr;
    mutable unsigned heardChannel_ = 0;
    mutable std::uint16_t heardBandSetting_ = 0;
    mutable std::uint16_t heardFrequency_ = 0;
    mutable std::uint64_t heardGeneration_ = ~std::uint64_t{0};
    // interrupt output
    bool lineLow_ = false;
    std::function<void(bool)> interruptListener_;
    // pending events
    Kernel::EventId powerEvent_ = 0;
    Kernel::EventId tuneEvent_ = 0;
    Kernel::EventId seekEvent_ = 0;
    Kernel::EventId groupEvent_ = 0;
    Kernel::EventId rdsrEvent_ = 0;
    Kernel::EventId qualityEvent_ = 0;
    Kernel::EventId pulseEvent_ = 0;
    // counters
    std::uint64_t violations_ = 0;
    std::uint64_t nacks_ = 0;
    std::uint64_t busWrites_ = 0;
    std::uint64_t busReads_ = 0;
    std::uint64_t groupReads_ = 0;
    std::uint64_t groupsDelivered_ = 0;
    std::uint64_t groupsLostWhileBusy_ = 0;
    std::uint64_t pulses_ = 0;
    std::uint64_t stcCount_ = 0;
    std::uint64_t dips_ = 0;
    std::uint64_t restarts_ = 0;
};

}  // namespace sim
