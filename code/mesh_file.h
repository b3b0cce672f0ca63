// Mesh files of either format: an input's format told by its content, an
// output's by the option or the file's name; read and written through the
// OBJ and PLY modules.
#pragma once

#include <cstdint>

#include "geom.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// Refuses an options' format that is none of subdiv_format_*: returns
// subdiv_ok, or subdiv_error_usage with *error filled. options may be null.
subdiv_status mesh_format_check(const subdiv_options* options, subdiv_error* error);

// The format an output at path is written in (obj, ply or ply_ascii): the
// option's, or for auto PLY when the name ends in ".ply" in any case, else
// OBJ ("-" too). options may be null; the format must have passed
// mesh_format_check.
subdiv_format mesh_output_format(const char* path, const subdiv_options* options);

// subdiv_read (subdiv.h): the file at path, "-" for standard input.
subdiv_status mesh_read_path(const char* path, const subdiv_options* options, geom* g,
                             subdiv_error* error);

// subdiv_read_text (subdiv.h): a copy of the length bytes at text.
subdiv_status mesh_read_buffer(const char* name, const char* text, uint64_t length,
                               const char* folder, const subdiv_options* options, geom* g,
                               subdiv_error* error);

// subdiv_write (subdiv.h): *g to the file at path in the output format.
subdiv_status mesh_write_path(const char* path, const geom* g, const subdiv_options* options,
                              subdiv_error* error);

} // namespace subdiv
