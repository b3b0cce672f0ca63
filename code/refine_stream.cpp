// The last level of a refinement made a block at a time: written to a file
// as OBJ text or PLY, or gathered into flat arrays.
//
// The steps with connectivity run up to the level two before the last; one
// step gives the positions of the level before the last (and what its faces
// carry); that level is then seen as the children of the one before it, and
// the last step makes the last level from that view in blocks. For one
// iteration the input is seen with its own connectivity.
#include "refine_stream.h"

#include <cstddef>
#include <cstring>

#include "catmull_clark.h"
#include "check.h"
#include "error.h"
#include "face_varying.h"
#include "final_step.h"
#include "iteration.h"
#include "level_view.h"
#include "loop.h"
#include "obj_stream.h"
#include "obj_write.h"
#include "options.h"
#include "output_file.h"
#include "ply_stream.h"
#include "ply_write.h"
#include "refine.h"
#include "source_arrays.h"
#include "storage.h"

namespace subdiv {

// Parent faces per block of the view of a level made of children, and
// faces per block of a level seen with its own connectivity: about 8192
// faces of the last level each.
static const uint64_t children_block = 512;
static const uint64_t own_block = 2048;

// The counts and flags of *g with its faces' offsets, the rest released:
// what a view of its children reads.
static void keep_shape(geom* g)
{
    geom shape = {};
    shape.n_vertices = g->n_vertices;
    shape.n_faces = g->n_faces;
    shape.n_edges = g->n_edges;
    shape.flags = g->flags;
    shape.face_start = g->face_start;
    g->face_start = nullptr;
    geom_release(g);
    *g = shape;
}

// What receives the last step once it is prepared: writes or gathers the
// last level; returns subdiv_ok or a failure with *error filled.
typedef subdiv_status (*last_level_fn)(final_step* step, uint32_t threads, void* context,
                                       subdiv_error* error);

// Runs the job that refine_begin checked (at least one iteration) up to the
// last step and hands that to last_level. Takes over *input and the job:
// everything is released on return.
static subdiv_status refine_last_level(refine_job* job, geom* input, int32_t iterations,
                                       const subdiv_options* options, last_level_fn last_level,
                                       void* context, subdiv_error* error)
{
    const iteration_scheme* scheme =
        job->scheme == subdiv_scheme_loop ? loop_iteration() : catmull_clark_iteration();
    const bool loop = job->scheme == subdiv_scheme_loop;
    const uint32_t threads = options_threads(options);

    // the level the last step refines: the input itself for one iteration;
    // else one step of the level before it, which the view sees as children
    geom parent = job->level0, level = {};
    mesh parent_mesh = job->mesh0;
    job->mesh0 = mesh{};
    level_view view;
    if (iterations == 1) {
        level_view_own(&view, &job->level0, &parent_mesh, own_block);
    } else {
        if (iterations >= 3) {
            geom before = {};
            mesh before_mesh = {};
            iteration_run(scheme, &job->level0, &parent_mesh, &before, &before_mesh,
                          iterations - 2, options);
            parent = before;
            parent_mesh = before_mesh;
            refine_job_free(job);
            geom_release(input);
        }
        scheme->points(&parent_mesh, &parent, &level, options);
        texcoords_step(&parent_mesh, &parent, &level);
        materials_step(&parent, &level);
        if (options && options->progress)
            options->progress(options->context, iterations - 1, parent.n_vertices,
                              level.n_vertices);
        // the view of the children reads the parent's connectivity but its
        // successors and boundary list, and of the parent its counts and
        // face offsets
        mem_release(&parent_mesh.iedge_next);
        mem_release(&parent_mesh.boundary_edges);
        if (iterations >= 3)
            keep_shape(&parent);
        else if (job->converted)
            geom_release(input); // the parent's faces are the job's own
        else
            keep_shape(input);   // the parent is the input
        level_view_children(&view, &level, &parent_mesh, &parent, loop, children_block);
    }

    final_step step;
    // the positions of a level made here go once the step has its own copy
    final_step_prepare(&step, &view, options, threads, iterations >= 2 ? &level : nullptr);
    // the last iteration is reported once its points can be made, as when it
    // is held whole
    if (options && options->progress)
        options->progress(options->context, iterations, view.n_vertices, step.n_vertices);
    const subdiv_status status = last_level(&step, threads, context, error);
    final_step_free(&step);
    level_view_free(&view);
    geom_release(&level);
    mesh_free(&parent_mesh);
    if (iterations >= 3) geom_release(&parent);
    refine_job_free(job);
    geom_release(input);
    return status;
}

// ---------------------------------------------------------------- to a file

namespace {

struct final_text {
    final_step* step;
    bool shortest;
    uint32_t threads;
};

struct final_file {
    const char* path;
    bool shortest;
    subdiv_format format; // obj, ply or ply_ascii
};

} // namespace

static int final_fill(int fd, void* context)
{
    auto* text = static_cast<final_text*>(context);
    obj_source source;
    final_step_source(text->step, &source);
    return obj_stream_write(fd, &source, text->shortest, text->threads);
}

static int ply_fill(int fd, void* context)
{
    return ply_stream_write(fd, static_cast<ply_stream*>(context));
}

static subdiv_status write_last_level(final_step* step, uint32_t threads, void* context,
                                      subdiv_error* error)
{
    const auto* file = static_cast<const final_file*>(context);
    if (file->format == subdiv_format_obj) {
        final_text state = {step, file->shortest, threads};
        const output_text text = {final_fill, &state};
        return output_file_write(file->path, &text, error);
    }
    obj_source source;
    final_step_source(step, &source);
    const char* name = std::strcmp(file->path, "-") == 0 ? "standard output" : file->path;
    ply_stream stream;
    subdiv_status status = ply_stream_open(&source, file->format == subdiv_format_ply_ascii,
                                           file->shortest, threads, name, &stream, error);
    if (status != subdiv_ok) return status;
    const output_text text = {ply_fill, &stream};
    status = output_file_write(file->path, &text, error);
    ply_stream_close(&stream);
    return status;
}

subdiv_status refine_to_obj(geom* input, int32_t iterations, const subdiv_options* options,
                            const char* path, uint64_t* n_vertices, uint64_t* n_faces,
                            subdiv_error* error)
{
    return refine_to_file(input, iterations, options, path, subdiv_format_obj, n_vertices,
                          n_faces, error);
}

subdiv_status refine_to_file(geom* input, int32_t iterations, const subdiv_options* options,
                             const char* path, subdiv_format format, uint64_t* n_vertices,
                             uint64_t* n_faces, subdiv_error* error)
{
    CHECK(input != nullptr && path != nullptr, "subdiv_refine_to_file: no input or path");
    CHECK(format == subdiv_format_obj || format == subdiv_format_ply ||
              format == subdiv_format_ply_ascii,
          "refine_to_file: format %d", int(format));
    if (n_vertices) *n_vertices = 0;
    if (n_faces) *n_faces = 0;
    refine_job job;
    subdiv_status status = refine_begin(input, iterations, options, output_streamed, &job, error);
    if (status == subdiv_ok && format != subdiv_format_obj && input->face_material)
        warning_report(options, "%s: PLY has no materials; the faces' materials are left out",
                       path);
    if (status != subdiv_ok || iterations == 0) {
        if (status == subdiv_ok) {
            refine_job_free(&job);
            status = format == subdiv_format_obj
                         ? obj_write_path(path, input, options, error)
                         : ply_write_path(path, input, format == subdiv_format_ply_ascii, options,
                                          error);
            if (status == subdiv_ok && n_vertices) *n_vertices = input->n_vertices;
            if (status == subdiv_ok && n_faces) *n_faces = input->n_faces;
        }
        geom_release(input);
        return status;
    }
    // the counts are known before the text is written
    uint64_t counts[2] = {0, 0};
    struct counted_file {
        final_file file;
        uint64_t* counts;
    } state = {{path, options && options->precision == subdiv_precision_shortest, format}, counts};
    auto write_counted = [](final_step* step, uint32_t threads, void* context,
                            subdiv_error* failure) {
        auto* s = static_cast<counted_file*>(context);
        s->counts[0] = step->n_vertices;
        s->counts[1] = step->n_faces;
        return write_last_level(step, threads, &s->file, failure);
    };
    status = refine_last_level(&job, input, iterations, options, write_counted, &state, error);
    if (status == subdiv_ok && n_vertices) *n_vertices = counts[0];
    if (status == subdiv_ok && n_faces) *n_faces = counts[1];
    return status;
}

// ---------------------------------------------------------------- to arrays

// The layout subdiv.h gives callers that read the record by its offsets.
static_assert(sizeof(void*) != 8 || (offsetof(subdiv_arrays, face_size) == 40 &&
                                     offsetof(subdiv_arrays, texcoords) == 48 &&
                                     offsetof(subdiv_arrays, n_texcoords) == 64 &&
                                     sizeof(subdiv_arrays) == 72),
              "subdiv_arrays: the layout subdiv.h documents");

static subdiv_status gather_last_level(final_step* step, uint32_t threads, void* context,
                                       subdiv_error*)
{
    auto* arrays = static_cast<subdiv_arrays*>(context);
    obj_source source;
    final_step_source(step, &source);
    arrays->n_vertices = step->n_vertices;
    arrays->n_faces = step->n_faces;
    arrays->face_size = step->loop ? 3 : 4;
    arrays->positions = static_cast<float*>(mem_alloc(3 * arrays->n_vertices * 4));
    const uint64_t n_corners = uint64_t(arrays->face_size) * arrays->n_faces;
    arrays->corners = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    if (source.texcoords) {
        arrays->n_texcoords = source.n_texcoords;
        arrays->texcoords = static_cast<float*>(mem_alloc(2 * source.n_texcoords * 4));
        arrays->corner_texcoords = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    }
    source_gather(&source, threads, arrays->face_size, arrays->positions, arrays->corners,
                  arrays->texcoords, arrays->corner_texcoords);
    return subdiv_ok;
}

// The arrays of *g itself (no iterations).
static void gather_geom(const geom* g, subdiv_arrays* arrays)
{
    const int n = geom_face_size(g);
    arrays->n_vertices = g->n_vertices;
    arrays->n_faces = g->n_faces;
    arrays->face_size = n;
    arrays->positions = static_cast<float*>(mem_alloc(3 * g->n_vertices * 4));
    for (uint64_t v = 0; v < g->n_vertices; ++v) {
        arrays->positions[3 * v] = g->x[v];
        arrays->positions[3 * v + 1] = g->y[v];
        arrays->positions[3 * v + 2] = g->z[v];
    }
    const uint64_t n_corners = geom_corner_count(g);
    arrays->corners = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    if (g->tex_u) {
        arrays->n_texcoords = g->n_texcoords;
        arrays->texcoords = static_cast<float*>(mem_alloc(2 * g->n_texcoords * 4));
        for (uint64_t t = 0; t < g->n_texcoords; ++t) {
            arrays->texcoords[2 * t] = g->tex_u[t];
            arrays->texcoords[2 * t + 1] = g->tex_v[t];
        }
        // the texture coordinates' corners lie face by face, as corners will
        arrays->corner_texcoords = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
        std::memcpy(arrays->corner_texcoords, g->corner_texcoord, n_corners * 8);
    }
    if (n == 0) {
        arrays->face_start = static_cast<uint64_t*>(mem_alloc((g->n_faces + 1) * 8));
        std::memcpy(arrays->face_start, g->face_start, (g->n_faces + 1) * 8);
        std::memcpy(arrays->corners, g->corners, n_corners * 8);
        return;
    }
    const uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
    for (uint64_t f = 0; f < g->n_faces; ++f)
        for (int k = 0; k < n; ++k) arrays->corners[uint64_t(n) * f + uint64_t(k)] = corner[k][f];
}

subdiv_status refine_to_arrays(geom* input, int32_t iterations, const subdiv_options* options,
                               subdiv_arrays* output, subdiv_error* error)
{
    CHECK(input != nullptr && output != nullptr, "subdiv_refine_arrays: no input or output");
    *output = subdiv_arrays{};
    refine_job job;
    subdiv_status status = refine_begin(input, iterations, options, output_gathered, &job, error);
    if (status != subdiv_ok || iterations == 0) {
        if (status == subdiv_ok) {
            refine_job_free(&job);
            gather_geom(input, output);
        }
        geom_release(input);
        return status;
    }
    return refine_last_level(&job, input, iterations, options, gather_last_level, output, error);
}

void refine_arrays_free(subdiv_arrays* arrays)
{
    if (!arrays) return;
    mem_free(arrays->positions);
    mem_free(arrays->corners);
    mem_free(arrays->face_start);
    mem_free(arrays->texcoords);
    mem_free(arrays->corner_texcoords);
    *arrays = subdiv_arrays{};
}

} // namespace subdiv
