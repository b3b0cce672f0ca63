// The refinement of a geom with the scheme of its faces.
#pragma once

#include <cstdint>

#include "subdiv/subdiv.h"

// subdiv_refine (subdiv.h): checks the faces of *input by building its
// connectivity, refuses counts beyond 2^64 or this machine's memory, then
// runs the iterations of the scheme of its faces into *output.
subdiv_status refine(const geom* input, int32_t iterations, const subdiv_options* options,
                     geom* output, subdiv_error* error);

// subdiv_refine_to_obj (subdiv.h): as refine with the streamed schedule's
// memory bound, the last iteration written to path as it is made. Takes
// over *input, released as soon as nothing reads it, cleared on return.
subdiv_status refine_to_obj(geom* input, int32_t iterations, const subdiv_options* options,
                            const char* path, uint64_t* n_vertices, uint64_t* n_faces,
                            subdiv_error* error);
