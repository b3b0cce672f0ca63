// The level the last step refines, as records of its faces and edges.
//
// Children of a parent level: for Catmull-Clark, face f of n sides (side c
// the half-edge h_c from corner q_c to q_(c+1)) has the children f0 + c, f0
// its first, with corners (q_c, e_c, p, e_(c-1)): e_c the edge point of
// side c, p the face point. The scan of the children meets their edges as
// the connectivity derivation numbers them: for each c, the half A_c of side
// c at q_c (when f holds the side's even half-edge), the inner edge I_c from
// e_c to p (I_(n-1) with child 0), and the half B_(c-1) of side c - 1 at q_c.
// For Loop, triangle f has the children 4f .. 4f + 3, (q0 m0 m2) (m0 q1 m1)
// (m1 q2 m2) (m1 m2 m0), m_c the edge point of side c, whose edges are met in
// the order A_0, m0-m2, B_2, B_0, A_1, m1-m0, B_1, A_2, m2-m1. A half of a
// side is numbered by the face holding the side's even half-edge; the other
// face finds its number in `split`.
#include "level_view.h"

#include <cstring>

#include "check.h"
#include "storage.h"

namespace subdiv {

// ---------------------------------------------------------------- the parent's faces

// The number of sides of parent face f and the half-edge of side c.
static inline uint64_t parent_sides(const level_view* v, uint64_t f)
{
    const int n = geom_face_size(v->parent);
    return n ? uint64_t(n) : v->parent->face_start[f + 1] - v->parent->face_start[f];
}

static inline uint64_t parent_side(const level_view* v, uint64_t f, uint64_t c)
{
    if (geom_face_size(v->parent) == 0)
        return v->parent_mesh->corner_iedge[v->parent->face_start[f] + c];
    return v->parent_face_iedge[c][f];
}

// The first child of parent face f.
static inline uint64_t first_child(const level_view* v, uint64_t f)
{
    if (v->loop) return 4 * f;
    const int n = geom_face_size(v->parent);
    return n ? uint64_t(n) * f : v->parent->face_start[f];
}

// ---------------------------------------------------------------- numbering

// Numbers the edges that the children of parent face f meet first, from
// *next on, recording the halves of sides f holds in split and the halves
// of boundary sides in the view's count of boundary edges.
static void number_face(level_view* v, uint64_t f, uint64_t* next)
{
    const mesh* m = v->parent_mesh;
    auto half = [&](uint64_t h, uint64_t key) {
        v->split[key] = (*next)++;
        if (m->iedge_face[h ^ 1] == mesh_no_face) v->n_boundary += 1;
    };
    const uint64_t n = parent_sides(v, f);
    for (uint64_t c = 0; c < n; ++c) v->iedge_side[parent_side(v, f, c)] = uint8_t(c);
    if (v->loop) {
        uint64_t h[3];
        for (int c = 0; c < 3; ++c) h[c] = parent_side(v, f, uint64_t(c));
        if (!(h[0] & 1)) half(h[0], h[0]);
        *next += 1; // m0-m2
        if (!(h[2] & 1)) half(h[2], h[2] ^ 1);
        if (!(h[0] & 1)) half(h[0], h[0] ^ 1);
        if (!(h[1] & 1)) half(h[1], h[1]);
        *next += 1; // m1-m0
        if (!(h[1] & 1)) half(h[1], h[1] ^ 1);
        if (!(h[2] & 1)) half(h[2], h[2]);
        *next += 1; // m2-m1
        return;
    }
    for (uint64_t c = 0; c < n; ++c) {
        const uint64_t h = parent_side(v, f, c), before = parent_side(v, f, (c + n - 1) % n);
        if (!(h & 1)) half(h, h);                      // A_c
        *next += c == 0 ? 2 : c + 1 < n ? 1 : 0;       // I_c, and I_(n-1) with child 0
        if (!(before & 1)) half(before, before ^ 1);   // B_(c-1)
    }
}

// The same sequence, given the edge *next that face f's first new edge has
// and the half-edges h of its n sides: the edges of its sides in the
// children's tables. For Catmull-Clark, inner[c] gets I_c; for Loop, inner
// gets m0-m2, m1-m0, m2-m1.
static void replay_face(const level_view* v, const uint64_t* h, uint64_t n, uint64_t* next,
                        uint64_t* inner)
{
    if (v->loop) {
        *next += !(h[0] & 1);
        inner[0] = (*next)++;
        *next += !(h[2] & 1) + !(h[0] & 1) + !(h[1] & 1);
        inner[1] = (*next)++;
        *next += !(h[1] & 1) + !(h[2] & 1);
        inner[2] = (*next)++;
        return;
    }
    for (uint64_t c = 0; c < n; ++c) {
        const uint64_t before = h[(c + n - 1) % n];
        *next += !(h[c] & 1);
        if (c + 1 < n) inner[c] = (*next)++;
        if (c == 0) inner[n - 1] = (*next)++;
        *next += !(before & 1);
    }
}

// The half-edges h of the sides of parent face f and the vertices q at its
// corners; returns the number of sides.
static inline uint64_t parent_face(const level_view* v, uint64_t f, uint64_t* h, uint64_t* q)
{
    const uint64_t n = parent_sides(v, f);
    const uint64_t* const iedge_vertex = v->parent_mesh->iedge_vertex;
    for (uint64_t c = 0; c < n; ++c) h[c] = parent_side(v, f, c);
    for (uint64_t c = 0; c < n; ++c) q[c] = iedge_vertex[h[c]];
    return n;
}

// ---------------------------------------------------------------- views

void level_view_own(level_view* view, const geom* level, const mesh* own, uint64_t block_size)
{
    *view = level_view{};
    view->level = level;
    view->own = own;
    view->loop = geom_face_size(level) == 3;
    view->n_vertices = level->n_vertices;
    view->n_faces = level->n_faces;
    view->n_edges = level->n_edges;
    view->block_size = block_size;
    view->n_blocks = (level->n_faces + block_size - 1) / block_size;
    view->n_boundary = own->n_boundary_edges;
}

bool level_view_children(level_view* view, const geom* level, const mesh* parent_mesh,
                         const geom* parent, bool loop, uint64_t block_size)
{
    *view = level_view{};
    view->level = level;
    view->parent_mesh = parent_mesh;
    view->parent = parent;
    view->loop = loop;
    const uint64_t Vp = parent->n_vertices, Fp = parent->n_faces, Ep = parent->n_edges;
    const uint64_t corners = geom_corner_count(parent);
    view->n_vertices = loop ? Vp + Ep : Vp + Fp + Ep;
    view->n_faces = loop ? 4 * Fp : corners;
    view->n_edges = loop ? 2 * Ep + 3 * Fp : 2 * Ep + corners;
    CHECK(level->n_vertices == view->n_vertices && level->n_faces == view->n_faces,
          "level_view_children: the level's counts are not those of one step of its parent");
    view->block_size = block_size;
    view->n_blocks = (Fp + block_size - 1) / block_size;
    view->parent_face_iedge[0] = parent_mesh->face_iedge0;
    view->parent_face_iedge[1] = parent_mesh->face_iedge1;
    view->parent_face_iedge[2] = parent_mesh->face_iedge2;
    view->parent_face_iedge[3] = parent_mesh->face_iedge3;
    view->split = static_cast<uint64_t*>(mem_alloc(2 * Ep * 8));
    view->iedge_side = static_cast<uint8_t*>(mem_alloc(2 * Ep));
    view->first_edge = static_cast<uint64_t*>(mem_alloc((view->n_blocks + 1) * 8));
    if (!view->split || !view->iedge_side || !view->first_edge) {
        level_view_free(view);
        return false;
    }
    uint64_t next = 0;
    for (uint64_t f = 0; f < Fp; ++f) {
        if (f % block_size == 0) view->first_edge[f / block_size] = next;
        number_face(view, f, &next);
    }
    view->first_edge[view->n_blocks] = next;
    CHECK(next == view->n_edges, "level_view_children: %llu edges numbered, not %llu",
          (unsigned long long)next, (unsigned long long)view->n_edges);
    return true;
}

void level_view_free(level_view* view)
{
    mem_free(view->split);
    mem_free(view->iedge_side);
    mem_free(view->first_edge);
    *view = level_view{};
}

uint64_t view_face_first(const level_view* view, uint64_t i)
{
    if (view->own) {
        const uint64_t f = i * view->block_size;
        return f < view->n_faces ? f : view->n_faces;
    }
    const uint64_t f = i * view->block_size;
    return f < view->parent->n_faces ? first_child(view, f) : view->n_faces;
}

uint64_t view_edge_first(const level_view* view, uint64_t i)
{
    if (view->own)
        return view->n_blocks ? uint64_t((unsigned __int128)view->n_edges * i / view->n_blocks) : 0;
    return view->first_edge[i];
}

uint64_t view_valence(const level_view* view, uint64_t v)
{
    if (view->own) return view->own->vertex_valence[v];
    const mesh* m = view->parent_mesh;
    const geom* p = view->parent;
    if (v < p->n_vertices) return m->vertex_valence[v];
    uint64_t e = v - p->n_vertices;
    if (!view->loop) {
        if (e < p->n_faces) return parent_sides(view, e); // a face point
        e -= p->n_faces;
    }
    // an edge point: on a boundary edge when no face holds the odd half-edge
    const bool boundary = m->iedge_face[2 * e + 1] == mesh_no_face;
    if (view->loop) return boundary ? mesh_valence_entry(4, 2) : 6;
    return boundary ? mesh_valence_entry(3, 2) : 4;
}

void view_valences(const level_view* view, uint64_t first, uint64_t count, uint64_t* entries)
{
    const uint64_t end = first + count;
    if (view->own) {
        std::memcpy(entries, view->own->vertex_valence + first, count * 8);
        return;
    }
    // the parent's vertices, its face points (Catmull-Clark), its edge points
    const mesh* m = view->parent_mesh;
    const geom* p = view->parent;
    const uint64_t face_points = p->n_vertices;
    const uint64_t edge_points = p->n_vertices + (view->loop ? 0 : p->n_faces);
    const uint64_t interior = view->loop ? 6 : 4;
    const uint64_t boundary = view->loop ? mesh_valence_entry(4, 2) : mesh_valence_entry(3, 2);
    uint64_t v = first;
    for (; v < end && v < face_points; ++v) *entries++ = m->vertex_valence[v];
    for (; v < end && v < edge_points; ++v) *entries++ = parent_sides(view, v - face_points);
    for (; v < end; ++v)
        *entries++ = m->iedge_face[2 * (v - edge_points) + 1] == mesh_no_face ? boundary : interior;
}

// ---------------------------------------------------------------- records of an own level

// The side of face f of the own level that half-edge h is.
static uint32_t own_side_of(const level_view* v, uint64_t f, uint64_t h)
{
    const mesh* m = v->own;
    const int n = geom_face_size(v->level);
    if (n == 0) {
        const uint64_t start = v->level->face_start[f], count = v->level->face_start[f + 1] - start;
        for (uint64_t c = 0; c < count; ++c)
            if (m->corner_iedge[start + c] == h) return uint32_t(c);
    } else {
        const uint64_t* const face_iedge[4] = {m->face_iedge0, m->face_iedge1, m->face_iedge2,
                                               m->face_iedge3};
        for (int c = 0; c < n; ++c)
            if (face_iedge[c][f] == h) return uint32_t(c);
    }
    CHECK(false, "level_view: half-edge %llu is no side of face %llu", (unsigned long long)h,
          (unsigned long long)f);
    return 0;
}

static void own_faces(const level_view* v, uint64_t i, view_face* faces)
{
    const geom* g = v->level;
    const mesh* m = v->own;
    const int n = geom_face_size(g);
    const uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
    const uint64_t* const face_iedge[4] = {m->face_iedge0, m->face_iedge1, m->face_iedge2,
                                           m->face_iedge3};
    const uint64_t end = view_face_first(v, i + 1);
    for (uint64_t f = view_face_first(v, i); f < end; ++f, ++faces) {
        const uint64_t start = n ? uint64_t(n) * f : g->face_start[f];
        const uint64_t count = n ? uint64_t(n) : g->face_start[f + 1] - start;
        faces->index = f;
        faces->n = uint32_t(count);
        faces->odd_sides = 0;
        for (uint64_t k = 0; k < count; ++k) {
            faces->corner[k] = n ? corner[k][f] : g->corners[start + k];
            const uint64_t h = n ? face_iedge[k][f] : m->corner_iedge[start + k];
            faces->side_edge[k] = h >> 1;
            faces->odd_sides |= uint32_t(h & 1) << k;
            if (g->corner_texcoord) faces->texcoord[k] = g->corner_texcoord[start + k];
        }
    }
}

static void own_edges(const level_view* v, uint64_t i, view_edge* edges)
{
    const mesh* m = v->own;
    const uint64_t end = view_edge_first(v, i + 1);
    for (uint64_t e = view_edge_first(v, i); e < end; ++e, ++edges) {
        const uint64_t h = 2 * e, t = h + 1;
        edges->index = e;
        edges->a = m->iedge_vertex[h];
        edges->b = m->iedge_vertex[t];
        edges->fa = m->iedge_face[h];
        edges->fb = m->iedge_face[t];
        edges->sa = own_side_of(v, edges->fa, h);
        edges->sb = edges->fb == mesh_no_face ? 0 : own_side_of(v, edges->fb, t);
        if (v->loop) {
            // the next of the next half-edge leaves the opposite corner
            edges->p = m->iedge_vertex[m->iedge_next[m->iedge_next[h]]];
            edges->q = edges->fb == mesh_no_face ? edges->p
                                                 : m->iedge_vertex[m->iedge_next[m->iedge_next[t]]];
        }
    }
}

// ---------------------------------------------------------------- records of children

static void children_faces(const level_view* v, uint64_t i, view_face* faces, bool with_sides)
{
    const geom* level = v->level;
    const uint64_t f_end = (i + 1) * v->block_size < v->parent->n_faces ? (i + 1) * v->block_size
                                                                         : v->parent->n_faces;
    const uint64_t V = v->parent->n_vertices, edge_points = V + v->parent->n_faces;
    const uint64_t* const texcoord = with_sides ? level->corner_texcoord : nullptr;
    uint64_t next = v->first_edge[i];
    for (uint64_t f = i * v->block_size; f < f_end; ++f) {
        const uint64_t first = first_child(v, f);
        uint64_t h[view_max_corners], q[view_max_corners], inner[view_max_corners];
        const uint64_t n = parent_face(v, f, h, q);
        if (with_sides) replay_face(v, h, n, &next, inner);
        if (v->loop) {
            const uint64_t m[3] = {V + (h[0] >> 1), V + (h[1] >> 1), V + (h[2] >> 1)};
            const uint64_t corners[4][3] = {
                {q[0], m[0], m[2]}, {m[0], q[1], m[1]}, {m[1], q[2], m[2]}, {m[1], m[2], m[0]}};
            uint64_t a[3] = {}, b[3] = {};
            for (int c = 0; with_sides && c < 3; ++c) {
                a[c] = v->split[h[c]];     // A_c, at corner c
                b[c] = v->split[h[c] ^ 1]; // B_c, at corner c + 1
            }
            const uint64_t sides[4][3] = {{a[0], inner[0], b[2]},
                                          {b[0], a[1], inner[1]},
                                          {b[1], a[2], inner[2]},
                                          {inner[2], inner[0], inner[1]}};
            // a half holds the odd half-edge where its parent side does; the
            // middle child holds the odd sides of the inner edges
            const uint32_t odd[3] = {uint32_t(h[0] & 1), uint32_t(h[1] & 1), uint32_t(h[2] & 1)};
            const uint32_t odd_sides[4] = {odd[0] | odd[2] << 2, odd[0] | odd[1] << 1,
                                           odd[1] | odd[2] << 1, 7};
            for (uint64_t c = 0; c < 4; ++c, ++faces) {
                faces->index = first + c;
                faces->n = 3;
                faces->odd_sides = odd_sides[c];
                std::memcpy(faces->corner, corners[c], 3 * 8);
                if (!with_sides) continue;
                std::memcpy(faces->side_edge, sides[c], 3 * 8);
                if (texcoord) std::memcpy(faces->texcoord, texcoord + 3 * (first + c), 3 * 8);
            }
            continue;
        }
        // child c: (q_c, e_c, p, e_(c-1))
        const uint64_t face_point = V + f;
        for (uint64_t c = 0; c < n; ++c, ++faces) {
            const uint64_t before = (c + n - 1) % n;
            faces->index = first + c;
            faces->n = 4;
            faces->corner[0] = q[c];
            faces->corner[1] = edge_points + (h[c] >> 1);
            faces->corner[2] = face_point;
            faces->corner[3] = edge_points + (h[before] >> 1);
            // sides 0 and 3 are halves of the parent's sides c and c - 1; the
            // inner edges' even half-edges run from e_c and, for child 0, from p
            faces->odd_sides = uint32_t(h[c] & 1) | uint32_t(c + 1 == n) << 1 |
                               uint32_t(c != 0) << 2 | uint32_t(h[before] & 1) << 3;
            if (!with_sides) continue;
            faces->side_edge[0] = v->split[h[c]];
            faces->side_edge[1] = inner[c];
            faces->side_edge[2] = inner[before];
            faces->side_edge[3] = v->split[h[before] ^ 1];
            if (texcoord) std::memcpy(faces->texcoord, texcoord + 4 * (first + c), 4 * 8);
        }
    }
}

// The child face and side that holds, across parent half-edge h of a side of
// the parent face f, the half at the end of h (`at_end`) or at its origin.
// For Catmull-Clark: the half at the origin of h is side 0 of child c, the
// half at its end side 3 of child c + 1; for Loop the tables below, and the
// corner of that child opposite the half: the edge point of the side after
// h (at the end) or before it.
static void across(const level_view* v, uint64_t h, bool at_end, uint64_t* face, uint32_t* side,
                   uint64_t* opposite)
{
    const uint64_t f = v->parent_mesh->iedge_face[h];
    const uint32_t c = v->iedge_side[h];
    if (v->loop) {
        // A_c (at the origin) and B_c (at the end) of side c
        static const uint32_t child_a[3] = {0, 1, 2}, side_a[3] = {0, 1, 1};
        static const uint32_t child_b[3] = {1, 2, 0}, side_b[3] = {0, 0, 2};
        *face = 4 * f + (at_end ? child_b[c] : child_a[c]);
        *side = at_end ? side_b[c] : side_a[c];
        *opposite = v->parent->n_vertices + (parent_side(v, f, (c + (at_end ? 1 : 2)) % 3) >> 1);
        return;
    }
    const uint64_t n = parent_sides(v, f);
    *face = first_child(v, f) + (at_end ? (c + 1) % n : c);
    *side = at_end ? 3 : 0;
}

// Completes an edge record from its even side (face fa, side sa, ends a to
// b, for Loop the corner p opposite) and the parent half-edge `twin` whose
// face holds its odd side: at the twin's end (at_end) or origin. On a
// boundary side there is none, and q is p.
static void edge_record(const level_view* v, view_edge* e, uint64_t index, uint64_t a, uint64_t b,
                        uint64_t fa, uint32_t sa, uint64_t p, uint64_t twin, bool at_end)
{
    e->index = index;
    e->a = a;
    e->b = b;
    e->fa = fa;
    e->sa = sa;
    e->p = e->q = p;
    if (v->parent_mesh->iedge_face[twin] == mesh_no_face) {
        e->fb = mesh_no_face;
        e->sb = 0;
    } else {
        across(v, twin, at_end, &e->fb, &e->sb, &e->q);
    }
}

// The same for an inner edge, whose odd side is side sb of face fb, with
// the corners p and q opposite in the two (Loop).
static void inner_record(view_edge* e, uint64_t index, uint64_t a, uint64_t b, uint64_t fa,
                         uint32_t sa, uint64_t fb, uint32_t sb, uint64_t p, uint64_t q)
{
    e->index = index;
    e->a = a;
    e->b = b;
    e->fa = fa;
    e->sa = sa;
    e->fb = fb;
    e->sb = sb;
    e->p = p;
    e->q = q;
}

static void children_edges(const level_view* v, uint64_t i, view_edge* edges)
{
    const geom* p = v->parent;
    const uint64_t f_end = (i + 1) * v->block_size < p->n_faces ? (i + 1) * v->block_size
                                                                : p->n_faces;
    uint64_t next = v->first_edge[i];
    for (uint64_t f = i * v->block_size; f < f_end; ++f) {
        const uint64_t first = first_child(v, f);
        uint64_t h[view_max_corners], q[view_max_corners];
        const uint64_t n = parent_face(v, f, h, q);
        if (v->loop) {
            const uint64_t mid[3] = {p->n_vertices + (h[0] >> 1), p->n_vertices + (h[1] >> 1),
                                     p->n_vertices + (h[2] >> 1)};
            // A_c runs q_c to m_c, B_c m_c to q_(c+1); the corner opposite
            // each side in the children (q0 m0 m2) (m0 q1 m1) (m1 q2 m2) (m1 m2 m0)
            const uint64_t c0 = first, c1 = first + 1, c2 = first + 2, c3 = first + 3;
            if (!(h[0] & 1))
                edge_record(v, edges++, next++, q[0], mid[0], c0, 0, mid[2], h[0] ^ 1, true);
            inner_record(edges++, next++, mid[0], mid[2], c0, 1, c3, 1, q[0], mid[1]);
            if (!(h[2] & 1))
                edge_record(v, edges++, next++, mid[2], q[0], c0, 2, mid[0], h[2] ^ 1, false);
            if (!(h[0] & 1))
                edge_record(v, edges++, next++, mid[0], q[1], c1, 0, mid[1], h[0] ^ 1, false);
            if (!(h[1] & 1))
                edge_record(v, edges++, next++, q[1], mid[1], c1, 1, mid[0], h[1] ^ 1, true);
            inner_record(edges++, next++, mid[1], mid[0], c1, 2, c3, 2, q[1], mid[2]);
            if (!(h[1] & 1))
                edge_record(v, edges++, next++, mid[1], q[2], c2, 0, mid[2], h[1] ^ 1, false);
            if (!(h[2] & 1))
                edge_record(v, edges++, next++, q[2], mid[2], c2, 1, mid[1], h[2] ^ 1, true);
            inner_record(edges++, next++, mid[2], mid[1], c2, 2, c3, 0, q[2], mid[0]);
            continue;
        }
        const uint64_t face_point = p->n_vertices + f, edge_points = p->n_vertices + p->n_faces;
        for (uint64_t c = 0; c < n; ++c) {
            const uint64_t side = h[c], before = h[(c + n - 1) % n];
            const uint64_t e_c = edge_points + (side >> 1), e_before = edge_points + (before >> 1);
            // A_c: q_c to e_c, side 0 of child c; across, side 3 of a child
            if (!(side & 1))
                edge_record(v, edges++, next++, q[c], e_c, first + c, 0, 0, side ^ 1, true);
            // I_c: e_c to the face point, side 1 of child c, side 2 of child c + 1
            if (c + 1 < n)
                inner_record(edges++, next++, e_c, face_point, first + c, 1, first + c + 1, 2, 0, 0);
            // I_(n-1): the face point to e_(n-1), side 2 of child 0, side 1 of child n - 1
            if (c == 0)
                inner_record(edges++, next++, face_point, edge_points + (h[n - 1] >> 1), first, 2,
                             first + n - 1, 1, 0, 0);
            // B_(c-1): e_(c-1) to q_c, side 3 of child c; across, side 0 of a child
            if (!(before & 1))
                edge_record(v, edges++, next++, e_before, q[c], first + c, 3, 0, before ^ 1, false);
        }
    }
}

void view_faces(const level_view* view, uint64_t i, view_face* faces, bool with_sides)
{
    if (view->own)
        own_faces(view, i, faces);
    else
        children_faces(view, i, faces, with_sides);
}

void view_edges(const level_view* view, uint64_t i, view_edge* edges)
{
    if (view->own)
        own_edges(view, i, edges);
    else
        children_edges(view, i, edges);
}

} // namespace subdiv
