// The point rules of both schemes: the vertex rules' weights, the boundary
// rules, sharp features and the limit masks.
//
// This file is compiled with -fno-builtin-powf: the Loop vertex rule calls
// the library's single-precision powf, which the compiler would otherwise
// fold into a product that rounds differently for some arguments; and with
// -fno-builtin-cos and -fno-builtin-sin, so that the limit masks' weights
// are always the library's values.
#include "rules.h"

#include <cmath>
#include <cstring>

#include "storage.h"

namespace subdiv {

// pi in single precision (bits 0x40490FDB).
static const float loop_pi = 3.14159274f;

void loop_vertex_weights(uint32_t valence, float* alpha, float* beta)
{
    if (valence == 0) {
        // a vertex on no edge stays where it is: P × 1 + 0 × (−0) is P for
        // every P, −0 included
        *alpha = 1.0f;
        *beta = -0.0f;
        return;
    }
    const float n = float(valence);
    const float angle = (2.0f * loop_pi) / n;
    const float kappa = cosf(angle);
    const float b = (0.625f - powf(0.25f * kappa + 0.375f, 2.0f)) * (1.0f / n);
    *alpha = 1.0f - n * b;
    *beta = b;
}

void catmull_clark_vertex_weights(uint64_t valence, float* weight_old, float* weight_sum)
{
    if (valence == 0) {
        // a vertex on no face stays where it is: 1 × P + (−0) × 0 is P for
        // every P, −0 included
        *weight_old = 1.0f;
        *weight_sum = -0.0f;
        return;
    }
    const float k = float(valence);
    *weight_old = (k - 2.0f) / k;
    *weight_sum = 1.0f / (k * k);
}

// ---------------------------------------------------------------- the boundary

void boundary_edge_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                          uint64_t edge_point_base)
{
    const float* const axis_in[3] = {geom_in->x, geom_in->y, geom_in->z};
    float* const axis_out[3] = {geom_out->x, geom_out->y, geom_out->z};
    for (uint64_t i = 0; i < mesh_in->n_boundary_edges; ++i) {
        const uint64_t e = mesh_in->boundary_edges[i];
        const uint64_t a = mesh_in->iedge_vertex[2 * e], b = mesh_in->iedge_vertex[2 * e + 1];
        for (int axis = 0; axis < 3; ++axis)
            axis_out[axis][edge_point_base + e] = rule_midpoint(axis_in[axis][a], axis_in[axis][b]);
    }
}

// Whether the boundary vertex of this valence entry keeps its position: its
// boundary edges are its sharp ones.
static inline bool boundary_corner(uint64_t valence_entry, bool smooth_corners)
{
    const float sharpness = rule_implicit_corner(valence_entry, smooth_corners) ? 10.0f : 0.0f;
    return rule_of_vertex(sharpness, uint32_t(mesh_boundary_count(valence_entry))) ==
           vertex_corner;
}

bool boundary_walk_begin(boundary_walk* walk, const float* const in[3], float* const out[3],
                         uint64_t stride, uint64_t n_vertices, bool smooth_corners)
{
    walk->stride = stride;
    for (int axis = 0; axis < 3; ++axis) {
        walk->in[axis] = in[axis];
        walk->out[axis] = out[axis];
    }
    const uint64_t words = (n_vertices + 63) / 64;
    walk->met = static_cast<uint64_t*>(mem_alloc(words * 8));
    if (!walk->met) return false;
    std::memset(walk->met, 0, words * 8);
    walk->smooth_corners = smooth_corners;
    return true;
}

void boundary_walk_edge(boundary_walk* walk, const uint64_t ends[2], const uint64_t valence[2])
{
    for (int side = 0; side < 2; ++side) {
        const uint64_t v = walk->stride * ends[side], other = walk->stride * ends[1 - side];
        if (boundary_corner(valence[side], walk->smooth_corners)) {
            for (int axis = 0; axis < 3; ++axis) walk->out[axis][v] = walk->in[axis][v];
            continue;
        }
        // the first boundary edge leaves the other end's position in the
        // vertex's slot, the second combines it with its own
        uint64_t& word = walk->met[ends[side] / 64];
        const uint64_t bit = uint64_t(1) << (ends[side] % 64);
        if (!(word & bit)) {
            word |= bit;
            for (int axis = 0; axis < 3; ++axis) walk->out[axis][v] = walk->in[axis][other];
            continue;
        }
        for (int axis = 0; axis < 3; ++axis)
            walk->out[axis][v] =
                rule_crease_vertex(walk->in[axis][v], walk->out[axis][v], walk->in[axis][other]);
    }
}

void boundary_walk_end(boundary_walk* walk) { mem_release(&walk->met); }

bool boundary_vertex_points(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                            bool smooth_corners)
{
    if (mesh_in->n_boundary_edges == 0) return true;
    const float* const in[3] = {geom_in->x, geom_in->y, geom_in->z};
    float* const out[3] = {geom_out->x, geom_out->y, geom_out->z};
    boundary_walk walk;
    if (!boundary_walk_begin(&walk, in, out, 1, geom_in->n_vertices, smooth_corners)) return false;
    for (uint64_t i = 0; i < mesh_in->n_boundary_edges; ++i) {
        const uint64_t e = mesh_in->boundary_edges[i];
        const uint64_t ends[2] = {mesh_in->iedge_vertex[2 * e], mesh_in->iedge_vertex[2 * e + 1]};
        const uint64_t valence[2] = {mesh_in->vertex_valence[ends[0]],
                                     mesh_in->vertex_valence[ends[1]]};
        boundary_walk_edge(&walk, ends, valence);
    }
    boundary_walk_end(&walk);
    return true;
}

// ---------------------------------------------------------------- sharp features

bool rule_drops_any(const float* sharpness, uint64_t n)
{
    for (uint64_t i = 0; sharpness && i < n; ++i)
        if (sharpness[i] > 0.0f && rule_decay(sharpness[i]) == 0.0f) return true;
    return false;
}

bool sharp_walk_begin(sharp_walk* walk, const float* const in[3], uint64_t stride,
                      uint64_t n_vertices, const float* vertex_sharpness, bool changes)
{
    *walk = sharp_walk{};
    for (int axis = 0; axis < 3; ++axis) walk->in[axis] = in[axis];
    walk->stride = stride;
    walk->vertex_sharpness = vertex_sharpness;
    const uint64_t V = n_vertices;
    walk->count = static_cast<uint8_t*>(mem_alloc(V));
    walk->crease = static_cast<float*>(mem_alloc(12 * V));
    bool allocated = walk->count && walk->crease;
    if (changes) {
        walk->child_count = static_cast<uint8_t*>(mem_alloc(V));
        walk->child_crease = static_cast<float*>(mem_alloc(12 * V));
        walk->drop_sum = static_cast<float*>(mem_alloc(4 * V));
        walk->drop_count = static_cast<uint32_t*>(mem_alloc(4 * V));
        allocated = allocated && walk->child_count && walk->child_crease && walk->drop_sum &&
                    walk->drop_count;
    }
    if (!allocated) {
        sharp_walk_end(walk);
        return false;
    }
    std::memset(walk->count, 0, V);
    if (!changes) return true;
    std::memset(walk->child_count, 0, V);
    std::memset(walk->drop_count, 0, 4 * V);
    for (uint64_t v = 0; v < V; ++v) {
        // the vertex's own sharpness first, when it drops to 0
        const float s = vertex_sharpness ? vertex_sharpness[v] : 0.0f;
        const bool drops = s > 0.0f && rule_decay(s) == 0.0f;
        walk->drop_sum[v] = drops ? 0.0f + s : 0.0f;
        walk->drop_count[v] = drops ? 1 : 0;
    }
    return true;
}

// One more sharp edge of vertex v, whose other end is `other`, into a count
// and a crease: the first leaves the other end, the second the crease rule.
static inline void sharp_walk_add(const sharp_walk* walk, uint8_t* count, float* crease,
                                  uint64_t v, uint64_t other)
{
    float* const c = crease + 3 * v;
    if (count[v] == 0) {
        for (int axis = 0; axis < 3; ++axis) c[axis] = walk->in[axis][walk->stride * other];
    } else if (count[v] == 1) {
        for (int axis = 0; axis < 3; ++axis)
            c[axis] = rule_crease_vertex(walk->in[axis][walk->stride * v], c[axis],
                                         walk->in[axis][walk->stride * other]);
    }
    if (count[v] < 3) count[v] += 1;
}

void sharp_walk_edge(sharp_walk* walk, uint64_t a, uint64_t b, float s)
{
    const bool stays = rule_decay(s) > 0.0f;
    const uint64_t ends[2] = {a, b};
    for (int side = 0; side < 2; ++side) {
        const uint64_t v = ends[side], other = ends[1 - side];
        sharp_walk_add(walk, walk->count, walk->crease, v, other);
        if (!walk->child_count) continue; // no rule changes in this step
        if (stays) {
            sharp_walk_add(walk, walk->child_count, walk->child_crease, v, other);
        } else {
            walk->drop_sum[v] = walk->drop_sum[v] + s;
            walk->drop_count[v] += 1;
        }
    }
}

void sharp_walk_vertex(const sharp_walk* walk, uint64_t v, bool implicit_corner, float point[3])
{
    const float given = walk->vertex_sharpness ? walk->vertex_sharpness[v] : 0.0f;
    const float s = implicit_corner && given < 10.0f ? 10.0f : given;
    const vertex_rule parent = rule_of_vertex(s, walk->count[v]);
    if (parent == vertex_smooth) return;
    const vertex_rule child = walk->child_count
                                  ? rule_of_vertex(rule_decay(s), walk->child_count[v])
                                  : parent;
    float w = 0.0f;
    if (child != parent) {
        w = walk->drop_sum[v] / float(walk->drop_count[v]);
        if (w > 1.0f) w = 1.0f;
    }
    for (int axis = 0; axis < 3; ++axis) {
        float* const out = point + axis;
        const float p = walk->in[axis][walk->stride * v];
        const float parent_point = parent == vertex_crease ? walk->crease[3 * v + axis] : p;
        if (child == parent) {
            *out = parent_point;
            continue;
        }
        const float child_point = child == vertex_smooth   ? *out
                                  : child == vertex_crease ? walk->child_crease[3 * v + axis]
                                                           : p;
        *out = rule_blend(parent_point, child_point, w);
    }
}

bool vertex_points_by_sharpness(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                                bool smooth_corners)
{
    if (!mesh_in->edge_sharpness)
        return boundary_vertex_points(mesh_in, geom_in, geom_out, smooth_corners);
    const float* const in[3] = {geom_in->x, geom_in->y, geom_in->z};
    float* const out[3] = {geom_out->x, geom_out->y, geom_out->z};
    sharp_walk walk;
    const bool changes = rule_drops_any(mesh_in->edge_sharpness, geom_in->n_edges) ||
                         rule_drops_any(mesh_in->vertex_sharpness, geom_in->n_vertices);
    if (!sharp_walk_begin(&walk, in, 1, geom_in->n_vertices, mesh_in->vertex_sharpness, changes))
        return false;
    const float* const sharpness = mesh_in->edge_sharpness;
    for (uint64_t e = 0; e < geom_in->n_edges; ++e)
        if (sharpness[e] > 0.0f)
            sharp_walk_edge(&walk, mesh_in->iedge_vertex[2 * e], mesh_in->iedge_vertex[2 * e + 1],
                            sharpness[e]);
    for (uint64_t v = 0; v < geom_in->n_vertices; ++v) {
        float point[3] = {out[0][v], out[1][v], out[2][v]};
        sharp_walk_vertex(&walk, v,
                          rule_implicit_corner(mesh_in->vertex_valence[v], smooth_corners), point);
        for (int axis = 0; axis < 3; ++axis) out[axis][v] = point[axis];
    }
    sharp_walk_end(&walk);
    return true;
}

void sharp_walk_end(sharp_walk* walk)
{
    mem_release(&walk->count);
    mem_release(&walk->child_count);
    mem_release(&walk->crease);
    mem_release(&walk->child_crease);
    mem_release(&walk->drop_sum);
    mem_release(&walk->drop_count);
}

// ---------------------------------------------------------------- the limit surface

static const double limit_pi = 3.14159265358979323846;

// The tangent weights of neighbour i of a smooth vertex of valence n (at
// least 3): Loop a = cos(2 pi i / n) and b = sin(2 pi i / n), the weights of
// P_i in T1 and T2; Catmull-Clark, with theta = 2 pi / n and the subdominant
// eigenvalue lambda = (5 + cos theta + cos(theta / 2) sqrt(2 (9 + cos theta))) / 16,
// a = 4 cos(i theta) of P_i and b = (cos(i theta) + cos((i + 1) theta)) /
// (4 lambda - 1) of D_i in T1 (T2 takes those of neighbour i - 1).
static void limit_smooth_weights(bool loop, uint32_t n, uint32_t i, double* a, double* b)
{
    const double angle = 2.0 * limit_pi * double(i) / double(n);
    if (loop) {
        *a = cos(angle);
        *b = sin(angle);
        return;
    }
    const double theta = 2.0 * limit_pi / double(n);
    const double four_lambda_less_one =
        (1.0 + cos(theta) + cos(0.5 * theta) * sqrt(2.0 * (9.0 + cos(theta)))) / 4.0;
    const double next = 2.0 * limit_pi * double(i + 1) / double(n);
    *a = 4.0 * cos(angle);
    *b = (cos(angle) + cos(next)) / four_lambda_less_one;
}

// Loop's position weight of the neighbours of a smooth vertex of valence n:
// chi = 1 / (n + 3 / (8 beta)), beta = (5/8 - (3/8 + cos(2 pi / n) / 4)^2) / n.
static double loop_limit_chi(uint32_t n)
{
    const double k = 0.375 + 0.25 * cos(2.0 * limit_pi / double(n));
    const double beta = (0.625 - k * k) / double(n);
    return 1.0 / (double(n) + 3.0 / (8.0 * beta));
}

bool limit_masks_init(limit_masks* masks, bool loop, bool classic)
{
    *masks = limit_masks{};
    masks->loop = loop;
    masks->classic = classic;
    const uint32_t N = limit_tabled_valences;
    masks->tangent = static_cast<double*>(mem_alloc(uint64_t(N) * (N - 1) * 8));
    if (!masks->tangent) return false;
    for (uint32_t n = 1; n < N; ++n) {
        double* const row = masks->tangent + n * (n - 1);
        for (uint32_t i = 0; i < n; ++i)
            limit_smooth_weights(loop, n, i, &row[2 * i], &row[2 * i + 1]);
        masks->loop_chi[n] = loop_limit_chi(n);
    }
    return true;
}

void limit_masks_free(limit_masks* masks) { mem_release(&masks->tangent); }

// Axis k of point i of a ring's array, in double.
static inline double ring_at(const float* points, uint32_t i, int k)
{
    return double(points[3 * i + k]);
}

// The first two neighbours of [0, end) whose edge is sharp into *a and *b;
// false when there are fewer.
static bool ring_sharp_pair(const limit_ring* ring, uint32_t end, uint32_t* a, uint32_t* b)
{
    uint32_t found = 0;
    for (uint32_t i = 0; i < end && found < 2; ++i) {
        if (!(ring->flags[i] & ring_sharp)) continue;
        *(found == 0 ? a : b) = i;
        ++found;
    }
    return found == 2;
}

void limit_position(const limit_masks* masks, const limit_ring* ring, float out[3])
{
    for (int k = 0; k < 3; ++k) out[k] = ring->v[k];
    const uint32_t n = ring->n;
    if (ring->rule == vertex_corner || n == 0) return;
    if (ring->rule == vertex_crease) {
        uint32_t a = 0, b = 0;
        if (!ring_sharp_pair(ring, n, &a, &b)) return;
        for (int k = 0; k < 3; ++k)
            out[k] = float((ring_at(ring->p, a, k) + 4.0 * double(ring->v[k]) +
                            ring_at(ring->p, b, k)) /
                           6.0);
        return;
    }
    double sum_p[3] = {0.0, 0.0, 0.0}, sum_d[3] = {0.0, 0.0, 0.0};
    for (uint32_t i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) sum_p[k] += ring_at(ring->p, i, k);
        if (!masks->loop && (ring->flags[i] & ring_face))
            for (int k = 0; k < 3; ++k) sum_d[k] += ring_at(ring->d, i, k);
    }
    const double nn = double(n);
    for (int k = 0; k < 3; ++k) {
        const double v = double(ring->v[k]);
        double point;
        if (masks->loop) {
            const double chi = n < limit_tabled_valences ? masks->loop_chi[n] : loop_limit_chi(n);
            point = (1.0 - nn * chi) * v + chi * sum_p[k];
        } else if (masks->classic) {
            point = (nn * nn * v + 4.0 * sum_p[k] + sum_d[k]) / (nn * (nn + 5.0));
        } else {
            point = (nn * nn * v + 3.0 * sum_p[k] + sum_d[k]) / (nn * (nn + 4.0));
        }
        out[k] = float(point);
    }
}

static inline void cross(const double a[3], const double b[3], double out[3])
{
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

static inline double dot(const double a[3], const double b[3])
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// T1 x T2 into normal, unless the two span no plane (their angle's sine
// below 1e-6): then false.
static bool tangent_plane(const double t1[3], const double t2[3], double normal[3])
{
    cross(t1, t2, normal);
    const double span = dot(normal, normal);
    return span > 0.0 && span > 1e-12 * dot(t1, t1) * dot(t2, t2);
}

// The normal of the faces of the first fan between neighbours first and end
// (end excluded): the sum of (P_i - V) x (P_(i+1) - V) over them.
static void fan_normal(const limit_ring* ring, uint32_t first, uint32_t end, double normal[3])
{
    normal[0] = normal[1] = normal[2] = 0.0;
    for (uint32_t i = first; i < end; ++i) {
        if (!(ring->flags[i] & ring_face)) continue;
        const uint32_t next = i + 1 < ring->fan ? i + 1 : 0;
        double from[3], to[3], face[3];
        for (int k = 0; k < 3; ++k) {
            from[k] = ring_at(ring->p, i, k) - double(ring->v[k]);
            to[k] = ring_at(ring->p, next, k) - double(ring->v[k]);
        }
        cross(from, to, face);
        for (int k = 0; k < 3; ++k) normal[k] += face[k];
    }
}

// The smooth tangents T1 and T2 of the first fan, of at least three faces.
static void smooth_tangents(const limit_masks* masks, const limit_ring* ring, double t1[3],
                            double t2[3])
{
    const uint32_t n = ring->fan;
    const double* const row = n < limit_tabled_valences ? masks->tangent + n * (n - 1) : nullptr;
    for (int k = 0; k < 3; ++k) t1[k] = t2[k] = 0.0;
    // Catmull-Clark's T2 weighs neighbour i as T1 does neighbour i - 1
    double a_before = 0.0, b_before = 0.0;
    if (!masks->loop) {
        if (row) {
            a_before = row[2 * (n - 1)];
            b_before = row[2 * (n - 1) + 1];
        } else {
            limit_smooth_weights(false, n, n - 1, &a_before, &b_before);
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        double a, b;
        if (row) {
            a = row[2 * i];
            b = row[2 * i + 1];
        } else {
            limit_smooth_weights(masks->loop, n, i, &a, &b);
        }
        const double p[3] = {ring_at(ring->p, i, 0), ring_at(ring->p, i, 1),
                             ring_at(ring->p, i, 2)};
        if (masks->loop) {
            for (int k = 0; k < 3; ++k) {
                t1[k] += a * p[k];
                t2[k] += b * p[k];
            }
            continue;
        }
        const double d[3] = {ring_at(ring->d, i, 0), ring_at(ring->d, i, 1),
                             ring_at(ring->d, i, 2)};
        for (int k = 0; k < 3; ++k) {
            t1[k] += a * p[k] + b * d[k];
            t2[k] += a_before * p[k] + b_before * d[k];
        }
        a_before = a;
        b_before = b;
    }
}

// The tangent across a crease whose sharp edges go to neighbours a and b,
// with the k = b - a faces between them (at least 2 for Catmull-Clark). The
// masks of one, two (Catmull-Clark) and three faces (Loop) are those of the
// literature; beyond them the left eigenvector of the largest eigenvalue mu
// of the ring's interior: neighbours between A and B weigh s_j (Loop
// sin(j theta), Catmull-Clark 4 sin(j theta)), Catmull-Clark's D_j
// (sin(j theta) + sin((j + 1) theta)) / (4 mu - 1), theta = pi / k, and V
// and A, B take x and y that make it an eigenvector of the crease rules:
// x = (g_A + g_V (mu - 1/2)) / ((mu - 1)(mu - 1/4)), y = (x / 8 + g_A) /
// (mu - 1/2), g_V and g_A what the interior's weights give V and A through a
// step.
static void crease_across(const limit_masks* masks, const limit_ring* ring, uint32_t a,
                          uint32_t b, double t2[3])
{
    const uint32_t k = b - a;
    double weight_v, weight_ends;
    const double theta = limit_pi / double(k);
    double mu = 0.0, four_mu_less_one = 1.0;
    if (masks->loop && k <= 3) {
        const double r3 = sqrt(3.0);
        weight_v = k == 1 ? -6.0 : k == 2 ? -3.0 : -r3;
        weight_ends = k == 1 ? 3.0 : k == 2 ? 0.0 : -0.5 * r3;
    } else if (!masks->loop && k == 2) {
        weight_v = -4.0;
        weight_ends = -1.0;
    } else {
        const double cot = cos(0.5 * theta) / sin(0.5 * theta);
        double g_v, g_a;
        if (masks->loop) {
            mu = 0.375 + 0.25 * cos(theta);
            g_v = 0.375 * cot;
            g_a = 0.125 * sin(theta);
        } else {
            mu = (5.0 + cos(theta) + cos(0.5 * theta) * sqrt(2.0 * (9.0 + cos(theta)))) / 16.0;
            four_mu_less_one = 4.0 * mu - 1.0;
            g_v = 1.5 * cot + 0.5 * cot / four_mu_less_one;
            g_a = 0.25 * sin(theta) + 0.25 * sin(theta) / four_mu_less_one;
        }
        weight_v = (g_a + g_v * (mu - 0.5)) / ((mu - 1.0) * (mu - 0.25));
        weight_ends = (weight_v / 8.0 + g_a) / (mu - 0.5);
    }
    for (int c = 0; c < 3; ++c)
        t2[c] = weight_v * double(ring->v[c]) +
                weight_ends * (ring_at(ring->p, a, c) + ring_at(ring->p, b, c));
    // the neighbours between A and B, and Catmull-Clark's opposite corners
    for (uint32_t j = 1; j < k; ++j) {
        double w;
        if (masks->loop)
            w = k == 2 ? 3.0 : k == 3 ? sqrt(3.0) : sin(double(j) * theta);
        else
            w = k == 2 ? 4.0 : 4.0 * sin(double(j) * theta);
        for (int c = 0; c < 3; ++c) t2[c] += w * ring_at(ring->p, a + j, c);
    }
    for (uint32_t j = 0; !masks->loop && j < k; ++j) {
        const double w = k == 2 ? 1.0
                                : (sin(double(j) * theta) + sin(double(j + 1) * theta)) /
                                      four_mu_less_one;
        for (int c = 0; c < 3; ++c) t2[c] += w * ring_at(ring->d, a + j, c);
    }
}

void limit_normal(const limit_masks* masks, const limit_ring* ring, float out[3])
{
    out[0] = out[1] = out[2] = 0.0f;
    const uint32_t fan = ring->fan;
    double t1[3], t2[3], normal[3];
    bool made = false;
    uint32_t a = 0, b = 0;
    const bool sector = ring->rule != vertex_smooth && ring_sharp_pair(ring, fan, &a, &b);
    if (ring->rule == vertex_smooth) {
        if (ring->fan_closed && fan >= 3) {
            smooth_tangents(masks, ring, t1, t2);
            made = tangent_plane(t1, t2, normal);
        }
    } else if (ring->rule == vertex_crease && sector && (b - a >= 2 || masks->loop)) {
        for (int k = 0; k < 3; ++k) t1[k] = ring_at(ring->p, a, k) - ring_at(ring->p, b, k);
        crease_across(masks, ring, a, b, t2);
        made = tangent_plane(t1, t2, normal);
    } else if (sector) {
        // a corner, or a crease on one quad: the plane of its two sharp edges,
        // on the side of the faces between them
        for (int k = 0; k < 3; ++k) {
            t1[k] = ring_at(ring->p, a, k) - double(ring->v[k]);
            t2[k] = ring_at(ring->p, b, k) - double(ring->v[k]);
        }
        made = tangent_plane(t1, t2, normal);
        double side[3];
        fan_normal(ring, a, b, side);
        if (made && dot(normal, side) < 0.0)
            for (int k = 0; k < 3; ++k) normal[k] = -normal[k];
    }
    if (!made) fan_normal(ring, 0, fan, normal);
    const double span = dot(normal, normal);
    if (!(span > 0.0)) return;
    const double inverse_length = 1.0 / sqrt(span);
    // (+ 0 writes a zero as 0, never -0)
    for (int k = 0; k < 3; ++k) out[k] = float(normal[k] * inverse_length) + 0.0f;
}

} // namespace subdiv
