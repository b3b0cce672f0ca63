// The level the last step refines, as records of its faces and edges.
//
// Children of a parent level: the table of children.h gives each parent
// face's children (their corners and sides) and the order in which a scan
// of the children meets their edges, which is how the connectivity
// derivation numbers them. A half of a side is numbered by the face holding
// the side's even half-edge; the other face numbers its children's edges
// again from that face's first edge (face_edge) to find it.
#include "level_view.h"

#include <atomic>
#include <cstring>
#include <initializer_list>

#include "check.h"
#include "children.h"
#include "rules.h"
#include "storage.h"

namespace subdiv {

// ---------------------------------------------------------------- the parent's faces

// The parent's half-edge arrays as the view holds them, of index type I
// (uint32_t when narrow, else uint64_t): the mesh's "none" of all bits set
// is I's.
template <typename I>
struct parent_index {
    const I* face_iedge[4];
    const I* corner_iedge;
    const I* iedge_vertex;
    const I* iedge_face;
    I* face_edge;
};

template <typename I>
static constexpr uint64_t index_none = I(~I(0));

template <typename I>
static inline parent_index<I> parent_arrays(const level_view* v)
{
    return {{static_cast<const I*>(v->parent_face_iedge[0]),
             static_cast<const I*>(v->parent_face_iedge[1]),
             static_cast<const I*>(v->parent_face_iedge[2]),
             static_cast<const I*>(v->parent_face_iedge[3])},
            static_cast<const I*>(v->parent_corner_iedge),
            static_cast<const I*>(v->parent_iedge_vertex),
            static_cast<const I*>(v->parent_iedge_face),
            static_cast<I*>(v->face_edge)};
}

// The number of sides of parent face f and the half-edge of side c.
static inline uint64_t parent_sides(const level_view* v, uint64_t f)
{
    const int n = geom_face_size(v->parent);
    return n ? uint64_t(n) : v->parent->face_start[f + 1] - v->parent->face_start[f];
}

template <typename I>
static inline uint64_t parent_side(const level_view* v, const parent_index<I>& p, uint64_t f,
                                   uint64_t c)
{
    if (geom_face_size(v->parent) == 0) return p.corner_iedge[v->parent->face_start[f] + c];
    return p.face_iedge[c][f];
}

// Whether the parent's half-edge h lies on no face.
template <typename I>
static inline bool parent_faceless(const parent_index<I>& p, uint64_t h)
{
    return p.iedge_face[h] == index_none<I>;
}

// The first child of parent face f.
static inline uint64_t first_child(const level_view* v, uint64_t f)
{
    if (v->loop) return 4 * f;
    const int n = geom_face_size(v->parent);
    return n ? uint64_t(n) * f : v->parent->face_start[f];
}

// The table of the children of parent face f.
static inline const children_table& face_children(const level_view* v, uint64_t f)
{
    return *children_of(v->loop, parent_sides(v, f));
}

// Calls body(table, f) for the parent faces [first, end) with each face's
// table of children: a constant one for triangles under Loop and for quads,
// so that the body's walks of it unroll and its entries fold away.
template <typename Body>
__attribute__((always_inline)) static inline void
for_parent_faces(const level_view* v, uint64_t first, uint64_t end, const Body& body)
{
    if (v->loop) {
        for (uint64_t f = first; f < end; ++f) body(children_loop, f);
    } else if (geom_face_size(v->parent) == 4) {
        for (uint64_t f = first; f < end; ++f) body(children_catmull_clark.size[4], f);
    } else {
        for (uint64_t f = first; f < end; ++f) body(face_children(v, f), f);
    }
}

// The first vertex of the level that is a face point (Catmull-Clark), and
// the first that is an edge point.
struct child_bases {
    uint64_t face_point;
    uint64_t edge_point;
};
static inline child_bases view_child_bases(const level_view* v)
{
    const uint64_t V = v->parent->n_vertices;
    return {V, V + (v->loop ? 0 : v->parent->n_faces)};
}

// The vertex of the level at a child's corner of parent face f, whose sides
// run along h and whose corners are q.
static inline uint64_t child_vertex(child_bases bases, child_ref point, uint64_t f,
                                    const uint64_t* h, const uint64_t* q)
{
    if (point.kind == child_corner) return q[point.index];
    if (point.kind == child_face_point) return bases.face_point + f;
    return bases.edge_point + (h[point.index] >> 1);
}

// Numbers the edges that the children of parent face f meet first, from
// *next on, recording where the face's numbers start and counting the halves
// of boundary sides among the view's boundary edges.
template <typename I>
__attribute__((always_inline)) static inline void
number_face(level_view* v, const parent_index<I>& p, const children_table& t, uint64_t f,
            uint64_t* next)
{
    uint64_t h[view_max_corners], inner[view_max_corners];
    for (uint32_t c = 0; c < t.n_sides; ++c) h[c] = parent_side(v, p, f, c);
    p.face_edge[f] = I(*next);
    children_number(t, h, next, inner, [&](child_ref e, uint64_t) {
        if (e.kind != child_inner && parent_faceless(p, h[e.index] ^ 1)) v->n_boundary += 1;
    });
}

// The side of parent face f that half-edge h is.
template <typename I>
static inline uint32_t parent_side_of(const level_view* v, const parent_index<I>& p, uint64_t f,
                                      uint64_t h)
{
    const uint64_t n = parent_sides(v, f);
    for (uint32_t c = 0; c < n; ++c)
        if (parent_side(v, p, f, c) == h) return c;
    CHECK(false, "level_view: half-edge %llu is no side of parent face %llu",
          (unsigned long long)h, (unsigned long long)f);
    return 0;
}

// The edges of the halves of parent face f's sides, as its children number
// them: half_origin[c] touches the origin of side c's half-edge h[c],
// half_end[c] its end. A side whose half-edge is odd was numbered by the face
// across it, whose numbering runs again here from its first edge.
template <typename I>
__attribute__((always_inline)) static inline void
face_halves(const level_view* v, const parent_index<I>& p, const children_table& t, uint64_t f,
            const uint64_t* h, uint64_t* half_origin, uint64_t* half_end, uint64_t* inner)
{
    uint64_t next = p.face_edge[f];
    children_number(t, h, &next, inner, [&](child_ref e, uint64_t number) {
        if (e.kind == child_half_origin) half_origin[e.index] = number;
        if (e.kind == child_half_end) half_end[e.index] = number;
    });
    for (uint32_t c = 0; c < t.n_sides; ++c) {
        if (!(h[c] & 1)) continue;
        // the face across holds the even twin, from h's end to its origin
        const uint64_t twin = h[c] ^ 1, across = p.iedge_face[twin];
        const children_table& ta = *children_of(v->loop, parent_sides(v, across));
        uint64_t ha[view_max_corners], inner_across[view_max_corners];
        for (uint32_t k = 0; k < ta.n_sides; ++k) ha[k] = parent_side(v, p, across, k);
        const uint32_t side = parent_side_of(v, p, across, twin);
        uint64_t number = p.face_edge[across];
        children_number(ta, ha, &number, inner_across, [&](child_ref e, uint64_t n) {
            if (e.index != side) return;
            if (e.kind == child_half_origin) half_end[c] = n;
            if (e.kind == child_half_end) half_origin[c] = n;
        });
    }
}

// Numbers the children's edges, block by block.
template <typename I>
static void number_children(level_view* view)
{
    const parent_index<I> p = parent_arrays<I>(view);
    const uint64_t Fp = view->parent->n_faces, block_size = view->block_size;
    uint64_t next = 0;
    for (uint64_t i = 0; i < view->n_blocks; ++i) {
        view->first_edge[i] = next;
        const uint64_t end = (i + 1) * block_size < Fp ? (i + 1) * block_size : Fp;
        for_parent_faces(view, i * block_size, end, [&](const children_table& t, uint64_t f)
                             __attribute__((always_inline)) { number_face(view, p, t, f, &next); });
    }
    view->first_edge[view->n_blocks] = next;
}

// A 32-bit copy of the n entries of *wide, which is released; false, *wide
// kept, when memory is refused. All bits set stays all bits set.
static bool narrow_copy(uint64_t** wide, uint64_t n, const void** narrow)
{
    auto* copy = static_cast<uint32_t*>(mem_alloc(n * 4));
    if (!copy) return false;
    const uint64_t* const from = *wide;
    for (uint64_t i = 0; i < n; ++i) copy[i] = uint32_t(from[i]);
    mem_release(wide);
    *narrow = copy;
    return true;
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

// The counts that 32-bit indices hold, below narrow_limit: UINT32_MAX but
// in tests, a constant at start, as the library runs no code before main.
static std::atomic<uint64_t> narrow_limit{UINT32_MAX};

uint64_t level_view_narrow_limit(uint64_t most) { return narrow_limit.exchange(most); }

bool level_view_children(level_view* view, const geom* level, mesh* parent_mesh,
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
    // 32 bits hold every half-edge, vertex, face (and "none") and child edge
    const uint64_t most = narrow_limit.load();
    view->narrow = 2 * Ep < most && Vp < most && Fp < most && corners < most &&
                   view->n_edges < most;
    const uint64_t index_bytes = view->narrow ? 4 : 8;
    view->face_edge = mem_alloc(Fp * index_bytes);
    view->first_edge = static_cast<uint64_t*>(mem_alloc((view->n_blocks + 1) * 8));
    bool made = view->face_edge && view->first_edge;
    const bool polygons = geom_face_size(parent) == 0;
    uint64_t** const sides[4] = {&parent_mesh->face_iedge0, &parent_mesh->face_iedge1,
                                 &parent_mesh->face_iedge2, &parent_mesh->face_iedge3};
    const int n_sides = polygons ? 0 : geom_face_size(parent);
    if (view->narrow) {
        // one array at a time, so that a copy and its original are the only two
        // held at once
        if (polygons)
            made = made && narrow_copy(&parent_mesh->corner_iedge, corners,
                                       &view->parent_corner_iedge);
        for (int c = 0; c < n_sides; ++c)
            made = made && narrow_copy(sides[c], Fp, &view->parent_face_iedge[c]);
        made = made && narrow_copy(&parent_mesh->iedge_vertex, 2 * Ep, &view->parent_iedge_vertex);
        made = made && narrow_copy(&parent_mesh->iedge_face, 2 * Ep, &view->parent_iedge_face);
    } else {
        view->parent_corner_iedge = parent_mesh->corner_iedge;
        for (int c = 0; c < 4; ++c) view->parent_face_iedge[c] = *sides[c];
        view->parent_iedge_vertex = parent_mesh->iedge_vertex;
        view->parent_iedge_face = parent_mesh->iedge_face;
    }
    if (!made) {
        level_view_free(view);
        return false;
    }
    if (view->narrow)
        number_children<uint32_t>(view);
    else
        number_children<uint64_t>(view);
    CHECK(view->first_edge[view->n_blocks] == view->n_edges,
          "level_view_children: %llu edges numbered, not %llu",
          (unsigned long long)view->first_edge[view->n_blocks], (unsigned long long)view->n_edges);
    return true;
}

void level_view_free(level_view* view)
{
    mem_free(view->face_edge);
    mem_free(view->first_edge);
    if (view->narrow) {
        for (const void* array : {view->parent_face_iedge[0], view->parent_face_iedge[1],
                                  view->parent_face_iedge[2], view->parent_face_iedge[3],
                                  view->parent_corner_iedge, view->parent_iedge_vertex,
                                  view->parent_iedge_face})
            mem_free(const_cast<void*>(array));
    }
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

bool view_sharp(const level_view* view)
{
    return (view->own ? view->own : view->parent_mesh)->edge_sharpness != nullptr;
}

bool view_sharpness_changes(const level_view* view)
{
    if (view->own)
        return rule_drops_any(view->own->edge_sharpness, view->n_edges) ||
               rule_drops_any(view->own->vertex_sharpness, view->n_vertices);
    // the level's values are what its parent's leave: those from above 1 to 2
    const mesh* m = view->parent_mesh;
    auto drops_next = [](const float* s, uint64_t n) {
        for (uint64_t i = 0; s && i < n; ++i) {
            const float left = rule_decay(s[i]);
            if (left > 0.0f && rule_decay(left) == 0.0f) return true;
        }
        return false;
    };
    return drops_next(m->edge_sharpness, view->parent->n_edges) ||
           drops_next(m->vertex_sharpness, view->parent->n_vertices);
}

bool view_has_vertex_sharpness(const level_view* view)
{
    return (view->own ? view->own : view->parent_mesh)->vertex_sharpness != nullptr;
}

void view_vertex_sharpness(const level_view* view, uint64_t first, uint64_t count, float* values)
{
    const mesh* m = view->own ? view->own : view->parent_mesh;
    // the parent's vertices keep what their sharpness leaves; new ones have none
    const uint64_t given = view->own ? view->n_vertices : view->parent->n_vertices;
    for (uint64_t j = 0; j < count; ++j) {
        const uint64_t v = first + j;
        const float s = m->vertex_sharpness && v < given ? m->vertex_sharpness[v] : 0.0f;
        values[j] = view->own ? s : rule_decay(s);
    }
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
    const bool boundary = view->narrow ? parent_faceless(parent_arrays<uint32_t>(view), 2 * e + 1)
                                       : parent_faceless(parent_arrays<uint64_t>(view), 2 * e + 1);
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
    const auto edge_entries = [&](const auto& arrays) {
        for (; v < end; ++v)
            *entries++ = parent_faceless(arrays, 2 * (v - edge_points) + 1) ? boundary : interior;
    };
    if (view->narrow)
        edge_entries(parent_arrays<uint32_t>(view));
    else
        edge_entries(parent_arrays<uint64_t>(view));
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
    const bool corners_held = n ? g->corner0 != nullptr : g->corners != nullptr;
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
            const uint64_t h = n ? face_iedge[k][f] : m->corner_iedge[start + k];
            // the corner's vertex, from the half-edge leaving it once the
            // level has let its corner arrays go
            faces->corner[k] = corners_held ? (n ? corner[k][f] : g->corners[start + k])
                                            : m->iedge_vertex[h];
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
        edges->sharpness = m->edge_sharpness ? m->edge_sharpness[e] : 0.0f;
        if (v->loop) {
            // the next of the next half-edge leaves the opposite corner
            edges->p = m->iedge_vertex[m->iedge_next[m->iedge_next[h]]];
            edges->q = edges->fb == mesh_no_face ? edges->p
                                                 : m->iedge_vertex[m->iedge_next[m->iedge_next[t]]];
        }
    }
}

// ---------------------------------------------------------------- records of children

template <typename I>
static void children_faces(const level_view* v, uint64_t i, view_face* faces, bool with_sides)
{
    const parent_index<I> p = parent_arrays<I>(v);
    const geom* level = v->level;
    const uint64_t f_end = (i + 1) * v->block_size < v->parent->n_faces ? (i + 1) * v->block_size
                                                                         : v->parent->n_faces;
    const uint64_t* const texcoord = with_sides ? level->corner_texcoord : nullptr;
    const child_bases bases = view_child_bases(v);
    for_parent_faces(v, i * v->block_size, f_end, [&](const children_table& t, uint64_t f)
                                                      __attribute__((always_inline)) {
        const uint64_t first = first_child(v, f);
        uint64_t h[view_max_corners], q[view_max_corners], inner[view_max_corners];
        uint64_t half_origin[view_max_corners], half_end[view_max_corners];
        for (uint32_t c = 0; c < t.n_sides; ++c) h[c] = parent_side(v, p, f, c);
        for (uint32_t c = 0; c < t.n_sides; ++c) q[c] = p.iedge_vertex[h[c]];
        if (with_sides) face_halves(v, p, t, f, h, half_origin, half_end, inner);
        for (uint32_t k = 0; k < t.n_children; ++k, ++faces) {
            faces->index = first + k;
            faces->n = t.child_size;
            // a half holds the odd half-edge where its parent side does
            faces->odd_sides = t.inner_odd[k];
            for (uint32_t j = 0; j < t.child_size; ++j) {
                faces->corner[j] = child_vertex(bases, t.corner[k][j], f, h, q);
                const child_ref side = t.side[k][j];
                if (side.kind != child_inner) faces->odd_sides |= uint32_t(h[side.index] & 1) << j;
                if (with_sides)
                    faces->side_edge[j] = side.kind == child_inner       ? inner[side.index]
                                          : side.kind == child_half_origin ? half_origin[side.index]
                                                                           : half_end[side.index];
            }
            if (texcoord)
                std::memcpy(faces->texcoord, texcoord + t.child_size * (first + k),
                            t.child_size * 8);
        }
    });
}

// The child face and side that holds, across parent half-edge h of side c
// of parent face f (whose children t are), the half at the end of h
// (`at_end`) or at its origin, and (Loop) the corner of that child opposite
// the half.
template <typename I>
__attribute__((always_inline)) static inline void
across_in(const level_view* v, const parent_index<I>& p, const children_table& t, uint64_t f,
          uint32_t c, bool at_end, uint64_t* face, uint32_t* side, uint64_t* opposite)
{
    const child_place place = at_end ? t.half_end[c] : t.half_origin[c];
    *face = first_child(v, f) + place.child;
    *side = place.slot;
    if (!v->loop) return;
    // a corner of the parent, or the edge point of one of its sides
    const child_ref point = t.corner[place.child][(place.slot + 2) % 3];
    const uint64_t point_side = parent_side(v, p, f, point.index);
    *opposite = point.kind == child_corner ? uint64_t(p.iedge_vertex[point_side])
                                           : view_child_bases(v).edge_point + (point_side >> 1);
}

template <typename I>
static void across(const level_view* v, const parent_index<I>& p, uint64_t h, bool at_end,
                   uint64_t* face, uint32_t* side, uint64_t* opposite)
{
    const uint64_t f = p.iedge_face[h];
    const uint32_t c = parent_side_of(v, p, f, h);
    if (v->loop)
        across_in(v, p, children_loop, f, c, at_end, face, side, opposite);
    else if (geom_face_size(v->parent) == 4)
        across_in(v, p, children_catmull_clark.size[4], f, c, at_end, face, side, opposite);
    else
        across_in(v, p, face_children(v, f), f, c, at_end, face, side, opposite);
}

template <typename I, bool with_across>
static void children_edges(const level_view* v, uint64_t i, view_edge* edges)
{
    const parent_index<I> p = parent_arrays<I>(v);
    const geom* parent = v->parent;
    const uint64_t f_end = (i + 1) * v->block_size < parent->n_faces ? (i + 1) * v->block_size
                                                                     : parent->n_faces;
    const child_bases bases = view_child_bases(v);
    const float* const sharpness = v->parent_mesh->edge_sharpness;
    uint64_t next = v->first_edge[i];
    for_parent_faces(v, i * v->block_size, f_end, [&](const children_table& t, uint64_t f)
                                                      __attribute__((always_inline)) {
        const uint64_t first = first_child(v, f);
        uint64_t h[view_max_corners], q[view_max_corners], inner[view_max_corners];
        for (uint32_t c = 0; c < t.n_sides; ++c) h[c] = parent_side(v, p, f, c);
        for (uint32_t c = 0; c < t.n_sides; ++c) q[c] = p.iedge_vertex[h[c]];
        // each edge's even half-edge runs from a to b along side sa of child
        // fa; Loop's edge points also need the corners opposite the edge
        auto corner_of = [&](child_place at, uint32_t step) {
            return child_vertex(bases, t.corner[at.child][(at.slot + step) % t.child_size], f, h,
                                q);
        };
        children_number(t, h, &next, inner, [&](child_ref e, uint64_t number) {
            view_edge* r = edges++;
            const child_place even = e.kind == child_inner ? t.inner_even[e.index]
                                     : e.kind == child_half_origin ? t.half_origin[e.index]
                                                                   : t.half_end[e.index];
            r->index = number;
            r->a = corner_of(even, 0);
            r->b = corner_of(even, 1);
            r->fa = first + even.child;
            r->sa = even.slot;
            r->p = r->q = v->loop ? corner_of(even, 2) : 0;
            // the halves of a sharp edge keep what its sharpness leaves
            r->sharpness = sharpness && e.kind != child_inner
                               ? rule_decay(sharpness[h[e.index] >> 1])
                               : 0.0f;
            if (e.kind == child_inner) {
                // the odd half-edge in another child of the same face
                const child_place odd = t.inner_odd_place[e.index];
                r->fb = first + odd.child;
                r->sb = odd.slot;
                if (v->loop) r->q = corner_of(odd, 2);
                return;
            }
            // the odd half-edge across the parent side, in a child of the
            // other face: the half at the origin of h is at the end of its twin
            const uint64_t twin = h[e.index] ^ 1;
            if (parent_faceless(p, twin)) {
                r->fb = mesh_no_face;
                r->sb = 0;
            } else if (!with_across) {
                r->fb = 0;
                r->sb = 0;
            } else {
                across(v, p, twin, e.kind == child_half_origin, &r->fb, &r->sb, &r->q);
            }
        });
    });
}

void view_faces(const level_view* view, uint64_t i, view_face* faces, bool with_sides)
{
    if (view->own)
        own_faces(view, i, faces);
    else if (view->narrow)
        children_faces<uint32_t>(view, i, faces, with_sides);
    else
        children_faces<uint64_t>(view, i, faces, with_sides);
}

void view_edges(const level_view* view, uint64_t i, view_edge* edges, bool across)
{
    if (view->own)
        own_edges(view, i, edges);
    else if (view->narrow)
        across ? children_edges<uint32_t, true>(view, i, edges)
               : children_edges<uint32_t, false>(view, i, edges);
    else
        across ? children_edges<uint64_t, true>(view, i, edges)
               : children_edges<uint64_t, false>(view, i, edges);
}

} // namespace subdiv
