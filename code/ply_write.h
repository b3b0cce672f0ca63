// PLY writer: a geom in memory as binary or ascii PLY.
#pragma once

#include "geom.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// Writes *g to the file at path ("-": standard output) as PLY (ply_stream.h):
// binary_little_endian, or ascii with numbers as the OBJ text writes them
// (the option precision); the texture coordinates of the corners when *g
// has them. The file is replaced whole or not at all (output_file.h).
// Returns subdiv_ok, or with *error filled: subdiv_error_write,
// subdiv_error_limit (more vertices than 32-bit indices number) or
// subdiv_error_memory.
subdiv_status ply_write_path(const char* path, const geom* g, bool ascii,
                             const subdiv_options* options, subdiv_error* error);

} // namespace subdiv
