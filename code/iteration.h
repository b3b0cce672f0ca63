// The iteration loop that both schemes share: connectivity of the input,
// then step after step, each input array released right after its last
// reader, and the connectivity of each output numbered from its input's.
#pragma once

#include <cstdint>

#include "geom.h"
#include "mesh.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// Arrays of a mesh or a geom, as bits of a release set.
enum iteration_array : uint32_t {
    array_face_iedge3 = 1u << 0,
    array_iedge_vertex = 1u << 1,
    array_iedge_face = 1u << 2,
    array_iedge_next = 1u << 3,
    array_vertex_valence = 1u << 4,
    array_positions = 1u << 5, // x, y and z of a geom
    array_corners = 1u << 6,   // corner0 to corner3 of a geom
};

// What a scheme gives the loop: its step in two forms and the arrays of the
// input that it reads when. Each returns false, its output cleared, when
// memory is refused; the input is then as it was, less what the last step
// had released.
struct iteration_scheme {
    int face_size;        // of the input the scheme refines
    bool takes_polygons;  // and an input of faces of any sizes (face size 0)
    // One step of geom_in with its connectivity mesh_in into geom_out
    // (allocated here), without the output's connectivity.
    bool (*step)(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                 const subdiv_options* options);
    // The positions of a step's output alone: geom_out gets its counts and
    // positions, no faces.
    bool (*points)(const mesh* mesh_in, const geom* geom_in, geom* geom_out,
                   const subdiv_options* options);
    // The connectivity of a step's output numbered from the input's.
    bool (*derive)(const mesh* mesh_in, const geom* geom_in, const geom* geom_out, mesh* mesh_out);
    // The last step: as step, but it releases every array of mesh_in after
    // its last reader, and those of geom_in through owned_in, the record
    // that owns them, when the loop does (null for the caller's level, which
    // is only read), taking the output's corner arrays on the pages released.
    bool (*last_step)(mesh* mesh_in, const geom* geom_in, geom* owned_in, geom* geom_out,
                      const subdiv_options* options);
    uint32_t unread;            // input arrays neither the step nor derive read
    uint32_t unread_by_derive;  // input arrays derive does not read, released after the step
    uint32_t unread_by_last;    // input arrays the last step does not read
};

// Applies count (at least 1) steps of the scheme to *input, whose
// connectivity *input_mesh is (from mesh_build, which also set its n_edges),
// and moves the result into *output, which owns it afterwards, and its
// connectivity into *output_mesh unless that is null. Takes over
// *input_mesh, which is released and cleared; *input is the caller's and
// only read. Reports each iteration through the options' progress callback
// (options may be null). Returns false, *output (and *output_mesh) cleared
// and nothing held, when memory is refused.
bool iteration_run(const iteration_scheme* scheme, const geom* input, mesh* input_mesh,
                   geom* output, mesh* output_mesh, int32_t count, const subdiv_options* options);

// The same from a level that the loop takes over: the arrays of *input go
// as soon as nothing reads them, as those of every level the loop makes,
// and *input is cleared.
bool iteration_run_taking(const iteration_scheme* scheme, geom* input, mesh* input_mesh,
                          geom* output, mesh* output_mesh, int32_t count,
                          const subdiv_options* options);

// iteration_run from *input alone: builds its connectivity first. Returns
// subdiv_ok, or with *error filled and *output untouched: subdiv_error_mesh
// when mesh_build refuses the faces, subdiv_error_usage for a count below 1
// or an input of another face size; or subdiv_error_memory, *output
// cleared, when memory is refused.
subdiv_status iteration_build_and_run(const iteration_scheme* scheme, const geom* input,
                                      geom* output, int32_t count, const subdiv_options* options,
                                      subdiv_error* error);

} // namespace subdiv
