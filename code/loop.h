// Loop subdivision of triangle meshes.
#pragma once

#include <cstdint>

#include "geom.h"
#include "mesh.h"
#include "subdiv/subdiv.h"

namespace subdiv {

struct iteration_scheme;

// One Loop iteration of the triangle mesh geom_in with its connectivity
// mesh_in: fills geom_out (nv + ne vertices, 4 nf faces, 2 ne + 3 nf edges)
// and, when mesh_out is not null, its connectivity. options (may be null)
// give the corners' rule. Returns false, touching nothing, when geom_in's face
// size is not 3, or with geom_out and mesh_out cleared when memory is
// refused. Inputs and outputs must not alias.
bool loop_step(const mesh* mesh_in, const geom* geom_in, geom* geom_out, mesh* mesh_out,
               const subdiv_options* options);

// Applies count Loop iterations to the triangle mesh *input and moves the
// result into *output, which owns it afterwards; *input and its arrays are
// only read. Reports each iteration through the options' progress callback.
// Returns as iteration_build_and_run (subdiv_error_usage for a count below 1
// or a mesh that is not made of triangles).
subdiv_status loop_iterate(const geom* input, geom* output, int32_t count,
                           const subdiv_options* options, subdiv_error* error);

// loop_iterate from the connectivity *input_mesh of *input that mesh_build
// gave (count at least 1): takes it over, and returns, as iteration_run does.
bool loop_iterate_mesh(const geom* input, mesh* input_mesh, geom* output, int32_t count,
                       const subdiv_options* options);

// The scheme's steps for the iteration loop.
const iteration_scheme* loop_iteration();

} // namespace subdiv
