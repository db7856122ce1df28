// An observer's reads of the driver's shared values are not preemption points
// while one of these lives: a look at the driver from the program (a picture,
// a check) must not move the schedule, or a seed run with it would not be the
// seed run without it.
#pragma once

#include "platform/ce/Shared.h"

namespace corvane {

class Unobserved {
public:
    Unobserved() : was_(gCePreemptive) { gCePreemptive = false; }
    ~Unobserved() { gCePreemptive = was_; }
    Unobserved(const Unobserved&) = delete;
    Unobserved& operator=(const Unobserved&) = delete;

private:
    bool was_;
};

}  // namespace corvane
