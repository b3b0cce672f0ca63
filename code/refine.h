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
    mesh mesh0;     // its connectivity, and the sharpness of its edges and vertices
    bool converted; // level0 has face arrays of its own
    subdiv_options options; // the caller's, or the defaults, with the corners decided
};

// Checks *input and iterations, chooses the scheme, builds the connectivity
// and the sharpness of its edges and vertices, and checks the counts and
// the memory of the schedule (streamed: the last level made a block at a
// time, as the functions of refine_stream.h do). The job's options are the
// caller's (or the defaults) with corners subdiv_corners_auto replaced by
// what the input asks. Reports the start through the options. Leaves
// nothing allocated on failure.
subdiv_status refine_begin(const geom* input, int32_t iterations, const subdiv_options* options,
                           bool streamed, refine_job* job, subdiv_error* error);

// Releases what the job holds: the connectivity it still has and the face
// arrays that its level0 has of its own.
void refine_job_free(refine_job* job);

// subdiv_refine (subdiv.h): checks the faces of *input by building its
// connectivity, refuses counts beyond 2^64 or this machine's memory, then
// runs the iterations of the scheme of its faces into *output.
subdiv_status refine(const geom* input, int32_t iterations, const subdiv_options* options,
                     geom* output, subdiv_error* error);

} // namespace subdiv
