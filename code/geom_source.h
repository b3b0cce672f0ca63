// A geom in memory as a source of blocks (obj_stream.h), which point into
// its arrays: what the writers of every format read a held mesh through.
#pragma once

#include <cstdint>

#include "geom.h"
#include "obj_stream.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// What a source of a geom holds besides the geom: the table of its material
// names and the material in force before each block of faces.
struct geom_source {
    const geom* g;
    const char** names;
    int32_t* material_before;
};

// Fills *source with the blocks of *g (8192 vertices, texture coordinates,
// normals when it has all three arrays, faces, creases or vertices'
// sharpness each; faces of any size but 4 are given as 3 or, for face size
// 0, by their offsets), *state holding what it needs. Returns subdiv_ok, or
// subdiv_error_memory with *error filled and nothing held.
subdiv_status geom_source_open(const geom* g, geom_source* state, obj_source* source,
                               subdiv_error* error);

// Releases what geom_source_open allocated.
void geom_source_close(geom_source* state);

} // namespace subdiv
