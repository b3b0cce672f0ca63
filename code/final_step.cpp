// The last step of a refinement as OBJ text.
//
// The last level's vertices are the level's vertices moved by the vertex
// rule, then (Catmull-Clark) a face point per face, then an edge point per
// edge, in the order of the level's vertices, faces and edges. The vertex
// rule sums, per vertex, the face points of its faces in ascending face
// order and then the edge points of its edges in ascending edge order
// (Catmull-Clark), or its neighbours in ascending edge order (Loop): the
// passes below compute a block of face or edge points at a time on any
// thread, and add them into the sums in block order, one block after the
// other, so that every sum takes its terms in that order whatever the
// threads. The edge points are computed again when written.
#include "final_step.h"

#include <cstring>

#include "check.h"
#include "children.h"
#include "geom.h"
#include "options.h"
#include "parallel.h"
#include "rules.h"
#include "storage.h"

namespace subdiv {

// Vertices per block of the sections that are not the view's blocks.
static const uint64_t point_block = 8192;

static uint64_t blocks_of(uint64_t n) { return (n + point_block - 1) / point_block; }

static uint64_t block_length(uint64_t n, uint64_t b)
{
    return n - b * point_block < point_block ? n - b * point_block : point_block;
}

// What each thread fills: the view's records of a block, and the values of
// a block of the last level that the writer reads.
struct final_thread {
    view_face* faces;
    view_edge* edges;
    float* point[3];
    uint64_t* corner[4];
    uint64_t* texcoord;
    int32_t* material;
    uint64_t* valence; // the valence entries of a block of vertices
    uint64_t* tag_vertices; // with sharp features: the ends of a block's creases
    float* tag_sharpness;   // and their sharpness, or a block of vertices'
    limit_ring_room ring;   // with limit positions or normals: a vertex's ring
    float* normal[3];       // with normals: a block's, beside a block of points
};

// ---------------------------------------------------------------- the level

// The corner order index of corner k of face f of the level.
static inline uint64_t level_corner(const geom* g, uint64_t f, uint64_t k)
{
    const int n = geom_face_size(g);
    return n ? uint64_t(n) * f + k : g->face_start[f] + k;
}

static inline uint64_t level_face_size(const geom* g, uint64_t f)
{
    const int n = geom_face_size(g);
    return n ? uint64_t(n) : g->face_start[f + 1] - g->face_start[f];
}

// The texture coordinates of the level's face fa at the ends of its side sa.
static inline void side_texcoords(const geom* g, uint64_t f, uint32_t side, uint64_t* from,
                                  uint64_t* to)
{
    const uint64_t n = level_face_size(g, f);
    *from = g->corner_texcoord[level_corner(g, f, side)];
    *to = g->corner_texcoord[level_corner(g, f, (side + 1) % n)];
}

// Whether an edge's two faces give its ends different texture coordinates:
// then its edge point has one per side.
static inline bool edge_seam(const geom* g, const view_edge* e)
{
    if (e->fb == mesh_no_face) return false;
    uint64_t from_a, to_a, from_b, to_b;
    side_texcoords(g, e->fa, e->sa, &from_a, &to_a);
    side_texcoords(g, e->fb, e->sb, &from_b, &to_b);
    return from_a != to_b || to_a != from_b;
}

// ---------------------------------------------------------------- passes in block order

namespace {

struct pass_job {
    final_step* step;
    parallel_turns turns;
    uint64_t* counts;         // edge_texcoord_counts: the texture coordinates of each block
    uint64_t* boundary_ends;  // edge_sum_pass: the two ends of each boundary edge, in edge order
    uint64_t n_boundary;      // boundary edges met so far
};

} // namespace

// Catmull-Clark: the face points of block i, then, in turn, added into the
// sums of their corners.
static void face_point_pass(void* context, uint64_t i, uint32_t thread)
{
    auto* job = static_cast<pass_job*>(context);
    final_step* s = job->step;
    final_thread* t = &s->scratch[thread];
    const float* const p = s->position;
    view_faces(s->view, i, t->faces, false);
    const uint64_t n_faces = view_face_first(s->view, i + 1) - view_face_first(s->view, i);
    for (uint64_t j = 0; j < n_faces; ++j) {
        const view_face* face = &t->faces[j];
        float* point = s->face_point + 3 * face->index;
        for (int axis = 0; axis < 3; ++axis) {
            float sum = p[3 * face->corner[0] + axis];
            for (uint32_t k = 1; k < face->n; ++k) sum = sum + p[3 * face->corner[k] + axis];
            point[axis] = rule_face_point(sum, face->n);
        }
    }
    parallel_turn_wait(&job->turns, i);
    for (uint64_t j = 0; j < n_faces; ++j) {
        const view_face* face = &t->faces[j];
        const float* point = s->face_point + 3 * face->index;
        for (uint32_t k = 0; k < face->n; ++k) {
            float* sum = s->sum + 3 * face->corner[k];
            for (int axis = 0; axis < 3; ++axis) sum[axis] += point[axis];
        }
    }
    parallel_turn_pass(&job->turns);
}

// The edge points of block i (Catmull-Clark) or nothing (Loop), then, in
// turn, the edge points or the neighbours added into the sums of the ends.
// Boundary edges add nothing: their ends take the boundary rule, which
// replaces the sums.
static void edge_sum_pass(void* context, uint64_t i, uint32_t thread)
{
    auto* job = static_cast<pass_job*>(context);
    final_step* s = job->step;
    final_thread* t = &s->scratch[thread];
    const float* const p = s->position;
    const float* const fp = s->face_point;
    // the sums take the neighbours (Loop, classic Catmull-Clark) or the edge
    // points; the neighbours need not the faces across
    const bool neighbours = s->loop || s->classic;
    view_edges(s->view, i, t->edges, !neighbours);
    const uint64_t n_edges = view_edge_first(s->view, i + 1) - view_edge_first(s->view, i);
    float* const points = t->point[0];
    for (uint64_t j = 0; !neighbours && j < n_edges; ++j) {
        const view_edge* e = &t->edges[j];
        if (e->fb == mesh_no_face) continue;
        for (int axis = 0; axis < 3; ++axis) {
            const float a = p[3 * e->a + axis], b = p[3 * e->b + axis];
            const float point = rule_cc_edge_point(fp[3 * e->fa + axis], fp[3 * e->fb + axis], a, b);
            points[3 * j + axis] = s->sharp ? rule_sharp_edge(point, a, b, e->sharpness) : point;
        }
    }
    parallel_turn_wait(&job->turns, i);
    for (uint64_t j = 0; j < n_edges; ++j) {
        const view_edge* e = &t->edges[j];
        // the vertex rules meet the sharp edges in ascending order
        if (s->sharp && e->sharpness > 0.0f) sharp_walk_edge(&s->walk, e->a, e->b, e->sharpness);
        if (e->fb == mesh_no_face) {
            job->boundary_ends[2 * job->n_boundary] = e->a;
            job->boundary_ends[2 * job->n_boundary + 1] = e->b;
            job->n_boundary += 1;
            continue;
        }
        float* const sum_a = s->sum + 3 * e->a;
        float* const sum_b = s->sum + 3 * e->b;
        const float* const add_a = neighbours ? p + 3 * e->b : points + 3 * j;
        const float* const add_b = neighbours ? p + 3 * e->a : points + 3 * j;
        for (int axis = 0; axis < 3; ++axis) sum_a[axis] += add_a[axis];
        for (int axis = 0; axis < 3; ++axis) sum_b[axis] += add_b[axis];
    }
    parallel_turn_pass(&job->turns);
}

// With texture coordinates: how many each edge of block i gives the last
// level (two on a seam), into edge_texcoord, and their total per block.
static void edge_texcoord_counts(void* context, uint64_t i, uint32_t thread)
{
    auto* job = static_cast<pass_job*>(context);
    final_step* s = job->step;
    final_thread* t = &s->scratch[thread];
    view_edges(s->view, i, t->edges);
    const uint64_t first = view_edge_first(s->view, i);
    const uint64_t n_edges = view_edge_first(s->view, i + 1) - first;
    uint64_t total = 0;
    for (uint64_t j = 0; j < n_edges; ++j) {
        const uint64_t count = edge_seam(s->level, &t->edges[j]) ? 2 : 1;
        s->edge_texcoord[first + j] = count;
        total += count;
    }
    job->counts[i] = total;
}

// The counts of block i turned into numbers, from the block's first.
static void edge_texcoord_numbers(void* context, uint64_t i, uint32_t)
{
    auto* job = static_cast<pass_job*>(context);
    final_step* s = job->step;
    uint64_t next = job->counts[i];
    const uint64_t end = view_edge_first(s->view, i + 1);
    for (uint64_t e = view_edge_first(s->view, i); e < end; ++e) {
        const uint64_t count = s->edge_texcoord[e];
        s->edge_texcoord[e] = next;
        next += count;
    }
}

// The boundary vertices' new positions into the sums, over the level's
// boundary edges in ascending order (their ends, as the edge pass met them).
// False, the sums as they were, when memory is refused.
static bool boundary_pass(final_step* s, const uint64_t* ends, uint64_t n_boundary,
                          bool smooth_corners)
{
    if (n_boundary == 0) return true;
    const float* const in[3] = {s->position, s->position + 1, s->position + 2};
    float* const out[3] = {s->sum, s->sum + 1, s->sum + 2};
    boundary_walk walk;
    if (!boundary_walk_begin(&walk, in, out, 3, s->view->n_vertices, smooth_corners))
        return false;
    for (uint64_t k = 0; k < n_boundary; ++k) {
        const uint64_t valence[2] = {view_valence(s->view, ends[2 * k]),
                                     view_valence(s->view, ends[2 * k + 1])};
        boundary_walk_edge(&walk, ends + 2 * k, valence);
    }
    boundary_walk_end(&walk);
    return true;
}

// ---------------------------------------------------------------- preparation

static float* alloc_floats(uint64_t n) { return static_cast<float*>(mem_alloc(n * 4)); }

static inline void moved_point(const final_step* s, uint64_t v, uint64_t entry, float point[3]);
static inline void edge_point_of(const final_step* s, const view_edge* e, float point[3]);

// The last level's points of the level's vertices [i point_block, ...), in
// place of their sums (each vertex's point reads its own sum alone).
static void moved_pass(void* context, uint64_t i, uint32_t thread)
{
    final_step* s = static_cast<pass_job*>(context)->step;
    final_thread* t = &s->scratch[thread];
    const uint64_t first = i * point_block, V = s->view->n_vertices;
    const uint64_t n = V - first < point_block ? V - first : point_block;
    view_valences(s->view, first, n, t->valence);
    for (uint64_t j = 0; j < n; ++j) {
        float point[3];
        moved_point(s, first + j, t->valence[j], point);
        for (int axis = 0; axis < 3; ++axis) s->sum[3 * (first + j) + axis] = point[axis];
    }
}

// The last level's points of the edges of the view's block i.
static void edge_point_pass(void* context, uint64_t i, uint32_t thread)
{
    final_step* s = static_cast<pass_job*>(context)->step;
    final_thread* t = &s->scratch[thread];
    view_edges(s->view, i, t->edges);
    const uint64_t n = view_edge_first(s->view, i + 1) - view_edge_first(s->view, i);
    for (uint64_t j = 0; j < n; ++j)
        edge_point_of(s, &t->edges[j], s->edge_point + 3 * t->edges[j].index);
}

// With limit positions or normals: the last level's points that the rings
// read, held (the vertices' in place of their sums; the level's own
// positions go once they are made), the fans of the level's vertices, the
// masks and a ring per thread. False when memory is refused.
static bool limit_prepare(final_step* s, pass_job* job, const subdiv_options* options)
{
    const level_view* view = s->view;
    CHECK(view->own != nullptr, "final_step: limit rings need the level's own connectivity");
    s->edge_point = alloc_floats(3 * view->n_edges);
    if (!s->edge_point) return false;
    parallel_for(s->threads, view->n_blocks, edge_point_pass, job);
    parallel_for(s->threads, blocks_of(view->n_vertices), moved_pass, job);
    s->moved = s->sum;
    s->sum = nullptr;
    mem_release(&s->position);
    if (s->sharp) sharp_walk_end(&s->walk);
    if (!vertex_fans_build(&s->fans, view->own, view->level, s->threads) ||
        !limit_masks_init(&s->masks, s->loop, options_classic_rule(options)))
        return false;
    // a ring is a vertex's edges, at most a face's corners or six round a new vertex
    const uint64_t capacity = s->fans.most_edges > children_most_sides ? s->fans.most_edges
                                                                       : children_most_sides;
    const uint64_t block = 2 * s->max_edges > point_block ? 2 * s->max_edges : point_block;
    for (uint32_t i = 0; i < s->threads; ++i) {
        final_thread* t = &s->scratch[i];
        if (!limit_ring_alloc(&t->ring, capacity, s->loop)) return false;
        for (int axis = 0; s->normals && axis < 3; ++axis)
            if (!(t->normal[axis] = alloc_floats(block))) return false;
    }
    s->parent = {view->own, view->level, &s->fans, s->loop, s->smooth_corners,
                 s->moved, s->face_point, s->edge_point};
    return true;
}

// What each thread holds for a block of at most max_faces faces and
// max_edges edges; false when memory is refused (final_step_free releases
// what was allocated).
static bool scratch_alloc(final_step* s)
{
    const geom* g = s->level;
    const uint64_t children = geom_face_size(g) == 0 ? view_max_corners : 4;
    // three floats per point (two texture coordinates per edge at most)
    const uint64_t points = 3 * (2 * s->max_edges > point_block ? 2 * s->max_edges : point_block);
    s->scratch = static_cast<final_thread*>(mem_alloc(s->threads * sizeof(final_thread)));
    if (!s->scratch) return false;
    std::memset(s->scratch, 0, s->threads * sizeof(final_thread));
    bool allocated = true;
    for (uint32_t t = 0; t < s->threads && allocated; ++t) {
        final_thread* scratch = &s->scratch[t];
        scratch->faces = static_cast<view_face*>(mem_alloc(s->max_faces * sizeof(view_face)));
        scratch->edges = static_cast<view_edge*>(mem_alloc(s->max_edges * sizeof(view_edge)));
        allocated = scratch->faces && scratch->edges;
        for (int axis = 0; axis < 3; ++axis) {
            scratch->point[axis] = alloc_floats(points);
            allocated = allocated && scratch->point[axis];
        }
        for (int k = 0; k < 4; ++k) {
            scratch->corner[k] = static_cast<uint64_t*>(mem_alloc(children * s->max_faces * 8));
            allocated = allocated && scratch->corner[k];
        }
        if (g->tex_u) {
            scratch->texcoord =
                static_cast<uint64_t*>(mem_alloc(4 * children * s->max_faces * 8));
            allocated = allocated && scratch->texcoord;
        }
        if (g->face_material) {
            scratch->material = static_cast<int32_t*>(mem_alloc(children * s->max_faces * 4));
            allocated = allocated && scratch->material;
        }
        scratch->valence = static_cast<uint64_t*>(mem_alloc(point_block * 8));
        allocated = allocated && scratch->valence;
        if (view_sharp(s->view)) {
            // two creases per edge of a block, or a block of vertices
            const uint64_t tags = 2 * s->max_edges > point_block ? 2 * s->max_edges : point_block;
            scratch->tag_vertices = static_cast<uint64_t*>(mem_alloc(2 * tags * 8));
            scratch->tag_sharpness = alloc_floats(tags);
            allocated = allocated && scratch->tag_vertices && scratch->tag_sharpness;
        }
    }
    return allocated;
}

// Releases what a preparation that memory was refused to holds; returns false.
static bool prepare_refused(final_step* s, pass_job* job)
{
    mem_release(&job->boundary_ends);
    mem_release(&job->counts);
    final_step_free(s);
    return false;
}

// The level's positions of block i side by side.
static void interleave_positions(void* context, uint64_t i, uint32_t)
{
    final_step* s = static_cast<pass_job*>(context)->step;
    const geom* g = s->level;
    const uint64_t first = i * point_block;
    const uint64_t end = first + point_block < g->n_vertices ? first + point_block : g->n_vertices;
    for (uint64_t v = first; v < end; ++v) {
        s->position[3 * v] = g->x[v];
        s->position[3 * v + 1] = g->y[v];
        s->position[3 * v + 2] = g->z[v];
    }
}

// The sums of block i's vertices set to zero.
static void clear_sums(void* context, uint64_t i, uint32_t)
{
    final_step* s = static_cast<pass_job*>(context)->step;
    std::memset(s->sum + 3 * i * point_block, 0, block_length(s->level->n_vertices, i) * 3 * 4);
}

bool final_step_prepare(final_step* step, const level_view* view, const subdiv_options* options,
                        uint32_t threads, geom* owned_level)
{
    final_step* s = step;
    *s = final_step{};
    s->view = view;
    s->level = view->level;
    s->loop = view->loop;
    s->threads = threads < 1 ? 1 : threads;
    const geom* g = s->level;
    const uint64_t V = view->n_vertices, F = view->n_faces, E = view->n_edges;
    CHECK(g->n_vertices == V && g->n_faces == F, "final_step_prepare: a view of another level");

    for (uint64_t valence = 0; valence < 64; ++valence) {
        if (s->loop)
            loop_vertex_weights(uint32_t(valence), &s->weight[0][valence], &s->weight[1][valence]);
        else
            catmull_clark_vertex_weights(valence, &s->weight[0][valence], &s->weight[1][valence]);
    }
    s->n_vertices = V + (s->loop ? 0 : F) + E;
    s->n_faces = s->loop ? 4 * F : geom_corner_count(g);

    // the largest blocks, and what a thread holds for one
    for (uint64_t i = 0; i < view->n_blocks; ++i) {
        const uint64_t faces = view_face_first(view, i + 1) - view_face_first(view, i);
        const uint64_t edges = view_edge_first(view, i + 1) - view_edge_first(view, i);
        if (faces > s->max_faces) s->max_faces = faces;
        if (edges > s->max_edges) s->max_edges = edges;
    }

    // the positions side by side, in place of the level's own when the
    // caller lets them go; the sums, from zero; the face points
    pass_job job;
    job.step = s;
    job.turns.next = 0;
    job.counts = nullptr;
    job.boundary_ends = nullptr;
    job.n_boundary = 0;
    if (!scratch_alloc(s)) return prepare_refused(s, &job);
    job.boundary_ends = static_cast<uint64_t*>(mem_alloc(2 * view->n_boundary * 8));
    s->position = alloc_floats(3 * V);
    if (!job.boundary_ends || !s->position) return prepare_refused(s, &job);
    parallel_for(s->threads, blocks_of(V), interleave_positions, &job);
    if (owned_level) {
        CHECK(owned_level == g, "final_step_prepare: the positions of another level");
        mem_release(&owned_level->x);
        mem_release(&owned_level->y);
        mem_release(&owned_level->z);
    }
    // the sums and the face points take the pages of the level's positions
    s->sum = alloc_floats(3 * V);
    if (!s->loop) s->face_point = alloc_floats(3 * F);
    if (!s->sum || (!s->loop && !s->face_point)) return prepare_refused(s, &job);
    parallel_for(s->threads, blocks_of(V), clear_sums, &job);
    if (!s->loop) {
        parallel_for(s->threads, view->n_blocks, face_point_pass, &job);
        job.turns.next = 0;
    }
    s->smooth_corners = options_smooth_corners(options);
    s->classic = options_classic_rule(options);
    s->sharp = view_sharp(view);
    if (s->sharp) {
        // the vertex rules of sharp features, which the boundary's follow too
        if (view_has_vertex_sharpness(view)) {
            s->vertex_sharpness = alloc_floats(V);
            if (!s->vertex_sharpness) return prepare_refused(s, &job);
            view_vertex_sharpness(view, 0, V, s->vertex_sharpness);
        }
        const float* const in[3] = {s->position, s->position + 1, s->position + 2};
        if (!sharp_walk_begin(&s->walk, in, 3, V, s->vertex_sharpness,
                              view_sharpness_changes(view)))
            return prepare_refused(s, &job);
    }
    parallel_for(s->threads, view->n_blocks, edge_sum_pass, &job);
    CHECK(job.n_boundary == view->n_boundary, "final_step: %llu boundary edges met, not %llu",
          (unsigned long long)job.n_boundary, (unsigned long long)view->n_boundary);
    if (!s->sharp && !boundary_pass(s, job.boundary_ends, job.n_boundary, s->smooth_corners))
        return prepare_refused(s, &job);
    mem_release(&job.boundary_ends);
    s->limit = options_limit(options);
    s->normals = options_normals(options);
    if ((s->limit || s->normals) && !limit_prepare(s, &job, options))
        return prepare_refused(s, &job);

    if (g->tex_u) {
        // the old texture coordinates, one per face (Catmull-Clark), then
        // the edges' in edge order
        s->edge_texcoord = static_cast<uint64_t*>(mem_alloc((E + 1) * 8));
        job.counts = static_cast<uint64_t*>(mem_alloc(view->n_blocks * 8 + 8));
        if (!s->edge_texcoord || !job.counts) return prepare_refused(s, &job);
        parallel_for(s->threads, view->n_blocks, edge_texcoord_counts, &job);
        uint64_t next = g->n_texcoords + (s->loop ? 0 : F);
        for (uint64_t i = 0; i < view->n_blocks; ++i) {
            const uint64_t count = job.counts[i];
            job.counts[i] = next;
            next += count;
        }
        parallel_for(s->threads, view->n_blocks, edge_texcoord_numbers, &job);
        s->edge_texcoord[E] = next;
        s->n_texcoords = next;
        mem_release(&job.counts);
        s->uv_rings = options_uv_mode(options) != subdiv_uv_linear;
        if (s->uv_rings) {
            CHECK(view->own != nullptr,
                  "final_step: texture coordinate rings need the level's own connectivity");
            s->uv = {view->own, g, options_uv_mode(options), s->loop, s->classic,
                     s->smooth_corners, nullptr, nullptr, nullptr};
            if (!s->loop) {
                s->face_uv = alloc_floats(2 * F);
                if (!s->face_uv) return prepare_refused(s, &job);
                uv_face_points(&s->uv, 0, F, s->face_uv);
                s->uv.face_uv = s->face_uv;
            }
            if (!uv_level_prepare(&s->uv, s->threads) ||
                !uv_moved_compute(&s->uv, s->threads, &s->uv_values))
                return prepare_refused(s, &job);
            s->extra_base = next;
            s->n_texcoords = next + s->uv_values.n_extra;
        }
    }
    if (g->face_material) {
        s->material_names = geom_material_name_table(g);
        // the last material named before each block; faces of none name none
        s->material_before = static_cast<int32_t*>(mem_alloc(view->n_blocks * 4 + 4));
        if (!s->material_names || !s->material_before) return prepare_refused(s, &job);
        int32_t material = -1;
        uint64_t block = 0;
        for (uint64_t f = 0; f < F; ++f) {
            while (block < view->n_blocks && view_face_first(view, block) == f)
                s->material_before[block++] = material;
            if (g->face_material[f] >= 0) material = g->face_material[f];
        }
    }
    return true;
}

void final_step_free(final_step* step)
{
    for (uint32_t t = 0; step->scratch && t < step->threads; ++t) {
        final_thread* scratch = &step->scratch[t];
        mem_free(scratch->faces);
        mem_free(scratch->edges);
        for (int axis = 0; axis < 3; ++axis) mem_free(scratch->point[axis]);
        for (int k = 0; k < 4; ++k) mem_free(scratch->corner[k]);
        mem_free(scratch->texcoord);
        mem_free(scratch->material);
        mem_free(scratch->valence);
        mem_free(scratch->tag_vertices);
        mem_free(scratch->tag_sharpness);
        limit_ring_free(&scratch->ring);
        for (int axis = 0; axis < 3; ++axis) mem_free(scratch->normal[axis]);
    }
    mem_free(step->scratch);
    mem_free(step->position);
    mem_free(step->sum);
    mem_free(step->face_point);
    mem_free(step->edge_texcoord);
    mem_free(step->material_before);
    mem_free(step->material_names);
    mem_free(step->vertex_sharpness);
    if (step->sharp) sharp_walk_end(&step->walk);
    mem_free(step->moved);
    mem_free(step->edge_point);
    vertex_fans_free(&step->fans);
    limit_masks_free(&step->masks);
    uv_moved_free(&step->uv_values);
    uv_level_release(&step->uv);
    mem_free(step->face_uv);
    *step = final_step{};
}

// ---------------------------------------------------------------- the blocks of the text


// The last level's point of vertex v of the level, whose valence entry is
// `entry`: the boundary rule's position, else the vertex rule over its sum.
static inline void moved_point(const final_step* s, uint64_t v, uint64_t entry, float point[3])
{
    const float* const p = s->position + 3 * v;
    const float* const sum = s->sum + 3 * v;
    if (!s->sharp && mesh_boundary_count(entry) > 0) {
        // the boundary rule's point, which the boundary pass left there
        for (int axis = 0; axis < 3; ++axis) point[axis] = sum[axis];
        return;
    }
    const uint64_t valence = mesh_valence(entry);
    float weight_old, weight_sum;
    if (valence < 64) {
        weight_old = s->weight[0][valence];
        weight_sum = s->weight[1][valence];
    } else if (s->loop) {
        loop_vertex_weights(uint32_t(valence), &weight_old, &weight_sum);
    } else {
        catmull_clark_vertex_weights(valence, &weight_old, &weight_sum);
    }
    for (int axis = 0; axis < 3; ++axis)
        point[axis] = rule_smooth_vertex(p[axis], weight_old, sum[axis], weight_sum);
    if (s->sharp)
        sharp_walk_vertex(&s->walk, v, rule_implicit_corner(entry, s->smooth_corners), point);
}

// The moved vertices of block b: the boundary rule's positions, else the
// vertex rule over the sums.
static void moved_vertices(final_step* s, uint64_t b, final_thread* t, obj_points* points)
{
    const uint64_t first = b * point_block, n = block_length(s->view->n_vertices, b);
    view_valences(s->view, first, n, t->valence);
    for (uint64_t j = 0; j < n; ++j) {
        float point[3];
        moved_point(s, first + j, t->valence[j], point);
        for (int axis = 0; axis < 3; ++axis) t->point[axis][j] = point[axis];
    }
    *points = {n, {t->point[0], t->point[1], t->point[2]}};
}

// The last level's point of an edge of the level.
static inline void edge_point_of(const final_step* s, const view_edge* e, float point[3])
{
    const float* const p = s->position;
    const float* const fp = s->face_point;
    for (int axis = 0; axis < 3; ++axis) {
        const float a = p[3 * e->a + axis], b = p[3 * e->b + axis];
        float smooth;
        if (e->fb == mesh_no_face)
            smooth = rule_midpoint(a, b);
        else if (s->loop)
            smooth = rule_loop_edge_point(a, b, p[3 * e->p + axis], p[3 * e->q + axis]);
        else
            smooth = rule_cc_edge_point(fp[3 * e->fa + axis], fp[3 * e->fb + axis], a, b);
        point[axis] = s->sharp ? rule_sharp_edge(smooth, a, b, e->sharpness) : smooth;
    }
}

// The edge points of the view's block i.
static void edge_points(final_step* s, uint64_t i, final_thread* t, obj_points* points)
{
    view_edges(s->view, i, t->edges);
    const uint64_t n = view_edge_first(s->view, i + 1) - view_edge_first(s->view, i);
    for (uint64_t j = 0; j < n; ++j) {
        float point[3];
        edge_point_of(s, &t->edges[j], point);
        for (int axis = 0; axis < 3; ++axis) t->point[axis][j] = point[axis];
    }
    *points = {n, {t->point[0], t->point[1], t->point[2]}};
}

// ---------------------------------------------------------------- limit positions and normals

// The last level's points of block b of its vertices, the section of the
// view's vertices, faces (Catmull-Clark) or edges it lies in: their limit
// positions, or their normals (in the thread's arrays of normals), or
// (neither) their points as held.
static void limit_points(final_step* s, uint64_t b, final_thread* t, bool normals,
                         obj_points* points)
{
    const level_view* view = s->view;
    const uint64_t moved = blocks_of(view->n_vertices);
    const uint64_t faces = s->loop ? 0 : blocks_of(view->n_faces);
    const bool rings = normals || s->limit;
    float* const* const out = normals ? t->normal : t->point;
    limit_ring ring = {};
    ring.p = t->ring.p;
    ring.d = t->ring.d;
    ring.flags = t->ring.flags;
    uint64_t first, n;
    const float* held;
    void (*ring_of)(const limit_parent*, uint64_t, limit_ring*);
    if (b < moved) {
        first = b * point_block;
        n = block_length(view->n_vertices, b);
        held = s->moved;
        ring_of = limit_ring_old_vertex;
    } else if (b < moved + faces) {
        first = (b - moved) * point_block;
        n = block_length(view->n_faces, b - moved);
        held = s->face_point;
        ring_of = limit_ring_face_point;
    } else {
        const uint64_t i = b - moved - faces;
        first = view_edge_first(view, i);
        n = view_edge_first(view, i + 1) - first;
        held = s->edge_point;
        ring_of = limit_ring_edge_point;
    }
    for (uint64_t j = 0; j < n; ++j) {
        float point[3];
        if (!rings) {
            for (int axis = 0; axis < 3; ++axis) point[axis] = held[3 * (first + j) + axis];
        } else {
            ring_of(&s->parent, first + j, &ring);
            if (normals)
                limit_normal(&s->masks, &ring, point);
            else
                limit_position(&s->masks, &ring, point);
        }
        for (int axis = 0; axis < 3; ++axis) out[axis][j] = point[axis];
    }
    *points = {n, {out[0], out[1], out[2]}};
}

static void final_normals(void* context, uint64_t b, uint32_t thread, obj_points* points)
{
    auto* s = static_cast<final_step*>(context);
    limit_points(s, b, &s->scratch[thread], true, points);
}

static void final_vertices(void* context, uint64_t b, uint32_t thread, obj_points* points)
{
    auto* s = static_cast<final_step*>(context);
    final_thread* t = &s->scratch[thread];
    if (s->limit || s->normals) return limit_points(s, b, t, false, points);
    const uint64_t moved = blocks_of(s->view->n_vertices);
    const uint64_t faces = s->loop ? 0 : blocks_of(s->view->n_faces);
    if (b < moved) {
        moved_vertices(s, b, t, points);
    } else if (b < moved + faces) {
        const uint64_t first = (b - moved) * point_block;
        const uint64_t n = block_length(s->view->n_faces, b - moved);
        for (uint64_t j = 0; j < n; ++j)
            for (int axis = 0; axis < 3; ++axis)
                t->point[axis][j] = s->face_point[3 * (first + j) + axis];
        *points = {n, {t->point[0], t->point[1], t->point[2]}};
    } else {
        edge_points(s, b - moved - faces, t, points);
    }
}

// The texture coordinates of block b: the level's own, the faces' means
// (Catmull-Clark), then each edge's one or two.
static void final_texcoords(void* context, uint64_t b, uint32_t thread, obj_points* points)
{
    auto* s = static_cast<final_step*>(context);
    final_thread* t = &s->scratch[thread];
    const geom* g = s->level;
    const float* const tex[2] = {g->tex_u, g->tex_v};
    const uint64_t own = blocks_of(g->n_texcoords);
    const uint64_t faces = s->loop ? 0 : blocks_of(g->n_faces);
    if (b < own) {
        const uint64_t first = b * point_block;
        const float* const values[2] = {s->uv_rings ? s->uv_values.u : g->tex_u,
                                        s->uv_rings ? s->uv_values.v : g->tex_v};
        *points = {block_length(g->n_texcoords, b),
                   {values[0] + first, values[1] + first, nullptr}};
        return;
    }
    if (b < own + faces) {
        const uint64_t first = (b - own) * point_block, n = block_length(g->n_faces, b - own);
        for (uint64_t j = 0; j < n; ++j) {
            const uint64_t f = first + j, size = level_face_size(g, f);
            const uint64_t* const corners = g->corner_texcoord + level_corner(g, f, 0);
            for (int axis = 0; axis < 2; ++axis) {
                float sum = tex[axis][corners[0]];
                for (uint64_t k = 1; k < size; ++k) sum = sum + tex[axis][corners[k]];
                t->point[axis][j] = rule_face_point(sum, uint32_t(size));
            }
        }
        *points = {n, {t->point[0], t->point[1], nullptr}};
        return;
    }
    const uint64_t i = b - own - faces;
    if (i >= s->view->n_blocks) {
        // the extra values of the modes other than linear
        const uint64_t first = (i - s->view->n_blocks) * point_block;
        const uint64_t U = g->n_texcoords;
        *points = {block_length(s->uv_values.n_extra, i - s->view->n_blocks),
                   {s->uv_values.u + U + first, s->uv_values.v + U + first, nullptr}};
        return;
    }
    view_edges(s->view, i, t->edges);
    const uint64_t n = view_edge_first(s->view, i + 1) - view_edge_first(s->view, i);
    uint64_t out = 0;
    for (uint64_t j = 0; s->uv_rings && j < n; ++j) {
        float values[2][2];
        const uint32_t count = uv_edge_points(&s->uv, t->edges[j].index, values);
        for (uint32_t k = 0; k < count; ++k, ++out)
            for (int axis = 0; axis < 2; ++axis) t->point[axis][out] = values[k][axis];
    }
    for (uint64_t j = 0; !s->uv_rings && j < n; ++j) {
        const view_edge* e = &t->edges[j];
        uint64_t from, to;
        side_texcoords(g, e->fa, e->sa, &from, &to);
        for (int axis = 0; axis < 2; ++axis)
            t->point[axis][out] = rule_midpoint(tex[axis][from], tex[axis][to]);
        ++out;
        if (s->edge_texcoord[e->index + 1] - s->edge_texcoord[e->index] == 2) {
            side_texcoords(g, e->fb, e->sb, &from, &to);
            for (int axis = 0; axis < 2; ++axis)
                t->point[axis][out] = rule_midpoint(tex[axis][from], tex[axis][to]);
            ++out;
        }
    }
    *points = {out, {t->point[0], t->point[1], nullptr}};
}

// The texture coordinate of the last level at the edge point of side k of
// a face: the edge's first, or its second where the face holds the odd
// half-edge of a seam.
static inline uint64_t side_texcoord(const final_step* s, const view_face* face, uint32_t k)
{
    const uint64_t e = face->side_edge[k];
    const uint64_t first = s->edge_texcoord[e];
    const bool seam = s->edge_texcoord[e + 1] - first == 2;
    return first + ((face->odd_sides >> k & 1) && seam ? 1 : 0);
}

// The texture coordinate of the last level at corner k of a face: the
// level's, or the extra value the corner takes.
static inline uint64_t corner_texcoord(const final_step* s, const view_face* face, uint32_t k)
{
    const uint64_t* const extra = s->uv_values.corner_extra;
    if (!extra) return face->texcoord[k];
    const uint64_t x = extra[level_corner(s->level, face->index, k)];
    return x == UINT64_MAX ? face->texcoord[k] : s->extra_base + x;
}

// The children of the faces of the view's block i.
static void final_faces(void* context, uint64_t i, uint32_t thread, obj_faces* faces)
{
    auto* s = static_cast<final_step*>(context);
    final_thread* t = &s->scratch[thread];
    const geom* g = s->level;
    view_faces(s->view, i, t->faces, true);
    const uint64_t n_faces = view_face_first(s->view, i + 1) - view_face_first(s->view, i);
    const uint64_t V = s->view->n_vertices, F = s->view->n_faces;
    const uint64_t U = g->n_texcoords;
    const bool uv = g->tex_u != nullptr;
    uint64_t out = 0;
    for (uint64_t j = 0; j < n_faces; ++j) {
        const view_face* face = &t->faces[j];
        const int32_t material = g->face_material ? g->face_material[face->index] : -1;
        if (s->loop) {
            // (c0 m0 m2) (m0 c1 m1) (m1 c2 m2) (m1 m2 m0)
            const uint64_t c[3] = {face->corner[0], face->corner[1], face->corner[2]};
            const uint64_t m[3] = {V + face->side_edge[0], V + face->side_edge[1],
                                   V + face->side_edge[2]};
            const uint64_t table[4][3] = {
                {c[0], m[0], m[2]}, {m[0], c[1], m[1]}, {m[1], c[2], m[2]}, {m[1], m[2], m[0]}};
            uint64_t tc[4][3];
            if (uv) {
                uint64_t ct[3] = {face->texcoord[0], face->texcoord[1], face->texcoord[2]};
                for (uint32_t k = 0; k < 3; ++k) ct[k] = corner_texcoord(s, face, k);
                const uint64_t mt[3] = {side_texcoord(s, face, 0), side_texcoord(s, face, 1),
                                        side_texcoord(s, face, 2)};
                const uint64_t texcoords[4][3] = {{ct[0], mt[0], mt[2]},
                                                  {mt[0], ct[1], mt[1]},
                                                  {mt[1], ct[2], mt[2]},
                                                  {mt[1], mt[2], mt[0]}};
                std::memcpy(tc, texcoords, sizeof tc);
            }
            for (int child = 0; child < 4; ++child, ++out) {
                for (int k = 0; k < 3; ++k) t->corner[k][out] = table[child][k];
                if (uv) std::memcpy(t->texcoord + 3 * out, tc[child], 3 * 8);
                if (t->material) t->material[out] = material;
            }
            continue;
        }
        // child c: (corner c, edge point of side c, face point, edge point of side c - 1)
        const uint32_t n = face->n;
        for (uint32_t c = 0; c < n; ++c, ++out) {
            const uint32_t before = (c + n - 1) % n;
            t->corner[0][out] = face->corner[c];
            t->corner[1][out] = V + F + face->side_edge[c];
            t->corner[2][out] = V + face->index;
            t->corner[3][out] = V + F + face->side_edge[before];
            if (uv) {
                uint64_t* tc = t->texcoord + 4 * out;
                tc[0] = corner_texcoord(s, face, c);
                tc[1] = side_texcoord(s, face, c);
                tc[2] = U + face->index;
                tc[3] = side_texcoord(s, face, before);
            }
            if (t->material) t->material[out] = material;
        }
    }
    *faces = obj_faces{};
    faces->count = out;
    faces->face_size = s->loop ? 3 : 4;
    for (int k = 0; k < 4; ++k) faces->corner[k] = t->corner[k];
    faces->texcoord = uv ? t->texcoord : nullptr;
    faces->material = t->material;
    faces->material_before = s->material_before ? s->material_before[i] : -1;
}

// The sharp features the last level keeps, block by block: the creases
// that the level's edges in the view's block b leave (two halves each, as
// sharpness_output_step lists them), then the vertices' sharpness.
static void final_tags(void* context, uint64_t b, uint32_t thread, obj_tags* tags)
{
    auto* s = static_cast<final_step*>(context);
    final_thread* t = &s->scratch[thread];
    const level_view* view = s->view;
    *tags = obj_tags{};
    if (b < view->n_blocks) {
        view_edges(view, b, t->edges);
        const uint64_t n = view_edge_first(view, b + 1) - view_edge_first(view, b);
        const uint64_t edge_points = view->n_vertices + (s->loop ? 0 : view->n_faces);
        uint64_t out = 0;
        for (uint64_t j = 0; j < n; ++j) {
            const view_edge* e = &t->edges[j];
            const float d = rule_decay(e->sharpness);
            if (e->fb == mesh_no_face || !(d > 0.0f)) continue;
            for (const uint64_t end : {e->a, e->b}) {
                t->tag_vertices[2 * out] = end;
                t->tag_vertices[2 * out + 1] = edge_points + e->index;
                t->tag_sharpness[out++] = d;
            }
        }
        tags->n_creases = out;
        tags->crease_vertices = t->tag_vertices;
        tags->crease_sharpness = t->tag_sharpness;
        return;
    }
    // the level's vertices keep what their sharpness leaves, but for the
    // boundary's implicit corners
    b -= view->n_blocks;
    const uint64_t first = b * point_block, n = block_length(view->n_vertices, b);
    view_valences(view, first, n, t->valence);
    for (uint64_t j = 0; j < n; ++j)
        t->tag_sharpness[j] = rule_implicit_corner(t->valence[j], s->smooth_corners)
                                  ? 0.0f
                                  : rule_decay(s->vertex_sharpness[first + j]);
    tags->first_vertex = first;
    tags->n_vertices = n;
    tags->vertex_sharpness = t->tag_sharpness;
}

void final_step_source(final_step* step, obj_source* source)
{
    const geom* g = step->level;
    const level_view* view = step->view;
    *source = obj_source{};
    source->n_vertices = step->n_vertices;
    source->n_texcoords = step->n_texcoords;
    source->n_faces = step->n_faces;
    source->texcoords = g->tex_u != nullptr;
    if (g->face_material) {
        source->material_library = g->material_library;
        source->material_names = step->material_names;
    }
    source->vertex_blocks =
        blocks_of(view->n_vertices) + (step->loop ? 0 : blocks_of(view->n_faces)) + view->n_blocks;
    source->texcoord_blocks = g->tex_u ? blocks_of(g->n_texcoords) +
                                             (step->loop ? 0 : blocks_of(view->n_faces)) +
                                             view->n_blocks + blocks_of(step->uv_values.n_extra)
                                       : 0;
    source->face_blocks = view->n_blocks;
    source->vertices = final_vertices;
    source->texcoord_points = final_texcoords;
    source->faces = final_faces;
    if (step->sharp) {
        source->tag_blocks =
            view->n_blocks + (step->vertex_sharpness ? blocks_of(view->n_vertices) : 0);
        source->tags = final_tags;
    }
    source->context = step;
    if (step->normals) {
        source->normals = true;
        source->normal_blocks = source->vertex_blocks;
        source->normal_points = final_normals;
    }
}

} // namespace subdiv
