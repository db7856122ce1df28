// A soak run that crashes still names itself: while a CrashReport lives, a
// fatal signal (or the sanitizers' death) writes the run's reproduce line to
// standard error before the process ends.
#pragma once

#include <csignal>
#include <iterator>
#include <string>

namespace corvane::soak {

class CrashReport {
public:
    explicit CrashReport(const std::string& reproduce);
    ~CrashReport();
    CrashReport(const CrashReport&) = delete;
    CrashReport& operator=(const CrashReport&) = delete;

private:
    static constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
    // Unused under the sanitizers, which catch the signals themselves.
    [[maybe_unused]] struct sigaction previous_[std::size(kSignals)]{};
    [[maybe_unused]] stack_t previousStack_{};
    [[maybe_unused]] alignas(16) char altStack_[64 * 1024];
};

}  // namespace corvane::soak
