// Sentence channel, output side: framing of every line the driver sends
// (emitSentence) and the sentences of the catalogue that need no tuner
// registers. Every routine formats its line on the caller's stack and writes
// it to the OutputRing with one ring write; none allocates, none fails.
// Calls: the OutputRing; reads the OutputFilter and the decoder's counters.
#pragma once

#include <cstdint>

// A formatted line, checksum and line end included, fits in this buffer.
constexpr unsigned kSentenceBufferBytes = 59;
// "*", two checksum digits, carriage return, line feed.
constexpr unsigned kSentenceTrailerBytes = 5;
// The longest text before its checksum that still fits the buffer.
constexpr unsigned kSentenceTextMax = kSentenceBufferBytes - 1 - kSentenceTrailerBytes;

// XOR of every byte after the leading "$" up to the end of the text.
std::uint8_t sentenceChecksum(const char* text);

// Frames text (which begins with "$") as "text*hh\r\n" with the checksum in
// two lowercase hex digits and writes the line to the OutputRing in one write.
// A text longer than kSentenceTextMax is cut there (no sentence is that long).
void emitSentence(const char* text);

// Writes `format` into `text` (at most size - 1 bytes and a terminating zero),
// each %d (signed decimal) or %x (lowercase hexadecimal) replaced by the next
// of the `count` values: what snprintf makes of these formats, much faster.
// Returns the bytes written before the terminating zero.
unsigned formatFields(char* text, unsigned size, const char* format, const std::int32_t* values, unsigned count);

// What emitSentence sends for the text formatFields makes of `format` and the
// values, formatted straight into the line that goes to the OutputRing.
void emitFields(const char* format, const std::int32_t* values, unsigned count);

// Stores the start-up defaults in the OutputFilter.
void storeDefaultOutputFilter();
// True when every bit of `bits` is set in the OutputFilter flags.
bool outputFilterAllows(std::uint16_t bits);

// The catalogue (gates as noted; the others always send).
void emitVersion();
void emitTuningStarted(std::uint16_t frequency);
void emitRawGroup(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d);  // caller tests the masks
void emitTmcGroup(std::uint16_t b, std::uint16_t c, std::uint16_t d);                   // kFilterTmcGroup
void emitProgrammeIdentity();  // kFilterProgrammeIdentity, a confirmed PI
void emitDebugCounters();      // kFilterDebug; clears decodedGroupCount
void emitFilterMasks();
void emitFilterFlags();
void emitConfigCode(std::uint32_t code);

// The sentences built from the tuner's registers (channel/TunerSentences.cpp).
// Tuning status from the shadow as it stands (reportTuningStatus in rds/
// first follows a station change and refreshes the status registers).
void emitTuningStatus();
void emitFirmware();       // reads the whole register file first
void emitBlockErrors();    // kFilterDebug; from the registers as they stand
void emitSignalQuality();  // frequency, RSSI and the quality test's result
