#include "tools/StopSignal.h"

#include <atomic>
#include <csignal>
#include <ctime>
#include <unistd.h>

namespace corvane {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr long kSameStopNs = 500'000'000;

// Written only by the handlers, which block each other: when the first stop
// signal arrived (seconds, nanoseconds on the monotonic clock).
volatile std::sig_atomic_t gStopSignals = 0;
volatile std::sig_atomic_t gFirstSeconds = 0;
volatile std::sig_atomic_t gFirstNanoseconds = 0;
std::atomic<const char*> gLinkToRemove{nullptr};

extern "C" void onStopSignal(int signal)
{
    if (classifyStopSignal() != StopSignalKind::Second) return;  // the first ends the run at its next poll
    if (const char* path = gLinkToRemove.load()) ::unlink(path);
    ::_exit(128 + signal);
}

}  // namespace

StopSignalKind classifyStopSignal()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (gStopSignals == 0) {
        gFirstSeconds = static_cast<std::sig_atomic_t>(now.tv_sec);
        gFirstNanoseconds = static_cast<std::sig_atomic_t>(now.tv_nsec);
        gStopSignals = 1;
        return StopSignalKind::First;
    }
    const long long since = (static_cast<long long>(now.tv_sec) - gFirstSeconds) * 1'000'000'000 +
                            (static_cast<long long>(now.tv_nsec) - gFirstNanoseconds);
    return since < kSameStopNs ? StopSignalKind::Repeat : StopSignalKind::Second;
}

void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals) sigaddset(&action.sa_mask, signal);
    for (int signal : kStopSignals) ::sigaction(signal, &action, nullptr);
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
