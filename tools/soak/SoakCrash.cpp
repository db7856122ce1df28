#include "tools/soak/SoakCrash.h"

#include <algorithm>
#include <cstring>

#include <unistd.h>

#if defined(CORVANE_ASAN) || defined(CORVANE_TSAN)
#include <sanitizer/common_interface_defs.h>
#endif

namespace corvane::soak {

namespace {

// Prepared before the run; the handler uses async-signal-safe calls only.
char gCrashLine[512];
std::size_t gCrashLength = 0;

void writeCrashLine()
{
    if (gCrashLength == 0) return;
    const ssize_t ignored = ::write(STDERR_FILENO, gCrashLine, gCrashLength);
    (void)ignored;
}

#if !defined(CORVANE_ASAN) && !defined(CORVANE_TSAN)
void onCrash(int signal)
{
    writeCrashLine();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}
#endif

}  // namespace

CrashReport::CrashReport(const std::string& reproduce)
{
    const std::string text = "corvane: soak crashed\nreproduce: " + reproduce + "\n";
    gCrashLength = std::min(text.size(), sizeof gCrashLine);
    std::memcpy(gCrashLine, text.data(), gCrashLength);
#if defined(CORVANE_ASAN) || defined(CORVANE_TSAN)
    // The sanitizers catch the fatal signals themselves (and end on a race
    // report too) in their death callback.
    __sanitizer_set_death_callback(writeCrashLine);
#else
    // The simulated threads run on stacks of their own; the handler gets one
    // too, so that an overflowed stack still reports.
    stack_t alternate{};
    alternate.ss_sp = altStack_;
    alternate.ss_size = sizeof altStack_;
    sigaltstack(&alternate, &previousStack_);
    struct sigaction action {};
    action.sa_handler = onCrash;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &previous_[i]);
#endif
}

CrashReport::~CrashReport()
{
#if defined(CORVANE_ASAN) || defined(CORVANE_TSAN)
    __sanitizer_set_death_callback(nullptr);
#else
    for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous_[i], nullptr);
    sigaltstack(&previousStack_, nullptr);
#endif
    gCrashLength = 0;
}

}  // namespace corvane::soak
