// The refinement of a geom with the scheme of its faces.
#pragma once

#include <cstdint>

#include "geom.h"
#include "mesh.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// What a refinement holds once its input is checked: the scheme, the level
// the steps start from and its connectivity.
struct refine_job {
    subdiv_scheme scheme;
    geom level0;    // *input, or for Catmull-Clark its triangles as faces of any sizes
    mesh mesh0;
    bool converted; // level0 has face arrays of its own
};

// How a refinement holds its last level, for the bound of its memory.
enum refine_output : int32_t {
    output_whole = 0,    // whole, as refine does
    output_streamed = 1, // made a block at a time and written (refine_to_obj)
    output_gathered = 2, // made a block at a time into flat arrays (refine_to_arrays)
};

// Checks *input and iterations, chooses the scheme, builds the connectivity
// and checks the counts and the memory of the schedule for the output
// against the memory this process may use (memory_limit_process). Reports
// the start through the options. Leaves nothing allocated on failure.
subdiv_status refine_begin(const geom* input, int32_t iterations, const subdiv_options* options,
                           refine_output output, refine_job* job, subdiv_error* error);

// Releases what the job holds: the connectivity it still has and the face
// arrays that its level0 has of its own.
void refine_job_free(refine_job* job);

// subdiv_refine (subdiv.h): checks the faces of *input by building its
// connectivity, refuses counts beyond 2^64 or the memory this process may
// use, then
// runs the iterations of the scheme of its faces into *output.
subdiv_status refine(const geom* input, int32_t iterations, const subdiv_options* options,
                     geom* output, subdiv_error* error);

} // namespace subdiv
