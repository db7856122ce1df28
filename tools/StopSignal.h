// Ctrl-C and termination for corvane: the first SIGINT or SIGTERM asks the run
// to end (it unloads the driver and removes its files as usual); a second one
// ends the process at once, after removing the pseudo-terminal's link.
#pragma once

namespace corvane {

void installStopHandlers();
bool stopRequested();
// The path the handler removes when it must end the process itself; null: none.
// The text must live until it is replaced.
void removeOnStop(const char* path);

}  // namespace corvane
