// The last level of a refinement made a block at a time, never held whole:
// written to a file (OBJ or PLY) as it is made, or gathered into flat arrays.
#pragma once

#include <cstdint>

#include "geom.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// subdiv_refine_to_obj (subdiv.h): refine's checks with the streamed
// schedule's memory bound, the last iteration written to path as it is
// made. Takes over *input, released as soon as nothing reads it, cleared on
// return.
subdiv_status refine_to_obj(geom* input, int32_t iterations, const subdiv_options* options,
                            const char* path, uint64_t* n_vertices, uint64_t* n_faces,
                            subdiv_error* error);

// subdiv_refine_to_file (subdiv.h): as refine_to_obj, the last level
// written in format (obj, ply or ply_ascii, already resolved).
subdiv_status refine_to_file(geom* input, int32_t iterations, const subdiv_options* options,
                             const char* path, subdiv_format format, uint64_t* n_vertices,
                             uint64_t* n_faces, subdiv_error* error);

// subdiv_refine_arrays (subdiv.h): the same, the last level gathered into
// the flat arrays of *output.
subdiv_status refine_to_arrays(geom* input, int32_t iterations, const subdiv_options* options,
                               subdiv_arrays* output, subdiv_error* error);

// subdiv_arrays_free (subdiv.h).
void refine_arrays_free(subdiv_arrays* arrays);

} // namespace subdiv
