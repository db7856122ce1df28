#pragma once

#include "platform/ce/WinCE.h"

// The serial-port settings a serial client stores and reads back. Nothing in
// the driver acts on them; they are set to the defaults at start.
struct PortState {
    COMMTIMEOUTS commTimeouts;
    DCB dcb;
};
