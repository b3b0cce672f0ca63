// The boundary rules that both schemes share, applied after a step's passes
// have treated every edge and vertex as interior: each boundary edge and
// boundary vertex is then given its own point, overwriting what the
// interior rules left there.
#pragma once

#include "geom.h"
#include "mesh.h"

namespace subdiv {

// The edge point of each boundary edge e of mesh_in into geom_out at
// edge_point_base + e: (a + b) × 0.5 per axis, a the origin of the edge's
// half-edge that a face holds, b its other end, in geom_in's positions.
void boundary_edge_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                          uint64_t edge_point_base);

// The new position of each boundary vertex v of mesh_in into geom_out at v.
// A corner (a vertex on a number of boundary edges other than two, or, unless
// smooth_corners, on one face only) keeps its position bit for bit; any other
// becomes (P × 0.75) + ((a + b) × 0.125), a and b the other ends of its two
// boundary edges, a on the one of lower index. Reads mesh_in's boundary list,
// valences and half-edge origins. Returns false, having written nothing,
// when memory is refused.
bool boundary_vertex_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                            bool smooth_corners);

// The same rule edge by edge, for callers that meet the boundary edges one
// at a time: begin, then each boundary edge in ascending order with its two
// ends and their valence entries, then end. Reads the positions in and
// writes the boundary vertices' new positions into out (which may hold
// anything there before); axis a of vertex v is in[a][stride v]. begin
// returns false, holding nothing, when memory is refused.
struct boundary_walk {
    const float* in[3];
    float* out[3];
    uint64_t stride;
    uint64_t* met; // a bit per vertex: its boundary edge of lower index has passed
    bool smooth_corners;
};
bool boundary_walk_begin(boundary_walk* walk, const float* const in[3], float* const out[3],
                         uint64_t stride, uint64_t n_vertices, bool smooth_corners);
void boundary_walk_edge(boundary_walk* walk, const uint64_t ends[2], const uint64_t valence[2]);
void boundary_walk_end(boundary_walk* walk);

} // namespace subdiv
