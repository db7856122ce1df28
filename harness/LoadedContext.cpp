#include "harness/LoadedContext.h"

#include "channel/ByteRing.h"
#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "driver/Lifecycle.h"
#include "driver/LoadSteps.h"
#include "rds/GroupDecoder.h"
#include "tuner/Tuner.h"

#include "sim/kernel/Kernel.h"

#include <cstdint>
#include <vector>

namespace harness {

LoadedContext::LoadedContext() : firstThread_(sim::Kernel::current().threadCount() + 1)
{
    LoadDriverContext();
    BeginLoad();
}

LoadedContext::~LoadedContext()
{
    sim::Kernel& kernel = sim::Kernel::current();
    std::vector<DWORD> started;
    for (DWORD id = firstThread_; id <= kernel.threadCount(); ++id) started.push_back(id);
    kernel.moduleUnloaded(started);
    EndLoad(true);
}

void LoadedContext::bringUpTuner()
{
    BringUpTuner();
}

void LoadedContext::readyDecoder()
{
    storeDefaultOutputFilter();
    resetRdsDecoder();
}

std::string takeOutput()
{
    std::string text;
    std::uint8_t buffer[kOutputRingSize];
    while (const std::int32_t n = gDriver.channel.outputRing.read(buffer, kOutputRingSize))
        text.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    return text;
}

}  // namespace harness
