// PLY import: a PLY file held whole, its header read, its counts checked
// against its size, its vertices and faces copied into a geom.
#pragma once

#include <cstdint>

#include "geom.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// Reads the length bytes of PLY at text (ascii, binary_little_endian or
// binary_big_endian), a block from mem_alloc which this takes over and
// releases, into *g (cleared first) as an OBJ import fills it: positions,
// the corners of the element face's vertex_indices (or vertex_index) list,
// and with the option uv the texture coordinates of the face lists texcoord
// (u v per corner; corners with the same vertex and the same bits of u and v
// share one) or of the vertex properties s t, u v or texture_u texture_v.
// Other properties and elements are skipped. Messages name name, the
// element and its record (from 1). Returns subdiv_ok, or with *g cleared:
// subdiv_error_syntax (a header that does not read, counts the data cannot
// hold, truncated or trailing data, an index out of range, a value that is
// no finite float, a face of more than 15 corners), subdiv_error_mesh (no
// faces, a face of fewer than 3 corners) or subdiv_error_memory.
subdiv_status ply_import_block(const char* name, char* text, uint64_t length,
                               const subdiv_options* options, geom* g, subdiv_error* error);

} // namespace subdiv
