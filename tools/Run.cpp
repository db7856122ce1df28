#include "tools/Run.h"

#include "tools/PseudoTerminal.h"
#include "tools/Session.h"
#include "tools/StopSignal.h"

#include <algorithm>

namespace corvane {

void runDriver(const Options& options, const sim::band::BandDescription& band, const Script& script,
               PseudoTerminal* terminal, LineOutput& output)
{
    Session session({options.seed, options.speed, options.debug,
                     sim::parseSchedule(options.schedule).value_or(sim::Schedule::Cooperative)});
    session.installBand(band);
    session.loadDriver();

    const bool paced = options.speed.has_value();
    const sim::Micros end = options.durationMs ? *options.durationMs * 1000 : ~sim::Micros{0};
    auto next = script.actions.begin();
    sim::Micros nextPoll = session.kernel().now();
    while (true) {
        const sim::Micros now = session.kernel().now();
        for (; next != script.actions.end() && next->atMs * 1000 <= now; ++next) session.perform(*next);
        if (terminal != nullptr) session.writePort(terminal->take());
        if (now >= nextPoll) {
            const std::string bytes = session.readPort();
            output.feed(bytes, now);
            if (terminal != nullptr) terminal->send(bytes);
            if (paced && !bytes.empty()) std::fflush(stdout);
            nextPoll += kPollInterval * ((now - nextPoll) / kPollInterval + 1);
        }
        if (now >= end || stopRequested()) break;
        sim::Micros wake = std::min(nextPoll, end);
        if (next != script.actions.end()) wake = std::min(wake, next->atMs * 1000);
        session.sleepUntil(wake);
    }
    output.feed(session.readPort(), session.kernel().now());
    session.unloadDriver();
    std::fflush(stdout);
}

}  // namespace corvane
