// Reading the job's options, which callers may leave null for the defaults.
#pragma once

#include "subdiv/subdiv.h"

// Whether corners on one face follow the boundary (--corners=smooth).
inline bool options_smooth_corners(const subdiv_options* options)
{
    return options && options->corners == subdiv_corners_smooth;
}
