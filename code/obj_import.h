// OBJ import: an OBJ file read whole, parsed, and copied into a geom.
#pragma once

#include <cstdint>

#include "geom.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// Reads the whole file behind fd, from its offset, into a NUL-terminated
// block from mem_alloc (the readers of every format take files this way); a
// large regular file in parts on up to `threads` threads. Returns subdiv_ok
// with the block and its length, or a failure naming name.
subdiv_status read_whole_file(int fd, const char* name, uint32_t threads, char** text,
                              uint64_t* length, subdiv_error* error);

// obj_import (subdiv.h): the file at path, "-" for standard input.
subdiv_status obj_import_path(const char* path, const subdiv_options* options, geom* g,
                              subdiv_error* error);

// obj_import_text (subdiv.h): a copy of the length bytes at text.
subdiv_status obj_import_buffer(const char* name, const char* text, uint64_t length,
                                const char* folder, const subdiv_options* options, geom* g,
                                subdiv_error* error);

// The import of obj_import after the read: parses the length bytes of OBJ
// text at text, a block from mem_alloc with a NUL at text[length], which this
// takes over (it may change the text, and releases it), into *g. Names and
// returns as obj_import_text.
subdiv_status obj_import_block(const char* name, char* text, uint64_t length, const char* folder,
                               const subdiv_options* options, geom* g, subdiv_error* error);

} // namespace subdiv
