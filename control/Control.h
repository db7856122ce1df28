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
// control loop's next tick, or the search before its next seek). False when a
// power-down came during the reset pulse: the chip is left in reset for it.
bool resetAndReprogramTuner();

// The part of a power-up that needs a thread: the bus opened afresh under the
// bus guard (a power-up while running must not leak the open one), the
// interrupt acknowledged, the group queue and both rings emptied. The power
// requests run it on their caller's thread; after a system resume, whose
// power handler may make no system call, the control thread runs it when it
// takes the handler's recovery request.
void CompletePowerUp();

// Every writer of controlRequest but the control thread's own takes and the
// unload goes through one of these two compare-and-swap loops, so that no
// check and write can be split by another writer's.
//
// ReplaceRequest: the power paths' codes (200 for a power-down, 100 for a
// power-up's recovery), written over anything but a pending unload (99).
// Compare-and-swap steps and a store only: the system's power handlers may
// use it. Returns the code it replaced (or the 99 it left).
std::uint8_t ReplaceRequest(std::uint8_t code);
// PostRequest: every other writer (a command, the recovery request, the
// control loop's hang detection). Never over an unload (99) or a power-down
// (200): false, and the request is dropped; the power-up asks for its own
// recovery. A pending recovery is waited out first for up to
// `recoveryWaitSteps` steps of 10 ms; one still pending then is replaced.
// A search request that a recovery replaces leaves no stopSearch behind.
bool PostRequest(std::uint8_t code, unsigned recoveryWaitSteps = 0);

// The control thread procedure; the parameter is not used. Ends with
// ExitThread(0) once stopControlThread is set and a request code is pending.
DWORD WINAPI ControlThread(LPVOID parameter);
