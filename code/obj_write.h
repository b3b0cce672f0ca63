// OBJ writer: positions and faces as OBJ text.
#pragma once

#include "geom.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// obj_write (subdiv.h): the OBJ text of g into the file at path, "-" for
// standard output. Everything the text needs is allocated before the file
// is opened: a refusal of memory creates no file.
subdiv_status obj_write_path(const char* path, const geom* g, const subdiv_options* options,
                             subdiv_error* error);

// Writes the OBJ text of g, byte for byte as obj_write does, to the open file
// descriptor fd from its current offset; options (may be null) give the
// precision and the threads. Returns 0, or the errno of the first write that
// failed (nothing is written after it), or ENOMEM when memory is refused
// (nothing is written).
int obj_write_fd(int fd, const geom* g, const subdiv_options* options);

} // namespace subdiv
