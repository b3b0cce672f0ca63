// The refinement of a geom with the scheme of its faces: the check of its
// faces, the limits, the iterations.
#include "refine.h"

#include <cstring>

#include "catmull_clark.h"
#include "check.h"
#include "error.h"
#include "geom.h"
#include "iteration.h"
#include "limit.h"
#include "loop.h"
#include "memory_bound.h"
#include "memory_limit.h"
#include "mesh.h"
#include "mesh_twins.h"
#include "options.h"
#include "parallel.h"
#include "sharpness.h"
#include "storage.h"

namespace subdiv {

typedef unsigned __int128 u128;

// The scheme for *input under the options: Loop for triangles, Catmull-Clark
// for any other faces, or the one asked for. Refuses Loop for a mesh with a
// face that is not a triangle, naming the first.
static subdiv_status refine_scheme(const geom* input, const subdiv_options* options,
                                   subdiv_scheme* scheme, subdiv_error* error)
{
    const int face_size = geom_face_size(input);
    const subdiv_scheme asked = options ? options->scheme : subdiv_scheme_auto;
    if (asked == subdiv_scheme_auto) {
        *scheme = face_size == 3 ? subdiv_scheme_loop : subdiv_scheme_catmull_clark;
        return subdiv_ok;
    }
    CHECK(asked == subdiv_scheme_loop || asked == subdiv_scheme_catmull_clark,
          "subdiv_refine: no scheme %d", int(asked));
    *scheme = asked;
    if (asked == subdiv_scheme_loop && face_size != 3) {
        uint64_t f = 0, n = uint64_t(face_size);
        for (; face_size == 0 && f < input->n_faces; ++f) {
            n = input->face_start[f + 1] - input->face_start[f];
            if (n != 3) break;
        }
        return error_set(error, subdiv_error_usage, {0, f + 1, {}},
                         "the Loop scheme refines triangles only, but face %llu has %llu corners",
                         (unsigned long long)f + 1, (unsigned long long)n);
    }
    return subdiv_ok;
}

// Refuses limit positions and normals of a Catmull-Clark mesh without
// iterations when a face is no quad, whose rings the masks cannot take,
// naming the first such face.
static subdiv_status refine_limit_faces(const geom* input, int32_t iterations,
                                        const subdiv_options* options, subdiv_scheme scheme,
                                        subdiv_error* error)
{
    if (iterations != 0 || scheme != subdiv_scheme_catmull_clark ||
        !(options_limit(options) || options_normals(options)) || geom_face_size(input) == 4)
        return subdiv_ok;
    uint64_t f = 0, n = uint64_t(geom_face_size(input));
    for (; n == 0 && f < input->n_faces; ++f) {
        const uint64_t size = input->face_start[f + 1] - input->face_start[f];
        if (size != 4) {
            n = size;
            break;
        }
    }
    if (n == 0) return subdiv_ok;
    return error_set(error, subdiv_error_usage, {0, f + 1, {}},
                     "limit positions and normals of Catmull-Clark with no iterations need quads, "
                     "but face %llu has %llu corners",
                     (unsigned long long)f + 1, (unsigned long long)n);
}

// Refuses, with the numbers, a refinement whose counts pass 2^64 or whose
// memory bound passes the memory this process may use; built holds
// the counts of the built input. output: how the last level is held, made on
// `threads` threads; rings: with its limit positions or normals.
static subdiv_status refine_fits(const level_counts* built, subdiv_scheme scheme, int32_t count,
                                 refine_output output, uint32_t threads, bool rings,
                                 memory_limit may_use, subdiv_error* error)
{
    const u128 limit = u128(1) << 64;
    level_counts level = *built;
    for (int32_t i = 1; i <= count; ++i) {
        level = memory_bound_step_counts(level, scheme);
        if (level.vertices >= limit || level.faces >= limit || level.edges >= limit)
            return error_set(error, subdiv_error_limit, {},
                             "%d iterations would make more than 2^64 vertices or faces "
                             "(iteration %d already would)",
                             count, i);
    }
    const u128 bound =
        output == output_streamed   ? memory_bound_streamed(*built, scheme, count, threads, rings)
        : output == output_gathered ? memory_bound_gathered(*built, scheme, count, threads, rings)
                                    : memory_bound_iterations(*built, scheme, count, rings);
    char text[160];
    if (bound > may_use.bytes)
        return error_set(error, subdiv_error_limit, {},
                         "%d iterations make %llu vertices and %llu faces and need up to %.3g "
                         "bytes of memory; %s",
                         count, (unsigned long long)level.vertices,
                         (unsigned long long)level.faces, double(bound),
                         memory_limit_text(may_use, text, sizeof text));
    return subdiv_ok;
}

// *copy: new arrays holding what *g holds; false, *copy cleared, when
// memory is refused.
static bool geom_copy(const geom* g, geom* copy)
{
    const int face_size = geom_face_size(g);
    const uint64_t n_corners = geom_corner_count(g);
    const bool faces = face_size == 0
                           ? geom_alloc_polygons(copy, g->n_vertices, g->n_faces, n_corners)
                           : geom_alloc(copy, g->n_vertices, g->n_faces, g->n_edges, face_size);
    if (!faces) return false;
    if (face_size == 0) {
        std::memcpy(copy->face_start, g->face_start, (g->n_faces + 1) * 8);
        std::memcpy(copy->corners, g->corners, n_corners * 8);
        copy->n_edges = g->n_edges;
    } else {
        std::memcpy(copy->corner0, g->corner0, g->n_faces * 8);
        std::memcpy(copy->corner1, g->corner1, g->n_faces * 8);
        std::memcpy(copy->corner2, g->corner2, g->n_faces * 8);
        if (face_size == 4) std::memcpy(copy->corner3, g->corner3, g->n_faces * 8);
    }
    std::memcpy(copy->x, g->x, g->n_vertices * 4);
    std::memcpy(copy->y, g->y, g->n_vertices * 4);
    std::memcpy(copy->z, g->z, g->n_vertices * 4);
    // the texture coordinates' corners count the faces copied above
    if ((g->tex_u && !geom_alloc_texcoords(copy, g->n_texcoords)) ||
        !geom_copy_materials(g, copy)) {
        geom_release(copy);
        return false;
    }
    if (g->tex_u) {
        std::memcpy(copy->tex_u, g->tex_u, g->n_texcoords * 4);
        std::memcpy(copy->tex_v, g->tex_v, g->n_texcoords * 4);
        std::memcpy(copy->corner_texcoord, g->corner_texcoord, n_corners * 8);
    }
    return true;
}

// The triangles of *triangles as faces of any sizes, for Catmull-Clark:
// *polygons gets face arrays of its own, *view shows the
// triangles' other arrays with them. False, both left empty, when memory is
// refused.
static bool triangles_as_polygons(const geom* triangles, geom* polygons, geom_view* view)
{
    const uint64_t F = triangles->n_faces;
    *polygons = geom{};
    polygons->face_start = static_cast<uint64_t*>(mem_alloc((F + 1) * 8));
    polygons->corners = static_cast<uint64_t*>(mem_alloc(3 * F * 8));
    if (!polygons->face_start || !polygons->corners) {
        geom_release(polygons);
        return false;
    }
    for (uint64_t f = 0; f <= F; ++f) polygons->face_start[f] = 3 * f;
    for (uint64_t f = 0; f < F; ++f) {
        polygons->corners[3 * f] = triangles->corner0[f];
        polygons->corners[3 * f + 1] = triangles->corner1[f];
        polygons->corners[3 * f + 2] = triangles->corner2[f];
    }
    // the texture coordinates and materials are shown as they are: the
    // corner order of triangles is that of faces of three corners
    geom* shown = &view->shown;
    *shown = *triangles;
    shown->corner0 = shown->corner1 = shown->corner2 = shown->corner3 = nullptr;
    shown->flags = 0;
    shown->face_start = polygons->face_start;
    shown->corners = polygons->corners;
    return true;
}

void refine_job_free(refine_job* job)
{
    mesh_free(&job->mesh0);
    geom_release(&job->polygons);
    job->level0 = geom_view{};
}

subdiv_status refine_begin(const geom* input, int32_t iterations, const subdiv_options* options,
                           refine_output output, refine_job* job, subdiv_error* error)
{
    *job = refine_job{};
    if (options) {
        job->options = *options;
    } else {
        job->options = subdiv_options{};
        job->options.size = sizeof job->options;
        job->options.corners = subdiv_corners_auto;
    }
    if (job->options.corners == subdiv_corners_auto)
        job->options.corners = input->boundary_corners == subdiv_corners_smooth
                                   ? subdiv_corners_smooth
                                   : subdiv_corners_sharp;
    options = &job->options;
    const int face_size = geom_face_size(input);
    CHECK(face_size == 0 || face_size == 3 || face_size == 4, "subdiv_refine: face size %d",
          face_size);
    if (iterations < 0)
        return error_set(error, subdiv_error_usage, {}, "the iteration count %d is negative",
                         iterations);
    for (uint64_t f = 0; face_size == 0 && f < input->n_faces; ++f) {
        const uint64_t n = input->face_start[f + 1] - input->face_start[f];
        if (n < 3 || n > 15)
            return error_set(error, subdiv_error_mesh, {0, f + 1, {}},
                             "face %llu has %llu corners; a face has 3 to 15",
                             (unsigned long long)f + 1, (unsigned long long)n);
    }
    subdiv_status status = refine_scheme(input, options, &job->scheme, error);
    if (status == subdiv_ok)
        status = refine_limit_faces(input, iterations, options, job->scheme, error);
    if (status != subdiv_ok) return status;

    // the connectivity of the input checks its faces, whatever the count
    level_counts counts = {input->n_vertices,
                           input->n_faces,
                           0,
                           face_size ? u128(face_size) * input->n_faces
                                     : input->face_start[input->n_faces],
                           face_size,
                           input->n_texcoords,
                           input->tex_u != nullptr,
                           input->face_material != nullptr,
                           sharpness_named(input, options->crease_angle),
                           input->n_creases,
                           0,
                           0};
    const memory_limit limit = memory_limit_process();
    const u128 build_bound = memory_bound_build(counts);
    char may_use[160];
    if (build_bound > limit.bytes)
        return error_set(error, subdiv_error_limit, {},
                         "the connectivity of %llu faces needs up to %.3g bytes of memory; %s",
                         (unsigned long long)input->n_faces, double(build_bound),
                         memory_limit_text(limit, may_use, sizeof may_use));
    // Catmull-Clark takes triangles as faces of any sizes
    job->level0.shown = *input;
    if (job->scheme == subdiv_scheme_catmull_clark && face_size == 3 &&
        !triangles_as_polygons(input, &job->polygons, &job->level0)) {
        refine_job_free(job);
        return error_memory(error, mem_refused_size());
    }
    status = mesh_build_paired(&job->mesh0, &job->level0.shown, options_threads(options), error);
    if (status == subdiv_ok)
        status = sharpness_begin(&job->level0.shown, &job->mesh0, options->crease_angle,
                                 options_threads(options), error);
    if (status == subdiv_ok) {
        counts.edges = job->level0.shown.n_edges;
        counts.face_size = geom_face_size(&job->level0.shown);
        // the rings of limit positions and normals, and of the texture
        // coordinate modes other than linear, take the largest valence
        if (input->tex_u && options_uv_mode(options) != subdiv_uv_linear)
            counts.uv_ring_threads = options_threads(options);
        const bool limit_rings = options_limit(options) || options_normals(options);
        const bool rings = limit_rings || counts.uv_ring_threads;
        for (uint64_t v = 0; rings && v < input->n_vertices; ++v) {
            const uint64_t valence = mesh_valence(job->mesh0.vertex_valence[v]);
            if (valence > counts.most_edges) counts.most_edges = valence;
        }
        status = refine_fits(&counts, job->scheme, iterations, output, options_threads(options),
                             limit_rings, limit, error);
    }
    if (status != subdiv_ok) {
        refine_job_free(job);
        return status;
    }
    if (options && options->start) options->start(options->context, job->scheme, iterations);
    return subdiv_ok;
}

// Gives *level, whose connectivity *m is, the limit positions and normals
// that the options ask for in place of its positions. False, *level as it
// was, when memory is refused.
static bool refine_limit(const mesh* m, geom* level, bool loop, const subdiv_options* options)
{
    float* position[3];
    float* normal[3];
    if (!limit_level_arrays(m, level, loop, options, position, normal)) return false;
    if (position[0]) {
        mem_free(level->x);
        mem_free(level->y);
        mem_free(level->z);
        level->x = position[0];
        level->y = position[1];
        level->z = position[2];
    }
    level->normal_x = normal[0];
    level->normal_y = normal[1];
    level->normal_z = normal[2];
    return true;
}

subdiv_status refine(const geom* input, int32_t iterations, const subdiv_options* options,
                     geom* output, subdiv_error* error)
{
    CHECK(input != nullptr && output != nullptr && input != output,
          "subdiv_refine: no input or output, or both the same record");
    *output = geom{};
    refine_job job;
    const subdiv_status status = refine_begin(input, iterations, options, output_whole, &job, error);
    if (status != subdiv_ok) return status;
    const geom* level0 = &job.level0.shown;
    const bool loop = job.scheme == subdiv_scheme_loop;
    const bool limit = options_limit(&job.options) || options_normals(&job.options);
    bool made;
    if (iterations == 0) {
        made = geom_copy(input, output);
        if (made) {
            output->n_edges = level0->n_edges;
            output->boundary_corners = input->boundary_corners;
            made = sharpness_output_level(&job.mesh0, level0,
                                          options_smooth_corners(&job.options), output);
            if (!made) geom_release(output);
        }
        if (made && limit && !refine_limit(&job.mesh0, output, loop, &job.options)) {
            geom_release(output);
            made = false;
        }
    } else if (limit) {
        // the last level's rings walk its own connectivity
        const iteration_scheme* scheme = loop ? loop_iteration() : catmull_clark_iteration();
        mesh last = {};
        made = iteration_run(scheme, level0, &job.mesh0, output, &last, iterations, &job.options);
        if (made && !refine_limit(&last, output, loop, &job.options)) {
            geom_release(output);
            made = false;
        }
        mesh_free(&last);
    } else if (loop) {
        made = loop_iterate_mesh(level0, &job.mesh0, output, iterations, &job.options);
    } else {
        made = catmull_clark_iterate_mesh(level0, &job.mesh0, output, iterations, &job.options);
    }
    refine_job_free(&job);
    return made ? subdiv_ok : error_memory(error, mem_refused_size());
}

} // namespace subdiv
