// The tool's run sequence: import an OBJ file, refine it, write it.
#pragma once

#include <cstdint>

#include "geometry.h"

// Writes g to path as OBJ text: "# Vertices n", one "v x y z" line per vertex
// with six decimals, an empty line, "# Triangles n", one "f" line per face
// with 1-based indices (four per face for face size 4). A regular file is
// replaced whole through a temporary file in the same folder. Returns 1 when
// the file was written; on any failure prints one line naming the path and the
// reason and returns 0.
int obj_write(const char* path, const geom* g);

// Writes the OBJ text of g, byte for byte as obj_write does, to the open file
// descriptor fd from its current offset. Returns 0, or the errno of the first
// write that failed (nothing is written after it).
int obj_write_fd(int fd, const geom* g);

// Writes the text printf's "%f" gives for double(value) (six decimals, "inf",
// "-nan", up to 47 characters) to out without a NUL; returns its length.
int format_f6(float value, char* out);

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

// Runs one job: imports input_path, applies count iterations of the scheme
// that matches its face size (count 0 keeps the mesh as it is) and writes the
// result to output_path. Returns 1 when the output was written, 0 when the
// job failed after printing why.
int run(const char* input_path, const char* output_path, int32_t count);
