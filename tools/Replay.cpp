#include "tools/Replay.h"

#include "driver/Corvane.h"
#include "harness/CapturedGroup.h"
#include "harness/LoadedContext.h"
#include "rds/GroupDecoder.h"
#include "sim/band/LoggedRdsSource.h"
#include "tools/Run.h"
#include "tools/Session.h"
#include "tools/StopSignal.h"

namespace corvane {

namespace {

// After the log has gone round once: time for the group thread to drain the
// last bank and for the application's next read.
constexpr sim::Micros kDrainTime = 500'000;
// With twice the log's air time, a bound on the whole replay: a chip that
// stops receiving must not keep it running for ever.
constexpr sim::Micros kSettleTime = 1'000'000;

}  // namespace

void replayDirect(const Options& options, sim::band::RdsLogReader& log, LineOutput& output, ReplaySummary& summary)
{
    sim::KernelOptions kernelOptions;
    kernelOptions.seed = options.seed;
    sim::Kernel kernel(kernelOptions);
    DebugOutput debug(stderr);
    if (options.debug) kernel.setDebugSink([&debug](const sim::DebugLine& line) { debug.add(line); });

    harness::LoadedContext driver;
    driver.readyDecoder();

    char buffer[kMaxReadBytes];
    sim::band::LoggedGroup group;
    // A stop request ends the replay after the current group.
    for (sim::Micros time = 0; !stopRequested() && !output.failed() && log.next(group); time += kGroupPeriod) {
        summary.countGroup(group);
        decodeGroup(harness::capturedGroup(group));
        for (DWORD n; (n = COM_Read(kOpenContext, buffer, sizeof buffer)) != 0;)
            output.feed(std::string_view(buffer, n), time);
    }
}

void replayThroughDriver(const Options& options, const sim::band::BandDescription& band, LineOutput& output,
                         ReplaySummary& summary)
{
    const sim::band::StationDescription& station = band.stations.at(0);
    const std::size_t groups = station.rds->log->groups.size();

    Session session({options.seed, std::nullopt, options.debug});
    session.installBand(band);
    const auto* source =
        dynamic_cast<const sim::LoggedRdsSource*>(session.world().band().find(station.frequency)->rds.get());

    session.loadDriver();
    output.feed(session.readPort(), session.kernel().now());
    // The application tunes to the station.
    session.command("$PLTCM,H2," + std::to_string(station.frequency));

    const sim::Micros limit =
        session.kernel().now() + kSettleTime + 2 * static_cast<sim::Micros>(groups) * kGroupPeriod;
    sim::Micros drainEnd = ~sim::Micros{0};
    for (sim::Micros poll = session.kernel().now();; poll += kPollInterval) {
        session.sleepUntil(poll);
        const sim::Micros now = session.kernel().now();
        output.feed(session.readPort(), now);
        if (source != nullptr && source->loops() > 0 && drainEnd == ~sim::Micros{0}) drainEnd = now + kDrainTime;
        if (now >= drainEnd || now >= limit || stopRequested() || output.failed()) break;
    }
    session.unloadDriver();
    if (source != nullptr) summary.setGroupsLostWhileBusy(source->unheardFirstTime());
}

}  // namespace corvane
