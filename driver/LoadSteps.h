// The steps of loading and unloading the driver, each written once. COM_Init
// and COM_Deinit run them (driver/Lifecycle.cpp); a host that wants what a load
// leaves behind without the worker threads runs the same steps.
#pragma once

// The critical sections of this load of the driver: the rings', the decoder's,
// the group queue's and the command parser's, created before anything can take
// them.
void CreateLoadLocks();
// Deletes them, in the reverse order, once no thread can take them any more.
void ReleaseLoadLocks();

// Both rings empty at their start sizes.
void ResetPortRings();

// Closes the open bus device. False when none was open. The record stays as
// it is: a worker, possibly frozen by a power-down, may be inside a transfer
// with it, and finds the device closed; the record is rewritten only by the
// next open, under the bus guard.
bool CloseBus();
// Frees the bus record once no worker can hold its address any more.
void FreeBusRecord();

// What the load sets up before it brings the tuner up: the locks, the serial
// emulation at its defaults and both rings.
void BeginLoad();
// The tuner as the load brings it up: register windows, lines, reset, bus,
// the start values and defaults, the first configuration.
void BringUpTuner();
// What the unload releases once the workers are stopped: the bus, its record
// when `freeRecord` (no worker can hold it any more), the register windows and
// the locks.
void EndLoad(bool freeRecord);
