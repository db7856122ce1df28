// The OutputFilter: its start-up defaults and the flag test the sentence
// routines share.
#include "channel/Sentences.h"

#include "driver/DriverContext.h"

void storeDefaultOutputFilter()
{
    OutputFilter& filter = gDriver.sentences.outputFilter;
    filter.flags.store(kDefaultFilterFlags);
    filter.maskA.store(kDefaultFilterMaskA);
    filter.maskB.store(kDefaultFilterMaskB);
    filter.tmcMask.store(kDefaultFilterTmcMask);
}

bool outputFilterAllows(std::uint16_t bits)
{
    return (gDriver.sentences.outputFilter.flags.load() & bits) == bits;
}
