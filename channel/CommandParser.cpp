// The command parser: one "$PLTCM," command carried out. The text holds the
// command letter at position 1 and its arguments after it; numbers sit at
// fixed positions (2 for A, F, H, O and S, 3 for B and "F,", 4 for the
// frequency of H, O and S, 5 for the three-letter commands).
#include "channel/Commands.h"

#include "channel/CommandActions.h"
#include "channel/Sentences.h"
#include "control/ControlState.h"
#include "driver/DriverContext.h"
#include "driver/WorkerParking.h"
#include "rds/GroupDecoder.h"
#include "tuner/Tuner.h"

namespace {

constexpr DWORD kCommandPauseMs = 15;

constexpr std::int32_t kReportFilterFlags = 4096;
constexpr std::int32_t kReportTuningStatus = 8192;
constexpr std::int32_t kReportTuningStatusToo = 8193;
constexpr std::int32_t kReportFilterMasks = 16385;

constexpr std::uint32_t kVolumeAnswerCode = 0x7000;

// Reads what the receiver mode 1 locks: the filter flags and raw-group masks.
bool filtersLocked()
{
    return gDriver.tuner.receiverMode.load() == 1;
}

void handleAutoSearch(const CommandText& t)
{
    ControlState& control = gDriver.control;
    switch (t.numberAt(2)) {
    case 1:
        control.autoSearch.store(0);
        break;
    case 2:
        control.autoSearch.store(1);
        break;
    case 3:
        // As the other search commands: dropped whole (no answer, the
        // automatic search as it was) when its request cannot be posted.
        if (!postCommandRequest(kRequestSearchOn)) return;
        control.autoSearch.store(1);
        break;
    default:
        return;
    }
    emitFilterFlags();
}

void handleBandMode(const CommandText& t)
{
    const std::int32_t n = t.numberAt(3);
    if (n < 0 || n > 2) return;
    ReceiverSettings& settings = gDriver.tuner.settings;
    settings.bandMode.store(static_cast<std::uint8_t>(n));
    // A chip that a supply dip reset lost its station with its settings. The
    // pass below would program it afresh and hide that, leaving it untuned:
    // read back first, and a recovery brings the station back too.
    if (ReadBackRegisterFile() == RegisterReadBack::SettingsLost) gDriver.control.recoveryNeeded.store(1);
    ApplyReceiverSettings(settings);
}

void handleFilterFlags(const CommandText& t)
{
    // "F,511" and "F511" both work: a comma right after the letter is skipped.
    const std::int32_t n = t.at(2) == ',' ? t.numberAt(3) : t.numberAt(2);
    if (!filtersLocked()) gDriver.sentences.outputFilter.flags.store(static_cast<std::uint16_t>(n));
    emitFilterFlags();
}

// H, O and S with a 2 after the letter tune; whatever follows, they answer
// with the filter flags.
void handleTune(const CommandText& t, TuneKind kind)
{
    if (t.numberAt(2) == 2) tuneFromCommand(kind, static_cast<std::uint16_t>(t.numberAt(4)));
    emitFilterFlags();
}

void handleMode(const CommandText& t)
{
    if (!t.letters('O', 'D')) return;
    gDriver.tuner.receiverMode.store(static_cast<std::uint8_t>(t.numberAt(5)));
    emitFilterMasks();
}

void handleSeekSetting(const CommandText& t)
{
    if (t.at(2) != 'F') return;
    ReceiverSettings& settings = gDriver.tuner.settings;
    const auto n = static_cast<std::uint16_t>(t.numberAt(5));
    switch (t.at(3)) {
    case 'I':
        settings.QFI.store(n);
        settings.seekThresholdByte.store(static_cast<std::uint8_t>(n));
        break;
    case 'S':
        settings.QFS.store(n);
        break;
    case 'T':
        settings.QFT.store(n);
        break;
    case 'N':
        settings.QFN.store(n);
        break;
    default:
        return;
    }
    // A chip reset behind the driver's back would otherwise keep its reset
    // volume and band: the control loop programs it afresh.
    if (!ApplySeekSettings()) gDriver.control.recoveryNeeded.store(1);
    emitSearchSettings();
}

void handleReport(const CommandText& t)
{
    switch (t.numberAt(5)) {
    case kReportFilterFlags:
        emitFilterFlags();
        break;
    case kReportTuningStatus:
    case kReportTuningStatusToo:
        reportTuningStatus();
        break;
    case kReportFilterMasks:
        emitFilterMasks();
        break;
    default:
        break;
    }
}

void handleRawMasks(const CommandText& t)
{
    if (t.letters('E', 'Q')) {
        handleReport(t);
        return;
    }
    if (t.at(2) != 'F' || (t.at(3) != 'A' && t.at(3) != 'B')) return;
    if (!filtersLocked()) {
        OutputFilter& filter = gDriver.sentences.outputFilter;
        Shared<std::uint16_t>& mask = t.at(3) == 'A' ? filter.maskA : filter.maskB;
        mask.store(static_cast<std::uint16_t>(t.numberAt(5)));
    }
    emitFilterMasks();
}

void handleStartWithSearch(const CommandText& t)
{
    if (t.at(2) == 'C') {
        gDriver.control.autoSearch.store(1);
        emitFilterFlags();
        return;
    }
    handleTune(t, TuneKind::ThenSearchAutomatically);
}

void handleTmcMask(const CommandText& t)
{
    if (!t.letters('M', 'C')) return;
    gDriver.sentences.outputFilter.tmcMask.store(static_cast<std::uint16_t>(t.numberAt(5)));
    emitFilterMasks();
}

void handleVolumeOrVersion(const CommandText& t)
{
    if (t.letters('O', 'L')) {
        // The stored volume stays: the next settings pass brings it back.
        SetVolume(static_cast<std::uint8_t>(t.numberAt(5) & 0xFF));
        emitConfigCode(kVolumeAnswerCode);
        return;
    }
    emitVersion();
    emitFirmware();
}

void carryOut(const CommandText& t)
{
    switch (t.at(1)) {
    case '+':
        searchFromCommand(kSearchingUp);
        break;
    case '-':
        searchFromCommand(kSearchingDown);
        break;
    case 'A':
        handleAutoSearch(t);
        break;
    case 'B':
        handleBandMode(t);
        break;
    case 'F':
        handleFilterFlags(t);
        break;
    case 'H':
        handleTune(t, TuneKind::Only);
        break;
    case 'M':
        handleMode(t);
        break;
    case 'O':
        handleTune(t, TuneKind::ThenSearch);
        break;
    case 'Q':
        handleSeekSetting(t);
        break;
    case 'R':
        handleRawMasks(t);
        break;
    case 'S':
        handleStartWithSearch(t);
        break;
    case 'T':
        handleTmcMask(t);
        break;
    case 'V':
        handleVolumeOrVersion(t);
        break;
    case 'X':
        gDriver.control.stopSearch.store(1);
        break;
    default:
        break;  // unknown and lower-case letters, an empty body
    }
}

}  // namespace

void InitCommandGuard()
{
    InitializeCriticalSection(&gDriver.channel.commandGuard);
}

void ReleaseCommandGuard()
{
    DeleteCriticalSection(&gDriver.channel.commandGuard);
}

// The guard is held through the recovery wait (3 s at most), the pause and
// the command, whose request may wait out another recovery: a second command
// waits its turn, however long that takes, and is not lost. While the
// receiver is held off by a power-down a command is not carried out, also
// one that was waiting its turn or that the power-down caught in its pause.
bool parseCommandUnlessHeldOff(const char* text)
{
    if (text == nullptr) return true;
    EnterCriticalSection(&gDriver.channel.commandGuard);
    bool carried = false;
    if (!ParkRequested()) {
        // A recovery resets and reprograms the chip: hold the command until
        // it is over, but not for more than 3 s.
        waitOutRecovery();
        Sleep(kCommandPauseMs);
        if (!ParkRequested()) {
            carryOut(CommandText(text));
            carried = true;
        }
    }
    LeaveCriticalSection(&gDriver.channel.commandGuard);
    return carried;
}

void parseCommand(const char* text)
{
    parseCommandUnlessHeldOff(text);
}

void AwaitCommandUnderWay()
{
    EnterCriticalSection(&gDriver.channel.commandGuard);
    LeaveCriticalSection(&gDriver.channel.commandGuard);
}
