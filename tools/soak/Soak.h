// The fault-injection soak: the whole driver on a simulated band for many
// virtual hours, with random faults it is meant to survive (failing bus
// transfers, lost and spurious interrupts, a chip that hangs until reset, block
// errors, stations fading, power-downs, application suspends, recover
// requests, garbage on the port, the output left unread until it overruns).
// Every cycle of faults ends with a heal: the faults stop and the driver must
// come back (tuning status every second, TMC found again on a band with TMC).
// Checked throughout: no worker thread stuck, every line read whole and with
// its checksum (or the cut front of an overrun), no debug message that the
// faults do not explain, a receiver held off by a power call truly off
// (PoweredDownWatch.h). Every draw comes from the seed's fault stream, so a
// failure replays from the one line it prints.
#pragma once

#include "sim/band/BandDescription.h"
#include "sim/kernel/Kernel.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

struct SoakSettings {
    std::uint64_t seed = 1;
    double hours = 1.0;                     // virtual hours
    std::string scenario = "default";       // a built-in band: see soakScenarioBand
    std::string bandFile;                   // a band file instead of the scenario's band
    bool debug = false;                     // the driver's debug output to standard error
    std::string plotFile = {};              // the run drawn as SVG; empty: none
    std::optional<sim::Schedule> schedule;  // none: the seed draws random or pct
    bool poweredDownChecks = true;          // a receiver held off must be off (PoweredDownWatch.h)
};

// The scheduling mode of a soak: the one given, or random or pct drawn from the seed.
sim::Schedule soakSchedule(const SoakSettings& settings);

struct SoakReport {
    bool passed = true;
    bool stopped = false;     // ended early by Ctrl-C or termination; the figures are so far
    bool tmcRequired = true;  // false on a band without a TMC station
    std::string failure;      // what broke and when; empty when passed
    std::string faultsThen;   // the faults active when it broke, by name
    std::string reproduce;    // the one command line that replays this run
    double virtualHours = 0;
    std::uint64_t cycles = 0;  // fault phases, each ended by a heal
    std::uint64_t faults = 0;  // faults started, the car's included
    struct CarFaultCounts {
        std::uint64_t dips = 0, heldLines = 0, noiseBursts = 0, slowBuses = 0, heldBuses = 0;
    } carFaults;
    std::uint64_t linesRead = 0;
    std::uint64_t cutLines = 0;     // cut fronts after an overrun
    std::uint64_t debugLines = 0;   // debug messages, every one explained
    std::uint64_t busFailures = 0;  // transfers the bus failed on purpose
    // How often another thread took the processor from one that could have
    // gone on, in the middle of what it was doing (0 in the cooperative mode).
    std::uint64_t preemptions = 0;
    double preemptionsPerHour() const { return virtualHours > 0 ? double(preemptions) / virtualHours : 0; }
    // Guarded transfers the driver skipped because another thread held the
    // bus guard, and the reads among them.
    std::uint64_t busGuardTaken = 0;
    std::uint64_t skippedReads = 0;
    // How often, and for how long in all, the receiver was held off and watched.
    std::uint64_t heldOff = 0;
    double heldOffSeconds = 0;
    // Transfers a stuck bus held for seconds as a power-down came, and the
    // power-downs that returned before every worker had parked.
    std::uint64_t stalledTransfers = 0;
    std::uint64_t heldWorkers = 0;
    std::uint64_t pastParkBound = 0;
    // On a failure, what led to it: the last lines the application read and
    // the driver's last debug messages, each with its virtual time, oldest first.
    std::vector<std::string> recentLines;
    std::vector<std::string> recentDebug;
    std::string threadsThen;  // the kernel's threads when it broke, a line each
};

// How many application threads a soak's device has: 1, or 2 for one seed in
// four (the second sends the requests while the first reads).
unsigned soakApplicationThreads(const SoakSettings& settings);

// What a soak's band is called in its summary: "scenario NAME" or "band FILE".
std::string soakBandName(const SoakSettings& settings);

// The built-in bands: "default" (the program's band) and "weak" (one weak,
// error-prone TMC station among stations without TMC). Throws
// std::invalid_argument for another name.
sim::band::BandDescription soakScenarioBand(const std::string& scenario);

// The command that replays a run with these settings.
std::string soakReproduceLine(const SoakSettings& settings);

// Runs the soak on this thread (it becomes the simulated kernel's thread 1).
// Stops at the first broken invariant, or early when a stop is requested
// (Ctrl-C). Throws what reading the band throws, and std::invalid_argument for
// a band without a station.
SoakReport runSoak(const SoakSettings& settings);

}  // namespace corvane
