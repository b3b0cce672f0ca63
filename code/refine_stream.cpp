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
#include <initializer_list>

#include "catmull_clark.h"
#include "check.h"
#include "error.h"
#include "face_varying.h"
#include "final_step.h"
#include "iteration.h"
#include "level_view.h"
#include "limit.h"
#include "loop.h"
#include "obj_stream.h"
#include "obj_write.h"
#include "options.h"
#include "output_file.h"
#include "ply_stream.h"
#include "ply_write.h"
#include "refine.h"
#include "sharpness.h"
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

// Moves the arrays that the job's level0 shows into *owned, which owns them
// afterwards: those of *input, which the caller hands over (*input is
// cleared), and for Catmull-Clark of triangles the job's faces, in place of
// the input's corners, which go.
static void level0_take(refine_job* job, geom* input, geom* owned)
{
    *owned = job->level0.shown;
    if (job->polygons.face_start) {
        mem_release(&input->corner0);
        mem_release(&input->corner1);
        mem_release(&input->corner2);
        job->polygons = geom{};
    }
    *input = geom{};
    job->level0 = geom_view{};
}

// What receives the last step once it is prepared: writes or gathers the
// last level; returns subdiv_ok or a failure with *error filled.
typedef subdiv_status (*last_level_fn)(final_step* step, uint32_t threads, void* context,
                                       subdiv_error* error);

// What receives the input itself when there are no iterations: writes or
// gathers it, as last_level does.
typedef subdiv_status (*whole_level_fn)(const geom* input, const subdiv_options* options,
                                        void* context, subdiv_error* error);

// Runs the job that refine_begin checked (at least one iteration) up to the
// last step and hands that to last_level. Takes over the arrays of *input
// and the job's: every record below is owned here, and released on return.
static subdiv_status refine_last_level(refine_job* job, geom* input, int32_t iterations,
                                       const subdiv_options* options, last_level_fn last_level,
                                       void* context, subdiv_error* error)
{
    options = &job->options; // the corners decided
    const iteration_scheme* scheme =
        job->scheme == subdiv_scheme_loop ? loop_iteration() : catmull_clark_iteration();
    const bool loop = job->scheme == subdiv_scheme_loop;
    const uint32_t threads = options_threads(options);

    // The level the last step refines: level 0 itself, with its
    // connectivity, for one iteration; else `level`, one step of `parent`
    // (level 0, or iterations - 2 steps of it), seen as the parent's
    // children. The rings of limit positions and normals walk the level's
    // own connectivity: then it is `parent`, iterations - 1 steps of level 0.
    // So do the texture coordinates of modes other than linear.
    const bool own = iterations == 1 || options_limit(options) || options_normals(options) ||
                     (input->tex_u && options_uv_mode(options) != subdiv_uv_linear);
    geom parent = {}, level = {};
    mesh parent_mesh = job->mesh0;
    job->mesh0 = mesh{};
    level0_take(job, input, &parent);
    level_view view = {};
    final_step step = {};
    bool made = true;
    const int32_t steps_held = own ? iterations - 1 : iterations - 2;
    if (steps_held >= 1) {
        geom level0 = parent;
        mesh mesh0 = parent_mesh;
        parent = geom{};
        parent_mesh = mesh{};
        made = iteration_run_taking(scheme, &level0, &mesh0, &parent, &parent_mesh, steps_held,
                                    options);
    }
    if (made && own) {
        if (iterations > 1) {
            // the view finds the corners from the half-edges: their pages go
            // to the last step's arrays
            mem_release(&parent.corner0);
            mem_release(&parent.corner1);
            mem_release(&parent.corner2);
            mem_release(&parent.corner3);
            mem_release(&parent.corners);
        }
        level_view_own(&view, &parent, &parent_mesh, own_block);
    } else if (made) {
        // the points of faces of one size come from the half-edges, and the
        // view reads those too: the corners go first
        if (geom_face_size(&parent) != 0)
            for (uint64_t** corner : {&parent.corner0, &parent.corner1, &parent.corner2,
                                      &parent.corner3})
                mem_release(corner);
        made = scheme->points(&parent_mesh, &parent, &level, options) &&
               texcoords_step(&parent_mesh, &parent, &level, options) &&
               materials_step(&parent, &level);
        if (made && options && options->progress)
            options->progress(options->context, iterations - 1, parent.n_vertices,
                              level.n_vertices);
        // the view of the children reads the parent's connectivity but its
        // successors and boundary list, and of the parent its counts and
        // face offsets
        mem_release(&parent_mesh.iedge_next);
        mem_release(&parent_mesh.boundary_edges);
        keep_shape(&parent);
        mem_trim();
        made = made &&
               level_view_children(&view, &level, &parent_mesh, &parent, loop, children_block);
        mem_trim();
    }
    // the positions of the level the view shows go once the step has its
    // own copy
    made = made && final_step_prepare(&step, &view, options, threads, own ? &parent : &level);
    subdiv_status status = made ? subdiv_ok : error_memory(error, mem_refused_size());
    if (made) {
        // the last iteration is reported once its points can be made, as
        // when it is held whole
        if (options && options->progress)
            options->progress(options->context, iterations, view.n_vertices, step.n_vertices);
        status = last_level(&step, threads, context, error);
    }
    final_step_free(&step);
    level_view_free(&view);
    geom_release(&level);
    mesh_free(&parent_mesh);
    geom_release(&parent);
    return status;
}

// A refinement whose last level is made a block at a time: refine_begin's
// checks with the streamed schedule's memory bound, then the input itself
// to whole (no iterations), or the prepared last step to last_level. Takes
// over *input: its arrays go as soon as nothing reads them, and it is
// cleared on return.
static subdiv_status refine_streamed(geom* input, int32_t iterations,
                                     const subdiv_options* options, refine_output output,
                                     whole_level_fn whole, last_level_fn last_level,
                                     void* context, subdiv_error* error)
{
    refine_job job;
    subdiv_status status = refine_begin(input, iterations, options, output, &job, error);
    if (status == subdiv_ok && iterations > 0)
        status = refine_last_level(&job, input, iterations, options, last_level, context, error);
    // the input as a job of no iterations writes it: its sharp features
    // listed by its edges
    // and its limit positions and normals when asked for, from its own rings
    geom written = {};
    float* limit_position[3] = {}, *limit_normal[3] = {};
    if (status == subdiv_ok && iterations == 0) {
        written = *input;
        written.n_creases = 0;
        written.crease_vertices = nullptr;
        written.crease_sharpness = nullptr;
        written.vertex_sharpness = nullptr;
        written.normal_x = written.normal_y = written.normal_z = nullptr;
        if (!sharpness_output_level(&job.mesh0, &job.level0.shown,
                                    options_smooth_corners(&job.options), &written) ||
            ((options_limit(&job.options) || options_normals(&job.options)) &&
             !limit_level_arrays(&job.mesh0, &job.level0.shown, job.scheme == subdiv_scheme_loop,
                                 &job.options, limit_position, limit_normal)))
            status = error_memory(error, mem_refused_size());
        if (limit_position[0]) {
            written.x = limit_position[0];
            written.y = limit_position[1];
            written.z = limit_position[2];
        }
        written.normal_x = limit_normal[0];
        written.normal_y = limit_normal[1];
        written.normal_z = limit_normal[2];
    }
    // a job of no iterations lets its connectivity go before the input is written
    refine_job_free(&job);
    if (status == subdiv_ok && iterations == 0) status = whole(&written, options, context, error);
    mem_free(written.crease_vertices);
    mem_free(written.crease_sharpness);
    mem_free(written.vertex_sharpness);
    for (int k = 0; k < 3; ++k) {
        mem_free(limit_position[k]);
        mem_free(limit_normal[k]);
    }
    // what of the input the levels did not take over: all of it, or nothing
    geom_release(input);
    return status;
}

// ---------------------------------------------------------------- to a file

namespace {

// The file a refinement writes, its format, what its writing reports to
// (null for none), and the counts it wrote.
struct counted_file {
    const char* path;
    bool shortest;
    subdiv_format format; // obj, ply or ply_ascii
    const write_progress* progress;
    uint64_t n_vertices, n_faces;
};

// The last step as the text of a file.
struct final_text {
    obj_source source;
    obj_stream_buffers buffers;
    bool shortest;
    const write_progress* progress;
};

// The last step as PLY.
struct final_ply {
    ply_stream stream;
    const write_progress* progress;
};

} // namespace

static int final_fill(int fd, void* context)
{
    const auto* text = static_cast<const final_text*>(context);
    return obj_stream_write(fd, &text->source, text->shortest, &text->buffers, text->progress);
}

static int ply_fill(int fd, void* context)
{
    auto* ply = static_cast<final_ply*>(context);
    return ply_stream_write(fd, &ply->stream, ply->progress);
}

static subdiv_status write_last_level(final_step* step, uint32_t threads, void* context,
                                      subdiv_error* error)
{
    auto* file = static_cast<counted_file*>(context);
    file->n_vertices = step->n_vertices;
    file->n_faces = step->n_faces;
    if (file->format == subdiv_format_obj) {
        final_text text;
        final_step_source(step, &text.source);
        text.shortest = file->shortest;
        text.progress = file->progress;
        // the buffers come before the file: a refusal creates none
        if (!obj_stream_alloc(&text.buffers, &text.source, threads))
            return error_memory(error, mem_refused_size());
        const output_text file_text = {final_fill, &text};
        const subdiv_status status = output_file_write(file->path, &file_text, error);
        obj_stream_free(&text.buffers);
        return status;
    }
    obj_source source;
    final_step_source(step, &source);
    const char* name = std::strcmp(file->path, "-") == 0 ? "standard output" : file->path;
    final_ply ply;
    ply.progress = file->progress;
    subdiv_status status = ply_stream_open(&source, file->format == subdiv_format_ply_ascii,
                                           file->shortest, threads, name, &ply.stream, error);
    if (status != subdiv_ok) return status;
    const output_text text = {ply_fill, &ply};
    status = output_file_write(file->path, &text, error);
    ply_stream_close(&ply.stream);
    return status;
}

static subdiv_status write_whole_level(const geom* input, const subdiv_options* options,
                                       void* context, subdiv_error* error)
{
    auto* file = static_cast<counted_file*>(context);
    file->n_vertices = input->n_vertices;
    file->n_faces = input->n_faces;
    return file->format == subdiv_format_obj
               ? obj_write_path(file->path, input, options, error)
               : ply_write_path(file->path, input, file->format == subdiv_format_ply_ascii,
                                options, error);
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
    if (format != subdiv_format_obj && input->face_material)
        warning_report(options, "%s: PLY has no materials; the faces' materials are left out",
                       path);
    const write_progress progress = {
        options && options->write_progress ? options->write_progress : nullptr,
        options ? options->context : nullptr};
    counted_file file = {path, options && options->precision == subdiv_precision_shortest, format,
                         progress.report ? &progress : nullptr, 0, 0};
    const subdiv_status status = refine_streamed(input, iterations, options, output_streamed,
                                                 write_whole_level, write_last_level, &file, error);
    if (n_vertices) *n_vertices = status == subdiv_ok ? file.n_vertices : 0;
    if (n_faces) *n_faces = status == subdiv_ok ? file.n_faces : 0;
    return status;
}

// ---------------------------------------------------------------- to arrays

// The layout subdiv.h gives callers that read the record by its offsets.
static_assert(sizeof(void*) != 8 || (offsetof(subdiv_arrays, face_size) == 40 &&
                                     offsetof(subdiv_arrays, texcoords) == 48 &&
                                     offsetof(subdiv_arrays, n_texcoords) == 64 &&
                                     offsetof(subdiv_arrays, normals) == 72 &&
                                     sizeof(subdiv_arrays) == 80),
              "subdiv_arrays: the layout subdiv.h documents");

// Allocates the arrays of a mesh of n_vertices vertices and n_corners
// corners (and n_faces + 1 offsets for faces of any sizes, face size 0,
// n_texcoords texture coordinates with one per corner when texcoords, a
// normal per vertex when normals) into *arrays; false, *arrays cleared,
// when memory is refused.
static bool arrays_alloc(subdiv_arrays* arrays, uint64_t n_vertices, uint64_t n_faces,
                         int face_size, uint64_t n_corners, bool texcoords, uint64_t n_texcoords,
                         bool normals)
{
    arrays->n_vertices = n_vertices;
    arrays->n_faces = n_faces;
    arrays->face_size = face_size;
    arrays->positions = static_cast<float*>(mem_alloc(3 * n_vertices * 4));
    arrays->corners = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    if (face_size == 0) arrays->face_start = static_cast<uint64_t*>(mem_alloc((n_faces + 1) * 8));
    if (texcoords) {
        arrays->n_texcoords = n_texcoords;
        arrays->texcoords = static_cast<float*>(mem_alloc(2 * n_texcoords * 4));
        arrays->corner_texcoords = static_cast<uint64_t*>(mem_alloc(n_corners * 8));
    }
    if (normals) arrays->normals = static_cast<float*>(mem_alloc(3 * n_vertices * 4));
    if (arrays->positions && arrays->corners && (face_size != 0 || arrays->face_start) &&
        (!texcoords || (arrays->texcoords && arrays->corner_texcoords)) &&
        (!normals || arrays->normals))
        return true;
    refine_arrays_free(arrays);
    return false;
}

static subdiv_status gather_last_level(final_step* step, uint32_t threads, void* context,
                                       subdiv_error* error)
{
    auto* arrays = static_cast<subdiv_arrays*>(context);
    const int face_size = step->loop ? 3 : 4;
    obj_source source;
    final_step_source(step, &source);
    if (!arrays_alloc(arrays, step->n_vertices, step->n_faces, face_size,
                      uint64_t(face_size) * step->n_faces, source.texcoords, source.n_texcoords,
                      source.normals))
        return error_memory(error, mem_refused_size());
    source_gather(&source, threads, face_size, arrays->positions, arrays->corners,
                  arrays->texcoords, arrays->corner_texcoords, arrays->normals);
    return subdiv_ok;
}

// The arrays of the input itself (no iterations).
static subdiv_status gather_whole_level(const geom* g, const subdiv_options*, void* context,
                                        subdiv_error* error)
{
    auto* arrays = static_cast<subdiv_arrays*>(context);
    const int n = geom_face_size(g);
    const uint64_t n_corners = geom_corner_count(g);
    if (!arrays_alloc(arrays, g->n_vertices, g->n_faces, n, n_corners, g->tex_u != nullptr,
                      g->n_texcoords, g->normal_x != nullptr))
        return error_memory(error, mem_refused_size());
    for (uint64_t v = 0; v < g->n_vertices; ++v) {
        arrays->positions[3 * v] = g->x[v];
        arrays->positions[3 * v + 1] = g->y[v];
        arrays->positions[3 * v + 2] = g->z[v];
    }
    for (uint64_t v = 0; g->normal_x && v < g->n_vertices; ++v) {
        arrays->normals[3 * v] = g->normal_x[v];
        arrays->normals[3 * v + 1] = g->normal_y[v];
        arrays->normals[3 * v + 2] = g->normal_z[v];
    }
    if (g->tex_u) {
        for (uint64_t t = 0; t < g->n_texcoords; ++t) {
            arrays->texcoords[2 * t] = g->tex_u[t];
            arrays->texcoords[2 * t + 1] = g->tex_v[t];
        }
        // the texture coordinates' corners lie face by face, as corners will
        std::memcpy(arrays->corner_texcoords, g->corner_texcoord, n_corners * 8);
    }
    if (n == 0) {
        std::memcpy(arrays->face_start, g->face_start, (g->n_faces + 1) * 8);
        std::memcpy(arrays->corners, g->corners, n_corners * 8);
        return subdiv_ok;
    }
    const uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
    for (uint64_t f = 0; f < g->n_faces; ++f)
        for (int k = 0; k < n; ++k) arrays->corners[uint64_t(n) * f + uint64_t(k)] = corner[k][f];
    return subdiv_ok;
}

subdiv_status refine_to_arrays(geom* input, int32_t iterations, const subdiv_options* options,
                               subdiv_arrays* output, subdiv_error* error)
{
    CHECK(input != nullptr && output != nullptr, "subdiv_refine_arrays: no input or output");
    *output = subdiv_arrays{};
    return refine_streamed(input, iterations, options, output_gathered, gather_whole_level,
                           gather_last_level, output, error);
}

void refine_arrays_free(subdiv_arrays* arrays)
{
    if (!arrays) return;
    mem_free(arrays->positions);
    mem_free(arrays->corners);
    mem_free(arrays->face_start);
    mem_free(arrays->texcoords);
    mem_free(arrays->corner_texcoords);
    mem_free(arrays->normals);
    *arrays = subdiv_arrays{};
}

} // namespace subdiv
