#include "tools/soak/Campaign.h"

#include "tools/StopSignal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>

extern char** environ;

namespace corvane::soak {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kProgressMs = 250;
constexpr std::size_t kKeptOutput = 64 * 1024;  // of a seed's output, its tail

// The campaign's own stop handling: the first Ctrl-C (or SIGTERM, SIGHUP) asks
// the loop to stop every job; a second one (not the same one again, as
// StopSignal.h says) kills them and ends at once. Each job runs in a process
// group of its own, so the terminal's Ctrl-C reaches the campaign alone and
// every job is told once, by the campaign.
constexpr std::size_t kMaxJobs = 256;
volatile pid_t gJobs[kMaxJobs] = {};

extern "C" void onCampaignSignal(int signal)
{
    if (classifyStopSignal() != StopSignalKind::Second) return;  // the loop stops every job
    for (std::size_t i = 0; i < kMaxJobs; ++i)
        if (gJobs[i] > 0) ::kill(gJobs[i], SIGKILL);
    ::_exit(128 + signal);
}

void installCampaignSignals()
{
    struct sigaction action {};
    action.sa_handler = onCampaignSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

std::string clockText(double seconds)
{
    const auto whole = static_cast<unsigned long long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
    return text;
}

double seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

struct Job {
    pid_t pid = 0;
    bool hung = false;  // killed past its wall-time limit
    int output = -1;    // the read end of the job's stdout and stderr
    std::uint64_t seed = 0;
    Clock::time_point started;
    std::string text;  // the tail of what it printed
};

// The first line of `text` that begins with `prefix`, without the prefix.
std::string lineAfter(const std::string& text, const std::string& prefix)
{
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        if (text.compare(at, prefix.size(), prefix) == 0)
            return text.substr(at + prefix.size(), end - at - prefix.size());
        at = end + 1;
    }
    return {};
}

class Campaign {
public:
    Campaign(const CampaignSettings& settings, std::FILE* out)
        : settings_(settings), out_(out), terminal_(::isatty(::fileno(out)) != 0)
    {}

    CampaignSummary run()
    {
        std::vector<std::uint64_t> toRun = takeResumed();
        if (!settings_.resultsFile.empty()) {
            results_ = ::open(settings_.resultsFile.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (results_ < 0)
                throw std::invalid_argument(settings_.resultsFile + ": cannot be written: " + std::strerror(errno));
            endCutLine();
        }
        installCampaignSignals();
        total_ = toRun.size();
        const auto start = Clock::now();
        std::size_t next = 0;
        std::vector<Job> jobs;
        while ((!stopping_ && next < toRun.size()) || !jobs.empty()) {
            if (stopRequested() && !stopping_) stopJobs(jobs);
            while (!stopping_ && next < toRun.size() && jobs.size() < std::max(1u, settings_.jobs))
                jobs.push_back(start_(toRun[next++]));
            waitForOutput(jobs);
            killHung(jobs);
            for (auto it = jobs.begin(); it != jobs.end();) {
                if (it->output >= 0) {
                    ++it;
                    continue;
                }
                finish(*it);
                it = jobs.erase(it);
            }
            summary_.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
            if (terminal_) showProgress(jobs.size());
        }
        if (terminal_) std::fputs("\r\033[K", out_);
        summary_.stopped = stopping_;
        summary_.notRun = toRun.size() - done_;
        if (results_ >= 0) ::close(results_);
        return summary_;
    }

private:
    // A campaign killed while it wrote a line left it without its line end:
    // the next result starts on a line of its own.
    void endCutLine()
    {
        const off_t size = ::lseek(results_, 0, SEEK_END);
        char last = '\n';
        if (size > 0 && ::pread(results_, &last, 1, size - 1) == 1 && last != '\n') (void)!::write(results_, "\n", 1);
    }

    // Counts the seeds the results file already holds; returns the rest.
    std::vector<std::uint64_t> takeResumed()
    {
        summary_.seeds = settings_.seeds.size();
        if (!settings_.resume) {
            // Results are appended only to a results file.
            if (!settings_.resultsFile.empty()) (void)readResults(settings_.resultsFile);
            return settings_.seeds;
        }
        std::unordered_map<std::uint64_t, SeedResult> held;
        for (SeedResult& r : readResults(settings_.resultsFile)) {
            if (r.band != soakBandName(settings_.soak) || r.hours != settings_.soak.hours)
                throw std::invalid_argument(settings_.resultsFile + " holds seed " + std::to_string(r.seed) +
                                            " of another campaign (" + r.band + ", " + std::to_string(r.hours) +
                                            " hours)");
            held[r.seed] = std::move(r);
        }
        std::vector<std::uint64_t> rest;
        for (std::uint64_t seed : settings_.seeds) {
            auto it = held.find(seed);
            if (it == held.end()) {
                rest.push_back(seed);
                continue;
            }
            ++summary_.resumed;
            count(it->second);
        }
        return rest;
    }

    void count(const SeedResult& r)
    {
        (r.outcome == "passed" ? summary_.passed : summary_.failed) += 1;
        summary_.virtualHours += r.ran;
        summary_.cpuSeconds += r.cpuSeconds;
        summary_.busGuardTaken += r.busGuardTaken;
        summary_.skippedReads += r.skippedReads;
        summary_.seedsWithSkippedReads += r.skippedReads != 0;
        if (r.outcome != "passed") summary_.failures.push_back(r);
    }

    std::vector<std::string> arguments(std::uint64_t seed) const
    {
        const SoakSettings& s = settings_.soak;
        char hours[32];
        std::snprintf(hours, sizeof hours, "%g", s.hours);
        std::vector<std::string> args{"corvane", "soak", "--seed", std::to_string(seed), "--hours", hours};
        if (!s.bandFile.empty())
            args.insert(args.end(), {"--band", s.bandFile});
        else
            args.insert(args.end(), {"--scenario", s.scenario});
        SoakSettings one = s;
        one.seed = seed;
        args.insert(args.end(), {"--schedule", sim::scheduleName(soakSchedule(one))});
        if (!s.poweredDownChecks) args.push_back("--no-power-down-checks");
        return args;
    }

    Job start_(std::uint64_t seed)
    {
        int pipeEnds[2];
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe for a soak job");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setpgroup(&attributes, 0);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, signal);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
        const std::vector<std::string> args = arguments(seed);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        Job job;
        job.seed = seed;
        job.started = Clock::now();
        const int error =
            ::posix_spawn(&job.pid, settings_.program.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(pipeEnds[1]);
        if (error != 0) {
            ::close(pipeEnds[0]);
            throw std::runtime_error("cannot start " + settings_.program + ": " + std::strerror(error));
        }
        job.output = pipeEnds[0];
        for (auto& slot : gJobs)
            if (slot == 0) {
                slot = job.pid;
                break;
            }
        if (stopping_) ::kill(job.pid, SIGTERM);
        return job;
    }

    // A seed past its wall-time limit is killed, its process group whole; its
    // output then ends and it is recorded as hung.
    void killHung(std::vector<Job>& jobs)
    {
        const double limit =
            settings_.seedLimitSeconds > 0 ? settings_.seedLimitSeconds : seedTimeLimit(settings_.soak.hours);
        const auto now = Clock::now();
        for (Job& job : jobs) {
            if (job.hung || std::chrono::duration<double>(now - job.started).count() <= limit) continue;
            job.hung = true;
            ::kill(-job.pid, SIGKILL);
        }
    }

    void stopJobs(std::vector<Job>& jobs)
    {
        stopping_ = true;
        for (const Job& job : jobs) ::kill(job.pid, SIGTERM);
    }

    // Reads what the jobs printed; a job whose output ended gets output -1.
    void waitForOutput(std::vector<Job>& jobs)
    {
        std::vector<pollfd> fds;
        for (const Job& job : jobs) fds.push_back({job.output, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), kProgressMs) <= 0) return;
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            if (fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(jobs[i].output, buffer, sizeof buffer);
            if (n > 0) {
                jobs[i].text.append(buffer, std::size_t(n));
                if (jobs[i].text.size() > 2 * kKeptOutput) jobs[i].text.erase(0, jobs[i].text.size() - kKeptOutput);
            } else if (n == 0 || errno != EINTR) {
                ::close(jobs[i].output);
                jobs[i].output = -1;
            }
        }
    }

    void finish(Job& job)
    {
        int status = 0;
        rusage usage{};
        while (::wait4(job.pid, &status, 0, &usage) < 0 && errno == EINTR) {}
        for (auto& slot : gJobs)
            if (slot == job.pid) slot = 0;
        SeedResult r;
        r.seed = job.seed;
        SoakSettings one = settings_.soak;
        one.seed = job.seed;
        r.schedule = sim::scheduleName(soakSchedule(one));
        r.band = soakBandName(one);
        r.hours = one.hours;
        r.reproduce = soakReproduceLine(one);
        r.wallSeconds = std::chrono::duration<double>(Clock::now() - job.started).count();
        r.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
        const std::string summary = lineAfter(job.text, "soak passed: ") + lineAfter(job.text, "soak failed: ");
        if (const std::size_t at = summary.find(" virtual hours"); at != std::string::npos)
            r.ran = std::strtod(summary.c_str() + summary.rfind(", ", at) + 2, nullptr);
        constexpr std::string_view kGuard = "bus guard found taken ";
        if (const std::size_t at = summary.find(kGuard); at != std::string::npos) {
            r.busGuardTaken = std::strtoull(summary.c_str() + at + kGuard.size(), nullptr, 10);
            if (const std::size_t reads = summary.find("times (", at); reads != std::string::npos)
                r.skippedReads = std::strtoull(summary.c_str() + reads + 7, nullptr, 10);
        }
        if (job.hung) {
            char limit[64];
            std::snprintf(limit, sizeof limit, "%g",
                          settings_.seedLimitSeconds > 0 ? settings_.seedLimitSeconds : seedTimeLimit(one.hours));
            r.outcome = "hung";
            r.failure = std::string("no result within the seed's wall-time limit of ") + limit + " s: killed";
        } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !lineAfter(job.text, "soak passed: ").empty()) {
            r.outcome = "passed";
        } else if (stopping_ && (WIFSIGNALED(status) || !lineAfter(job.text, "soak stopped: ").empty())) {
            return;  // cut short by the stop: not a result
        } else if (WIFSIGNALED(status)) {
            r.outcome = "crashed";
            r.failure = std::string("killed by signal ") + ::sigabbrev_np(WTERMSIG(status));
        } else {
            r.outcome = "failed";
            r.failure = lineAfter(job.text, "corvane: soak failed: ");
            if (r.failure.empty()) r.failure = lineAfter(job.text, "corvane: ");
            if (r.failure.empty()) r.failure = "exit status " + std::to_string(WEXITSTATUS(status));
        }
        ++done_;
        count(r);
        if (results_ >= 0) {
            const std::string line = resultLine(r) + "\n";
            if (::write(results_, line.data(), line.size()) != ssize_t(line.size()))
                std::fprintf(out_, "corvane: %s: a result could not be written\n", settings_.resultsFile.c_str());
        }
        if (terminal_) std::fputs("\r\033[K", out_);
        if (r.outcome == "passed") {
            if (!terminal_)
                std::fprintf(out_, "seed %llu passed (%s, %.2f virtual hours, %.1f s)\n",
                             static_cast<unsigned long long>(r.seed), r.schedule.c_str(), r.ran, r.wallSeconds);
        } else {
            std::fprintf(out_, "seed %llu %s: %s\n  reproduce: %s\n", static_cast<unsigned long long>(r.seed),
                         r.outcome.c_str(), r.failure.c_str(), r.reproduce.c_str());
        }
        std::fflush(out_);
    }

    void showProgress(std::size_t running)
    {
        const double elapsed = summary_.wallSeconds;
        std::string left = "?";
        if (done_ > 0) left = clockText(elapsed / double(done_) * double(total_ - done_));
        std::fprintf(out_,
                     "\r\033[Kseeds %zu of %zu done, %zu failed, %zu running; %.1f virtual hours; %s elapsed, %s left",
                     summary_.passed + summary_.failed, summary_.seeds, summary_.failed, running, summary_.virtualHours,
                     clockText(elapsed).c_str(), stopping_ ? "stopping," : left.c_str());
        std::fflush(out_);
    }

    const CampaignSettings& settings_;
    std::FILE* out_;
    bool terminal_;
    int results_ = -1;
    bool stopping_ = false;
    std::size_t total_ = 0;  // to run in this run
    std::size_t done_ = 0;
    CampaignSummary summary_;
};

}  // namespace

// A release build runs a virtual hour of soak in about 0.2 s of processor
// time; a debug or sanitizer build is up to some 30 times slower, and a
// campaign's jobs share the machine's cores with each other and with other
// work. A minute per virtual hour is still hundreds of times what a seed
// needs, yet a hang is found within minutes, not never; the two minutes'
// base cover start-up and short seeds on a loaded machine.
double seedTimeLimit(double hours)
{
    return 120 + 60 * hours;
}

CampaignSummary runCampaign(const CampaignSettings& settings, std::FILE* out)
{
    return Campaign(settings, out).run();
}

void printCampaignSummary(const CampaignSummary& s, std::FILE* out)
{
    const char* outcome = s.failed != 0 ? "failed" : s.stopped ? "stopped" : "passed";
    std::fprintf(out, "campaign %s: %zu of %zu seeds run", outcome, s.passed + s.failed, s.seeds);
    if (s.resumed != 0) std::fprintf(out, " (%zu from the results file)", s.resumed);
    std::fprintf(out, ", %zu passed, %zu failed; %.1f virtual hours; wall %s, CPU %s\n", s.passed, s.failed,
                 s.virtualHours, clockText(s.wallSeconds).c_str(), clockText(s.cpuSeconds).c_str());
    std::fprintf(out, "bus guard found taken %llu times, %llu reads skipped (in %zu seeds)\n",
                 static_cast<unsigned long long>(s.busGuardTaken), static_cast<unsigned long long>(s.skippedReads),
                 s.seedsWithSkippedReads);
    if (s.stopped) std::fprintf(out, "stopped: %zu seeds not run; --resume runs them\n", s.notRun);
    for (const SeedResult& r : s.failures)
        std::fprintf(out, "seed %llu %s: %s\n  reproduce: %s\n", static_cast<unsigned long long>(r.seed),
                     r.outcome.c_str(), r.failure.c_str(), r.reproduce.c_str());
}

}  // namespace corvane::soak
