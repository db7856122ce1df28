// The parser's view of one command text, the two commands that do more than
// set a field: the search ("+", "-") and the station reset with a tune (H, O,
// S), and the hand-over of a command's request to the control thread. Used
// only by the command parser.
#pragma once

#include <cstdint>
#include <cstring>

// A command text read safely: a position at or beyond the terminating NUL
// reads as empty (letter 0, number 0).
class CommandText {
public:
    explicit CommandText(const char* text) : text_(text), length_(std::strlen(text)) {}

    char at(std::size_t position) const { return position < length_ ? text_[position] : '\0'; }
    // The second and third letters of a three-letter command.
    bool letters(char second, char third) const { return at(2) == second && at(3) == third; }
    // The decimal number at a position, read the way the C library's atoi
    // reads it: blanks skipped, an optional sign, digits up to the first
    // other character, 0 without digits. Wraps instead of overflowing.
    std::int32_t numberAt(std::size_t position) const;

private:
    const char* text_;
    std::size_t length_;
};

enum class TuneKind {
    Only,                     // H: tune
    ThenSearch,               // O: tune, then search on, automatic search off
    ThenSearchAutomatically,  // S: tune, then search on, automatic search on
};

// "+" and "-": start a search in direction kSearchingUp or kSearchingDown,
// or make a search in that direction already running leave its station.
void searchFromCommand(std::uint8_t direction);

// Forgets the station, discards queued output and asks the control thread to
// tune to frequency (and search on, for O and S); answers "$PLTTQ" form 6.
void tuneFromCommand(TuneKind kind, std::uint16_t frequency);

// Waits while a recovery is pending or under way, 3 s at most: the chip is
// being reset and programmed, and a command would act on nothing.
void waitOutRecovery();

// Hands a command's request to the control thread. It replaces an ordinary
// request: the latest command wins. It never replaces an unload or a
// power-down; the command is then dropped, as commands are while the
// receiver is down. A recovery it waits out first (3 s at most); one still
// under way after that is replaced, and carries the command out after it has
// tuned back. False when the command was dropped.
bool postCommandRequest(std::uint8_t code);
