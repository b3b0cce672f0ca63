// What faces carry through a step besides their corners: texture coordinates
// per face corner (face-varying, refined linearly) and a material per face.
#pragma once

#include "geom.h"
#include "mesh.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// The texture coordinates of geom_out, one step of geom_in (whose
// connectivity is mesh_in) by the scheme that made geom_out's faces
// (triangles: Loop; quads: Catmull-Clark): allocated in geom_out and filled.
// A child corner at an old corner keeps that corner's coordinate; at an edge
// point it takes (ua + ub) × 0.5 of the two corner coordinates of its face's
// side; at a face point, the face's corner coordinates summed in corner
// order, divided by their number. Numbered: the old ones, then one per face
// (Catmull-Clark), then per edge in edge order one, or two where the faces on
// its sides give it other coordinates (a seam): the even side's first.
// That is the linear mode; the options' other modes (uv_modes.h) give the
// old corners, the edge points off seams and the mesh boundary their rules'
// values instead, numbered alike, and a value that one coordinate of
// geom_in takes besides its first corner's an extra number after all the
// others. Reads mesh_in's per-face half-edges and geom_in's corners'
// coordinates; the other modes read mesh_in's half-edge origins, faces,
// successors, valences and sharpness too. options (may be null) give the
// mode, the corners, the vertex rule and the threads. Returns false,
// geom_out's texture coordinates left null, when memory is refused.
bool texcoords_step(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                    const subdiv_options* options);

// The materials of geom_out, one step of geom_in: each child face takes its
// parent's; the names and the library are copied. Nothing when geom_in has
// no materials. Returns false when memory is refused: geom_out may then hold
// some of them, which its owner releases with the rest.
bool materials_step(const geom* geom_in, geom* geom_out);

} // namespace subdiv
