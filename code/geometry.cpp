// Storage blocks, the geom record and the half-edge mesh.
#include "geometry.h"

#include <cstdlib>
#include <cstring>

#include "check.h"

// ---------------------------------------------------------------- storage

uint64_t padded_size(uint64_t n_bytes)
{
    return (n_bytes & ~uint64_t(4095)) + 4096;
}

void* mem_alloc(uint64_t n_bytes)
{
    // the padded size of the largest requests would wrap around
    CHECK(n_bytes <= UINT64_MAX - 8192, "out of memory: cannot allocate %llu bytes",
          (unsigned long long)n_bytes);
    uint64_t size = padded_size(n_bytes);
    void* block = std::aligned_alloc(64, size);
    CHECK(block != nullptr, "out of memory: cannot allocate %llu bytes",
          (unsigned long long)size);
    return block;
}

void mem_free(void* block)
{
    std::free(block);
}

void pad_fill(void* block, uint64_t element_size, uint64_t n_elements, const void* fill)
{
    CHECK(element_size > 0 && 4096 % element_size == 0,
          "pad_fill: element size %llu does not divide 4096", (unsigned long long)element_size);
    uint64_t used = element_size * n_elements;
    uint64_t tail = padded_size(used) - used;
    char* bytes = static_cast<char*>(block);
    for (uint64_t offset = 0; offset < tail; offset += element_size)
        std::memcpy(bytes + used + offset, fill, element_size);
}

// ---------------------------------------------------------------- geometry

void geom_alloc(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges, int face_size)
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
    g->corner0 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    g->corner1 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    g->corner2 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    if (face_size == 4) g->corner3 = static_cast<uint64_t*>(mem_alloc(n_faces * 8));
    g->n_vertices = n_vertices;
    g->n_faces = n_faces;
    g->n_edges = n_edges;
    g->flags = uint64_t(face_size) & 0xF;
}

void geom_free(geom* g)
{
    if (!g) return;
    mem_free(g->x);
    mem_free(g->y);
    mem_free(g->z);
    mem_free(g->corner0);
    mem_free(g->corner1);
    mem_free(g->corner2);
    mem_free(g->corner3);
    std::memset(g, 0, sizeof *g);
}
