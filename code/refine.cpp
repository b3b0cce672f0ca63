// The refinement of a geom with the scheme of its faces: the check of its
// faces, the limits, the iterations.
#include "refine.h"

#include <cstring>

#include "catmull_clark.h"
#include "check.h"
#include "error.h"
#include "geom.h"
#include "loop.h"
#include "memory_bound.h"
#include "mesh.h"
#include "storage.h"

typedef unsigned __int128 u128;

// Refuses, with the numbers, a refinement whose counts pass 2^64 or whose
// memory bound passes this machine's memory; built holds the counts of the
// built input.
static subdiv_status refine_fits(const level_counts* built, int face_size, int32_t count,
                                 subdiv_error* error)
{
    const u128 limit = u128(1) << 64;
    level_counts level = *built;
    for (int32_t i = 1; i <= count; ++i) {
        level = memory_bound_step_counts(level, i == 1 ? face_size : face_size == 3 ? 3 : 4);
        if (level.vertices >= limit || level.faces >= limit || level.edges >= limit)
            return error_set(error, subdiv_error_limit, {},
                             "%d iterations would make more than 2^64 vertices or faces "
                             "(iteration %d already would)",
                             count, i);
    }
    const u128 bound = memory_bound_iterations(*built, face_size, count);
    const uint64_t memory = mem_physical();
    if (bound > memory)
        return error_set(error, subdiv_error_limit, {},
                         "%d iterations make %llu vertices and %llu faces and need up to %.3g "
                         "bytes of memory; this machine has %llu bytes",
                         count, (unsigned long long)level.vertices,
                         (unsigned long long)level.faces, double(bound),
                         (unsigned long long)memory);
    return subdiv_ok;
}

// *copy: new arrays holding what *g holds.
static void geom_copy(const geom* g, geom* copy)
{
    const int face_size = geom_face_size(g);
    geom_alloc(copy, g->n_vertices, g->n_faces, g->n_edges, face_size);
    std::memcpy(copy->x, g->x, g->n_vertices * 4);
    std::memcpy(copy->y, g->y, g->n_vertices * 4);
    std::memcpy(copy->z, g->z, g->n_vertices * 4);
    std::memcpy(copy->corner0, g->corner0, g->n_faces * 8);
    std::memcpy(copy->corner1, g->corner1, g->n_faces * 8);
    std::memcpy(copy->corner2, g->corner2, g->n_faces * 8);
    if (face_size == 4) std::memcpy(copy->corner3, g->corner3, g->n_faces * 8);
}

subdiv_status refine(const geom* input, int32_t iterations, const subdiv_options* options,
                     geom* output, subdiv_error* error)
{
    CHECK(input != nullptr && output != nullptr && input != output,
          "subdiv_refine: no input or output, or both the same record");
    *output = geom{};
    const int face_size = geom_face_size(input);
    if (iterations < 0)
        return error_set(error, subdiv_error_usage, {}, "the iteration count %d is negative",
                         iterations);
    if (face_size != 3 && face_size != 4)
        return error_set(error, subdiv_error_usage, {},
                         "faces of %d corners: only meshes of triangles or of quadrilaterals "
                         "can be refined",
                         face_size);

    // the connectivity of the input checks its faces, whatever the count
    const u128 build_bound = memory_bound_build(input->n_vertices, input->n_faces, face_size);
    if (build_bound > mem_physical())
        return error_set(error, subdiv_error_limit, {},
                         "the connectivity of %llu faces needs up to %.3g bytes of memory; this "
                         "machine has %llu bytes",
                         (unsigned long long)input->n_faces, double(build_bound),
                         (unsigned long long)mem_physical());
    geom level0 = *input;
    mesh mesh0 = {};
    subdiv_status status = mesh_build(&mesh0, &level0, error);
    if (status != subdiv_ok) return status;
    const level_counts built = {level0.n_vertices, level0.n_faces, level0.n_edges,
                                u128(face_size) * level0.n_faces};
    status = refine_fits(&built, face_size, iterations, error);
    if (status != subdiv_ok || iterations == 0) {
        mesh_free(&mesh0);
        if (status == subdiv_ok) geom_copy(&level0, output);
        return status;
    }
    if (face_size == 3)
        loop_iterate_mesh(&level0, &mesh0, output, iterations, options);
    else
        catmull_clark_iterate_mesh(&level0, &mesh0, output, iterations, options);
    return subdiv_ok;
}
