// Catmull-Clark subdivision of meshes of faces of 3 to 15 corners, closed
// or open, by the rules of rules.h: every face gains a face point, every
// edge an edge point, every old vertex moves; a face of n corners splits
// into n quads.
//
// The passes run face, edge, vertex. The output slots of the old vertices are
// cleared first and serve as accumulators: the face pass and the edge pass add
// their points into them in ascending face and then edge order, and the vertex
// pass overwrites them with the moved positions.
#include "catmull_clark.h"

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

// Faces and edges per range of the passes below. A range's points are
// computed on any thread; their sums into the old vertices' slots happen
// range after range in order, so that each slot takes its terms in
// ascending face and then edge order whatever the threads.
static const uint64_t face_range = 4096;
static const uint64_t edge_range = 8192;

// Face points, edge points and the moved old vertices into x, y and z of
// geom_out, which holds V + F + E vertices: the interior rules for every edge
// and vertex, then the boundary rules for those on boundary edges. Returns
// false when memory is refused.
static bool catmull_clark_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                                 const subdiv_options* options)
{
    const uint64_t V = geom_in->n_vertices;
    const uint64_t F = geom_in->n_faces;
    const uint64_t E = geom_in->n_edges;
    const uint32_t threads = options_threads(options);
    // only the old vertices' slots accumulate; the passes store every face
    // point and edge point whole before anything reads it
    std::memset(geom_out->x, 0, V * 4);
    std::memset(geom_out->y, 0, V * 4);
    std::memset(geom_out->z, 0, V * 4);
    const uint64_t face_point_base = V;
    const uint64_t edge_point_base = V + F;

    const float* const axis_in[3] = {geom_in->x, geom_in->y, geom_in->z};
    float* const axis_out[3] = {geom_out->x, geom_out->y, geom_out->z};
    const uint64_t* const face_iedge[4] = {mesh_in->face_iedge0, mesh_in->face_iedge1,
                                           mesh_in->face_iedge2, mesh_in->face_iedge3};
    const uint64_t* const iedge_vertex = mesh_in->iedge_vertex;
    const uint64_t* const iedge_face = mesh_in->iedge_face;
    const float* const edge_sharpness = mesh_in->edge_sharpness;
    const bool classic = options_classic_rule(options);
    parallel_turns turns;
    turns.next = 0;

    // face points, added into their corners' sums
    if (geom_face_size(geom_in) == 0) {
        // faces of any sizes, their corners summed in order
        parallel_ranges(threads, F, face_range, [&](uint64_t first, uint64_t end, uint64_t i, uint32_t) {
            for (uint64_t f = first; f < end; ++f) {
                const uint64_t start = geom_in->face_start[f], n = geom_in->face_start[f + 1] - start;
                const uint64_t* const q = geom_in->corners + start;
                for (int axis = 0; axis < 3; ++axis) {
                    const float* in = axis_in[axis];
                    float sum = in[q[0]];
                    for (uint64_t c = 1; c < n; ++c) sum = sum + in[q[c]];
                    axis_out[axis][face_point_base + f] = rule_face_point(sum, uint32_t(n));
                }
            }
            parallel_turn_wait(&turns, i);
            for (uint64_t f = first; f < end; ++f) {
                const uint64_t start = geom_in->face_start[f], n = geom_in->face_start[f + 1] - start;
                const uint64_t* const q = geom_in->corners + start;
                for (int axis = 0; axis < 3; ++axis) {
                    float* out = axis_out[axis];
                    const float point = out[face_point_base + f];
                    for (uint64_t c = 0; c < n; ++c) out[q[c]] += point;
                }
            }
            parallel_turn_pass(&turns);
        });
    } else {
        // quads, eight at a time
        parallel_ranges(threads, F, face_range, [&](uint64_t first, uint64_t end, uint64_t i, uint32_t) {
            alignas(64) uint64_t corner_buf[4][8];
            f32x8 corners[4];
            for (uint64_t g = first; g < end; g += 8) {
                const uint8_t k = lane_count8(g, F);
                const int n_lanes = k ? k : 8;
                // tail lanes gather element 0; their results are never stored
                if (k) std::memset(corner_buf, 0, sizeof corner_buf);
                for (int l = 0; l < n_lanes; ++l)
                    for (int c = 0; c < 4; ++c) corner_buf[c][l] = iedge_vertex[face_iedge[c][g + l]];
                for (int axis = 0; axis < 3; ++axis) {
                    for (int c = 0; c < 4; ++c) corners[c] = gather8_f32(axis_in[axis], corner_buf[c]);
                    const f32x8 point = rule_face_point8(corners);
                    store_lanes8_f32(axis_out[axis] + face_point_base + g, point, k);
                }
            }
            parallel_turn_wait(&turns, i);
            for (uint64_t f = first; f < end; ++f) {
                uint64_t corner[4];
                for (int c = 0; c < 4; ++c) corner[c] = iedge_vertex[face_iedge[c][f]];
                for (int axis = 0; axis < 3; ++axis) {
                    float* out = axis_out[axis];
                    const float point = out[face_point_base + f];
                    for (int c = 0; c < 4; ++c) out[corner[c]] += point;
                }
            }
            parallel_turn_pass(&turns);
        });
    }

    // edge points, added (or, with the classic rule, the other ends) into
    // the accumulators of their two ends
    turns.next = 0;
    parallel_ranges(threads, E, edge_range, [&](uint64_t first, uint64_t end, uint64_t i, uint32_t) {
        alignas(64) uint64_t end_a[8], end_b[8], face_a[8], face_b[8];
        for (uint64_t g = first; g < end; g += 8) {
            const uint8_t k = lane_count8(g, E);
            const int n_lanes = k ? k : 8;
            if (k) {
                std::memset(end_a, 0, sizeof end_a);
                std::memset(end_b, 0, sizeof end_b);
                std::memset(face_a, 0, sizeof face_a);
                std::memset(face_b, 0, sizeof face_b);
            }
            for (int l = 0; l < n_lanes; ++l) {
                // a boundary edge has no second face: the lane takes the first
                // twice, and its point is replaced after the pass
                const uint64_t h = 2 * (g + uint64_t(l)), t = h + 1;
                const uint64_t f_t = iedge_face[t];
                end_a[l] = iedge_vertex[h];
                end_b[l] = iedge_vertex[t];
                face_a[l] = face_point_base + iedge_face[h];
                face_b[l] = f_t == mesh_no_face ? face_a[l] : face_point_base + f_t;
            }
            for (int axis = 0; axis < 3; ++axis) {
                const f32x8 fa = gather8_f32(axis_out[axis], face_a);
                const f32x8 fb = gather8_f32(axis_out[axis], face_b);
                const f32x8 a = gather8_f32(axis_in[axis], end_a);
                const f32x8 b = gather8_f32(axis_in[axis], end_b);
                f32x8 point = rule_cc_edge_point8(fa, fb, a, b);
                if (edge_sharpness)
                    point = rule_sharp_edge8(point, a, b, load8_f32(edge_sharpness + g));
                store_lanes8_f32(axis_out[axis] + edge_point_base + g, point, k);
            }
        }
        parallel_turn_wait(&turns, i);
        for (uint64_t e = first; e < end; ++e) {
            const uint64_t a = iedge_vertex[2 * e], b = iedge_vertex[2 * e + 1];
            for (int axis = 0; axis < 3; ++axis) {
                float* out = axis_out[axis];
                const float point = out[edge_point_base + e];
                // the edge's point, or (classic) the other end
                out[a] += classic ? axis_in[axis][b] : point;
                out[b] += classic ? axis_in[axis][a] : point;
            }
        }
        parallel_turn_pass(&turns);
    });
    // the boundary edges' points; the interior sums of their ends are not read
    boundary_edge_points(mesh_in, geom_in, geom_out, edge_point_base);

    // vertex points: the smooth rule over the sums
    parallel_ranges(threads, V, edge_range, [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
        alignas(32) float weights_old_buf[8];
        alignas(32) float weights_partial_buf[8];
        for (uint64_t g = first; g < end; g += 8) {
            const uint8_t k = lane_count8(g, V);
            const int n_lanes = k ? k : 8;
            for (int l = 0; l < 8; ++l) {
                // tail lanes keep the weights of valence 0: their results are not stored
                const uint64_t valence =
                    l < n_lanes ? mesh_valence(mesh_in->vertex_valence[g + uint64_t(l)]) : 0;
                catmull_clark_vertex_weights(valence, &weights_old_buf[l], &weights_partial_buf[l]);
            }
            const f32x8 weight_old = load8_f32(weights_old_buf);
            const f32x8 weight_partial = load8_f32(weights_partial_buf);
            for (int axis = 0; axis < 3; ++axis) {
                // the last group loads face points past V and leaves them as they are
                const f32x8 old_position = load8_f32(axis_in[axis] + g);
                const f32x8 sum = load8_f32(axis_out[axis] + g);
                const f32x8 point = rule_smooth_vertex8(old_position, weight_old, sum, weight_partial);
                store_lanes8_f32(axis_out[axis] + g, point, k);
            }
        }
    });
    return vertex_points_by_sharpness(mesh_in, geom_in, geom_out, options_smooth_corners(options));
}

// The children's corners, one output array at a time, so that the last step
// can release each input array after its last reader. Child 4f+c of face f
// is (corner c, edge point of c–c+1, face point, edge point of c−1–c); its
// entries are the four consecutive entries 4f to 4f+3 of each array.

// Faces per range of the children's corner passes.
static const uint64_t children_range = 16384;

// corner0: the corners of the old face, the origins of its half-edges.
static void catmull_clark_children_corners(const mesh* mesh_in, uint64_t F, uint64_t* corner0, uint32_t threads)
{
    const uint64_t* const iedge_vertex = mesh_in->iedge_vertex;
    const uint64_t* const face_iedge[4] = {mesh_in->face_iedge0, mesh_in->face_iedge1,
                                           mesh_in->face_iedge2, mesh_in->face_iedge3};
    parallel_ranges(threads, F, children_range, [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
        for (uint64_t f = first; f < end; ++f)
            store4_u64(corner0 + 4 * f,
                       set4_u64(iedge_vertex[face_iedge[0][f]], iedge_vertex[face_iedge[1][f]],
                                iedge_vertex[face_iedge[2][f]], iedge_vertex[face_iedge[3][f]]));
    });
}

// corner1: the edge points of the old face's sides, vertex
// edge_point_base + (half-edge >> 1).
static void catmull_clark_children_edge_points(const mesh* mesh_in, uint64_t F,
                                               uint64_t edge_point_base, uint64_t* corner1, uint32_t threads)
{
    const u64x4 base = set1_4_u64(edge_point_base);
    const uint64_t* const face_iedge[4] = {mesh_in->face_iedge0, mesh_in->face_iedge1,
                                           mesh_in->face_iedge2, mesh_in->face_iedge3};
    parallel_ranges(threads, F, children_range, [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
        for (uint64_t f = first; f < end; ++f)
            store4_u64(corner1 + 4 * f,
                       add4_u64(base, shift_right1_4_u64(set4_u64(face_iedge[0][f], face_iedge[1][f],
                                                                  face_iedge[2][f],
                                                                  face_iedge[3][f]))));
    });
}

// corner2: the face point, four times; corner3: corner1 of the child before.
static void catmull_clark_children_face_points(uint64_t F, uint64_t face_point_base,
                                               uint64_t* corner2, uint32_t threads)
{
    parallel_ranges(threads, F, children_range, [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
        for (uint64_t f = first; f < end; ++f) store4_u64(corner2 + 4 * f, set1_4_u64(face_point_base + f));
    });
}

static void catmull_clark_children_edge_points_before(const uint64_t* corner1, uint64_t F,
                                                      uint64_t* corner3, uint32_t threads)
{
    parallel_ranges(threads, F, children_range, [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
        for (uint64_t f = first; f < end; ++f)
            store4_u64(corner3 + 4 * f, rotate4_u64(load4_u64(corner1 + 4 * f)));
    });
}

// The children of faces of any sizes: face f of n corners gives the quads
// face_start[f] + c for c = 0 .. n − 1, (corner c, edge point of c–c+1, face
// point, edge point of c−1–c), in geom_out's four corner arrays.
static void catmull_clark_polygon_children(const mesh* mesh_in, const geom* geom_in,
                                           geom* geom_out)
{
    const uint64_t V = geom_in->n_vertices, F = geom_in->n_faces;
    for (uint64_t f = 0; f < F; ++f) {
        const uint64_t start = geom_in->face_start[f], n = geom_in->face_start[f + 1] - start;
        for (uint64_t c = 0; c < n; ++c) {
            const uint64_t child = start + c, before = start + (c + n - 1) % n;
            geom_out->corner0[child] = geom_in->corners[child];
            geom_out->corner1[child] = V + F + (mesh_in->corner_iedge[child] >> 1);
            geom_out->corner2[child] = V + f;
            geom_out->corner3[child] = V + F + (mesh_in->corner_iedge[before] >> 1);
        }
    }
}

// Releases the output of a step that memory was refused to; returns false.
static bool step_refused(geom* geom_out)
{
    geom_release(geom_out);
    return false;
}

// One step of a mesh of faces of any sizes into quads: V + F + E vertices,
// one quad per corner, 2E + corners edges. False when memory is refused.
static bool catmull_clark_polygon_step(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                                       mesh* mesh_out, const subdiv_options* options)
{
    const uint64_t V = geom_in->n_vertices, F = geom_in->n_faces, E = geom_in->n_edges;
    const uint64_t n_corners = geom_corner_count(geom_in);
    if (!geom_alloc(geom_out, V + F + E, n_corners, 2 * E + n_corners, 4)) return false;
    if (!catmull_clark_points(mesh_in, geom_in, geom_out, options)) return step_refused(geom_out);
    catmull_clark_polygon_children(mesh_in, geom_in, geom_out);
    if (mesh_out && !catmull_clark_mesh_derive(mesh_in, geom_in, geom_out, mesh_out))
        return step_refused(geom_out);
    return true;
}

int catmull_clark_step(const mesh* mesh_in, const geom* geom_in, geom* geom_out, mesh* mesh_out,
                       const subdiv_options* options)
{
    CHECK(mesh_in != nullptr && geom_in != nullptr && geom_out != nullptr,
          "catmull_clark_step: no record");
    if (geom_face_size(geom_in) == 0)
        return catmull_clark_polygon_step(mesh_in, geom_in, geom_out, mesh_out, options) ? 1 : 0;
    if (geom_face_size(geom_in) != 4) return 0;

    const uint64_t V = geom_in->n_vertices;
    const uint64_t F = geom_in->n_faces;
    const uint64_t E = geom_in->n_edges;
    if (!geom_alloc(geom_out, V + F + E, 4 * F, 4 * F + 2 * E, 4)) return 0;
    if (!catmull_clark_points(mesh_in, geom_in, geom_out, options)) return step_refused(geom_out);
    const uint32_t threads = options_threads(options);
    catmull_clark_children_corners(mesh_in, F, geom_out->corner0, threads);
    catmull_clark_children_edge_points(mesh_in, F, V + F, geom_out->corner1, threads);
    catmull_clark_children_face_points(F, V, geom_out->corner2, threads);
    catmull_clark_children_edge_points_before(geom_out->corner1, F, geom_out->corner3, threads);
    if (mesh_out && !catmull_clark_mesh_derive(mesh_in, geom_in, geom_out, mesh_out))
        return step_refused(geom_out);
    return 1;
}

// The step of the last iteration, which builds no connectivity, in an order
// that lowers the peak of the whole loop: the positions first; then every
// input array goes as soon as nothing further reads it (the input's
// positions only when the loop owns them: owned_in), and each corner array
// of the output is allocated only then, on the pages just released.
static bool catmull_clark_last_step(mesh* mesh_in, const geom* geom_in, geom* owned_in,
                                    geom* geom_out, const subdiv_options* options)
{
    // faces of any sizes are released with the rest of the level
    if (geom_face_size(geom_in) == 0)
        return catmull_clark_polygon_step(mesh_in, geom_in, geom_out, nullptr, options);
    const uint64_t V = geom_in->n_vertices;
    const uint64_t F = geom_in->n_faces;
    const uint64_t E = geom_in->n_edges;
    const uint64_t n_corners = 4 * F;
    if (!geom_alloc_vertices(geom_out, V + F + E, n_corners, 4 * F + 2 * E, 4)) return false;
    if (!catmull_clark_points(mesh_in, geom_in, geom_out, options)) return step_refused(geom_out);
    const uint32_t threads = options_threads(options);
    mem_release(&mesh_in->iedge_face);
    mem_release(&mesh_in->vertex_valence);
    if (owned_in) {
        mem_release(&owned_in->x);
        mem_release(&owned_in->y);
        mem_release(&owned_in->z);
    }
    geom_out->corner0 = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    if (!geom_out->corner0) return step_refused(geom_out);
    catmull_clark_children_corners(mesh_in, F, geom_out->corner0, threads);
    mem_release(&mesh_in->iedge_vertex);
    geom_out->corner1 = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    if (!geom_out->corner1) return step_refused(geom_out);
    catmull_clark_children_edge_points(mesh_in, F, V + F, geom_out->corner1, threads);
    mem_release(&mesh_in->face_iedge0);
    mem_release(&mesh_in->face_iedge1);
    mem_release(&mesh_in->face_iedge2);
    mem_release(&mesh_in->face_iedge3);
    geom_out->corner2 = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    if (!geom_out->corner2) return step_refused(geom_out);
    catmull_clark_children_face_points(F, V, geom_out->corner2, threads);
    geom_out->corner3 = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    if (!geom_out->corner3) return step_refused(geom_out);
    catmull_clark_children_edge_points_before(geom_out->corner1, F, geom_out->corner3, threads);
    return true;
}

// The step without its output's connectivity, for the iteration loop.
static bool catmull_clark_step_points_faces(const mesh* mesh_in, const geom* geom_in,
                                            geom* geom_out, const subdiv_options* options)
{
    return catmull_clark_step(mesh_in, geom_in, geom_out, nullptr, options) == 1;
}

// The positions of a step alone, for a last level that is written as it is
// made.
static bool catmull_clark_step_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                                      const subdiv_options* options)
{
    const uint64_t V = geom_in->n_vertices, F = geom_in->n_faces, E = geom_in->n_edges;
    const uint64_t n_corners = geom_corner_count(geom_in);
    if (!geom_alloc_vertices(geom_out, V + F + E, n_corners, 2 * E + n_corners, 4)) return false;
    return catmull_clark_points(mesh_in, geom_in, geom_out, options) || step_refused(geom_out);
}

// Neither the step nor the numbering of its output's connectivity reads the
// half-edge successors of the input or its corners (the corners of the
// output come from the half-edges); the numbering reads only the input's
// face_iedge arrays and valences.
static const iteration_scheme catmull_clark_scheme = {
    4,
    true,
    catmull_clark_step_points_faces,
    catmull_clark_step_points,
    catmull_clark_mesh_derive,
    catmull_clark_last_step,
    array_iedge_next | array_corners,
    array_iedge_vertex | array_iedge_face | array_positions,
    0,
};

const iteration_scheme* catmull_clark_iteration() { return &catmull_clark_scheme; }

subdiv_status catmull_clark_iterate(const geom* input, geom* output, int32_t count,
                                    const subdiv_options* options, subdiv_error* error)
{
    return iteration_build_and_run(&catmull_clark_scheme, input, output, count, options, error);
}

bool catmull_clark_iterate_mesh(const geom* input, mesh* input_mesh, geom* output, int32_t count,
                                const subdiv_options* options)
{
    return iteration_run(&catmull_clark_scheme, input, input_mesh, output, nullptr, count,
                         options);
}

} // namespace subdiv
