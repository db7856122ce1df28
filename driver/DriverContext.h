// DriverContext: the one process-wide record of every piece of driver state,
// grouped by the folder that owns each part. Loading the driver means a fresh
// record at its load values (LoadDriverContext); a test can load the driver
// again in the same process once the previous instance is unloaded.
#pragma once

#include "channel/ChannelState.h"
#include "channel/SentenceState.h"
#include "control/ControlState.h"
#include "driver/LifecycleState.h"
#include "driver/PortState.h"
#include "platform/PlatformState.h"
#include "rds/RdsState.h"
#include "tuner/TunerState.h"

struct DriverContext {
    LifecycleState lifecycle;  // driver/: start, threads, interrupt, power
    PortState port;            // driver/: serial emulation settings
    ChannelState channel;      // channel/: rings and command reader
    SentenceState sentences;   // channel/: output filter and sentence state
    PlatformState platform;    // platform/: register windows, utility driver
    TunerState tuner;          // tuner/: register shadow, bus, settings
    RdsState rds;              // rds/: group queue and decoder
    ControlState control;      // control/: requests and the station search
};

extern DriverContext gDriver;

// Puts gDriver back to its load values (what a fresh load of the library sees).
void LoadDriverContext();
