// Catmull-Clark subdivision of quadrilateral meshes.
#pragma once

#include <cstdint>

#include "geom.h"
#include "mesh.h"
#include "subdiv/subdiv.h"

namespace subdiv {

struct iteration_scheme;

// One Catmull-Clark iteration of the quad mesh geom_in with its connectivity
// mesh_in: fills geom_out (V + F + E vertices, 4F faces, 4F + 2E edges) and,
// when mesh_out is not null, its connectivity. options (may be null) give the
// corners' rule. Returns 1, or 0, touching nothing, when geom_in's face size
// is not 4 (or 0), or with geom_out and mesh_out cleared when memory is
// refused. Inputs and outputs must not alias.
int catmull_clark_step(const mesh* mesh_in, const geom* geom_in, geom* geom_out, mesh* mesh_out,
                       const subdiv_options* options);

// Applies count Catmull-Clark iterations to the quad mesh *input and moves
// the result into *output, as loop_iterate does (subdiv_error_usage for a
// mesh that is not made of quads).
subdiv_status catmull_clark_iterate(const geom* input, geom* output, int32_t count,
                                    const subdiv_options* options, subdiv_error* error);

// catmull_clark_iterate from the connectivity *input_mesh of *input that
// mesh_build gave (count at least 1): takes it over, and returns, as
// iteration_run does.
bool catmull_clark_iterate_mesh(const geom* input, mesh* input_mesh, geom* output, int32_t count,
                                const subdiv_options* options);

// The scheme's steps for the iteration loop.
const iteration_scheme* catmull_clark_iteration();

} // namespace subdiv
