// The geometry record's arrays.
#include "geom.h"

#include <cstring>

#include "check.h"
#include "storage.h"

void geom_alloc_vertices(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges,
                         int face_size)
{
    CHECK(g != nullptr, "geom_alloc: no record to fill");
    // byte counts of the arrays must not wrap
    CHECK(n_vertices <= UINT64_MAX / 8 && n_faces <= UINT64_MAX / 16,
          "out of memory: %llu vertices and %llu faces do not fit in memory",
          (unsigned long long)n_vertices, (unsigned long long)n_faces);
    std::memset(g, 0, sizeof *g);
    g->x = static_cast<float*>(mem_alloc(n_vertices * 4));
    g->y = static_cast<float*>(mem_alloc(n_vertices * 4));
    g->z = static_cast<float*>(mem_alloc(n_vertices * 4));
    g->n_vertices = n_vertices;
    g->n_faces = n_faces;
    g->n_edges = n_edges;
    g->flags = uint64_t(face_size) & 0xF;
}

void geom_alloc(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges, int face_size)
{
    geom_alloc_vertices(g, n_vertices, n_faces, n_edges, face_size);
    g->corner0 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    g->corner1 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    g->corner2 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    if (geom_face_size(g) == 4) g->corner3 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
}

void geom_alloc_polygons(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_corners)
{
    CHECK(n_corners <= UINT64_MAX / 16, "out of memory: %llu corners do not fit in memory",
          (unsigned long long)n_corners);
    geom_alloc_vertices(g, n_vertices, n_faces, 0, 0);
    g->face_start = static_cast<uint64_t*>(mem_alloc((n_faces + 1) * 8));
    g->corners = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
}

uint64_t geom_corner_count(const geom* g)
{
    const int n = geom_face_size(g);
    return n ? uint64_t(n) * g->n_faces : g->face_start[g->n_faces];
}

void geom_release(geom* g)
{
    if (!g) return;
    mem_free(g->x);
    mem_free(g->y);
    mem_free(g->z);
    mem_free(g->corner0);
    mem_free(g->corner1);
    mem_free(g->corner2);
    mem_free(g->corner3);
    mem_free(g->face_start);
    mem_free(g->corners);
    std::memset(g, 0, sizeof *g);
}
