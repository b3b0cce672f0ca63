// The texture coordinate modes other than linear.
//
// A vertex's ring is walked fan by fan (vertex_fans), each fan in the order
// the faces turn round it: the face after face i lies across the edge
// (previous vertex of face i, the vertex). Fans come in the order of their
// lowest face; an open fan starts at its boundary, a closed one at its
// lowest face, or, when several coordinates meet in it, at the start of the
// run holding that face, so that no run is cut in two. A closed fan of one
// coordinate with a seam edge (a dart) is one span that starts after the
// first seam edge met from its lowest face.
#include "uv_modes.h"

#include <cstring>

#include "check.h"
#include "parallel.h"
#include "rules.h"
#include "storage.h"

namespace subdiv {

// Vertices per range of the pass over the vertices.
static const uint64_t uv_block = 4096;

// The marker of a number that corners of several vertices share.
static const uint64_t uv_shared = UINT64_MAX - 1;

static inline bool uv_split_boundary(const uv_level* level)
{
    return level->mode == subdiv_uv_boundaries;
}

static inline int uv_face_size(const uv_level* level) { return geom_face_size(level->g); }

static inline uint64_t uv_face_first(const uv_level* level, uint64_t f)
{
    const int n = uv_face_size(level);
    return n ? uint64_t(n) * f : level->g->face_start[f];
}

static inline uint64_t uv_face_corners(const uv_level* level, uint64_t f)
{
    const int n = uv_face_size(level);
    return n ? uint64_t(n) : level->g->face_start[f + 1] - level->g->face_start[f];
}

// The half-edge of face f leaving its corner k.
static inline uint64_t uv_face_side(const uv_level* level, uint64_t f, uint64_t k)
{
    const mesh* m = level->m;
    if (uv_face_size(level) == 0) return m->corner_iedge[level->g->face_start[f] + k];
    const uint64_t* const sides[4] = {m->face_iedge0, m->face_iedge1, m->face_iedge2,
                                      m->face_iedge3};
    return sides[k][f];
}


// The coordinate numbers at the origin and at the end of half-edge h in its
// face, which it must have.
static inline void half_edge_texcoords(const uv_level* level, uint64_t h, uint64_t* from,
                                       uint64_t* to)
{
    const uint64_t f = level->m->iedge_face[h];
    const uint64_t k = level->side[h], n = uv_face_corners(level, f);
    CHECK(k < n, "uv_modes: half-edge %llu is no side of face %llu", (unsigned long long)h,
          (unsigned long long)f);
    const uint64_t first = uv_face_first(level, f);
    *from = level->g->corner_texcoord[first + k];
    *to = level->g->corner_texcoord[first + (k + 1 == n ? 0 : k + 1)];
}

// Whether edge e's two faces give its ends other coordinates (a seam); an
// edge on one face is none.
static bool uv_edge_seam(const uv_level* level, uint64_t e)
{
    if (level->m->iedge_face[2 * e + 1] == mesh_no_face) return false;
    uint64_t from_a, to_a, from_b, to_b;
    half_edge_texcoords(level, 2 * e, &from_a, &to_a);
    half_edge_texcoords(level, 2 * e + 1, &from_b, &to_b);
    return from_a != to_b || to_a != from_b;
}

void uv_face_points(const uv_level* level, uint64_t first, uint64_t count, float* out)
{
    const geom* g = level->g;
    const float* const tex[2] = {g->tex_u, g->tex_v};
    for (uint64_t f = first; f < first + count; ++f) {
        const uint64_t* const corners = g->corner_texcoord + uv_face_first(level, f);
        const uint64_t n = uv_face_corners(level, f);
        for (int axis = 0; axis < 2; ++axis) {
            float sum = tex[axis][corners[0]];
            for (uint64_t k = 1; k < n; ++k) sum = sum + tex[axis][corners[k]];
            out[2 * (f - first) + axis] = rule_face_point(sum, uint32_t(n));
        }
    }
}

// The sharpness of edge e at the level: 10 on the boundary.
static inline float uv_edge_sharpness(const uv_level* level, uint64_t e)
{
    if (level->m->iedge_face[2 * e + 1] == mesh_no_face) return 10.0f;
    return level->m->edge_sharpness ? level->m->edge_sharpness[e] : 0.0f;
}

// The coordinate number at the corner opposite half-edge h in its triangle.
static inline uint64_t uv_opposite(const uv_level* level, uint64_t h)
{
    uint64_t from, to;
    half_edge_texcoords(level, level->m->iedge_next[level->m->iedge_next[h]], &from, &to);
    return from;
}

// uv_edge_points made from the coordinates of the edge's faces.
static uint32_t edge_points_made(const uv_level* level, uint64_t e, float out[2][2])
{
    const geom* g = level->g;
    const float* const tex[2] = {g->tex_u, g->tex_v};
    const bool boundary = level->m->iedge_face[2 * e + 1] == mesh_no_face;
    uint64_t a, b;
    half_edge_texcoords(level, 2 * e, &a, &b);
    if (uv_edge_seam(level, e)) {
        uint64_t c, d;
        half_edge_texcoords(level, 2 * e + 1, &c, &d);
        for (int axis = 0; axis < 2; ++axis) {
            out[0][axis] = rule_midpoint(tex[axis][a], tex[axis][b]);
            out[1][axis] = rule_midpoint(tex[axis][c], tex[axis][d]);
        }
        return 2;
    }
    const float s = uv_edge_sharpness(level, e);
    if (boundary || s >= 1.0f) {
        for (int axis = 0; axis < 2; ++axis) out[0][axis] = rule_midpoint(tex[axis][a], tex[axis][b]);
        return 1;
    }
    const uint64_t fa = level->m->iedge_face[2 * e], fb = level->m->iedge_face[2 * e + 1];
    uint64_t p = 0, q = 0;
    if (level->loop) {
        p = uv_opposite(level, 2 * e);
        q = uv_opposite(level, 2 * e + 1);
    }
    for (int axis = 0; axis < 2; ++axis) {
        const float ua = tex[axis][a], ub = tex[axis][b];
        const float smooth =
            level->loop ? rule_loop_edge_point(ua, ub, tex[axis][p], tex[axis][q])
                        : rule_cc_edge_point(level->face_uv[2 * fa + axis],
                                             level->face_uv[2 * fb + axis], ua, ub);
        out[0][axis] = rule_sharp_edge(smooth, ua, ub, s);
    }
    return 1;
}

uint32_t uv_edge_points(const uv_level* level, uint64_t e, float out[2][2])
{
    if (!level->edge_uv || uv_edge_seam(level, e)) return edge_points_made(level, e, out);
    out[0][0] = level->edge_uv[2 * e];
    out[0][1] = level->edge_uv[2 * e + 1];
    return 1;
}

bool uv_level_prepare(uv_level* level, uint32_t threads)
{
    const uint64_t E = level->g->n_edges;
    level->side = static_cast<uint8_t*>(mem_alloc(2 * E));
    level->edge_uv = static_cast<float*>(mem_alloc_array(E, 8));
    if (!level->side || !level->edge_uv) {
        uv_level_release(level);
        return false;
    }
    std::memset(level->side, 0xFF, 2 * E);
    parallel_ranges(threads, level->g->n_faces, uv_block * 4,
                    [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
                        for (uint64_t f = first; f < end; ++f) {
                            const uint64_t n = uv_face_corners(level, f);
                            for (uint64_t k = 0; k < n; ++k)
                                level->side[uv_face_side(level, f, k)] = uint8_t(k);
                        }
                    });
    parallel_ranges(threads, E, uv_block * 4,
                    [&](uint64_t first, uint64_t end, uint64_t, uint32_t) {
                        for (uint64_t e = first; e < end; ++e) {
                            float points[2][2];
                            edge_points_made(level, e, points);
                            level->edge_uv[2 * e] = points[0][0];
                            level->edge_uv[2 * e + 1] = points[0][1];
                        }
                    });
    return true;
}

void uv_level_release(uv_level* level)
{
    mem_release(&level->side);
    mem_release(&level->edge_uv);
}

// ---------------------------------------------------------------- a vertex's ring

namespace {

// A span of a seam vertex: corners [first, first + n) of the ring's corner
// order.
struct uv_span {
    uint32_t first, n;
    uint64_t id;           // its coordinate number
    uint32_t value;        // the ring value it belongs to
    bool bounded;          // edges bound it: its crease ends are known
    bool whole;            // it is a whole closed fan
    uint64_t ends[2];      // the crease ends' numbers: far end of the bounding edge before it,
                           // read in its first face, and of the one after it, in its last
    bool disjoint, infinitely_sharp;
    uint32_t semi_first, semi_n; // its semi-sharp inner edges, ascending, in the scratch's list
};

// What a thread holds to walk rings of up to `capacity` edges.
struct uv_scratch {
    uint64_t* ring;   // the half-edges leaving the vertex by place
    uint64_t* fan_at; // per fan: its first place, its places and its lowest face (3 each)
    uint64_t* corner; // the corners' half-edges (with a face) in the ring's order
    uint64_t* cross;  // per corner: the edge to the next face of its fan (an open fan's
                      // last: its boundary edge)
    uint64_t* id;     // per corner: its coordinate number
    uint64_t* sorted; // edges or faces ascending
    uint64_t* semi;   // the spans' semi-sharp inner edges
    uv_span* spans;
    float* value;     // per corner: 2 floats, its coordinate in the next level
    bool matched;     // the last vertex had one number and one value at every corner
};

struct uv_job {
    const uv_level* level;
    const vertex_fans* fans;
    const uint64_t* owner; // per number: the one vertex whose corners carry it, or uv_shared
    uv_scratch* scratch;   // per thread
    uv_moved* moved;
    uint8_t* complex;      // per vertex: whether the pass could not set its numbers alone
};

} // namespace

static void sort_small(uint64_t* values, uint32_t n)
{
    for (uint32_t i = 1; i < n; ++i) {
        const uint64_t x = values[i];
        uint32_t j = i;
        for (; j > 0 && values[j - 1] > x; --j) values[j] = values[j - 1];
        values[j] = x;
    }
}

// The coordinate number at the far end of v's edge e, read in the edge's
// first face.
static inline uint64_t uv_far_end(const uv_level* level, uint64_t e, uint64_t v)
{
    uint64_t from, to;
    half_edge_texcoords(level, 2 * e, &from, &to);
    return level->m->iedge_vertex[2 * e] == v ? to : from;
}

// The given sharpness of v, 10 at an implicit corner.
static inline float uv_vertex_sharpness(const uv_level* level, uint64_t v)
{
    const float given = level->m->vertex_sharpness ? level->m->vertex_sharpness[v] : 0.0f;
    return rule_implicit_corner(level->m->vertex_valence[v], level->smooth_corners) &&
                   given < 10.0f
               ? 10.0f
               : given;
}

// The smooth rule of a matched vertex with coordinate p: its edges and
// faces ascending in edges[0, n_edges) and faces[0, n_faces).
static void uv_smooth_vertex(const uv_level* level, uint64_t v, const float p[2],
                             const uint64_t* edges, uint32_t n_edges, const uint64_t* faces,
                             uint32_t n_faces, float out[2])
{
    const geom* g = level->g;
    const float* const tex[2] = {g->tex_u, g->tex_v};
    float sum[2] = {0.0f, 0.0f};
    float weight_old, weight_sum;
    if (level->loop) {
        loop_vertex_weights(n_edges, &weight_old, &weight_sum);
    } else {
        catmull_clark_vertex_weights(n_edges, &weight_old, &weight_sum);
        for (uint32_t i = 0; i < n_faces; ++i)
            for (int axis = 0; axis < 2; ++axis) sum[axis] += level->face_uv[2 * faces[i] + axis];
    }
    for (uint32_t i = 0; i < n_edges; ++i) {
        if (level->loop || level->classic) {
            const uint64_t t = uv_far_end(level, edges[i], v);
            for (int axis = 0; axis < 2; ++axis) sum[axis] += tex[axis][t];
        } else {
            for (int axis = 0; axis < 2; ++axis) sum[axis] += level->edge_uv[2 * edges[i] + axis];
        }
    }
    for (int axis = 0; axis < 2; ++axis)
        out[axis] = rule_smooth_vertex(p[axis], weight_old, sum[axis], weight_sum);
}

// The point of rule at a matched vertex: sharp[0, n_sharp) its sharp edges ascending.
static void uv_rule_point(const uv_level* level, uint64_t v, vertex_rule rule, const float p[2],
                          const uint64_t* sharp, const float smooth[2], float out[2])
{
    const float* const tex[2] = {level->g->tex_u, level->g->tex_v};
    if (rule == vertex_smooth) {
        out[0] = smooth[0];
        out[1] = smooth[1];
    } else if (rule == vertex_corner) {
        out[0] = p[0];
        out[1] = p[1];
    } else {
        const uint64_t a = uv_far_end(level, sharp[0], v), b = uv_far_end(level, sharp[1], v);
        for (int axis = 0; axis < 2; ++axis)
            out[axis] = rule_crease_vertex(p[axis], tex[axis][a], tex[axis][b]);
    }
}

// A matched vertex's coordinate in the next level: the scheme's vertex
// rule by its sharpness and its sharp edges, blended where the rule changes.
static void uv_matched_vertex(const uv_level* level, uint64_t v, const float p[2],
                              uv_scratch* s, uint32_t n_edges, uint32_t n_faces, float out[2])
{
    uint64_t* const edges = s->sorted;
    uint64_t* const faces = s->sorted + n_edges;
    uint64_t* const sharp = s->semi;
    uint64_t* const sharp_after = s->semi + n_edges;
    sort_small(edges, n_edges);
    sort_small(faces, n_faces);
    const float vs = uv_vertex_sharpness(level, v);
    uint32_t n_sharp = 0, n_after = 0;
    for (uint32_t i = 0; i < n_edges; ++i) {
        const float es = uv_edge_sharpness(level, edges[i]);
        if (es > 0.0f) sharp[n_sharp++] = edges[i];
        if (rule_decay(es) > 0.0f) sharp_after[n_after++] = edges[i];
    }
    const vertex_rule rule = rule_of_vertex(vs, n_sharp);
    float smooth[2] = {0.0f, 0.0f};
    const vertex_rule after = rule_of_vertex(rule_decay(vs), n_after);
    if (rule == vertex_smooth || after == vertex_smooth)
        uv_smooth_vertex(level, v, p, edges, n_edges, faces, n_faces, smooth);
    uv_rule_point(level, v, rule, p, sharp, smooth, out);
    if (rule == vertex_smooth || after == rule) return;
    float w = 0.0f;
    uint32_t dropped = 0;
    if (vs > 0.0f && !(rule_decay(vs) > 0.0f)) {
        w = w + vs;
        ++dropped;
    }
    for (uint32_t i = 0; i < n_sharp; ++i) {
        const float es = uv_edge_sharpness(level, sharp[i]);
        if (!(rule_decay(es) > 0.0f)) {
            w = w + es;
            ++dropped;
        }
    }
    w = w / float(dropped);
    if (w > 1.0f) w = 1.0f;
    float child[2];
    uv_rule_point(level, v, after, p, sharp_after, smooth, child);
    for (int axis = 0; axis < 2; ++axis) out[axis] = rule_blend(out[axis], child[axis], w);
}

// The ring of v in the ring's order: s->corner, s->cross and s->id per
// corner; returns the corners. *n_edges gets the vertex's edges (their
// half-edges leaving v in s->sorted, as edges), *fans_n the fans, whose
// records (first corner, corners, closed) are in s->fan_at.
static uint32_t uv_ring(const uv_level* level, const vertex_fans* fans, uint64_t v,
                        uv_scratch* s, uint32_t* n_edges, uint32_t* n_fans)
{
    const mesh* m = level->m;
    const int face_size = uv_face_size(level);
    const fans_met met = fans_walk(fans, m, v, [&](uint64_t h, uint64_t i) { s->ring[i] = h; });
    *n_edges = met.n;
    for (uint32_t i = 0; i < met.n; ++i) s->sorted[i] = s->ring[i] >> 1;
    // the fans: a fan goes on while the next place is the face across
    uint32_t count = 0;
    uint64_t* fan = s->fan_at;
    for (uint32_t i = 0; i < met.n;) {
        const uint32_t start = i;
        uint64_t lowest = UINT64_MAX;
        bool closed = false;
        for (;;) {
            const uint64_t h = s->ring[i];
            const uint64_t f = m->iedge_face[h];
            ++i;
            if (f == mesh_no_face) break;
            if (f < lowest) lowest = f;
            const uint64_t next = fans_half_edge_before(m, h, face_size) ^ 1;
            if (next == s->ring[start]) {
                closed = true;
                break;
            }
            if (i >= met.n || s->ring[i] != next) break;
        }
        fan[3 * count] = start;
        fan[3 * count + 1] = (uint64_t(i - start) << 1) | (closed ? 1 : 0);
        fan[3 * count + 2] = lowest;
        ++count;
    }
    // fans by their lowest face
    for (uint32_t a = 1; a < count; ++a) {
        uint64_t record[3];
        std::memcpy(record, fan + 3 * a, sizeof record);
        uint32_t b = a;
        for (; b > 0 && fan[3 * (b - 1) + 2] > record[2]; --b)
            std::memcpy(fan + 3 * b, fan + 3 * (b - 1), sizeof record);
        std::memcpy(fan + 3 * b, record, sizeof record);
    }
    // the corners, each closed fan from its lowest face
    uint32_t corners = 0;
    for (uint32_t k = 0; k < count; ++k) {
        const uint64_t start = fan[3 * k], places = fan[3 * k + 1] >> 1;
        const bool closed = fan[3 * k + 1] & 1;
        uint64_t from = 0;
        if (closed)
            while (m->iedge_face[s->ring[start + from]] != fan[3 * k + 2]) ++from;
        const uint64_t n = closed ? places : places - 1;
        fan[3 * k] = corners;
        fan[3 * k + 1] = (n << 1) | (closed ? 1 : 0);
        for (uint64_t j = 0; j < n; ++j) {
            const uint64_t h = s->ring[start + (from + j) % places];
            s->corner[corners] = h;
            s->cross[corners] = fans_half_edge_before(m, h, face_size) >> 1;
            uint64_t to;
            half_edge_texcoords(level, h, &s->id[corners], &to);
            ++corners;
        }
    }
    *n_fans = count;
    return corners;
}

// Rotates corners [first, first + n) left by r places, with their records.
static void uv_rotate(uv_scratch* s, uint32_t first, uint32_t n, uint32_t r)
{
    if (r == 0 || n == 0) return;
    uint64_t* const arrays[3] = {s->corner, s->cross, s->id};
    for (uint64_t* array : arrays) {
        // three reversals
        auto reverse = [&](uint32_t a, uint32_t b) {
            for (; a + 1 < b; ++a, --b) {
                const uint64_t x = array[first + a];
                array[first + a] = array[first + b - 1];
                array[first + b - 1] = x;
            }
        };
        reverse(0, r);
        reverse(r, n);
        reverse(0, n);
    }
}

// The spans of a seam vertex into s->spans, their values numbered; returns
// how many.
static uint32_t uv_spans(const uv_level* level, uv_scratch* s, uint32_t n_fans, uint32_t* n_values)
{
    const geom* g = level->g;
    (void)g;
    uint32_t n_spans = 0;
    auto add_span = [&](uint32_t first, uint32_t n, bool bounded, bool whole) {
        uv_span* span = &s->spans[n_spans++];
        *span = uv_span{};
        span->first = first;
        span->n = n;
        span->id = s->id[first];
        span->bounded = bounded;
        span->whole = whole;
        if (bounded) {
            uint64_t from, to;
            half_edge_texcoords(level, s->corner[first], &from, &to);
            span->ends[0] = to;
            const uint64_t last = s->corner[first + n - 1];
            const uint64_t before = fans_half_edge_before(level->m, last, uv_face_size(level));
            half_edge_texcoords(level, before, &from, &to);
            span->ends[1] = from;
        }
    };
    for (uint32_t k = 0; k < n_fans; ++k) {
        const uint32_t first = uint32_t(s->fan_at[3 * k]);
        const uint32_t n = uint32_t(s->fan_at[3 * k + 1] >> 1);
        const bool closed = s->fan_at[3 * k + 1] & 1;
        bool one = true;
        for (uint32_t j = 1; j < n; ++j) one = one && s->id[first + j] == s->id[first];
        if (closed && one) {
            uint32_t cut = n;
            for (uint32_t j = 0; j < n && cut == n; ++j)
                if (uv_edge_seam(level, s->cross[first + j])) cut = j;
            if (cut < n) uv_rotate(s, first, n, (cut + 1) % n);
            add_span(first, n, cut < n, true);
            continue;
        }
        if (closed) {
            uint32_t r = 0;
            while (s->id[first + (r + n - 1) % n] == s->id[first]) r = (r + n - 1) % n;
            uv_rotate(s, first, n, r);
        }
        uint32_t run = first;
        for (uint32_t j = first + 1; j <= first + n; ++j) {
            if (j < first + n && s->id[j] == s->id[run]) continue;
            add_span(run, j - run, true, false);
            run = j;
        }
    }
    // the values: new unless seen, compared with the first alone while two are known
    uint64_t values[3] = {};
    uint32_t known = 0;
    for (uint32_t i = 0; i < n_spans; ++i) {
        uv_span* span = &s->spans[i];
        uint32_t seen = known == 2 ? 1 : known;
        uint32_t found = UINT32_MAX;
        if (known > 2) {
            // a third value makes every later one compared with all: those of
            // this ring's earlier spans
            for (uint32_t j = 0; j < i && found == UINT32_MAX; ++j)
                if (s->spans[j].id == span->id) found = s->spans[j].value;
            // a value is the first span's of its number, which the search meets first
        } else {
            for (uint32_t j = 0; j < seen; ++j)
                if (values[j] == span->id) found = j;
        }
        if (found != UINT32_MAX) {
            span->value = found;
        } else {
            span->value = known;
            if (known < 3) values[known] = span->id;
            ++known;
        }
    }
    *n_values = known;
    return n_spans;
}

// The coordinates of a seam vertex's corners in the next level, kept or by
// the crease rule as its mode says, into s->value.
static void uv_seam_vertex(const uv_level* level, uint64_t v, uv_scratch* s, uint32_t n_fans)
{
    const float* const tex[2] = {level->g->tex_u, level->g->tex_v};
    uint32_t n_values = 0;
    const uint32_t n_spans = uv_spans(level, s, n_fans, &n_values);
    uint32_t n_semi = 0;
    for (uint32_t i = 0; i < n_spans; ++i) {
        uv_span* span = &s->spans[i];
        uint32_t same = 0;
        for (uint32_t j = 0; j < n_spans; ++j) same += s->spans[j].value == span->value;
        span->disjoint = same > 1;
        span->semi_first = n_semi;
        const uint32_t inner = span->whole && !span->bounded ? span->n : span->n - 1;
        for (uint32_t j = 0; j < inner; ++j) {
            const uint64_t e = s->cross[span->first + j];
            const float es = uv_edge_sharpness(level, e);
            span->disjoint = span->disjoint || uv_edge_seam(level, e);
            span->infinitely_sharp = span->infinitely_sharp || es >= 10.0f;
            if (es > 0.0f && es < 10.0f) s->semi[n_semi++] = e;
        }
        span->semi_n = n_semi - span->semi_first;
        sort_small(s->semi + span->semi_first, span->semi_n);
    }
    const subdiv_uv_mode mode = level->mode;
    const float vs = uv_vertex_sharpness(level, v);
    bool all_sharp = mode == subdiv_uv_boundaries || vs >= 10.0f;
    if (mode == subdiv_uv_corners_junctions || mode == subdiv_uv_corners_concave) {
        bool sharp_or_disjoint = false, one_face = false;
        for (uint32_t i = 0; i < n_spans; ++i) {
            sharp_or_disjoint = sharp_or_disjoint || s->spans[i].infinitely_sharp ||
                                s->spans[i].disjoint;
            one_face = one_face || s->spans[i].n == 1;
        }
        all_sharp = all_sharp || n_values >= 3 || (n_values == 2 && sharp_or_disjoint);
        if (mode == subdiv_uv_corners_concave) {
            const bool dart = n_spans == 1 && s->spans[0].whole && s->spans[0].bounded;
            all_sharp = all_sharp || dart || (n_values == 2 && one_face);
        }
        // two values, one span with semi-sharp inner edges: the other keeps as long
        uint32_t semi_spans = 0, semi = 0;
        for (uint32_t i = 0; i < n_spans; ++i)
            if (s->spans[i].semi_n) {
                ++semi_spans;
                semi = i;
            }
        if (n_values == 2 && semi_spans == 1)
            for (uint32_t i = 0; i < n_spans; ++i)
                if (s->spans[i].value != s->spans[semi].value) {
                    s->spans[i].semi_first = s->spans[semi].semi_first;
                    s->spans[i].semi_n = s->spans[semi].semi_n;
                }
    }
    for (uint32_t i = 0; i < n_spans; ++i) {
        const uv_span* span = &s->spans[i];
        const float uv[2] = {tex[0][span->id], tex[1][span->id]};
        float out[2] = {uv[0], uv[1]};
        const bool kept = span->disjoint || all_sharp || span->infinitely_sharp ||
                          !span->bounded || (span->n == 1 && mode != subdiv_uv_smooth);
        if (!kept) {
            float crease[2];
            for (int axis = 0; axis < 2; ++axis)
                crease[axis] = rule_crease_vertex(uv[axis], tex[axis][span->ends[0]],
                                                  tex[axis][span->ends[1]]);
            // the sharpness that keeps it: the vertex's, then its inner edges' ascending
            uint32_t n_sharp = 0;
            bool lasts = false;
            float w = 0.0f;
            if (vs > 0.0f) {
                w = w + vs;
                lasts = rule_decay(vs) > 0.0f;
                ++n_sharp;
            }
            for (uint32_t j = 0; j < span->semi_n; ++j) {
                const float es = uv_edge_sharpness(level, s->semi[span->semi_first + j]);
                w = w + es;
                lasts = lasts || rule_decay(es) > 0.0f;
                ++n_sharp;
            }
            if (n_sharp == 0) {
                out[0] = crease[0];
                out[1] = crease[1];
            } else if (!lasts) {
                w = w / float(n_sharp);
                if (w > 1.0f) w = 1.0f;
                for (int axis = 0; axis < 2; ++axis) out[axis] = rule_blend(uv[axis], crease[axis], w);
            }
        }
        for (uint32_t j = 0; j < span->n; ++j) {
            s->value[2 * (span->first + j)] = out[0];
            s->value[2 * (span->first + j) + 1] = out[1];
        }
    }
}

// The coordinates of v's corners in the next level into s->value, in the
// order of s->corner; returns the corners.
static uint32_t uv_vertex(const uv_level* level, const vertex_fans* fans, uint64_t v,
                          uv_scratch* s)
{
    uint32_t n_edges = 0, n_fans = 0;
    const uint32_t corners = uv_ring(level, fans, v, s, &n_edges, &n_fans);
    if (corners == 0) return 0;
    const uint64_t entry = level->m->vertex_valence[v];
    bool seam = false;
    for (uint32_t i = 1; i < corners; ++i) seam = seam || s->id[i] != s->id[0];
    for (uint32_t i = 0; i < n_edges && !seam; ++i) seam = uv_edge_seam(level, s->sorted[i]);
    if (uv_split_boundary(level) && mesh_boundary_count(entry) > 0) seam = true;
    if (level->mode != subdiv_uv_smooth && level->smooth_corners && corners == 1) seam = true;
    s->matched = !seam;
    if (seam) {
        uv_seam_vertex(level, v, s, n_fans);
        return corners;
    }
    const float p[2] = {level->g->tex_u[s->id[0]], level->g->tex_v[s->id[0]]};
    // the faces after the edges in the sorted room
    for (uint32_t i = 0; i < corners; ++i) s->sorted[n_edges + i] = level->m->iedge_face[s->corner[i]];
    float out[2];
    uv_matched_vertex(level, v, p, s, n_edges, corners, out);
    for (uint32_t i = 0; i < corners; ++i) {
        s->value[2 * i] = out[0];
        s->value[2 * i + 1] = out[1];
    }
    return corners;
}

static inline bool same_bits(float a, float b) { return std::memcmp(&a, &b, 4) == 0; }

// The vertices of range i: the numbers each carries alone take their value.
static void uv_vertex_range(void* context, uint64_t i, uint32_t thread)
{
    auto* job = static_cast<uv_job*>(context);
    const uv_level* level = job->level;
    uv_scratch* s = &job->scratch[thread];
    const uint64_t first = i * uv_block, V = level->g->n_vertices;
    const uint64_t end = first + uv_block < V ? first + uv_block : V;
    for (uint64_t v = first; v < end; ++v) {
        const uint32_t corners = uv_vertex(level, job->fans, v, s);
        if (corners > 0 && s->matched) {
            // one number, one value: the number's value unless other vertices carry it
            const uint64_t t = s->id[0];
            if (job->owner[t] != v) {
                job->complex[v] = 1;
                continue;
            }
            job->moved->u[t] = s->value[0];
            job->moved->v[t] = s->value[1];
            continue;
        }
        for (uint32_t c = 0; c < corners; ++c) {
            const uint64_t t = s->id[c];
            bool alone = job->owner[t] == v;
            for (uint32_t d = 0; d < corners && alone; ++d)
                alone = s->id[d] != t ||
                        (same_bits(s->value[2 * d], s->value[2 * c]) &&
                         same_bits(s->value[2 * d + 1], s->value[2 * c + 1]));
            if (!alone) {
                job->complex[v] = 1;
                continue;
            }
            job->moved->u[t] = s->value[2 * c];
            job->moved->v[t] = s->value[2 * c + 1];
        }
    }
}

static bool scratch_alloc(uv_scratch* s, uint64_t capacity)
{
    *s = uv_scratch{};
    s->ring = static_cast<uint64_t*>(mem_alloc_array(capacity, 8));
    s->fan_at = static_cast<uint64_t*>(mem_alloc_array(3 * capacity, 8));
    s->corner = static_cast<uint64_t*>(mem_alloc_array(capacity, 8));
    s->cross = static_cast<uint64_t*>(mem_alloc_array(capacity, 8));
    s->id = static_cast<uint64_t*>(mem_alloc_array(capacity, 8));
    s->sorted = static_cast<uint64_t*>(mem_alloc_array(2 * capacity, 8));
    s->semi = static_cast<uint64_t*>(mem_alloc_array(2 * capacity, 8));
    s->spans = static_cast<uv_span*>(mem_alloc_array(capacity, sizeof(uv_span)));
    s->value = static_cast<float*>(mem_alloc_array(2 * capacity, 4));
    return s->ring && s->fan_at && s->corner && s->cross && s->id && s->sorted && s->semi &&
           s->spans && s->value;
}

static void scratch_free(uv_scratch* s)
{
    mem_free(s->ring);
    mem_free(s->fan_at);
    mem_free(s->corner);
    mem_free(s->cross);
    mem_free(s->id);
    mem_free(s->sorted);
    mem_free(s->semi);
    mem_free(s->spans);
    mem_free(s->value);
    *s = uv_scratch{};
}

// The vertices whose numbers are shared, corner by corner in face order:
// the first corner of a number sets its value, a corner of another value
// takes an extra number. False when memory is refused.
static bool uv_shared_numbers(const uv_level* level, const vertex_fans* fans, uv_scratch* s,
                              const uint64_t* owner, const uint8_t* complex, uv_moved* moved)
{
    const geom* g = level->g;
    const uint64_t U = g->n_texcoords, C = geom_corner_count(g);
    uint8_t* claimed = static_cast<uint8_t*>(mem_alloc(U));
    // extra values: (number, u, v) and the corners that take them
    uint64_t* extra_id = nullptr;
    float* extra_uv = nullptr;
    uint64_t n_extra = 0, capacity = 0;
    bool made = claimed != nullptr;
    if (made) std::memset(claimed, 0, U);
    for (uint64_t f = 0; made && f < g->n_faces; ++f) {
        const uint64_t n = uv_face_corners(level, f), first = uv_face_first(level, f);
        for (uint64_t k = 0; k < n && made; ++k) {
            const uint64_t h = uv_face_side(level, f, k);
            const uint64_t v = level->m->iedge_vertex[h];
            const uint64_t t = g->corner_texcoord[first + k];
            if (!complex[v]) continue;
            // a number of a vertex that the pass could not set: this corner's value
            bool owned_alone = owner[t] == v;
            const uint32_t corners = uv_vertex(level, fans, v, s);
            uint32_t c = 0;
            while (s->corner[c] != h) ++c;
            for (uint32_t d = 0; d < corners && owned_alone; ++d)
                owned_alone = s->id[d] != t || (same_bits(s->value[2 * d], s->value[2 * c]) &&
                                                 same_bits(s->value[2 * d + 1],
                                                           s->value[2 * c + 1]));
            if (owned_alone) continue;
            const float u = s->value[2 * c], w = s->value[2 * c + 1];
            if (!claimed[t]) {
                claimed[t] = 1;
                moved->u[t] = u;
                moved->v[t] = w;
                continue;
            }
            if (same_bits(moved->u[t], u) && same_bits(moved->v[t], w)) continue;
            uint64_t x = 0;
            while (x < n_extra && !(extra_id[x] == t && same_bits(extra_uv[2 * x], u) &&
                                    same_bits(extra_uv[2 * x + 1], w)))
                ++x;
            if (x == n_extra) {
                if (n_extra == capacity) {
                    capacity = capacity ? 2 * capacity : 64;
                    auto* ids = static_cast<uint64_t*>(mem_alloc_array(capacity, 8));
                    auto* uvs = static_cast<float*>(mem_alloc_array(2 * capacity, 4));
                    made = ids && uvs;
                    if (made && n_extra) {
                        std::memcpy(ids, extra_id, n_extra * 8);
                        std::memcpy(uvs, extra_uv, n_extra * 8);
                    }
                    mem_free(extra_id);
                    mem_free(extra_uv);
                    extra_id = ids;
                    extra_uv = uvs;
                    if (!made) break;
                }
                extra_id[n_extra] = t;
                extra_uv[2 * n_extra] = u;
                extra_uv[2 * n_extra + 1] = w;
                ++n_extra;
            }
            if (!moved->corner_extra) {
                moved->corner_extra = static_cast<uint64_t*>(mem_alloc_array(C, 8));
                made = moved->corner_extra != nullptr;
                if (made) std::memset(moved->corner_extra, 0xFF, C * 8);
            }
            if (made) moved->corner_extra[first + k] = x;
        }
    }
    if (made && n_extra) {
        // the values grow by the extra ones
        float* u = static_cast<float*>(mem_alloc_array(U + n_extra, 4));
        float* w = static_cast<float*>(mem_alloc_array(U + n_extra, 4));
        made = u && w;
        if (made) {
            std::memcpy(u, moved->u, U * 4);
            std::memcpy(w, moved->v, U * 4);
            for (uint64_t x = 0; x < n_extra; ++x) {
                u[U + x] = extra_uv[2 * x];
                w[U + x] = extra_uv[2 * x + 1];
            }
            mem_free(moved->u);
            mem_free(moved->v);
            moved->u = u;
            moved->v = w;
            moved->n_extra = n_extra;
        } else {
            mem_free(u);
            mem_free(w);
        }
    }
    mem_free(claimed);
    mem_free(extra_id);
    mem_free(extra_uv);
    return made;
}

bool uv_moved_compute(const uv_level* level, uint32_t threads, uv_moved* moved)
{
    const geom* g = level->g;
    const uint64_t U = g->n_texcoords, V = g->n_vertices;
    CHECK(level->mode > subdiv_uv_linear && level->mode <= subdiv_uv_smooth,
          "uv_moved_compute: mode %d", int(level->mode));
    *moved = uv_moved{};
    moved->n_texcoords = U;
    moved->u = static_cast<float*>(mem_alloc_array(U, 4));
    moved->v = static_cast<float*>(mem_alloc_array(U, 4));
    auto* owner = static_cast<uint64_t*>(mem_alloc_array(U, 8));
    const uint64_t ranges = (V + uv_block - 1) / uv_block;
    auto* complex = static_cast<uint8_t*>(mem_alloc(V + 1));
    vertex_fans fans = {};
    uv_scratch* scratch = static_cast<uv_scratch*>(mem_alloc_array(threads, sizeof(uv_scratch)));
    uint32_t allocated = 0;
    bool made = moved->u && moved->v && owner && complex && scratch &&
                vertex_fans_build(&fans, level->m, g, threads);
    for (; made && allocated < threads; ++allocated)
        made = scratch_alloc(&scratch[allocated], fans.most_edges + 1);
    if (made) {
        // unused numbers keep their values
        std::memcpy(moved->u, g->tex_u, U * 4);
        std::memcpy(moved->v, g->tex_v, U * 4);
        std::memset(complex, 0, V + 1);
        std::memset(owner, 0xFF, U * 8);
        for (uint64_t f = 0; f < g->n_faces; ++f) {
            const uint64_t n = uv_face_corners(level, f), first = uv_face_first(level, f);
            for (uint64_t k = 0; k < n; ++k) {
                const uint64_t t = g->corner_texcoord[first + k];
                const uint64_t v = level->m->iedge_vertex[uv_face_side(level, f, k)];
                owner[t] = owner[t] == UINT64_MAX || owner[t] == v ? v : uv_shared;
            }
        }
        uv_job job = {level, &fans, owner, scratch, moved, complex};
        parallel_for(threads, ranges, uv_vertex_range, &job);
        bool any = false;
        for (uint64_t v = 0; v < V && !any; ++v) any = complex[v] != 0;
        if (any) made = uv_shared_numbers(level, &fans, &scratch[0], owner, complex, moved);
    }
    for (uint32_t t = 0; t < allocated; ++t) scratch_free(&scratch[t]);
    mem_free(scratch);
    vertex_fans_free(&fans);
    mem_free(owner);
    mem_free(complex);
    if (!made) uv_moved_free(moved);
    return made;
}

void uv_moved_free(uv_moved* moved)
{
    mem_free(moved->u);
    mem_free(moved->v);
    mem_free(moved->corner_extra);
    *moved = uv_moved{};
}

} // namespace subdiv
