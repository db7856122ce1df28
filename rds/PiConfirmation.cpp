// Confirmation of the programme identification code by repetition: a code
// heard three times within the candidate table's memory becomes the
// confirmed PI. Every confirmation sends the PI sentence and empties the
// table, so a steady station confirms again on every third group.
#include "rds/GroupDecoder.h"

#include "channel/Sentences.h"
#include "driver/DriverContext.h"

#include <cstring>

namespace {

constexpr std::uint8_t kPiConfirmHits = 3;
constexpr std::uint8_t kPiCandidateMaxAge = 32;  // older entries are freed
constexpr std::uint8_t kNoBestHits = 255;

}  // namespace

void confirmPi(std::uint16_t code)
{
    if (code == 0) return;
    DecoderState& decoder = gDriver.rds.decoder;
    PiCandidate* table = decoder.piCandidates;

    // The entry to overwrite: the fewest hits, among equals the later entry
    // unless it is younger than the one chosen so far. Its hits and age are
    // kept here rather than read back from the table: on the decoder's path
    // every group passes through this loop. No entry has kNoBestHits hits, so
    // the first entry is always chosen to begin with.
    unsigned slot = 0;
    std::uint8_t slotHits = kNoBestHits;
    std::uint8_t slotAge = 0;
    for (unsigned i = 0; i < kPiCandidateCount; ++i) {
        PiCandidate& entry = table[i];
        const std::uint8_t age = static_cast<std::uint8_t>(entry.age + 1);
        if (age > kPiCandidateMaxAge) {
            // Freed, and chosen whatever was chosen before it.
            entry = PiCandidate{};
            slotHits = 0;
            slotAge = 0;
        } else {
            entry.age = age;
        }
        if (entry.code == code) {
            const std::uint8_t hits = static_cast<std::uint8_t>(entry.hits + 1);
            if (hits == kPiConfirmHits) {
                decoder.confirmedPi.store(code);
                emitProgrammeIdentity();
                std::memset(table, 0, sizeof decoder.piCandidates);
                return;
            }
            entry.hits = hits;
            entry.age = 0;
        }
        if (entry.hits < slotHits || (entry.hits == slotHits && entry.age >= slotAge)) {
            slot = i;
            slotHits = entry.hits;
            slotAge = entry.age;
        }
    }
    table[slot] = PiCandidate{code, 1, 0};
}
