// The connectivity of a subdivision step's output, numbered from the
// input's connectivity instead of through the edge map.
#pragma once

#include "mesh.h"

namespace subdiv {

// The connectivity of the output of one subdivision step, numbered from the
// connectivity mesh_in of the step's input geom_in instead of through the
// edge map: *mesh_out is allocated (what it held is overwritten) and filled
// with exactly what mesh_build(mesh_out, geom_out) gives, entry for entry,
// padding tails included. geom_out must be the finished output of
// catmull_clark_step or loop_step on geom_in, and mesh_in the connectivity
// of geom_in from mesh_build or from these functions. Reads mesh_in's
// face_iedge arrays and vertex_valence, and geom_out's corners. Returns
// false, *mesh_out cleared, when memory is refused.
bool catmull_clark_mesh_derive(const mesh* mesh_in, const geom* geom_in, const geom* geom_out,
                               mesh* mesh_out);
bool loop_mesh_derive(const mesh* mesh_in, const geom* geom_in, const geom* geom_out,
                      mesh* mesh_out);

} // namespace subdiv
