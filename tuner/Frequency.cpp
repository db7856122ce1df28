#include "driver/DriverContext.h"
#include "tuner/Tuner.h"

using namespace si4709;

namespace {

// Band bottoms as BAND's high bit (SYSCONFIG2 bit 7) selects them: BAND 00
// starts at 87.50 MHz, BAND 10 at 76.00 MHz. The driver never selects BAND
// 01, which also starts at 76.00 MHz but would be taken for 87.50 here.
constexpr std::uint16_t kBottom76MHz = 7600;
constexpr std::uint16_t kBottom87MHz = 8750;
constexpr std::uint16_t kSysconfig2Band76MHz = kSysconfig2Band.of(kBandJapan);
static_assert(kSysconfig2Band76MHz == 0x0080);
constexpr std::uint16_t kTopJapanFrequency = 9000;

const RegisterShadow& shadow()
{
    return gDriver.tuner.shadow;
}

std::uint16_t bandBottom()
{
    return (shadow().get(SYSCONFIG2) & kSysconfig2Band76MHz) ? kBottom76MHz : kBottom87MHz;
}

std::uint16_t channelSpacing()
{
    switch (kSysconfig2Space.get(shadow().get(SYSCONFIG2))) {
    case kSpace200kHz:
        return 20;
    case kSpace100kHz:
        return 10;
    default:
        return 5;  // kSpace50kHz
    }
}

}  // namespace

bool FrequencyInBand(std::uint16_t frequency)
{
    // The Japanese band ends at 90 MHz, the others at 108 MHz. A channel
    // number beyond the top would land in reserved bits of CHANNEL and leave
    // the receiver on no frequency at all.
    const bool japan = kSysconfig2Band.get(shadow().get(SYSCONFIG2)) == kBandJapan;
    const std::uint16_t top = japan ? kTopJapanFrequency : kTopFrequency;
    return frequency <= top;
}

std::uint16_t FrequencyToChannel(std::uint16_t frequency)
{
    const std::uint16_t bottom = bandBottom();
    if (frequency < bottom) {
        frequency = bottom;
    }
    return static_cast<std::uint16_t>((frequency - bottom) / channelSpacing());
}

std::uint16_t FrequencyOfChannel(unsigned channel)
{
    return static_cast<std::uint16_t>(bandBottom() + channelSpacing() * channel);
}

std::uint16_t KeptFrequency()
{
    const std::uint8_t request = gDriver.control.controlRequest.load();
    if (request == kRequestRecover || request == kRequestPoweredDown || gDriver.control.retuning.load() != 0)
        return gDriver.control.recoveryFrequency.load();
    // A seek under way moves the chip: where it has got to is what it
    // reports, and so is where a seek stopped until a status read kept it.
    const std::uint16_t kept = gDriver.tuner.keptFrequency.load();
    return kept != 0 ? kept : ChannelFrequency();
}

std::uint16_t ChannelFrequency()
{
    const std::uint16_t recovery = gDriver.control.recoveryFrequency.load();
    // While a recovery or resume is pending, or its tune back runs, the chip
    // has not been tuned back yet: report where it is going. So while it is
    // powered down: the power-up's recovery tunes back there, and a second
    // power-down must not save the channel of a chip in reset.
    const std::uint8_t request = gDriver.control.controlRequest.load();
    if (request == kRequestRecover || request == kRequestPoweredDown || gDriver.control.retuning.load() != 0) {
        return recovery;
    }
    const std::uint16_t frequency = FrequencyOfChannel(kReadchanChan.get(shadow().get(READCHAN)));
    // Above the top of the band the shadow holds no sensible channel.
    return frequency > kTopFrequency ? recovery : frequency;
}
