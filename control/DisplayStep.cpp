// The display step of a long seek: while the chip seeks without reporting,
// the application still sees the frequency move.
#include "channel/SentenceTexts.h"
#include "channel/Sentences.h"
#include "control/StationSearch.h"
#include "driver/DriverContext.h"

#include <algorithm>

namespace {

constexpr unsigned kCallsPerStep = 4;
constexpr int kStep = 50;  // 500 kHz
constexpr int kLowestShown = 8750;
constexpr int kHighestShown = 10790;

}  // namespace

void stepDisplayFrequency(std::uint8_t up)
{
    Shared<std::uint8_t>& counter = gDriver.control.stepCounter;
    const std::uint8_t calls = static_cast<std::uint8_t>(counter.load() + 1);
    if (calls < kCallsPerStep) {
        counter.store(calls);
        return;
    }
    counter.store(0);

    int shown = gDriver.sentences.currentFrequency.load();
    shown = up != 0 ? std::min(shown + kStep, kHighestShown) : std::max(shown - kStep, kLowestShown);
    gDriver.sentences.currentFrequency.store(static_cast<std::uint16_t>(shown));

    const std::int32_t fields[] = {shown, 2, 0, 0, kTuningFormSearching};
    emitFields(kTuningStatusFormat, fields, 5);
}
