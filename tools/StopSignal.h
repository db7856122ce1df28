// Ctrl-C and termination for corvane: the first SIGINT or SIGTERM asks the run
// to end (it unloads the driver and removes its files as usual); a second one
// ends the process at once, after removing the pseudo-terminal's link. A
// signal within half a second of the first is not a second one: timeout(1)
// and a terminal's job control signal a program and then its process group,
// so one request to stop often arrives twice.
#pragma once

namespace corvane {

void installStopHandlers();
bool stopRequested();
// The path the handler removes when it must end the process itself; null: none.
// The text must live until it is replaced.
void removeOnStop(const char* path);

// For a stop signal's handler (async-signal-safe; the handlers block the stop
// signals while they run): what the signal that arrived now means.
enum class StopSignalKind {
    First,   // the first: stop cleanly
    Repeat,  // within half a second of the first: the same request again
    Second,  // later: end at once
};
StopSignalKind classifyStopSignal();

}  // namespace corvane
