// Reception control: the control thread and the TMC station search. Other
// threads hand work to the control thread by writing a request code into
// controlRequest (after requestedFrequency for the tune codes); the thread
// takes it within one 10 ms step and tunes, searches, recovers the tuner or
// idles while powered down. With nothing pending it wakes about once a second
// to report the tuning status, measure the signal, age tmcQuality, send the
// debug counters, trigger a tuner recovery the interrupt thread asked for and
// start an automatic search when TMC has run out. It is the only thread that
// runs Tune, Seek, the search and the signal-quality measurement.
// Calls the tuner (tuner/Tuner.h), the group queue and decoder (rds/), the
// sentence catalogue (channel/) and the Windows CE surface; owns the fields
// of control/ControlState.h.
#pragma once

#include "control/StationSearch.h"
#include "platform/ce/WinCE.h"

#include <cstdint>

// Lets the next chip interrupt through, resets the chip and programs the
// receiver settings again. Settings lost on the bus would leave the chip on
// the wrong raster for good: recoveryNeeded then asks for another reset (the
// control loop's next tick, or the search before its next seek).
void resetAndReprogramTuner();

// The part of a power-up that needs a thread: the bus opened afresh under the
// bus guard (a power-up while running must not leak the open one), the
// interrupt acknowledged, the group queue and both rings emptied. The power
// requests run it on their caller's thread; after a system resume, whose
// power handler may make no system call, the control thread runs it when it
// takes the handler's recovery request.
void CompletePowerUp();

// Writes a request code over whatever is pending, for the paths that replace
// it (a power-down, a power-up's or a hang's recovery, the recovery request).
// A search a command asked for that now never starts leaves no stopSearch
// behind: the command set it only to end a search already running, and left
// set it would keep the automatic search from ever starting again. One
// interlocked exchange and a store: the system's power handlers may use it.
void ReplaceRequest(std::uint8_t code);

// The control thread procedure; the parameter is not used. Ends with
// ExitThread(0) once stopControlThread is set and a request code is pending.
DWORD WINAPI ControlThread(LPVOID parameter);
