// The sentences of the catalogue that report the tuner's registers: tuning
// status, firmware, block errors and signal quality.
#include "channel/SentenceTexts.h"
#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "tuner/Tuner.h"

using namespace si4709;

namespace {

std::uint16_t reg(unsigned index)
{
    return gDriver.tuner.shadow.get(index);
}

// The ranges the firmware sentence reports, as the applications read them:
// one bit short of the chip's FIRMWARE (5:0) and REV (15:10) fields.
constexpr Field kFirmwareShown = bits<4, 0>();
constexpr Field kTest2Shown = bits<3, 0>();
constexpr Field kDeviceShown = kChipIdDev;
constexpr Field kRevisionShown = bits<14, 10>();

int rssi()
{
    return kStatusRssi.get(reg(STATUSRSSI));
}

}  // namespace

void emitTuningStatus()
{
    const std::uint16_t frequency = ChannelFrequency();
    gDriver.sentences.currentFrequency.store(frequency);

    const std::uint16_t status = reg(STATUSRSSI);
    const int channelValid = (status & kStatusSfBl) == 0 ? 1 : 0;
    const std::int32_t fields[] = {frequency, rssi(), gDriver.rds.tmcQuality.load(), channelValid,
                                   gDriver.tuner.settings.bandMode.load()};
    emitFields(kTuningStatusFormat, fields, 5);
}

void emitFirmware()
{
    // DEVICEID, CHIPID and TEST2 come only with a read that wraps round: the
    // whole register file, which also shows a chip that lost its settings.
    if (ReadBackRegisterFile() == RegisterReadBack::SettingsLost) gDriver.control.recoveryNeeded.store(1);
    gDriver.tuner.statusStale.store(0);
    const std::uint16_t chipId = reg(CHIPID);
    const std::int32_t fields[] = {kFirmwareShown.get(chipId), kTest2Shown.get(reg(TEST2)), kDeviceShown.get(chipId),
                                   kRevisionShown.get(chipId), reg(DEVICEID)};
    emitFields(kFirmwareFormat, fields, 5);
}

void emitBlockErrors()
{
    if (!outputFilterAllows(kFilterDebug)) {
        return;
    }
    const std::uint16_t status = reg(STATUSRSSI);
    const std::uint16_t readchan = reg(READCHAN);
    const std::int32_t fields[] = {kStatusBlera.get(status), kReadchanBlerb.get(readchan), kReadchanBlerc.get(readchan),
                                   kReadchanBlerd.get(readchan)};
    emitFields(kBlockErrorsFormat, fields, 4);
}

void emitSignalQuality()
{
    const std::int32_t fields[] = {ChannelFrequency(), rssi(), gDriver.tuner.qualityResult.load()};
    emitFields(kSignalQualityFormat, fields, 3);
}
