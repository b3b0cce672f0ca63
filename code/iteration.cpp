// The iteration loop that both schemes share.
#include "iteration.h"

#include "check.h"
#include "error.h"
#include "face_varying.h"
#include "mesh_twins.h"
#include "options.h"
#include "sharpness.h"
#include "storage.h"

namespace subdiv {

// Releases the arrays of set from *m and, when the loop owns them, from
// *owned (null: the caller's level).
static void iteration_release(uint32_t set, mesh* m, geom* owned)
{
    if (set & array_face_iedge3) mem_release(&m->face_iedge3);
    if (set & array_iedge_vertex) mem_release(&m->iedge_vertex);
    if (set & array_iedge_face) mem_release(&m->iedge_face);
    if (set & array_iedge_next) mem_release(&m->iedge_next);
    if (set & array_vertex_valence) mem_release(&m->vertex_valence);
    if (!owned) return;
    if (set & array_positions) {
        mem_release(&owned->x);
        mem_release(&owned->y);
        mem_release(&owned->z);
    }
    if (set & array_corners) {
        mem_release(&owned->corner0);
        mem_release(&owned->corner1);
        mem_release(&owned->corner2);
        mem_release(&owned->corner3);
    }
}

// The loop of iteration_run and iteration_run_taking: the first level is
// *input, which the loop owns when owned_input (the same record) is not
// null; every level after it is the loop's own.
static bool iteration_loop(const iteration_scheme* scheme, const geom* input, geom* owned_input,
                           mesh* input_mesh, geom* output, mesh* output_mesh, int32_t count,
                           const subdiv_options* options)
{
    CHECK(scheme != nullptr && input != nullptr && input_mesh != nullptr && output != nullptr,
          "iteration_run: no record");
    CHECK(count >= 1 && (geom_face_size(input) == scheme->face_size ||
                         (scheme->takes_polygons && geom_face_size(input) == 0)),
          "iteration_run: %d iterations of faces of %d corners, not %d", count,
          geom_face_size(input), scheme->face_size);

    // the level a step reads, and the record it may release that level
    // through: none for the caller's, only read
    geom level_in = {}, level_out = {};
    const geom* geom_in = input;
    geom* owned_in = nullptr;
    if (owned_input) {
        level_in = *owned_input;
        *owned_input = geom{};
        geom_in = owned_in = &level_in;
    }
    mesh mesh_in = *input_mesh, mesh_out = {};
    *input_mesh = mesh{};
    bool made = true;
    for (int32_t iteration = 1; iteration <= count && made; ++iteration) {
        // what nothing reads goes before the output is allocated; the
        // texture coordinates of modes other than linear walk the rings
        // first
        const uint32_t rings = geom_in->tex_u && options_uv_mode(options) != subdiv_uv_linear
                                   ? uint32_t(array_iedge_next | array_iedge_face)
                                   : 0u;
        iteration_release(scheme->unread & ~rings, &mesh_in, owned_in);
        // the last geometry needs no connectivity unless the caller takes it;
        // texture coordinates read the input's faces after the step, which
        // the last step releases
        const bool derive = iteration < count || output_mesh;
        // the sharpness the last level keeps, for the record that holds it
        geom kept = {};
        if (iteration == count) {
            const uint64_t face_points = scheme->face_size == 3 ? 0 : geom_in->n_faces;
            kept.n_vertices = geom_in->n_vertices + face_points + geom_in->n_edges;
            made = sharpness_output_step(&mesh_in, geom_in, geom_in->n_vertices + face_points,
                                         options_smooth_corners(options), &kept);
        }
        if (made && (derive || geom_in->tex_u)) {
            made = scheme->step(&mesh_in, geom_in, &level_out, options) &&
                   texcoords_step(&mesh_in, geom_in, &level_out, options);
            iteration_release(scheme->unread & rings, &mesh_in, owned_in);
            if (made && derive) {
                iteration_release(scheme->unread_by_derive, &mesh_in, owned_in);
                made = scheme->derive(&mesh_in, geom_in, &level_out, &mesh_out);
            }
        } else if (made) {
            iteration_release(scheme->unread_by_last, &mesh_in, owned_in);
            made = scheme->last_step(&mesh_in, geom_in, owned_in, &level_out, options);
        }
        made = made && materials_step(geom_in, &level_out);
        if (made) {
            level_out.n_creases = kept.n_creases;
            level_out.crease_vertices = kept.crease_vertices;
            level_out.crease_sharpness = kept.crease_sharpness;
            level_out.vertex_sharpness = kept.vertex_sharpness;
            level_out.boundary_corners = geom_in->boundary_corners;
        } else {
            geom_release(&kept);
        }
        if (made && options && options->progress)
            options->progress(options->context, iteration, geom_in->n_vertices,
                              level_out.n_vertices);
        // the input pair goes, the output pair takes its place
        mesh_free(&mesh_in);
        geom_release(owned_in);
        level_in = level_out;
        geom_in = owned_in = &level_in;
        mesh_in = mesh_out;
        level_out = geom{};
        mesh_out = mesh{};
    }
    if (!made) {
        // what the failed step made
        mesh_free(&mesh_in);
        geom_release(&level_in);
    }
    if (output_mesh)
        *output_mesh = mesh_in;
    else
        mesh_free(&mesh_in);
    *output = level_in;
    return made;
}

bool iteration_run(const iteration_scheme* scheme, const geom* input, mesh* input_mesh,
                   geom* output, mesh* output_mesh, int32_t count, const subdiv_options* options)
{
    return iteration_loop(scheme, input, nullptr, input_mesh, output, output_mesh, count, options);
}

bool iteration_run_taking(const iteration_scheme* scheme, geom* input, mesh* input_mesh,
                          geom* output, mesh* output_mesh, int32_t count,
                          const subdiv_options* options)
{
    return iteration_loop(scheme, input, input, input_mesh, output, output_mesh, count, options);
}

subdiv_status iteration_build_and_run(const iteration_scheme* scheme, const geom* input,
                                      geom* output, int32_t count, const subdiv_options* options,
                                      subdiv_error* error)
{
    CHECK(scheme != nullptr && input != nullptr && output != nullptr,
          "iteration_build_and_run: no record");
    if (count <= 0)
        return error_set(error, subdiv_error_usage, {}, "the iteration count %d is not positive",
                         count);
    if (geom_face_size(input) != scheme->face_size &&
        !(scheme->takes_polygons && geom_face_size(input) == 0))
        return error_set(error, subdiv_error_usage, {},
                         "a scheme for faces of %d corners cannot refine faces of %d",
                         scheme->face_size, geom_face_size(input));
    // the connectivity is built on a record of the caller's arrays, which
    // takes the edge count
    geom_view level0 = {*input};
    mesh mesh0 = {};
    const subdiv_status status =
        mesh_build_paired(&mesh0, &level0.shown, options_threads(options), error);
    if (status != subdiv_ok) return status;
    if (!iteration_run(scheme, &level0.shown, &mesh0, output, nullptr, count, options))
        return error_memory(error, mem_refused_size());
    return subdiv_ok;
}

} // namespace subdiv
