#include "sim/band/BandSetup.h"

#include "sim/band/LoggedRdsSource.h"
#include "sim/band/RdsGenerator.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace sim {

namespace {

// One station's event, with what it needs to change the station on the air.
struct PlannedEvent {
    band::StationEvent event;
    std::uint16_t frequency;
    std::shared_ptr<RdsSource> source;        // to switch RDS back on
    std::shared_ptr<RdsGenerator> generator;  // null for a recorded log
};

struct EventPlan {
    Kernel& kernel;
    Band& band;
    std::vector<PlannedEvent> events;  // ordered by time, file order within a time
    std::size_t next = 0;
};

void apply(Band& band, const PlannedEvent& planned)
{
    Station* station = band.find(planned.frequency);
    if (station == nullptr) return;  // taken off the band meanwhile
    const band::StationEvent& e = planned.event;
    if (e.rssi) station->rssi = *e.rssi;
    if (e.snr) station->snr = *e.snr;
    if (e.stereo) station->stereo = *e.stereo;
    if (e.blockErrorRate) station->blockErrorRate = *e.blockErrorRate;
    if (e.rds) station->rds = *e.rds ? planned.source : nullptr;
    if (planned.generator) {
        if (e.stereo) planned.generator->setStereo(*e.stereo);
        if (e.tmc) planned.generator->setTmc(*e.tmc);
        if (e.name) planned.generator->setName(*e.name);
        if (e.radiotext) planned.generator->setRadiotext(*e.radiotext);
    }
}

// Applies every event due now, then waits for the next moment.
void runDue(const std::shared_ptr<EventPlan>& plan)
{
    const Micros now = plan->events[plan->next].event.at;
    while (plan->next < plan->events.size() && plan->events[plan->next].event.at == now)
        apply(plan->band, plan->events[plan->next++]);
    if (plan->next < plan->events.size()) plan->kernel.at(plan->events[plan->next].event.at, [plan] { runDue(plan); });
}

}  // namespace

void installBand(Kernel& kernel, Band& band, const band::BandDescription& description)
{
    band.setNoiseRssi(description.noiseRssi);
    auto plan = std::make_shared<EventPlan>(EventPlan{kernel, band, {}, 0});
    Random& stream = kernel.random(Stream::Band);
    for (const band::StationDescription& d : description.stations) {
        Station station;
        station.frequency = d.frequency;
        station.rssi = d.rssi;
        station.snr = d.snr;
        station.stereo = d.stereo;
        std::shared_ptr<RdsGenerator> generator;
        if (d.rds) {
            station.blockErrorRate = d.rds->blockErrorRate;
            const std::uint64_t seed = stream.next();
            if (d.rds->generator) {
                generator = std::make_shared<RdsGenerator>(*d.rds->generator, seed);
                station.pi = d.rds->generator->pi;
                station.rds = generator;
            } else {
                station.pi = LoggedRdsSource::firstPi(*d.rds->log);
                station.rds = std::make_shared<LoggedRdsSource>(d.rds->log, seed);
            }
        }
        for (const band::StationEvent& e : d.events) plan->events.push_back({e, d.frequency, station.rds, generator});
        band.add(std::move(station));
    }
    if (plan->events.empty()) return;
    std::stable_sort(plan->events.begin(), plan->events.end(),
                     [](const PlannedEvent& a, const PlannedEvent& b) { return a.event.at < b.event.at; });
    kernel.at(plan->events.front().event.at, [plan] { runDue(plan); });
}

}  // namespace sim
