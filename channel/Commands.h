// Sentence channel, input side: the command-reader thread that picks
// "$PLTCM," lines out of the InputRing, and the parser that carries out one
// command (from that thread or from the private command request on the
// application's thread). The parser posts requests to the control thread,
// changes the receiver settings and the output filter and answers with
// sentences. Calls: the rings, the group queue, the decoder resets, the
// tuner's settings routines and the sentence catalogue.
// Lock order: parser, decoder, group queue, ring; the parser's guard is the
// only one held across a Sleep.
#pragma once

#include "platform/ce/WinCE.h"

#include <cstdint>

// "$", a body of at most 18 characters, the line-ending character, the NUL.
constexpr unsigned kCommandLineBytes = 21;
constexpr unsigned kCommandBodyMax = 18;

// What the reader thread keeps from one line to the next: the line buffer,
// and whether the line feed of a CR LF pair is still to come and be dropped.
struct CommandReader {
    char line[kCommandLineBytes];
    std::uint8_t dropLineFeed;
    std::uint8_t lineHeld;  // a whole line a power-down kept from being carried out
};

// Create and delete the parser's guard: once per load, before any thread can
// call parseCommand; released at unload once none can.
void InitCommandGuard();
void ReleaseCommandGuard();

// The command-reader thread: sets the InputRing to 128 bytes, then reads and
// parses command lines until stopReaderThread is set. Takes no bytes while a
// recovery or power-down is pending.
DWORD WINAPI CommandReaderThread(LPVOID parameter);

// Waits, in 50 ms rounds, for one command line; true with "$", the body and
// the line-ending character in reader.line. False when a body grew past 18
// characters (the line is dropped) or when stopReaderThread is set.
bool readCommandLine(CommandReader& reader);

// Carries out one command. text[1] is the command letter, the arguments
// follow; text[0] is not looked at. Serialised between its callers; waits
// while a recovery is under way (at most 3 s), then 15 ms, then acts. Does
// nothing while a power-down holds the receiver off.
void parseCommand(const char* text);
// The same; false when a power-down held the receiver off before the command
// was carried out: the command reader keeps the line and offers it again
// after the power-up, as a line read before the power-down.
bool parseCommandUnlessHeldOff(const char* text);

// Returns once the command being carried out, if any, has ended. A power-down
// calls it after asking the workers to park: from then on no command is
// carried out until the power-up.
void AwaitCommandUnderWay();

// "$PXRQF" with QFI, QFS, QFT and QFN.
void emitSearchSettings();
