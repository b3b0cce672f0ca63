// OBJ writer: positions and faces as OBJ text.
#pragma once

#include "geom.h"

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
