// The "t" statements of an OBJ text that name sharp features:
//
//   t crease n/1/0 v0 v1 ... v(n-1) s     each consecutive pair an edge of sharpness s
//   t corner n/1/0 v0 ... v(n-1) s        each vertex of sharpness s
//   t corner n/n/0 v0 ... v(n-1) s0 ... s(n-1)
//   t interpolateboundary 1/0/0 k         the boundary's corners: 1 sharp, 2 smooth
//
// Vertex indices count from 0 over every vertex of the file, whichever line
// the tag stands on: tags are read after the rest. Other tags are passed
// over with a warning.
#pragma once

#include <cstdint>

#include "geom.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// Where a "t" line of the text is: [offset, end) and its line number.
struct obj_tag_line {
    uint64_t offset;
    uint64_t end;
    uint64_t line;
};

// The sharp features the tags name, before they are checked against the
// faces. Arrays are blocks of mem_alloc, null when empty.
struct obj_tag_set {
    uint64_t n_creases;
    uint64_t* crease_vertices; // 2 n_creases entries: the ends of each edge
    float* crease_sharpness;   // n_creases entries
    uint64_t* crease_line;     // n_creases entries: the line that names each
    uint64_t n_corners;
    uint64_t* corner_vertices; // n_corners entries
    float* corner_sharpness;   // n_corners entries
    int64_t boundary_corners;  // subdiv_corners_sharp or _smooth as the last
                               // interpolateboundary asks (sharp without one)
};

// Reads the n_lines tag lines of text (NUL-ended) of a file of n_vertices
// vertices into *tags (which it clears first), in ranges on up to `threads`
// threads when they are many; the result, warnings and failures are those of
// a reading in order. Warns once per tag name it
// passes over, and for interpolateboundary 0 or above 2. Returns subdiv_ok,
// or with *tags empty and *error naming the file and line:
// subdiv_error_syntax for counts that do not match the values, a crease of
// fewer than 2 vertices, an index that is not a vertex of the file, a
// sharpness that is negative or not a finite number; or subdiv_error_memory.
subdiv_status obj_tags_parse(const char* name, const char* text, const obj_tag_line* lines,
                             uint64_t n_lines, uint64_t n_vertices,
                             const subdiv_options* options, uint32_t threads,
                             obj_tag_set* tags, subdiv_error* error);

// Checks the creases of *tags against the faces of *g (each pair an edge of a
// face) and moves the tags into *g: its crease list, its vertex sharpness
// (the larger where a vertex is named twice) and boundary_corners, on up
// to `threads` threads. Returns
// subdiv_ok, or subdiv_error_mesh naming the file, the line and the pair
// that no face joins, or subdiv_error_memory; *tags is released either way.
subdiv_status obj_tags_apply(const char* name, obj_tag_set* tags, geom* g, uint32_t threads,
                             subdiv_error* error);

// Releases the arrays of *tags and clears it.
void obj_tag_set_free(obj_tag_set* tags);

} // namespace subdiv
