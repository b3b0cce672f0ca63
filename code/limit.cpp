// The limit surface of a level held with its connectivity.
#include "limit.h"

#include <algorithm>
#include <cstring>

#include "options.h"
#include "parallel.h"
#include "storage.h"

namespace subdiv {

// Vertices per range of the passes over them.
static const uint64_t fans_block = 8192;

// The half-edge leaving corner k of face f of *g.
static inline uint64_t corner_half_edge(const mesh* m, const geom* g, uint64_t f, uint64_t k)
{
    switch (geom_face_size(g)) {
    case 0:
        return m->corner_iedge[g->face_start[f] + k];
    case 3:
        return (k == 0 ? m->face_iedge0 : k == 1 ? m->face_iedge1 : m->face_iedge2)[f];
    default:
        return (k == 0   ? m->face_iedge0
                : k == 1 ? m->face_iedge1
                : k == 2 ? m->face_iedge2
                         : m->face_iedge3)[f];
    }
}

static inline uint64_t face_sides(const geom* g, uint64_t f)
{
    const int n = geom_face_size(g);
    return n ? uint64_t(n) : g->face_start[f + 1] - g->face_start[f];
}

// Whether the twin of outgoing half-edge h has no face: h leaves its vertex
// along the boundary, the faces on its left.
static inline bool leaves_boundary(const mesh* m, uint64_t h)
{
    return m->iedge_face[h ^ 1] == mesh_no_face;
}

// Each vertex's first outgoing half-edge: in its lowest face, the boundary's
// first.
static void fans_starts(vertex_fans* fans, const mesh* m, const geom* g)
{
    uint64_t* const start = fans->start;
    std::memset(start, 0xFF, g->n_vertices * 8); // mesh_no_face
    for (uint64_t f = 0; f < g->n_faces; ++f) {
        const uint64_t sides = face_sides(g, f);
        for (uint64_t k = 0; k < sides; ++k) {
            const uint64_t h = corner_half_edge(m, g, f, k);
            const uint64_t v = m->iedge_vertex[h];
            if (start[v] == mesh_no_face ||
                (leaves_boundary(m, h) && !leaves_boundary(m, start[v])))
                start[v] = h;
        }
    }
}

namespace {

// A fan of a vertex where several meet: its lowest face and first half-edge.
struct other_fan {
    uint64_t vertex, face, first;
};

struct fans_job {
    vertex_fans* fans;
    const mesh* m;
    uint64_t n_vertices;
    uint64_t* most;   // per range: its largest valence
    uint8_t* several; // per range: whether a vertex of it has several fans
};

} // namespace

// The vertices of range i whose first fan holds fewer edges than they have
// get fans_more, and the range's largest valence.
static void fans_count(void* context, uint64_t i, uint32_t)
{
    auto* job = static_cast<fans_job*>(context);
    const mesh* m = job->m;
    vertex_fans* fans = job->fans;
    const uint64_t first = i * fans_block;
    const uint64_t end =
        first + fans_block < job->n_vertices ? first + fans_block : job->n_vertices;
    uint64_t most = 0;
    bool several = false;
    for (uint64_t v = first; v < end; ++v) {
        const uint64_t entry = m->vertex_valence[v], valence = mesh_valence(entry);
        if (valence > most) most = valence;
        const uint64_t start = fans->start[v];
        if (start == mesh_no_face) continue;
        uint64_t met = 1;
        if (mesh_boundary_count(entry) == 0) {
            // round a closed fan, one half-edge per step
            for (uint64_t h = m->iedge_next[start ^ 1]; h != start; h = m->iedge_next[h ^ 1]) {
                CHECK(met < valence, "vertex_fans: a fan of vertex %llu does not close",
                      (unsigned long long)v);
                ++met;
            }
        } else {
            met = fans_walk_one(m, fans->face_size, start, 0, valence, [](uint64_t, uint64_t) {});
        }
        if (met < valence) {
            fans->start[v] |= fans_more;
            several = true;
        }
    }
    job->most[i] = most;
    job->several[i] = several;
}

// The other fans of the vertices that have several, found from their
// corners, face by face: a fan is listed from its lowest face. False when
// memory is refused.
static bool fans_others(vertex_fans* fans, const mesh* m, const geom* g)
{
    uint64_t corners = 0;
    for (uint64_t f = 0; f < g->n_faces; ++f)
        for (uint64_t k = 0, sides = face_sides(g, f); k < sides; ++k)
            corners +=
                fans->start[m->iedge_vertex[corner_half_edge(m, g, f, k)]] & fans_more ? 1 : 0;
    other_fan* const found = static_cast<other_fan*>(mem_alloc_array(corners, sizeof(other_fan)));
    if (!found) return false;
    uint64_t n = 0;
    for (uint64_t f = 0; f < g->n_faces; ++f) {
        for (uint64_t k = 0, sides = face_sides(g, f); k < sides; ++k) {
            const uint64_t h = corner_half_edge(m, g, f, k);
            const uint64_t v = m->iedge_vertex[h];
            if (!(fans->start[v] & fans_more)) continue;
            const uint64_t valence = mesh_valence(m->vertex_valence[v]);
            // back to the fan's first half-edge: on the boundary, or h itself
            uint64_t first = h;
            while (!leaves_boundary(m, first)) {
                first = m->iedge_next[first ^ 1];
                if (first == h) break;
            }
            bool listed_already = false;
            const uint64_t first_fan = fans->start[v] & ~fans_more;
            fans_walk_one(m, fans->face_size, first, 0, valence, [&](uint64_t x, uint64_t) {
                const uint64_t face = m->iedge_face[x];
                if (x == first_fan || (face != mesh_no_face && face < f)) listed_already = true;
            });
            if (!listed_already) found[n++] = {v, f, first};
        }
    }
    std::sort(found, found + n, [](const other_fan& a, const other_fan& b) {
        return a.vertex != b.vertex ? a.vertex < b.vertex : a.face < b.face;
    });
    fans->more = static_cast<uint64_t*>(mem_alloc_array(n, 16));
    if (!fans->more) {
        mem_free(found);
        return false;
    }
    for (uint64_t i = 0; i < n; ++i) {
        fans->more[2 * i] = found[i].vertex;
        fans->more[2 * i + 1] = found[i].first;
    }
    fans->n_more = n;
    mem_free(found);
    return true;
}

bool vertex_fans_build(vertex_fans* fans, const mesh* m, const geom* g, uint32_t threads)
{
    *fans = vertex_fans{};
    fans->face_size = geom_face_size(g);
    const uint64_t V = g->n_vertices, ranges = (V + fans_block - 1) / fans_block;
    fans->start = static_cast<uint64_t*>(mem_alloc_array(V, 8));
    fans_job job = {fans, m, V, static_cast<uint64_t*>(mem_alloc_array(ranges, 8)),
                    static_cast<uint8_t*>(mem_alloc(ranges))};
    bool made = fans->start && job.most && job.several;
    if (made) {
        fans_starts(fans, m, g);
        parallel_for(threads, ranges, fans_count, &job);
        bool several = false;
        for (uint64_t i = 0; i < ranges; ++i) {
            if (job.most[i] > fans->most_edges) fans->most_edges = job.most[i];
            several = several || job.several[i];
        }
        made = !several || fans_others(fans, m, g);
    }
    mem_free(job.most);
    mem_free(job.several);
    if (!made) vertex_fans_free(fans);
    return made;
}

void vertex_fans_free(vertex_fans* fans)
{
    mem_free(fans->start);
    mem_free(fans->more);
    *fans = vertex_fans{};
}

bool limit_ring_alloc(limit_ring_room* room, uint64_t capacity, bool loop)
{
    *room = limit_ring_room{};
    room->p = static_cast<float*>(mem_alloc_array(capacity, 12));
    room->d = loop ? nullptr : static_cast<float*>(mem_alloc_array(capacity, 12));
    room->flags = static_cast<uint8_t*>(mem_alloc(capacity));
    if (room->p && (loop || room->d) && room->flags) return true;
    limit_ring_free(room);
    return false;
}

void limit_ring_free(limit_ring_room* room)
{
    mem_free(room->p);
    mem_free(room->d);
    mem_free(room->flags);
    *room = limit_ring_room{};
}

// ---------------------------------------------------------------- a level held whole

namespace {

struct level_job {
    const mesh* m;
    const geom* g;
    const limit_masks* masks;
    const vertex_fans* fans;
    bool smooth_corners;
    limit_ring_room* rooms; // one per thread
    float* const* position;
    float* const* normal;
};

} // namespace

// The ring of vertex v of a level held with its connectivity.
static void own_ring(const level_job* job, uint64_t v, limit_ring* ring)
{
    const mesh* m = job->m;
    const geom* g = job->g;
    const float* const axis[3] = {g->x, g->y, g->z};
    for (int k = 0; k < 3; ++k) ring->v[k] = axis[k][v];
    uint32_t sharp = 0;
    const fans_met walk = fans_walk(job->fans, m, v, [&](uint64_t h, uint64_t i) {
        const uint64_t e = h >> 1;
        const bool face = m->iedge_face[h] != mesh_no_face;
        const bool boundary = !face || m->iedge_face[h ^ 1] == mesh_no_face;
        const bool sharp_edge = boundary || (m->edge_sharpness && m->edge_sharpness[e] > 0.0f);
        ring->flags[i] = uint8_t((sharp_edge ? ring_sharp : 0) | (face ? ring_face : 0));
        sharp += sharp_edge ? 1 : 0;
        const uint64_t other = m->iedge_vertex[h ^ 1];
        for (int k = 0; k < 3; ++k) ring->p[3 * i + k] = axis[k][other];
        if (face && ring->d) {
            const uint64_t opposite = m->iedge_vertex[m->iedge_next[m->iedge_next[h]]];
            for (int k = 0; k < 3; ++k) ring->d[3 * i + k] = axis[k][opposite];
        }
    });
    ring->n = walk.n;
    ring->fan = walk.first_fan;
    ring->fan_closed = walk.first_closed;
    const float given = m->vertex_sharpness ? m->vertex_sharpness[v] : 0.0f;
    ring->rule =
        limit_rule(given, rule_implicit_corner(m->vertex_valence[v], job->smooth_corners), sharp);
}

static void level_range(void* context, uint64_t i, uint32_t thread)
{
    const auto* job = static_cast<const level_job*>(context);
    const uint64_t first = i * fans_block;
    const uint64_t V = job->g->n_vertices;
    const uint64_t end = first + fans_block < V ? first + fans_block : V;
    const limit_ring_room* room = &job->rooms[thread];
    limit_ring ring = {};
    ring.p = room->p;
    ring.d = room->d;
    ring.flags = room->flags;
    for (uint64_t v = first; v < end; ++v) {
        own_ring(job, v, &ring);
        float point[3];
        if (job->position) {
            limit_position(job->masks, &ring, point);
            for (int k = 0; k < 3; ++k) job->position[k][v] = point[k];
        }
        if (job->normal) {
            limit_normal(job->masks, &ring, point);
            for (int k = 0; k < 3; ++k) job->normal[k][v] = point[k];
        }
    }
}

bool limit_level(const mesh* m, const geom* g, const limit_masks* masks, bool smooth_corners,
                 uint32_t threads, float* const* position, float* const* normal)
{
    vertex_fans fans;
    if (threads < 1) threads = 1;
    if (!vertex_fans_build(&fans, m, g, threads)) return false;
    level_job job = {m, g, masks, &fans, smooth_corners, nullptr, position, normal};
    job.rooms = static_cast<limit_ring_room*>(mem_alloc_array(threads, sizeof(limit_ring_room)));
    bool made = job.rooms != nullptr;
    uint32_t allocated = 0;
    for (; made && allocated < threads; ++allocated)
        made = limit_ring_alloc(&job.rooms[allocated], fans.most_edges + 1, masks->loop);
    if (made)
        parallel_for(threads, (g->n_vertices + fans_block - 1) / fans_block, level_range, &job);
    for (uint32_t t = 0; job.rooms && t < allocated; ++t) limit_ring_free(&job.rooms[t]);
    mem_free(job.rooms);
    vertex_fans_free(&fans);
    return made;
}

bool limit_level_arrays(const mesh* m, const geom* g, bool loop, const subdiv_options* options,
                        float* position[3], float* normal[3])
{
    const uint64_t V = g->n_vertices;
    bool made = true;
    for (int k = 0; k < 3; ++k) {
        position[k] = options_limit(options) ? static_cast<float*>(mem_alloc_array(V, 4)) : nullptr;
        normal[k] = options_normals(options) ? static_cast<float*>(mem_alloc_array(V, 4)) : nullptr;
        made = made && (position[k] || !options_limit(options)) &&
               (normal[k] || !options_normals(options));
    }
    limit_masks masks;
    made = made && limit_masks_init(&masks, loop, options_classic_rule(options));
    if (made) {
        made = limit_level(m, g, &masks, options_smooth_corners(options), options_threads(options),
                           position[0] ? position : nullptr, normal[0] ? normal : nullptr);
        limit_masks_free(&masks);
    }
    if (made) return true;
    for (int k = 0; k < 3; ++k) {
        mem_release(&position[k]);
        mem_release(&normal[k]);
    }
    return false;
}

// ---------------------------------------------------------------- the next level's rings

// Whether the next level's half of parent half-edge h's edge is sharp: the
// boundary, or a sharpness that stays above 0.
static inline bool half_stays_sharp(const mesh* m, uint64_t h)
{
    if (m->iedge_face[h] == mesh_no_face || m->iedge_face[h ^ 1] == mesh_no_face) return true;
    return m->edge_sharpness && rule_decay(m->edge_sharpness[h >> 1]) > 0.0f;
}

void limit_ring_old_vertex(const limit_parent* parent, uint64_t v, limit_ring* ring)
{
    const mesh* m = parent->m;
    for (int k = 0; k < 3; ++k) ring->v[k] = parent->moved[3 * v + k];
    uint32_t sharp = 0;
    const fans_met walk = fans_walk(parent->fans, m, v, [&](uint64_t h, uint64_t i) {
        const uint64_t face = m->iedge_face[h];
        const bool sharp_edge = half_stays_sharp(m, h);
        ring->flags[i] =
            uint8_t((sharp_edge ? ring_sharp : 0) | (face != mesh_no_face ? ring_face : 0));
        sharp += sharp_edge ? 1 : 0;
        const float* const p = parent->edge_point + 3 * (h >> 1);
        for (int k = 0; k < 3; ++k) ring->p[3 * i + k] = p[k];
        if (face != mesh_no_face && !parent->loop)
            for (int k = 0; k < 3; ++k) ring->d[3 * i + k] = parent->face_point[3 * face + k];
    });
    ring->n = walk.n;
    ring->fan = walk.first_fan;
    ring->fan_closed = walk.first_closed;
    const float given = m->vertex_sharpness ? rule_decay(m->vertex_sharpness[v]) : 0.0f;
    ring->rule = limit_rule(
        given, rule_implicit_corner(m->vertex_valence[v], parent->smooth_corners), sharp);
}

// One neighbour of a ring: its point, whether a face follows it (and
// Catmull-Clark's point opposite the vertex there), whether its edge is
// sharp.
static inline void ring_put(limit_ring* ring, const float* p, bool face, const float* d,
                            bool sharp_edge)
{
    const uint32_t i = ring->n++;
    for (int k = 0; k < 3; ++k) ring->p[3 * i + k] = p[k];
    if (face && ring->d)
        for (int k = 0; k < 3; ++k) ring->d[3 * i + k] = d[k];
    ring->flags[i] = uint8_t((sharp_edge ? ring_sharp : 0) | (face ? ring_face : 0));
}

// The rule of a new vertex, on no sharp edge or two, and its ring as one fan.
static inline void ring_close(limit_ring* ring, uint32_t sharp_edges)
{
    ring->fan = ring->n;
    ring->fan_closed = ring->flags[ring->n - 1] & ring_face;
    ring->rule = limit_rule(0.0f, false, sharp_edges);
}

// Catmull-Clark: child c of a face of n sides is (q_c, m_c, p, m_(c-1)), q
// its corners, m the points of its sides, p its face point. Round p the
// children turn from child 0: neighbour i is m_(i-1), the corner opposite
// p is q_i, no edge sharp.
void limit_ring_face_point(const limit_parent* parent, uint64_t f, limit_ring* ring)
{
    const mesh* m = parent->m;
    const geom* g = parent->g;
    const uint64_t n = face_sides(g, f);
    for (int k = 0; k < 3; ++k) ring->v[k] = parent->face_point[3 * f + k];
    ring->n = 0;
    uint64_t before = corner_half_edge(m, g, f, n - 1);
    for (uint64_t c = 0; c < n; ++c) {
        const uint64_t h = corner_half_edge(m, g, f, c);
        ring_put(ring, parent->edge_point + 3 * (before >> 1), true,
                 parent->moved + 3 * m->iedge_vertex[h], false);
        before = h;
    }
    ring_close(ring, 0);
}

// The edge point m of edge e, from a to b along its even half-edge in face
// fa (side s), from b to a in face fb when there is one. Catmull-Clark, by
// the children above: round m come b (in child s + 1 of fa, opposite
// m_(s+1)), fa's face point (child s, opposite m_(s-1)), a (in fb's child
// at a, opposite fb's side after the odd half-edge), fb's face point
// (opposite fb's side before it); from child s, or from child s + 1 when
// that is child 0, or on the boundary from b, ending at a. Loop, whose
// children are (q_c, m_c, m_(c-1)) at the corners and (m_0, m_1, m_2) inside
// (m_c the point of side c): round m come b, fa's m_(s+1), fa's m_(s-1), a,
// fb's point after the odd half-edge, fb's point before it; from fa's m_(s-1)
// (child s), or from b when child s + 1 is child 0 (s = 2), or on the
// boundary from b, ending at a. The two halves of e are sharp as e stays.
void limit_ring_edge_point(const limit_parent* parent, uint64_t e, limit_ring* ring)
{
    const mesh* m = parent->m;
    const geom* g = parent->g;
    const uint64_t even = 2 * e, odd = 2 * e + 1;
    const uint64_t fa = m->iedge_face[even], fb = m->iedge_face[odd];
    const bool open = fb == mesh_no_face;
    const bool half_sharp = half_stays_sharp(m, even);
    const float* const a = parent->moved + 3 * m->iedge_vertex[even];
    const float* const b = parent->moved + 3 * m->iedge_vertex[odd];
    const int face_size = parent->fans->face_size;
    const uint64_t after_a = m->iedge_next[even];
    const uint64_t before_a = fans_half_edge_before(m, even, face_size);
    // child s + 1 of fa is its child 0
    const bool last_side = corner_half_edge(m, g, fa, 0) == after_a;
    const float* const ep = parent->edge_point;
    for (int k = 0; k < 3; ++k) ring->v[k] = ep[3 * e + k];
    ring->n = 0;
    // the neighbours as one closed ring from b, and where the ring starts
    const float* p[6];
    const float* d[6] = {};
    bool sharp[6] = {};
    uint32_t n;
    if (parent->loop) {
        p[0] = b, p[1] = ep + 3 * (after_a >> 1), p[2] = ep + 3 * (before_a >> 1), p[3] = a;
        n = 6;
        if (!open) {
            p[4] = ep + 3 * (m->iedge_next[odd] >> 1);
            p[5] = ep + 3 * (fans_half_edge_before(m, odd, face_size) >> 1);
        }
        sharp[0] = sharp[3] = half_sharp;
    } else {
        p[0] = b, p[1] = parent->face_point + 3 * fa, p[2] = a;
        d[0] = ep + 3 * (after_a >> 1), d[1] = ep + 3 * (before_a >> 1);
        n = 4;
        if (!open) {
            p[3] = parent->face_point + 3 * fb;
            d[2] = ep + 3 * (m->iedge_next[odd] >> 1);
            d[3] = ep + 3 * (fans_half_edge_before(m, odd, face_size) >> 1);
        }
        sharp[0] = sharp[2] = half_sharp;
    }
    const uint32_t a_at = parent->loop ? 3 : 2;
    if (open) {
        for (uint32_t i = 0; i < a_at; ++i) ring_put(ring, p[i], true, d[i], sharp[i]);
        ring_put(ring, a, false, nullptr, half_sharp);
    } else {
        const uint32_t start = last_side ? 0 : a_at - 1;
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t j = (start + i) % n;
            ring_put(ring, p[j], true, d[j], sharp[j]);
        }
    }
    ring_close(ring, half_sharp ? 2 : 0);
}

} // namespace subdiv
