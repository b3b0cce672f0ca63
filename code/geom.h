// The geometry record's arrays (the record itself is public: subdiv.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "subdiv/subdiv.h"

namespace subdiv {

// The library's own name for the public mesh record.
typedef subdiv_geom geom;

static_assert(sizeof(geom) == 232, "geom is twenty-nine 64-bit words");
static_assert(offsetof(geom, corner0) == 24 && offsetof(geom, n_vertices) == 56 &&
                  offsetof(geom, flags) == 80 && offsetof(geom, corners) == 96 &&
                  offsetof(geom, corner_texcoord) == 128 && offsetof(geom, material_library) == 160 &&
                  offsetof(geom, n_creases) == 168 && offsetof(geom, boundary_corners) == 200 &&
                  offsetof(geom, normal_x) == 208,
              "geom field order");

// The face size of a record: flags masked with 0xF; 0 for faces of any
// sizes (face_start and corners).
inline int geom_face_size(const geom* g) { return int(g->flags & 0xF); }

// The number of face corners of *g over all faces.
uint64_t geom_corner_count(const geom* g);

// The allocations below return false when memory is refused; they then
// hold nothing more than before (what they allocated is released).

// Clears *g, then allocates x, y, z (n_vertices floats each) and corner0-2
// (n_faces indices each), and corner3 when face_size is 4; sets the counts and
// flags. Contents are uninitialised. What *g held is overwritten, not
// released; on a refusal *g is left cleared.
bool geom_alloc(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges, int face_size);

// The first half of geom_alloc: clears *g, allocates x, y and z and sets the
// counts and flags; the corner arrays stay null for the caller to allocate.
// The last step of an iteration loop takes its corner arrays only once it has
// released the input arrays that it no longer reads, so that they can take
// over their pages.
bool geom_alloc_vertices(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges,
                         int face_size);

// Clears *g, then allocates x, y, z (n_vertices floats each), face_start
// (n_faces + 1 entries) and corners (n_corners entries), for faces of any
// sizes: face size 0, edge count 0. Contents are uninitialised.
bool geom_alloc_polygons(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_corners);

// Allocates the texture coordinate arrays of *g: tex_u and tex_v of
// n_texcoords entries, corner_texcoord of an entry per face corner (the
// faces must be allocated). Contents are uninitialised. On a refusal the
// three stay null.
bool geom_alloc_texcoords(geom* g, uint64_t n_texcoords);

// Copies the materials of *from (the faces' materials, the names and the
// library) into *to, which has as many faces; nothing when *from has none.
// On a refusal *to may hold some of them, for its owner to release.
bool geom_copy_materials(const geom* from, geom* to);

// Copies the material names and the library of *from into *to, as
// geom_copy_materials does.
bool geom_copy_material_names(const geom* from, geom* to);

// Where each of the n_materials names of *g starts in its material_names: a
// block of pointers into them, which the caller releases with mem_free; null
// when memory is refused.
const char** geom_material_name_table(const geom* g);

// subdiv_geom_alloc (subdiv.h): the arrays of a mesh that a caller fills.
subdiv_status geom_alloc_caller(geom* g, uint64_t n_vertices, uint64_t n_faces, int32_t face_size,
                                uint64_t n_corners, uint64_t n_texcoords, subdiv_error* error);

// subdiv_geom_alloc_normals (subdiv.h): normal arrays of *g's vertices.
subdiv_status geom_alloc_normals(geom* g, subdiv_error* error);

// subdiv_geom_free (subdiv.h): releases the arrays of *g and clears it. Null, or a
// cleared record, is harmless. A geom owns its arrays, and this is the one
// way they go (some may go before, array by array, through mem_release).
void geom_release(geom* g);

// A mesh record that shows arrays other records own: a caller's input, or
// its positions with faces of the library's own in place of its corners.
// The steps read it as a const geom*; nothing is ever released through a
// view, and there is no release for one.
struct geom_view {
    geom shown;
};

} // namespace subdiv
