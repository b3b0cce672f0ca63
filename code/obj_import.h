// OBJ import: an OBJ file read whole, parsed, and copied into a geom.
#pragma once

#include <cstdint>

#include "geom.h"

// Loads the OBJ file at path into *g (what it held is overwritten, not
// released): positions and the position index of every face corner, face
// size 3 or 4 from the faces, n_edges half the corner total. On failure
// (unreadable file, reader error, no faces, faces of other sizes than 3 and 4
// or of mixed sizes, a position index outside the vertices read) prints one
// line naming the file and the problem and returns false.
bool obj_import(const char* path, geom* g);

// The import of obj_import after the read: parses the length bytes of OBJ text
// at text (a block from mem_alloc with a NUL at text[length], which this
// releases) into *g, naming the text name in messages and looking up material
// libraries in folder (null or "" for the current one). Returns as obj_import.
bool obj_import_text(const char* name, char* text, uint64_t length, const char* folder, geom* g);
