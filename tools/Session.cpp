#include "tools/Session.h"

#include <cstdio>

namespace corvane {

namespace {

sim::KernelOptions kernelOptions(const SessionSettings& settings)
{
    sim::KernelOptions options;
    options.seed = settings.seed;
    options.schedule = settings.schedule;
    options.paced = settings.speed.has_value();
    options.speed = settings.speed.value_or(1.0);
    return options;
}

}  // namespace

Session::Session(const SessionSettings& settings) : harness::Device(kernelOptions(settings))
{
    if (settings.debug) kernel().setDebugSink([this](const sim::DebugLine& line) { debug_.add(line); });
    useCallerThreads(settings.applicationThreads);
}

Session::~Session()
{
    if (!loaded() || stuck()) return;
    try {
        unloadDriver();
    } catch (const harness::CallerStuck& stuck) {
        std::fprintf(stderr, "corvane: the unload did not finish: %s\n", stuck.what());
    }
}

void Session::unloadDriver()
{
    harness::Device::unloadDriver();
    // The driver must never break the bus or chip protocol; say so if it did.
    if (const std::uint64_t violations = world().protocolViolations(); violations != 0)
        std::fprintf(stderr, "corvane: the simulated hardware counted %llu protocol violations\n",
                     static_cast<unsigned long long>(violations));
}

void Session::perform(const ScriptAction& action)
{
    switch (action.kind) {
    case ActionKind::Write:
        writePort(action.bytes);
        break;
    case ActionKind::Command:
        command(action.bytes);
        break;
    case ActionKind::Recover:
        recover();
        break;
    case ActionKind::Suspend:
    case ActionKind::Resume:
        suspendResume(action.kind == ActionKind::Suspend ? 2 : 1);
        break;
    case ActionKind::Power:
        setPowerState(action.powerState);
        break;
    case ActionKind::PowerDown:
        powerDown();
        break;
    case ActionKind::PowerUp:
        powerUp();
        break;
    }
}

}  // namespace corvane
