// The sentences of the catalogue that report the tuner's registers: tuning
// status, firmware, block errors and signal quality.
#include "channel/SentenceTexts.h"
#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "rds/GroupDecoder.h"
#include "tuner/Tuner.h"

#include <cstdio>

using namespace si4709;

namespace {

std::uint16_t reg(unsigned index)
{
    return gDriver.tuner.shadow.get(index);
}

int rssi()
{
    return kStatusRssi.get(reg(STATUSRSSI));
}

}  // namespace

// Sent by the control, interrupt and command threads alike, without a lock:
// two of them may both find a new station and reset the decoder twice, or
// both flip statusStale so that one line more or fewer reads the registers.
// Either is harmless, so these stay plain loads and stores.
void emitTuningStatus()
{
    SentenceState& state = gDriver.sentences;
    std::uint16_t frequency = ChannelFrequency();
    // A new station: its PI and name must not carry the old station's.
    if (frequency != state.decoderFrequency.load()) {
        resetRdsDecoder();
        frequency = ChannelFrequency();
        state.decoderFrequency.store(frequency);
    }
    // While no other routine reads the status registers, every second status
    // line reads them fresh.
    if (state.statusStale.load() != 0) {
        GuardedReadRegisters(STATUSRSSI, READCHAN);
        state.statusStale.store(0);
        frequency = ChannelFrequency();
    } else {
        state.statusStale.store(1);
    }
    state.currentFrequency.store(frequency);

    const std::uint16_t status = reg(STATUSRSSI);
    const int channelValid = (status & kStatusSfBl) == 0 ? 1 : 0;
    char text[kSentenceBufferBytes];
    std::snprintf(text, sizeof text, kTuningStatusFormat, int{frequency}, rssi(),
                  int{gDriver.rds.tmcQuality.load()}, channelValid,
                  int{gDriver.tuner.settings.bandMode.load()});
    emitSentence(text);
}

void emitFirmware()
{
    GuardedReadRegisters(STATUSRSSI, BOOTCONFIG);
    gDriver.sentences.statusStale.store(0);
    const std::uint16_t chipId = reg(CHIPID);
    char text[kSentenceBufferBytes];
    std::snprintf(text, sizeof text, kFirmwareFormat, chipId & 0x1F, reg(TEST2) & 0xF, (chipId >> 6) & 0xF,
                  (chipId >> 10) & 0x1F, int{reg(DEVICEID)});
    emitSentence(text);
}

void emitBlockErrors()
{
    if (!outputFilterAllows(kFilterDebug)) {
        return;
    }
    const std::uint16_t status = reg(STATUSRSSI);
    const std::uint16_t readchan = reg(READCHAN);
    char text[kSentenceBufferBytes];
    std::snprintf(text, sizeof text, kBlockErrorsFormat, int{kStatusBlera.get(status)},
                  int{kReadchanBlerb.get(readchan)}, int{kReadchanBlerc.get(readchan)},
                  int{kReadchanBlerd.get(readchan)});
    emitSentence(text);
}

void emitSignalQuality()
{
    char text[kSentenceBufferBytes];
    std::snprintf(text, sizeof text, kSignalQualityFormat, int{ChannelFrequency()}, rssi(),
                  int{gDriver.tuner.qualityResult.load()});
    emitSentence(text);
}
