// Loop subdivision of triangle meshes, closed or open, by the rules of
// rules.h: every edge gains an edge point, every old vertex moves, every
// triangle splits in four.
//
// The phases run edge, vertex, face. One pass over the edges yields the edge
// points and, in the output slots of the old vertices, the neighbour sums and
// valences that the vertex phase then turns into the moved positions.
#include "loop.h"

#include <cstring>

#include "check.h"
#include "iteration.h"
#include "mesh_derive.h"
#include "options.h"
#include "parallel.h"
#include "rules.h"
#include "simd.h"
#include "storage.h"

namespace subdiv {

// Edges and vertices per range of the passes below. A range's edge points
// are computed on any thread; their ends' neighbour sums grow range after
// range in order, so that each sum takes its terms in ascending edge order
// whatever the threads.
static const uint64_t point_range = 8192;

// Edge points and the moved old vertices into x, y and z of geom_out, which
// holds nv + ne vertices: the interior rules for every edge and vertex, then
// the boundary rules for those on boundary edges. Returns false when memory
// is refused.
static bool loop_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                        const subdiv_options* options)
{
    const uint64_t nv = geom_in->n_vertices;
    const uint64_t ne = geom_in->n_edges;
    const uint32_t threads = options_threads(options);
    // only the old vertices' slots accumulate; the edge phase stores every
    // edge point whole before anything reads it
    std::memset(geom_out->x, 0, nv * 4);
    std::memset(geom_out->y, 0, nv * 4);
    std::memset(geom_out->z, 0, nv * 4);

    const float* const axis_in[3] = {geom_in->x, geom_in->y, geom_in->z};
    float* const axis_out[3] = {geom_out->x, geom_out->y, geom_out->z};
    const uint64_t* const iedge_vertex = mesh_in->iedge_vertex;
    const uint64_t* const iedge_next = mesh_in->iedge_next;
    const float* const edge_sharpness = mesh_in->edge_sharpness;

    // edge points, with the neighbour sums of the old vertices
    parallel_turns turns;
    turns.next = 0;
    parallel_ranges(threads, ne, point_range, [&](uint64_t first, uint64_t end, uint64_t i, uint32_t) {
        alignas(64) uint64_t end_a[8], end_b[8], opposite_a[8], opposite_b[8];
        for (uint64_t g = first; g < end; g += 8) {
            const uint8_t k = lane_count8(g, ne);
            const int n_lanes = k ? k : 8;
            if (k) {
                // tail lanes gather element 0; their results are never stored
                std::memset(end_a, 0, sizeof end_a);
                std::memset(end_b, 0, sizeof end_b);
                std::memset(opposite_a, 0, sizeof opposite_a);
                std::memset(opposite_b, 0, sizeof opposite_b);
            }
            for (int l = 0; l < n_lanes; ++l) {
                // the next of the next half-edge leaves the corner opposite the
                // edge; a boundary edge has no second face: the lane takes the
                // first corner twice, and its point is replaced after the pass
                const uint64_t h = 2 * (g + uint64_t(l)), t = h + 1;
                const uint64_t next_t = iedge_next[t];
                end_a[l] = iedge_vertex[h];
                end_b[l] = iedge_vertex[t];
                opposite_a[l] = iedge_vertex[iedge_next[iedge_next[h]]];
                opposite_b[l] =
                    next_t == mesh_no_face ? opposite_a[l] : iedge_vertex[iedge_next[next_t]];
            }
            for (int axis = 0; axis < 3; ++axis) {
                const f32x8 a = gather8_f32(axis_in[axis], end_a);
                const f32x8 b = gather8_f32(axis_in[axis], end_b);
                const f32x8 p = gather8_f32(axis_in[axis], opposite_a);
                const f32x8 q = gather8_f32(axis_in[axis], opposite_b);
                f32x8 point = rule_loop_edge_point8(a, b, p, q);
                if (edge_sharpness)
                    point = rule_sharp_edge8(point, a, b, load8_f32(edge_sharpness + g));
                store_lanes8_f32(axis_out[axis] + nv + g, point, k);
            }
        }
        parallel_turn_wait(&turns, i);
        for (uint64_t e = first; e < end; ++e) {
            const uint64_t A = iedge_vertex[2 * e], B = iedge_vertex[2 * e + 1];
            for (int axis = 0; axis < 3; ++axis) axis_out[axis][A] += axis_in[axis][B];
            for (int axis = 0; axis < 3; ++axis) axis_out[axis][B] += axis_in[axis][A];
        }
        parallel_turn_pass(&turns);
    });
    // the boundary edges' points; the interior sums of their ends are not read
    boundary_edge_points(mesh_in, geom_in, geom_out, nv);

    // vertex points: the smooth rule over the neighbour sums
    parallel_ranges(threads, nv, point_range, [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
        alignas(32) float weight_even_buf[8];
        alignas(32) float weight_even_partial_buf[8];
        for (uint64_t g = first; g < end; g += 8) {
            const uint8_t k = lane_count8(g, nv);
            const int n_lanes = k ? k : 8;
            for (int l = 0; l < 8; ++l) {
                // tail lanes keep the weights of valence 0: their results are not stored
                const uint32_t n = l < n_lanes
                                       ? uint32_t(mesh_valence(mesh_in->vertex_valence[g + uint64_t(l)]))
                                       : 0;
                loop_vertex_weights(n, &weight_even_buf[l], &weight_even_partial_buf[l]);
            }
            const f32x8 alpha = load8_f32(weight_even_buf);
            const f32x8 beta = load8_f32(weight_even_partial_buf);
            for (int axis = 0; axis < 3; ++axis) {
                // the last group loads edge points past nv and leaves them as they are
                const f32x8 old_position = load8_f32(axis_in[axis] + g);
                const f32x8 sum = load8_f32(axis_out[axis] + g);
                const f32x8 point = rule_smooth_vertex8(old_position, alpha, sum, beta);
                store_lanes8_f32(axis_out[axis] + g, point, k);
            }
        }
    });
    return vertex_points_by_sharpness(mesh_in, geom_in, geom_out, options_smooth_corners(options));
}

// The children's corners, one output array at a time, so that the last step
// can release each input array after its last reader. Children 4F to 4F+3 of
// face F with corners c0, c1, c2 and edge points m0 (c0–c1), m1 (c1–c2), m2
// (c2–c0) are the three corner triangles in corner order, then the middle
// one, all wound as their parent:
//
//   child   corner0  corner1  corner2
//   4F      c0       m0       m2
//   4F+1    m0       c1       m1
//   4F+2    m1       c2       m2
//   4F+3    m1       m2       m0
//
// The edge point of a half-edge's edge is vertex nv + (half-edge >> 1).

// Faces per range of the children's corner passes.
static const uint64_t children_range = 16384;

static void loop_children_corner0(const mesh* mesh_in, const geom* geom_in, uint64_t* corner0, uint32_t threads)
{
    const uint64_t n_faces = geom_in->n_faces;
    const uint64_t nv = geom_in->n_vertices;
    const uint64_t* const c0 = geom_in->corner0;
    parallel_ranges(threads, n_faces, children_range, [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
        for (uint64_t F = first; F < end; ++F) {
            const uint64_t m1 = nv + (mesh_in->face_iedge1[F] >> 1);
            store4_u64(corner0 + 4 * F, set4_u64(c0[F], nv + (mesh_in->face_iedge0[F] >> 1), m1, m1));
        }
    });
}

static void loop_children_corner1(const mesh* mesh_in, const geom* geom_in, uint64_t* corner1, uint32_t threads)
{
    const uint64_t n_faces = geom_in->n_faces;
    const uint64_t nv = geom_in->n_vertices;
    const uint64_t* const c1 = geom_in->corner1;
    const uint64_t* const c2 = geom_in->corner2;
    parallel_ranges(threads, n_faces, children_range, [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
        for (uint64_t F = first; F < end; ++F)
            store4_u64(corner1 + 4 * F,
                       set4_u64(nv + (mesh_in->face_iedge0[F] >> 1), c1[F], c2[F],
                                nv + (mesh_in->face_iedge2[F] >> 1)));
    });
}

static void loop_children_corner2(const mesh* mesh_in, const geom* geom_in, uint64_t* corner2, uint32_t threads)
{
    const uint64_t n_faces = geom_in->n_faces;
    const u64x4 base = set1_4_u64(geom_in->n_vertices);
    parallel_ranges(threads, n_faces, children_range, [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
        for (uint64_t F = first; F < end; ++F)
            store4_u64(corner2 + 4 * F,
                       add4_u64(base, shift_right1_4_u64(set4_u64(
                                          mesh_in->face_iedge2[F], mesh_in->face_iedge1[F],
                                          mesh_in->face_iedge2[F], mesh_in->face_iedge0[F]))));
    });
}

// Releases the output of a step that memory was refused to; returns false.
static bool step_refused(geom* geom_out)
{
    geom_release(geom_out);
    return false;
}

bool loop_step(const mesh* mesh_in, const geom* geom_in, geom* geom_out, mesh* mesh_out,
               const subdiv_options* options)
{
    CHECK(mesh_in != nullptr && geom_in != nullptr && geom_out != nullptr,
          "loop_step: no record");
    if (geom_face_size(geom_in) != 3) return false;

    const uint64_t nv = geom_in->n_vertices;
    const uint64_t ne = geom_in->n_edges;
    const uint64_t nf = geom_in->n_faces;
    if (!geom_alloc(geom_out, nv + ne, 4 * nf, 2 * ne + 3 * nf, 3)) return false;
    if (!loop_points(mesh_in, geom_in, geom_out, options)) return step_refused(geom_out);
    const uint32_t threads = options_threads(options);
    loop_children_corner0(mesh_in, geom_in, geom_out->corner0, threads);
    loop_children_corner1(mesh_in, geom_in, geom_out->corner1, threads);
    loop_children_corner2(mesh_in, geom_in, geom_out->corner2, threads);
    if (mesh_out && !loop_mesh_derive(mesh_in, geom_in, geom_out, mesh_out))
        return step_refused(geom_out);
    return true;
}

// The step of the last iteration, which builds no connectivity, in an order
// that lowers the peak of the whole loop: the positions first; then every
// input array goes as soon as nothing further reads it (the input's own
// arrays only when the loop owns them: owned_in), and each corner array of
// the output is allocated only then, on the pages just released.
static bool loop_last_step(mesh* mesh_in, const geom* geom_in, geom* owned_in, geom* geom_out,
                           const subdiv_options* options)
{
    const uint64_t nv = geom_in->n_vertices;
    const uint64_t ne = geom_in->n_edges;
    const uint64_t nf = geom_in->n_faces;
    const uint64_t n_corners = 4 * nf;
    if (!geom_alloc_vertices(geom_out, nv + ne, n_corners, 2 * ne + 3 * nf, 3)) return false;
    if (!loop_points(mesh_in, geom_in, geom_out, options)) return step_refused(geom_out);
    const uint32_t threads = options_threads(options);
    mem_release(&mesh_in->vertex_valence);
    mem_release(&mesh_in->iedge_vertex);
    mem_release(&mesh_in->iedge_next);
    if (owned_in) {
        mem_release(&owned_in->x);
        mem_release(&owned_in->y);
        mem_release(&owned_in->z);
    }
    geom_out->corner0 = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    if (!geom_out->corner0) return step_refused(geom_out);
    loop_children_corner0(mesh_in, geom_in, geom_out->corner0, threads);
    if (owned_in) mem_release(&owned_in->corner0);
    geom_out->corner1 = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    if (!geom_out->corner1) return step_refused(geom_out);
    loop_children_corner1(mesh_in, geom_in, geom_out->corner1, threads);
    if (owned_in) {
        mem_release(&owned_in->corner1);
        mem_release(&owned_in->corner2);
    }
    geom_out->corner2 = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    if (!geom_out->corner2) return step_refused(geom_out);
    loop_children_corner2(mesh_in, geom_in, geom_out->corner2, threads);
    return true;
}

// The step without its output's connectivity, for the iteration loop.
static bool loop_step_points_faces(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                                   const subdiv_options* options)
{
    return loop_step(mesh_in, geom_in, geom_out, nullptr, options);
}

// The positions of a step alone, for a last level that is written as it is
// made.
static bool loop_step_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                             const subdiv_options* options)
{
    const uint64_t nv = geom_in->n_vertices, ne = geom_in->n_edges, nf = geom_in->n_faces;
    if (!geom_alloc_vertices(geom_out, nv + ne, 4 * nf, 2 * ne + 3 * nf, 3)) return false;
    return loop_points(mesh_in, geom_in, geom_out, options) || step_refused(geom_out);
}

// The step reads neither the faces of the input's half-edges nor
// face_iedge3, which triangles leave unset; the numbering of its output's
// connectivity reads only the input's face_iedge arrays, valences and
// boundary edges.
static const iteration_scheme loop_scheme = {
    3,
    false,
    loop_step_points_faces,
    loop_step_points,
    loop_mesh_derive,
    loop_last_step,
    array_iedge_face | array_face_iedge3,
    array_iedge_vertex | array_iedge_next | array_positions | array_corners,
    0,
};

const iteration_scheme* loop_iteration() { return &loop_scheme; }

subdiv_status loop_iterate(const geom* input, geom* output, int32_t count,
                           const subdiv_options* options, subdiv_error* error)
{
    return iteration_build_and_run(&loop_scheme, input, output, count, options, error);
}

bool loop_iterate_mesh(const geom* input, mesh* input_mesh, geom* output, int32_t count,
                       const subdiv_options* options)
{
    return iteration_run(&loop_scheme, input, input_mesh, output, nullptr, count, options);
}

} // namespace subdiv
