// The iteration loop that both schemes share.
#include "iteration.h"

#include "check.h"
#include "error.h"
#include "face_varying.h"
#include "options.h"
#include "sharpness.h"
#include "storage.h"

namespace subdiv {

// Releases the arrays of set from *m and, when owned, from *g.
static void iteration_release(uint32_t set, mesh* m, geom* g, bool owned)
{
    if (set & array_face_iedge3) mem_release(&m->face_iedge3);
    if (set & array_iedge_vertex) mem_release(&m->iedge_vertex);
    if (set & array_iedge_face) mem_release(&m->iedge_face);
    if (set & array_iedge_next) mem_release(&m->iedge_next);
    if (set & array_vertex_valence) mem_release(&m->vertex_valence);
    if (!owned) return;
    if (set & array_positions) {
        mem_release(&g->x);
        mem_release(&g->y);
        mem_release(&g->z);
    }
    if (set & array_corners) {
        mem_release(&g->corner0);
        mem_release(&g->corner1);
        mem_release(&g->corner2);
        mem_release(&g->corner3);
    }
}

void iteration_run(const iteration_scheme* scheme, const geom* input, mesh* input_mesh,
                   geom* output, mesh* output_mesh, int32_t count, const subdiv_options* options)
{
    CHECK(scheme != nullptr && input != nullptr && input_mesh != nullptr && output != nullptr,
          "iteration_run: no record");
    CHECK(count >= 1 && (geom_face_size(input) == scheme->face_size ||
                         (scheme->takes_polygons && geom_face_size(input) == 0)),
          "iteration_run: %d iterations of faces of %d corners, not %d", count,
          geom_face_size(input), scheme->face_size);

    geom geom_in = *input; // shares the caller's arrays, which are never released here
    geom geom_out = {};
    mesh mesh_in = *input_mesh, mesh_out = {};
    *input_mesh = mesh{};
    for (int32_t iteration = 1; iteration <= count; ++iteration) {
        const bool owned = geom_in.x != input->x; // the caller's arrays are never released
        // what nothing reads goes before the output is allocated
        iteration_release(scheme->unread, &mesh_in, &geom_in, owned);
        // the last geometry needs no connectivity unless the caller takes it;
        // texture coordinates read the input's faces after the step, which
        // the last step releases
        mesh_out = mesh{};
        const bool derive = iteration < count || output_mesh;
        // the sharpness the last level keeps, for the record that holds it
        geom kept = {};
        if (!derive) {
            const uint64_t face_points = scheme->face_size == 3 ? 0 : geom_in.n_faces;
            kept.n_vertices = geom_in.n_vertices + face_points + geom_in.n_edges;
            sharpness_output_step(&mesh_in, &geom_in, geom_in.n_vertices + face_points,
                                  options_smooth_corners(options), &kept);
        }
        if (derive || geom_in.tex_u) {
            scheme->step(&mesh_in, &geom_in, &geom_out, options);
            texcoords_step(&mesh_in, &geom_in, &geom_out);
            if (derive) {
                iteration_release(scheme->unread_by_derive, &mesh_in, &geom_in, owned);
                scheme->derive(&mesh_in, &geom_in, &geom_out, &mesh_out);
            }
        } else {
            iteration_release(scheme->unread_by_last, &mesh_in, &geom_in, owned);
            scheme->last_step(&mesh_in, &geom_in, &geom_out, owned, options);
        }
        materials_step(&geom_in, &geom_out);
        geom_out.n_creases = kept.n_creases;
        geom_out.crease_vertices = kept.crease_vertices;
        geom_out.crease_sharpness = kept.crease_sharpness;
        geom_out.vertex_sharpness = kept.vertex_sharpness;
        geom_out.boundary_corners = geom_in.boundary_corners;
        if (options && options->progress)
            options->progress(options->context, iteration, geom_in.n_vertices,
                              geom_out.n_vertices);
        // the input pair goes, the output pair takes its place
        mesh_free(&mesh_in);
        if (owned) geom_release(&geom_in);
        geom_in = geom_out;
        mesh_in = mesh_out;
    }
    if (output_mesh)
        *output_mesh = mesh_in;
    else
        mesh_free(&mesh_in);
    *output = geom_out;
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
    geom level0 = *input;
    mesh mesh0 = {};
    const subdiv_status status = mesh_build(&mesh0, &level0, error);
    if (status != subdiv_ok) return status;
    iteration_run(scheme, &level0, &mesh0, output, nullptr, count, options);
    return subdiv_ok;
}

} // namespace subdiv
