#include "driver/DriverContext.h"
#include "tuner/Tuner.h"

using namespace si4709;

namespace {

// Band bottoms as SYSCONFIG2 bit 7 selects them: BAND 00 starts at 87.50 MHz,
// BAND 10 (and 01) at 76.00 MHz.
constexpr std::uint16_t kBottom76MHz = 7600;
constexpr std::uint16_t kBottom87MHz = 8750;
constexpr std::uint16_t kSysconfig2Band76MHz = 0x0080;
constexpr std::uint16_t kTopJapanFrequency = 9000;

const RegisterShadow& shadow()
{
    return gDriver.tuner.shadow;
}

std::uint16_t BandBottom()
{
    return (shadow().get(SYSCONFIG2) & kSysconfig2Band76MHz) ? kBottom76MHz : kBottom87MHz;
}

std::uint16_t ChannelSpacing()
{
    switch (kSysconfig2Space.get(shadow().get(SYSCONFIG2))) {
    case 0: return 20;  // 200 kHz
    case 1: return 10;  // 100 kHz
    default: return 5;  // 50 kHz
    }
}

}  // namespace

bool FrequencyInBand(std::uint16_t frequency)
{
    // The Japanese band ends at 90 MHz, the others at 108 MHz. A channel
    // number beyond the top would land in reserved bits of CHANNEL and leave
    // the receiver on no frequency at all.
    const std::uint16_t top = kSysconfig2Band.get(shadow().get(SYSCONFIG2)) == 2 ? kTopJapanFrequency : kTopFrequency;
    return frequency <= top;
}

std::uint16_t FrequencyToChannel(std::uint16_t frequency)
{
    const std::uint16_t bottom = BandBottom();
    if (frequency < bottom) {
        frequency = bottom;
    }
    return static_cast<std::uint16_t>((frequency - bottom) / ChannelSpacing());
}

std::uint16_t ChannelFrequency()
{
    const std::uint16_t recovery = gDriver.control.recoveryFrequency.load();
    // While a recovery or resume is pending the chip has not been tuned back
    // yet: report where it is going.
    if (gDriver.control.controlRequest.load() == kRequestRecover) {
        return recovery;
    }
    const unsigned channel = kReadchanChan.get(shadow().get(READCHAN));
    const auto frequency = static_cast<std::uint16_t>(BandBottom() + ChannelSpacing() * channel);
    // Above the top of the band the shadow holds no sensible channel.
    return frequency > kTopFrequency ? recovery : frequency;
}
