// Loop subdivision of triangle meshes.
#pragma once

#include <cstdint>

#include "geom.h"
#include "mesh.h"

// The weights of the Loop vertex rule for a vertex of the given valence n:
// *alpha for its old position and *beta for the sum of its neighbours, in
// single precision as angle = 2π / n, κ = cosf(angle),
// β = (0.625 − powf(0.25 κ + 0.375, 2)) × (1 / n), α = 1 − n β.
// Valence 0 gives α = 1 and β = −0, which keep the old position bit for bit.
void loop_vertex_weights(uint32_t valence, float* alpha, float* beta);

// One Loop iteration of the triangle mesh geom_in with its connectivity
// mesh_in: fills geom_out (nv + ne vertices, 4 nf faces, 4 ne edges) and, when
// mesh_out is not null, its connectivity. Returns false, touching nothing,
// when geom_in's face size is not 3. Inputs and outputs must not alias.
bool loop_step(const mesh* mesh_in, const geom* geom_in, geom* geom_out, mesh* mesh_out);

// Applies count Loop iterations to the triangle mesh *input and moves the
// result into *output, which owns it afterwards. Prints one progress line per
// iteration on stderr. *input and its arrays are only read. Returns false,
// with *output untouched and nothing printed, when a record is null, count is
// not positive or *input is not a triangle mesh.
bool loop_iterate(const geom* input, geom* output, int32_t count);
