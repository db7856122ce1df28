#include "tools/StopSignal.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace corvane {

namespace {

volatile std::sig_atomic_t gStopSignals = 0;
std::atomic<const char*> gLinkToRemove{nullptr};

extern "C" void onStopSignal(int signal)
{
    if (gStopSignals == 0) {
        gStopSignals = 1;  // the run ends at its next poll
        return;
    }
    if (const char* path = gLinkToRemove.load()) ::unlink(path);
    ::_exit(128 + signal);
}

}  // namespace

void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    // A closed pipe on standard output is a write error the program reports.
    ::signal(SIGPIPE, SIG_IGN);
}

bool stopRequested()
{
    return gStopSignals != 0;
}

void removeOnStop(const char* path)
{
    gLinkToRemove.store(path);
}

}  // namespace corvane
