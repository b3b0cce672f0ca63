// Reading the job's options, which callers may leave null for the defaults.
#pragma once

#include "parallel.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// Whether corners on one face follow the boundary (--corners=smooth).
inline bool options_smooth_corners(const subdiv_options* options)
{
    return options && options->corners == subdiv_corners_smooth;
}

// Whether Catmull-Clark's vertex rule sums the other ends of a vertex's
// edges instead of their edge points (--vertex-rule=classic).
inline bool options_classic_rule(const subdiv_options* options)
{
    return options && options->vertex_rule == subdiv_vertex_rule_classic;
}

// Whether the last level's vertices go to their limit positions (--limit).
inline bool options_limit(const subdiv_options* options) { return options && options->limit; }

// Whether the last level's vertices get the limit surface's normals (--normals).
inline bool options_normals(const subdiv_options* options) { return options && options->normals; }

// How a refinement moves the texture coordinates its input carries: the
// option's mode, linear for none (a record given them is refined as --uv).
inline subdiv_uv_mode options_uv_mode(const subdiv_options* options)
{
    return options && options->uv > subdiv_uv_linear && options->uv <= subdiv_uv_smooth
               ? options->uv
               : subdiv_uv_linear;
}

// The threads a job runs on: the option, or every core the process may use.
inline uint32_t options_threads(const subdiv_options* options)
{
    return parallel_threads(options && options->threads > 0 ? uint32_t(options->threads) : 0);
}

} // namespace subdiv
