// The OutputFilter: its start-up defaults and the flag test the sentence
// routines share.
#include "channel/Sentences.h"

#include "driver/DriverContext.h"

void storeDefaultOutputFilter()
{
    OutputFilter& filter = gDriver.sentences.outputFilter;
    filter.flags.store(kDefaultFilterFlags, std::memory_order_relaxed);
    filter.maskA.store(kDefaultFilterMaskA, std::memory_order_relaxed);
    filter.maskB.store(kDefaultFilterMaskB, std::memory_order_relaxed);
    filter.tmcMask.store(kDefaultFilterTmcMask, std::memory_order_relaxed);
}

bool outputFilterAllows(std::uint16_t bits)
{
    return (gDriver.sentences.outputFilter.flags.load(std::memory_order_relaxed) & bits) == bits;
}
