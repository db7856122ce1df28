// A freshly loaded driver without its worker threads, for exercising one part
// on the calling thread: the context at its load values, the locks of the load,
// the serial defaults and both rings, as COM_Init leaves them before it brings
// the tuner up. The tuner and the decoder are brought up on request by the same
// steps start-up runs. Needs a live kernel (and, to bring the tuner up, a
// world) for as long as it lives.
#pragma once

#include <string>

namespace harness {

class LoadedContext {
public:
    LoadedContext();
    // Closes the bus, frees its record, unmaps the register windows and
    // deletes the locks, as the unload does once the workers have ended. A
    // thread a test started on the context is taken for unloaded with it: it
    // may not run again.
    ~LoadedContext();
    LoadedContext(const LoadedContext&) = delete;
    LoadedContext& operator=(const LoadedContext&) = delete;

    // The tuner as the load brings it up: windows, lines, reset, bus, the
    // start values, defaults and settings; the chip is powered when the bus
    // works.
    void bringUpTuner();
    // The decoder ready for its first group: the default output filter and a
    // fresh decoder.
    void readyDecoder();

private:
    unsigned firstThread_;  // threads from this id on were started on this context
};

// Everything queued in the output ring, emptied out (what the application
// would read, without the limit of one read).
std::string takeOutput();

}  // namespace harness
