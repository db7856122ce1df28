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

// Frees the bus record once no worker can hold its address any more.
void FreeBusRecord();

// What the load sets up before it brings the tuner up: the locks, the serial
// emulation at its defaults and both rings.
void BeginLoad();
// The tuner as the load brings it up: register windows, lines, reset, bus,
// the start values and defaults, the first configuration.
void BringUpTuner();
// What the unload releases once the workers are stopped: the bus, and when
// `workersEnded` (no worker can hold them any more) its record, the register
// windows and the locks. A worker that did not end keeps them: they leak.
void EndLoad(bool workersEnded);
