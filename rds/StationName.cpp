// The programme service name: each position holds a believed character and a
// challenger with a confidence. A character needs two receptions to be
// confirmed; a challenger that comes twice replaces the believed character and
// makes every other confirmed position be received once more before the name
// counts as complete again.
#include "rds/GroupDecoder.h"

#include "channel/SentenceTexts.h"
#include "channel/Sentences.h"
#include "driver/DriverContext.h"

#include <cstring>

namespace {

constexpr std::uint8_t kConfirmed = 2;
constexpr std::uint8_t kReplaced = 3;

bool nameComplete(const StationNameState& name)
{
    for (unsigned i = 0; i < kStationNameLength; ++i)
        if (name.psConfidence[i] < kConfirmed) return false;
    return true;
}

}  // namespace

void updateStationName(unsigned position, std::uint8_t character)
{
    if (position >= kStationNameLength) return;
    StationNameState& name = gDriver.rds.decoder.name;
    std::uint8_t& confidence = name.psConfidence[position];

    if (name.psCurrent[position] == character) {
        if (confidence < kConfirmed) {
            ++confidence;
        } else {
            confidence = kConfirmed;
            name.psAlternative[position] = character;
        }
    } else if (name.psAlternative[position] == character) {
        confidence = kReplaced;
        name.psAlternative[position] = name.psCurrent[position];
        name.psCurrent[position] = character;
        for (unsigned i = 0; i < kStationNameLength; ++i)
            if (name.psConfidence[i] > 1) --name.psConfidence[i];
    } else if (confidence == 0) {
        confidence = 1;
        name.psCurrent[position] = character;
    } else {
        name.psAlternative[position] = character;
    }

    if (nameComplete(name)) {
        std::memcpy(name.stationName, name.psCurrent, kStationNameLength);
        emitStationName();
    }
}

void emitStationName()
{
    if (!outputFilterAllows(kFilterStationName) || gDriver.rds.decoder.confirmedPi.load() == 0) return;

    StationNameState& name = gDriver.rds.decoder.name;
    bool changed = false;
    for (unsigned i = 0; i < kStationNameLength; ++i) {
        // A control byte (NUL included) would break the application's line:
        // it goes out as a space. Every other byte is the broadcaster's own.
        std::uint8_t character = name.stationName[i];
        if (character < 0x20 || character == 0x7F) {
            character = ' ';
            name.stationName[i] = character;
        }
        if (character != name.lastEmittedName[i]) {
            changed = true;
            name.lastEmittedName[i] = character;
        }
    }
    // The line is built only for a name that changed, which is rare: the
    // same name is confirmed again with every group 0A.
    if (!changed) return;
    char text[sizeof kStationNameTemplate];
    std::memcpy(text, kStationNameTemplate, sizeof kStationNameTemplate);
    std::memcpy(text + kStationNameOffset, name.lastEmittedName, kStationNameLength);
    emitSentence(text);
}
