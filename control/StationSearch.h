// TMC station search: moves the receiver from station to station until one
// delivers TMC, and the display step that moves the reported frequency while
// a seek waits without interrupts.
#pragma once

#include <cstdint>

// Called by Seek on every sixth idle pass: every 4th call moves
// currentFrequency 50 (10 kHz units) in the seek's direction (nonzero up),
// within 8750..10790, and reports it as a search in progress.
void stepDisplayFrequency(std::uint8_t up);
