// The TMC station search: hardware seeks from station to station until one
// delivers TMC groups, waiting on each for RDS and then for TMC as the
// OutputFilter flags and the QFS/QFT wait counts say; and the display step
// that moves the reported frequency while a seek waits without interrupts.
// Runs on the control thread; any new request ends it within one 10 ms step.
#pragma once

#include <cstdint>

// Starts a search from the frequency the chip is on, in the direction of
// searchUp; the caller has set searchState and cleared controlRequest.
void startSearch();
// The search itself, from `frequency` (10 kHz units). Its outcome is left in
// tmcSeen and tmcQuality (60 when it ended on a TMC station).
void searchTmcStation(std::uint16_t frequency);

// A hardware seek to the next station (up when nonzero, else down) that drops
// the queued groups and the decoder's station once the chip has started.
void Seek(std::uint8_t up);

// Called by Seek on every sixth idle pass: every 4th call moves
// currentFrequency 50 (10 kHz units) in the seek's direction (nonzero up),
// within 8750..10790, and reports it as a search in progress.
void stepDisplayFrequency(std::uint8_t up);
