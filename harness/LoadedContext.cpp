#include "harness/LoadedContext.h"

#include "channel/ByteRing.h"
#include "channel/Sentences.h"
#include "driver/DriverContext.h"
#include "driver/Lifecycle.h"
#include "driver/LoadSteps.h"
#include "rds/GroupDecoder.h"
#include "tuner/Tuner.h"

#include <cstdint>

namespace harness {

LoadedContext::LoadedContext()
{
    LoadDriverContext();
    BeginLoad();
}

LoadedContext::~LoadedContext()
{
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
