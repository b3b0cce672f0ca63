// Half-edge connectivity by pairing corners: each corner's twin is found
// among the corners that leave its destination, listed by origin vertex.
//
// The edge map's construction numbers an edge when a scan of the faces, each
// from corner 0, first meets it, and gives that corner the even half-edge. A
// corner (in scan order, the corners' own order) is therefore the first of
// its edge when it has no twin or its twin comes later, and the edge's number
// is the count of such first corners before it. Counting them block by block
// of faces and adding up the counts numbers every edge on the threads; the
// corners that come second take the odd half-edge of their twin's edge.
#include "mesh_twins.h"

#include <atomic>
#include <cstring>

#include "error.h"
#include "parallel.h"
#include "storage.h"

namespace subdiv {

namespace {

// What pair_twins did.
enum class twins_outcome {
    built,    // *m holds the connectivity but its boundary list and counts
    declined, // a fault in the faces, or counts past 32 bits: *m cleared
    refused,  // memory refused: *m cleared
};

constexpr uint32_t no_corner = ~uint32_t(0);

// Faces per block of the passes on threads.
constexpr uint64_t twins_block = 8192;

// A corner listed under its origin: the vertex it leads to, and its number.
struct listed_corner {
    uint32_t destination;
    uint32_t corner;
};

struct twins_job {
    const geom* g;
    mesh* m;
    const uint32_t* start;        // V + 1 offsets into listed, by origin
    const listed_corner* listed;  // every corner, by origin
    uint32_t* twin;               // per corner: the twin corner, or no_corner
    uint64_t* block_edges;        // per block: its first corners, then the edges before it
    std::atomic<bool> fault;      // a directed edge met twice
};

// The corners of face f into q, and the number of its first corner; the
// face's size.
template <int N>
__attribute__((always_inline)) inline int face_corners(const geom* g, uint64_t f, uint64_t q[15],
                                                       uint64_t* first)
{
    if (N) {
        const uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
        for (int k = 0; k < N; ++k) q[k] = corner[k][f];
        *first = f * N;
        return N;
    }
    const uint64_t start = g->face_start[f];
    const int n = int(g->face_start[f + 1] - start);
    for (int k = 0; k < n; ++k) q[k] = g->corners[start + uint64_t(k)];
    *first = start;
    return n;
}

// Whether corner c, whose twin is `twin`, meets its edge first: it has no
// twin or comes before it.
inline bool first_of_edge(uint64_t twin, uint64_t c) { return twin == no_corner || twin > c; }

// The half-edge slot of corner c.
template <int N>
__attribute__((always_inline)) inline uint64_t* corner_slot(mesh* m, uint64_t c)
{
    if (N) {
        uint64_t* const face_iedge[4] = {m->face_iedge0, m->face_iedge1, m->face_iedge2,
                                         m->face_iedge3};
        return &face_iedge[c % N][c / N];
    }
    return &m->corner_iedge[c];
}

inline uint64_t block_end(const geom* g, uint64_t b)
{
    const uint64_t end = (b + 1) * twins_block;
    return end < g->n_faces ? end : g->n_faces;
}

// Finds every corner's twin in block b and counts its first corners.
template <int N>
void twins_find(void* context, uint64_t b, uint32_t)
{
    auto* job = static_cast<twins_job*>(context);
    const uint32_t* const start = job->start;
    const listed_corner* const listed = job->listed;
    uint64_t firsts = 0;
    bool fault = false;
    for (uint64_t f = b * twins_block, end = block_end(job->g, b); f < end; ++f) {
        uint64_t q[15], c0;
        const int n = face_corners<N>(job->g, f, q, &c0);
        for (int k = 0; k < n; ++k) {
            const uint64_t c = c0 + uint64_t(k), o = q[k], d = q[k + 1 < n ? k + 1 : 0];
            // one corner at most from d to o: two would be found from this
            // one; a second from o to d is found from the twin, or, without
            // one, here
            uint32_t twin = no_corner;
            int twins = 0;
            for (uint32_t i = start[d]; i < start[d + 1]; ++i)
                if (listed[i].destination == o) twin = listed[i].corner, ++twins;
            if (twins == 0) {
                int same = 0;
                for (uint32_t i = start[o]; i < start[o + 1]; ++i) same += listed[i].destination == d;
                fault |= same != 1;
            }
            fault |= twins > 1;
            job->twin[c] = twin;
            firsts += first_of_edge(twin, c);
        }
    }
    job->block_edges[b] = firsts;
    if (fault) job->fault.store(true, std::memory_order_relaxed);
}

// Numbers the edges of block b's first corners: their even half-edges, and
// the odd ones that no face holds.
template <int N>
void twins_number(void* context, uint64_t b, uint32_t)
{
    auto* job = static_cast<twins_job*>(context);
    mesh* const m = job->m;
    uint64_t e = job->block_edges[b];
    for (uint64_t f = b * twins_block, end = block_end(job->g, b); f < end; ++f) {
        uint64_t q[15], c0;
        const int n = face_corners<N>(job->g, f, q, &c0);
        for (int k = 0; k < n; ++k) {
            const uint64_t c = c0 + uint64_t(k), twin = job->twin[c];
            if (!first_of_edge(twin, c)) continue;
            const uint64_t h = 2 * e++;
            *corner_slot<N>(m, c) = h;
            m->iedge_vertex[h] = q[k];
            m->iedge_face[h] = f;
            if (twin == no_corner) {
                m->iedge_vertex[h + 1] = q[k + 1 < n ? k + 1 : 0];
                m->iedge_face[h + 1] = mesh_no_face;
            }
        }
    }
}

// Gives block b's second corners the odd half-edges of their twins' edges.
template <int N>
void twins_second(void* context, uint64_t b, uint32_t)
{
    auto* job = static_cast<twins_job*>(context);
    mesh* const m = job->m;
    for (uint64_t f = b * twins_block, end = block_end(job->g, b); f < end; ++f) {
        uint64_t q[15], c0;
        const int n = face_corners<N>(job->g, f, q, &c0);
        for (int k = 0; k < n; ++k) {
            const uint64_t c = c0 + uint64_t(k), twin = job->twin[c];
            if (first_of_edge(twin, c)) continue;
            const uint64_t h = *corner_slot<N>(m, twin) + 1;
            *corner_slot<N>(m, c) = h;
            m->iedge_vertex[h] = q[k];
            m->iedge_face[h] = f;
        }
    }
}

// Links every half-edge of block b's faces to the next, and gives the odd
// half-edges that no face holds none.
template <int N>
void twins_next(void* context, uint64_t b, uint32_t)
{
    auto* job = static_cast<twins_job*>(context);
    mesh* const m = job->m;
    for (uint64_t f = b * twins_block, end = block_end(job->g, b); f < end; ++f) {
        uint64_t q[15], c0, h[15];
        const int n = face_corners<N>(job->g, f, q, &c0);
        for (int k = 0; k < n; ++k) h[k] = *corner_slot<N>(m, c0 + uint64_t(k));
        for (int k = 0; k < n; ++k) {
            m->iedge_next[h[k]] = h[k + 1 < n ? k + 1 : 0];
            if ((h[k] & 1) == 0 && m->iedge_face[h[k] + 1] == mesh_no_face)
                m->iedge_next[h[k] + 1] = mesh_no_face;
        }
    }
}

template <int N>
twins_outcome pair_twins(mesh* m, geom* g, uint32_t threads)
{
    const uint64_t V = g->n_vertices, F = g->n_faces, n_corners = geom_corner_count(g);
    if (n_corners >= no_corner || V >= no_corner) return twins_outcome::declined;

    // the corners by origin: counted two slots up, so that the scatter's
    // cursors end as the offsets
    auto* start = static_cast<uint32_t*>(mem_alloc((V + 2) * 4));
    auto* listed = static_cast<listed_corner*>(mem_alloc(n_corners * sizeof(listed_corner)));
    if (!start || !listed) {
        mem_free(start);
        mem_free(listed);
        return twins_outcome::refused;
    }
    std::memset(start, 0, (V + 2) * 4);
    bool fault = false;
    for (uint64_t f = 0; f < F && !fault; ++f) {
        if (!N && (g->face_start[f + 1] - g->face_start[f] < 3 ||
                   g->face_start[f + 1] - g->face_start[f] > 15)) {
            fault = true;
            break;
        }
        uint64_t q[15], c0;
        const int n = face_corners<N>(g, f, q, &c0);
        for (int k = 0; k < n; ++k) {
            fault |= q[k] >= V;
            for (int j = 0; j < k; ++j) fault |= q[j] == q[k];
        }
        for (int k = 0; k < n && !fault; ++k) start[q[k] + 2] += 1;
    }
    if (fault) {
        mem_free(start);
        mem_free(listed);
        return twins_outcome::declined;
    }
    for (uint64_t v = 2; v < V + 2; ++v) start[v] += start[v - 1];
    for (uint64_t f = 0; f < F; ++f) {
        uint64_t q[15], c0;
        const int n = face_corners<N>(g, f, q, &c0);
        for (int k = 0; k < n; ++k)
            listed[start[q[k] + 1]++] = {uint32_t(q[k + 1 < n ? k + 1 : 0]), uint32_t(c0 + k)};
    }

    const uint64_t n_blocks = (F + twins_block - 1) / twins_block;
    twins_job job;
    job.g = g;
    job.m = m;
    job.start = start;
    job.listed = listed;
    job.twin = static_cast<uint32_t*>(mem_alloc(n_corners * 4));
    job.block_edges = static_cast<uint64_t*>(mem_alloc(n_blocks * 8 + 8));
    job.fault.store(false);
    auto release = [&job, start, &listed] {
        mem_free(start);
        mem_free(listed);
        mem_free(job.twin);
        mem_free(job.block_edges);
    };
    if (!job.twin || !job.block_edges) {
        release();
        return twins_outcome::refused;
    }
    parallel_for(threads, n_blocks, twins_find<N>, &job);
    if (job.fault.load()) {
        release();
        return twins_outcome::declined;
    }
    uint64_t n_edges = 0;
    for (uint64_t b = 0; b < n_blocks; ++b) {
        const uint64_t firsts = job.block_edges[b];
        job.block_edges[b] = n_edges;
        n_edges += firsts;
    }
    mem_release(&listed);
    job.listed = nullptr;

    // the successors last, once the twins and the lists by origin are gone
    g->n_edges = n_edges;
    if (!mesh_alloc(m, g, false)) {
        release();
        return twins_outcome::refused;
    }
    parallel_for(threads, n_blocks, twins_number<N>, &job);
    parallel_for(threads, n_blocks, twins_second<N>, &job);
    // every edge at a vertex leaves it on a face, but a boundary edge whose
    // face runs towards the vertex
    for (uint64_t v = 0; v < V; ++v) m->vertex_valence[v] = start[v + 1] - start[v];
    for (uint64_t e = 0; e < n_edges; ++e)
        if (m->iedge_face[2 * e + 1] == mesh_no_face) m->vertex_valence[m->iedge_vertex[2 * e + 1]] += 1;
    release();
    m->iedge_next = static_cast<uint64_t*>(mem_alloc(2 * n_edges * 8));
    if (!m->iedge_next) {
        mesh_free(m);
        return twins_outcome::refused;
    }
    const uint64_t fill = index_pad_fill;
    pad_fill(m->iedge_next, 8, 2 * n_edges, &fill);
    parallel_for(threads, n_blocks, twins_next<N>, &job);
    return twins_outcome::built;
}

} // namespace

subdiv_status mesh_build_paired(mesh* m, geom* g, uint32_t threads, subdiv_error* error)
{
    const int size = geom_face_size(g);
    const bool arrays = size == 3   ? g->corner0 && g->corner1 && g->corner2
                        : size == 4 ? g->corner0 && g->corner1 && g->corner2 && g->corner3
                        : size == 0 && g->face_start && g->corners;
    twins_outcome outcome = twins_outcome::declined;
    if (arrays) {
        std::memset(m, 0, sizeof *m);
        outcome = size == 3   ? pair_twins<3>(m, g, threads)
                  : size == 4 ? pair_twins<4>(m, g, threads)
                              : pair_twins<0>(m, g, threads);
    }
    switch (outcome) {
    case twins_outcome::built:
        if (mesh_list_boundary(m, g->n_edges)) return subdiv_ok;
        mesh_free(m);
        return error_memory(error, mem_refused_size());
    case twins_outcome::refused: return error_memory(error, mem_refused_size());
    case twins_outcome::declined: break;
    }
    return mesh_build(m, g, error);
}

} // namespace subdiv
