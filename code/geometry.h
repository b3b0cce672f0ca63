// Geometry storage, half-edge connectivity and the two subdivision schemes.
//
// Every array of the system lives in a storage block from mem_alloc: aligned
// to 64 bytes and padded to the next whole 4096-byte page strictly above the
// request, so that vector loops may load whole groups of eight elements past
// the end of an array without leaving its block.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- storage

// Returns a block of padded_size(n_bytes) bytes aligned to 64 bytes. The
// contents are not initialised (and may hold what a released block held). A
// request the system refuses ends the run with a message giving the byte
// count; the result is never null.
void* mem_alloc(uint64_t n_bytes);

// Returns a block from mem_alloc. Null is ignored. A block of 256 KiB or
// more keeps its pages for the next requests, until one of them needs pages
// never touched before (or mem_trim): only then do they go back to the
// system. Not safe to call from several threads at once, as mem_alloc.
void mem_free(void* block);

// Hands the pages of every released block that still holds them back to the
// system, so that the next requests touch fresh pages.
void mem_trim();

// mem_free of *block, then *block cleared: for loops that release some
// arrays of a record they own before the rest.
template <typename T>
inline void mem_release(T** block)
{
    mem_free(*block);
    *block = nullptr;
}

// The padded size of n bytes: the next multiple of 4096 strictly above n
// (0 and 4095 give 4096, 4096 gives 8192).
uint64_t padded_size(uint64_t n_bytes);

// Fills the padding tail of a block whose data part holds n_elements elements
// of element_size bytes with copies of *fill. element_size must divide 4096.
void pad_fill(void* block, uint64_t element_size, uint64_t n_elements, const void* fill);

// ---------------------------------------------------------------- geometry

// A polygon mesh as parallel arrays. All faces have the same size, 3 or 4,
// held in the low four bits of flags. The record owns its arrays; a plain
// copy shares them and exactly one copy may be released.
struct geom {
    float* x;            // n_vertices entries: x of each vertex
    float* y;            // n_vertices entries: y of each vertex
    float* z;            // n_vertices entries: z of each vertex
    uint64_t* corner0;   // n_faces entries: zero-based vertex at corner 0 of each face
    uint64_t* corner1;   // n_faces entries: vertex at corner 1
    uint64_t* corner2;   // n_faces entries: vertex at corner 2
    uint64_t* corner3;   // n_faces entries: vertex at corner 3; null unless face size is 4
    uint64_t n_vertices; // number of vertices
    uint64_t n_faces;    // number of faces
    uint64_t n_edges;    // number of undirected edges (face size * n_faces / 2 when closed)
    uint64_t flags;      // bits 0-3: face size (3 or 4); all other bits 0
};

static_assert(sizeof(geom) == 88, "geom is eleven 64-bit words");
static_assert(offsetof(geom, corner0) == 24 && offsetof(geom, n_vertices) == 56 &&
                  offsetof(geom, flags) == 80,
              "geom field order");

// The face size of a record: flags masked with 0xF.
inline int geom_face_size(const geom* g) { return int(g->flags & 0xF); }

// Clears *g, then allocates x, y, z (n_vertices floats each) and corner0-2
// (n_faces indices each), and corner3 when face_size is 4; sets the counts and
// flags. Contents are uninitialised. What *g held is overwritten, not released.
void geom_alloc(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges, int face_size);

// The first half of geom_alloc: clears *g, allocates x, y and z and sets the
// counts and flags; the corner arrays stay null for the caller to allocate.
// The last step of an iteration loop takes its corner arrays only once it has
// released the input arrays that it no longer reads, so that they can take
// over their pages.
void geom_alloc_vertices(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges,
                         int face_size);

// Releases the arrays of *g and clears it. Null, or a cleared record, is harmless.
void geom_free(geom* g);

// ---------------------------------------------------------------- connectivity

// Directed edge (origin, destination), the key of the edge map.
struct edge_key {
    uint64_t origin;
    uint64_t destination;
};
static_assert(sizeof(edge_key) == 16, "edge_key is two 64-bit words");

// The key of the directed edge origin -> destination. Equal indices (a
// degenerate edge) are a fatal check naming both.
edge_key make_edge_key(uint64_t origin, uint64_t destination);

// Half-edge connectivity of a geom with V vertices, F faces and E edges. The
// half-edges of edge e are 2e and 2e + 1 (the twin of h is h ^ 1), and edges
// are numbered in the order a scan of the faces, each from corner 0, first
// meets them.
struct mesh {
    uint64_t* face_iedge0;    // F entries: half-edge of face f from corner 0 to corner 1
    uint64_t* face_iedge1;    // F entries: half-edge from corner 1 to corner 2
    uint64_t* face_iedge2;    // F entries: half-edge from corner 2 to corner 0 (triangles) or 3
    uint64_t* face_iedge3;    // F entries: quads only, half-edge from corner 3 to corner 0
    uint64_t* iedge_vertex;   // 2E entries: origin vertex of each half-edge
    uint64_t* iedge_face;     // 2E entries: face that holds each half-edge
    uint64_t* iedge_next;     // 2E entries: next half-edge of the same face
    uint64_t* vertex_valence; // V entries: bits 0-62 number of edges at the vertex; bit 63 reserved, 0
};
static_assert(sizeof(mesh) == 64, "mesh is eight 64-bit words");

// Every bit set: the fill of the padding tails of the mesh's index arrays.
constexpr uint64_t index_pad_fill = ~uint64_t(0);

// Clears *m and allocates its arrays sized from g's counts; fills the padding
// tails of face_iedge0-2 and the three half-edge arrays with index_pad_fill and
// sets every valence to 0. What *m held is overwritten, not released.
void mesh_alloc(mesh* m, const geom* g);

// Allocates *m and computes the connectivity of g's faces; g->n_edges must be
// the number of distinct edges. Returns 1, with every half-edge entry set.
// Ends the run, before writing out of bounds or leaving an entry unset, on a
// corner index not below n_vertices, two equal consecutive corners, a quad
// with one vertex at opposite corners, a directed edge that a second face
// runs the same way while the first face's edge is still unmatched, and a
// number of distinct edges or of edges on one face only that a closed mesh
// of n_edges edges cannot have. An edge shared by four faces that pair up in
// opposite directions is taken as two edges with the same ends. These checks
// release *m (cleared) and the edge map before they fail, so that a check
// handler that leaves by longjmp loses nothing.
int mesh_build(mesh* m, const geom* g);

// Releases the arrays of *m and clears it.
void mesh_free(mesh* m);

// The connectivity of the output of one subdivision step, numbered from the
// connectivity mesh_in of the step's input geom_in instead of through the
// edge map: *mesh_out is allocated (what it held is overwritten) and filled
// with exactly what mesh_build(mesh_out, geom_out) gives, entry for entry,
// padding tails included. geom_out must be the finished output of
// catmull_clark_step or loop_step on geom_in, and mesh_in the connectivity
// of geom_in from mesh_build or from these functions. Reads mesh_in's
// face_iedge arrays and vertex_valence, and geom_out's corners.
void catmull_clark_mesh_derive(const mesh* mesh_in, const geom* geom_in, const geom* geom_out,
                               mesh* mesh_out);
void loop_mesh_derive(const mesh* mesh_in, const geom* geom_in, const geom* geom_out,
                      mesh* mesh_out);

// ---------------------------------------------------------------- subdivision

// The end of one iteration of a subdivision loop: prints "Finished iteration
// vertices N -> M" on stderr, releases the input pair (its geometry only when
// owned, never the caller's arrays) and moves the output pair into its place.
void iteration_advance(geom* geom_in, mesh* mesh_in, const geom* geom_out, const mesh* mesh_out,
                       bool owned);

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

// The weights of the Catmull-Clark vertex rule for a vertex of valence k:
// *weight_old = (k − 2) / k for its old position and *weight_partial = 1 / k²
// for the sum of its face and edge points, in single precision (1/3 and 1/9
// for valence 3, 1/2 and 1/16 for valence 4). Valence 0 gives 1 and −0,
// which keep the old position bit for bit.
void catmull_clark_vertex_weights(uint64_t valence, float* weight_old, float* weight_partial);

// One Catmull-Clark iteration of the quad mesh geom_in with its connectivity
// mesh_in: fills geom_out (V + F + E vertices, 4F faces, 4F + 2E edges) and,
// when mesh_out is not null, its connectivity. Returns 0, touching nothing,
// when geom_in's face size is not 4. Inputs and outputs must not alias.
int catmull_clark_step(const mesh* mesh_in, const geom* geom_in, geom* geom_out, mesh* mesh_out);

// Applies count Catmull-Clark iterations to the quad mesh *input and moves the
// result into *output, as loop_iterate does (false for a mesh that is not
// made of quads).
bool catmull_clark_iterate(const geom* input, geom* output, int32_t count);
