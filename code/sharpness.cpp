// Sharp features through a refinement.
//
// The crease list names edges by their ends; the level's connectivity
// numbers them. Each edge is looked up among the creases, which a table
// keyed by their ends holds.
#include "sharpness.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "error.h"
#include "parallel.h"
#include "rules.h"
#include "storage.h"

namespace subdiv {

// The home slot of the edge between low and high (low <= high), in a table
// of capacity slots: a multiplicative hash of both ends.
static inline uint64_t crease_home(uint64_t low, uint64_t high, uint64_t capacity)
{
    const uint64_t mixed = (low * 0x9E3779B97F4A7C15ull) ^ (high * 0xC2B2AE3D27D4EB4Full);
    return (mixed ^ (mixed >> 29)) & (capacity - 1);
}

// The slot of the edge between a and b: the one that holds it, or the empty
// one where it would go (linear probing; the table is never full).
static inline uint64_t crease_slot(const crease_index* index, uint64_t a, uint64_t b)
{
    const uint64_t low = a < b ? a : b, high = a < b ? b : a;
    uint64_t slot = crease_home(low, high, index->capacity);
    while (index->crease[slot] != UINT64_MAX &&
           (index->ends[2 * slot] != low || index->ends[2 * slot + 1] != high))
        slot = (slot + 1) & (index->capacity - 1);
    return slot;
}

bool crease_index_build(crease_index* index, const uint64_t* ends, const float* sharpness,
                        uint64_t n)
{
    uint64_t capacity = 16;
    while (capacity < 2 * n) capacity *= 2;
    index->capacity = capacity;
    index->ends = static_cast<uint64_t*>(mem_alloc(16 * capacity));
    index->crease = static_cast<uint64_t*>(mem_alloc(8 * capacity));
    if (!index->ends || !index->crease) {
        crease_index_free(index);
        return false;
    }
    std::memset(index->crease, 0xFF, 8 * capacity);
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t a = ends[2 * i], b = ends[2 * i + 1];
        const uint64_t slot = crease_slot(index, a, b);
        uint64_t& at = index->crease[slot];
        if (at == UINT64_MAX) {
            index->ends[2 * slot] = a < b ? a : b;
            index->ends[2 * slot + 1] = a < b ? b : a;
            at = i;
        } else if (sharpness[i] > sharpness[at]) {
            at = i;
        }
    }
    return true;
}

uint64_t crease_index_find(const crease_index* index, uint64_t a, uint64_t b)
{
    return index->crease[crease_slot(index, a, b)];
}

void crease_index_free(crease_index* index)
{
    mem_release(&index->ends);
    mem_release(&index->crease);
}

// Creases or edges per range of the passes that look them up.
static const uint64_t sharpness_range = 65536;

uint64_t crease_first_missing(const crease_index* index, const uint64_t* ends, uint64_t n,
                              const uint8_t* found, uint32_t threads)
{
    // each range stops at its first, and the least of those stays
    std::atomic<uint64_t> least{n};
    parallel_ranges(threads, n, sharpness_range, [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
        for (uint64_t i = first; i < end; ++i) {
            if (found[crease_index_find(index, ends[2 * i], ends[2 * i + 1])]) continue;
            uint64_t seen = least.load(std::memory_order_relaxed);
            while (i < seen && !least.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {}
            return;
        }
    });
    return least.load();
}

bool sharpness_named(const geom* g, double crease_angle)
{
    return g->n_creases > 0 || g->vertex_sharpness != nullptr || crease_angle != 0.0;
}

// Whether s is a sharpness: finite and not below 0.
static inline bool sharpness_valid(float s) { return std::isfinite(s) && s >= 0.0f; }

// The unit-free Newell normal of face f of *g, in double: the sum over its
// sides (i to the next corner j) of ((y_i − y_j)(z_i + z_j), (z_i − z_j)(x_i +
// x_j), (x_i − x_j)(y_i + y_j)), from 0.
static void face_normal(const geom* g, uint64_t f, double* n)
{
    const int size = geom_face_size(g);
    const uint64_t first = size ? uint64_t(size) * f : g->face_start[f];
    const uint64_t count = size ? uint64_t(size) : g->face_start[f + 1] - first;
    const uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
    n[0] = n[1] = n[2] = 0.0;
    for (uint64_t k = 0; k < count; ++k) {
        const uint64_t kn = (k + 1) % count;
        const uint64_t i = size ? corner[k][f] : g->corners[first + k];
        const uint64_t j = size ? corner[kn][f] : g->corners[first + kn];
        const double xi = g->x[i], yi = g->y[i], zi = g->z[i];
        const double xj = g->x[j], yj = g->y[j], zj = g->z[j];
        n[0] = n[0] + (yi - yj) * (zi + zj);
        n[1] = n[1] + (zi - zj) * (xi + xj);
        n[2] = n[2] + (xi - xj) * (yi + yj);
    }
}

// Every interior edge of *m whose two faces' normals differ by more than
// the angle (in degrees) at sharpness 10: dot(n1, n2) < cos(angle) |n1| |n2|,
// n1 the normal of the face holding the even half-edge; a face whose normal
// is zero makes no edge sharp. Returns false when the memory is refused.
static bool sharpness_by_angle(const geom* g, mesh* m, double angle)
{
    const double pi = 3.14159265358979323846;
    const double cosine = std::cos(angle * (pi / 180.0));
    auto* normal = static_cast<double*>(mem_alloc(g->n_faces * 24));
    if (!normal) return false;
    for (uint64_t f = 0; f < g->n_faces; ++f) face_normal(g, f, normal + 3 * f);
    for (uint64_t e = 0; e < g->n_edges; ++e) {
        const uint64_t fa = m->iedge_face[2 * e], fb = m->iedge_face[2 * e + 1];
        if (fb == mesh_no_face) continue;
        const double* n1 = normal + 3 * fa;
        const double* n2 = normal + 3 * fb;
        const bool zero = (n1[0] == 0.0 && n1[1] == 0.0 && n1[2] == 0.0) ||
                          (n2[0] == 0.0 && n2[1] == 0.0 && n2[2] == 0.0);
        if (zero) continue;
        const double dot = ((n1[0] * n2[0]) + (n1[1] * n2[1])) + (n1[2] * n2[2]);
        const double length1 = std::sqrt(((n1[0] * n1[0]) + (n1[1] * n1[1])) + (n1[2] * n1[2]));
        const double length2 = std::sqrt(((n2[0] * n2[0]) + (n2[1] * n2[1])) + (n2[2] * n2[2]));
        if (dot < (cosine * length1) * length2 && m->edge_sharpness[e] < 10.0f)
            m->edge_sharpness[e] = 10.0f;
    }
    mem_free(normal);
    return true;
}

// The creases of *g onto the edges of *m; see sharpness_begin.
static subdiv_status sharpness_of_creases(const geom* g, mesh* m, uint32_t threads,
                                          subdiv_error* error)
{
    const uint64_t C = g->n_creases;
    if (C == 0) return subdiv_ok;
    crease_index index;
    auto* found = static_cast<uint8_t*>(mem_alloc(C));
    if (!found || !crease_index_build(&index, g->crease_vertices, g->crease_sharpness, C)) {
        mem_free(found);
        return error_memory(error, mem_refused_size());
    }
    std::memset(found, 0, C);
    // every edge takes the largest crease on its ends, on the threads; the
    // marks of the creases found only ever go from 0 to 1
    parallel_ranges(threads, g->n_edges, sharpness_range,
                    [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
        for (uint64_t e = first; e < end; ++e) {
            const uint64_t i =
                crease_index_find(&index, m->iedge_vertex[2 * e], m->iedge_vertex[2 * e + 1]);
            if (i == UINT64_MAX) continue;
            __atomic_store_n(&found[i], uint8_t(1), __ATOMIC_RELAXED);
            if (g->crease_sharpness[i] > m->edge_sharpness[e])
                m->edge_sharpness[e] = g->crease_sharpness[i];
        }
    });
    // the first crease whose ends no edge joins
    const uint64_t missing = crease_first_missing(&index, g->crease_vertices, C, found, threads);
    crease_index_free(&index);
    mem_free(found);
    if (missing == C) return subdiv_ok;
    const uint64_t a = g->crease_vertices[2 * missing], b = g->crease_vertices[2 * missing + 1];
    return error_set(error, subdiv_error_mesh, {0, 0, {a + 1, b + 1, 0, 0}},
                     "crease %llu joins vertex %llu and vertex %llu, but no face has that edge",
                     (unsigned long long)missing + 1, (unsigned long long)a + 1,
                     (unsigned long long)b + 1);
}

// Refuses a crease list or vertex sharpness that is not one.
static subdiv_status sharpness_check(const geom* g, double crease_angle, subdiv_error* error)
{
    if (crease_angle != 0.0 && !(crease_angle > 0.0 && crease_angle < 180.0))
        return error_set(error, subdiv_error_usage, {},
                         "a crease angle of %g degrees is not between 0 and 180", crease_angle);
    for (uint64_t i = 0; i < g->n_creases; ++i) {
        const uint64_t a = g->crease_vertices[2 * i], b = g->crease_vertices[2 * i + 1];
        if (a >= g->n_vertices || b >= g->n_vertices)
            return error_set(error, subdiv_error_usage, {},
                             "crease %llu names vertex %llu, but there are %llu vertices",
                             (unsigned long long)i + 1,
                             (unsigned long long)(a >= g->n_vertices ? a : b) + 1,
                             (unsigned long long)g->n_vertices);
        if (!sharpness_valid(g->crease_sharpness[i]))
            return error_set(error, subdiv_error_usage, {},
                             "crease %llu has sharpness %g; a sharpness is a finite number from 0",
                             (unsigned long long)i + 1, double(g->crease_sharpness[i]));
    }
    for (uint64_t v = 0; g->vertex_sharpness && v < g->n_vertices; ++v)
        if (!sharpness_valid(g->vertex_sharpness[v]))
            return error_set(error, subdiv_error_usage, {0, 0, {v + 1, 0, 0, 0}},
                             "vertex %llu has sharpness %g; a sharpness is a finite number from 0",
                             (unsigned long long)v + 1, double(g->vertex_sharpness[v]));
    return subdiv_ok;
}

subdiv_status sharpness_begin(const geom* g, mesh* m, double crease_angle, uint32_t threads,
                              subdiv_error* error)
{
    if (!sharpness_named(g, crease_angle)) return subdiv_ok;
    subdiv_status status = sharpness_check(g, crease_angle, error);
    if (status != subdiv_ok) return status;
    const uint64_t E = g->n_edges, V = g->n_vertices;
    m->edge_sharpness = static_cast<float*>(mem_alloc(E * 4));
    if (!m->edge_sharpness) return error_memory(error, E * 4);
    for (uint64_t e = 0; e < E; ++e)
        m->edge_sharpness[e] = m->iedge_face[2 * e + 1] == mesh_no_face ? 10.0f : 0.0f;
    if (g->vertex_sharpness) {
        m->vertex_sharpness = static_cast<float*>(mem_alloc(V * 4));
        if (!m->vertex_sharpness) status = error_memory(error, V * 4);
        else std::memcpy(m->vertex_sharpness, g->vertex_sharpness, V * 4);
    }
    if (status == subdiv_ok) status = sharpness_of_creases(g, m, threads, error);
    if (status == subdiv_ok && crease_angle != 0.0 && !sharpness_by_angle(g, m, crease_angle))
        status = error_memory(error, g->n_faces * 24);
    if (status != subdiv_ok) {
        mem_release(&m->edge_sharpness);
        mem_release(&m->vertex_sharpness);
    }
    return status;
}

// Room for n creases and, when vertices is not 0, a vertex sharpness per
// vertex in *out. Returns false, holding none, when the memory is refused.
static bool output_alloc(geom* out, uint64_t n, uint64_t vertices)
{
    out->crease_vertices = static_cast<uint64_t*>(mem_alloc(16 * n));
    out->crease_sharpness = static_cast<float*>(mem_alloc(4 * n));
    out->vertex_sharpness = vertices ? static_cast<float*>(mem_alloc(4 * vertices)) : nullptr;
    if (out->crease_vertices && out->crease_sharpness && (out->vertex_sharpness || !vertices))
        return true;
    mem_release(&out->crease_vertices);
    mem_release(&out->crease_sharpness);
    mem_release(&out->vertex_sharpness);
    return false;
}

// The vertex sharpness a record keeps of sharpness s of vertex v: none at
// an implicit corner.
static inline float output_vertex(const mesh* m, uint64_t v, float s, bool smooth_corners)
{
    return rule_implicit_corner(m->vertex_valence[v], smooth_corners) ? 0.0f : s;
}

// The edges of *m in ascending order with whether each is on the boundary
// (its list of boundary edges is ascending): call it for e = 0, 1, 2, ...
struct boundary_cursor {
    const mesh* m;
    uint64_t next; // the first entry of the list not below the edges asked for so far
};
static inline bool on_boundary(boundary_cursor* c, uint64_t e)
{
    while (c->next < c->m->n_boundary_edges && c->m->boundary_edges[c->next] < e) c->next += 1;
    return c->next < c->m->n_boundary_edges && c->m->boundary_edges[c->next] == e;
}

bool sharpness_output_level(const mesh* m, const geom* g, bool smooth_corners, geom* out)
{
    if (!m->edge_sharpness) return true;
    uint64_t n = 0;
    boundary_cursor count = {m, 0};
    for (uint64_t e = 0; e < g->n_edges; ++e)
        n += !on_boundary(&count, e) && m->edge_sharpness[e] > 0.0f;
    if (!output_alloc(out, n, m->vertex_sharpness ? g->n_vertices : 0)) return false;
    out->n_creases = 0;
    boundary_cursor boundary = {m, 0};
    for (uint64_t e = 0; e < g->n_edges; ++e) {
        if (on_boundary(&boundary, e) || !(m->edge_sharpness[e] > 0.0f)) continue;
        out->crease_vertices[2 * out->n_creases] = m->iedge_vertex[2 * e];
        out->crease_vertices[2 * out->n_creases + 1] = m->iedge_vertex[2 * e + 1];
        out->crease_sharpness[out->n_creases++] = m->edge_sharpness[e];
    }
    for (uint64_t v = 0; out->vertex_sharpness && v < g->n_vertices; ++v)
        out->vertex_sharpness[v] = output_vertex(m, v, m->vertex_sharpness[v], smooth_corners);
    return true;
}

bool sharpness_output_step(const mesh* m, const geom* parent, uint64_t edge_point_base,
                           bool smooth_corners, geom* out)
{
    if (!m->edge_sharpness) return true;
    const uint64_t E = parent->n_edges, V = parent->n_vertices;
    auto kept = [&](boundary_cursor* c, uint64_t e) {
        return !on_boundary(c, e) && rule_decay(m->edge_sharpness[e]) > 0.0f;
    };
    uint64_t n = 0;
    boundary_cursor count = {m, 0};
    for (uint64_t e = 0; e < E; ++e) n += 2 * kept(&count, e);
    if (!output_alloc(out, n, m->vertex_sharpness ? out->n_vertices : 0)) return false;
    out->n_creases = 0;
    boundary_cursor boundary = {m, 0};
    for (uint64_t e = 0; e < E; ++e) {
        if (!kept(&boundary, e)) continue;
        const float d = rule_decay(m->edge_sharpness[e]);
        for (int side = 0; side < 2; ++side) {
            out->crease_vertices[2 * out->n_creases] = m->iedge_vertex[2 * e + uint64_t(side)];
            out->crease_vertices[2 * out->n_creases + 1] = edge_point_base + e;
            out->crease_sharpness[out->n_creases++] = d;
        }
    }
    if (out->vertex_sharpness) {
        for (uint64_t v = 0; v < V; ++v)
            out->vertex_sharpness[v] =
                output_vertex(m, v, rule_decay(m->vertex_sharpness[v]), smooth_corners);
        std::memset(out->vertex_sharpness + V, 0, (out->n_vertices - V) * 4);
    }
    return true;
}

} // namespace subdiv
