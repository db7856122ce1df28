#include "tools/Run.h"

#include "tools/PseudoTerminal.h"
#include "tools/Session.h"
#include "tools/StopSignal.h"
#include "tools/ThreadWakes.h"
#include "tools/Timeline.h"

#include <algorithm>
#include <optional>

namespace corvane {

void runDriver(const Options& options, const sim::band::BandDescription& band, const Script& script,
               PseudoTerminal* terminal, LineOutput& output)
{
    Session session({options.seed, options.speed, options.debug,
                     sim::parseSchedule(options.schedule).value_or(sim::Schedule::Cooperative)});
    session.installBand(band);
    session.loadDriver();
    std::optional<Timeline> timeline;
    if (!options.plotFile.empty()) timeline.emplace();
    std::optional<ThreadWakes> wakes;
    if (options.wakes) wakes.emplace(stderr);

    const bool paced = options.speed.has_value();
    const sim::Micros end = options.durationMs ? *options.durationMs * 1000 : ~sim::Micros{0};
    auto next = script.actions.begin();
    sim::Micros nextPoll = session.kernel().now();
    // Bytes taken from one side and not yet taken by the other. The bridge
    // takes more only when these are gone: a serial program that writes fast
    // waits in the terminal, and one that stops reading stops the reads of
    // the port, so that the driver's ring overruns as on the device.
    std::string toDriver;
    std::string toClient;
    std::string bytes;  // what one poll read, kept for its storage
    while (true) {
        const sim::Micros now = session.kernel().now();
        // While the system is suspended the application and the power
        // manager stand still: their actions wait for the resume.
        const auto mayRun = [&](const ScriptAction& action) {
            return !session.kernel().systemSuspended() || action.kind == ActionKind::PowerUp;
        };
        for (; next != script.actions.end() && next->atMs * 1000 <= now && mayRun(*next); ++next)
            session.perform(*next);
        const bool suspended = session.kernel().systemSuspended();
        const bool connected = terminal != nullptr && terminal->clientConnected();
        if (!connected) toClient.clear();  // nobody to keep the lines for
        if (terminal != nullptr && !suspended) {
            if (toDriver.empty()) toDriver = terminal->take(kBridgeChunk);
            toDriver.erase(0, session.offerToPort(toDriver));
        }
        if (now >= nextPoll) {
            if (toClient.empty() && !suspended) {
                bytes.clear();
                session.readPort(bytes);
                output.feed(bytes, now);
                if (connected) toClient = bytes;
                if (paced && !bytes.empty()) std::fflush(stdout);
            }
            if (connected) toClient.erase(0, terminal->send(toClient));
            if (timeline) timeline->sample(session.world());
            if (wakes) wakes->sample(session.kernel());
            // The next poll after now; nearly always the one after this one.
            const sim::Micros late = now - nextPoll;
            nextPoll += late < kPollInterval ? kPollInterval : kPollInterval * (late / kPollInterval + 1);
        }
        if (now >= end || stopRequested() || output.failed()) break;
        sim::Micros wake = std::min(nextPoll, end);
        if (next != script.actions.end() && mayRun(*next)) wake = std::min(wake, next->atMs * 1000);
        session.sleepUntil(wake);
    }
    // The unload resumes a suspended system first; the last read comes after.
    if (session.kernel().systemSuspended()) session.powerUp();
    output.feed(session.readPort(), session.kernel().now());
    session.unloadDriver();
    if (wakes) wakes->printSummary();
    if (timeline) {
        timeline->finish(double(session.kernel().now()) / 1e6);
        writeTimelinePlot(*timeline, options.plotFile, "corvane run --seed " + std::to_string(options.seed));
    }
}

}  // namespace corvane
