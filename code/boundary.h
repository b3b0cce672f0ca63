// The boundary rules that both schemes share, applied after a step's passes
// have treated every edge and vertex as interior: each boundary edge and
// boundary vertex is then given its own point, overwriting what the
// interior rules left there.
#pragma once

#include "geom.h"
#include "mesh.h"

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
// valences and half-edge origins.
void boundary_vertex_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                            bool smooth_corners);
