// Flat arrays from the blocks of an OBJ source, for callers that hold meshes
// as arrays: x y z of each vertex side by side, and the corners of each face
// side by side.
#pragma once

#include <cstdint>

#include "obj_stream.h"

namespace subdiv {

// Copies the source's vertices into positions (three floats each, n_vertices
// of them) and its faces, every one of face_size corners (3 or 4), into
// corners (face_size entries each, n_faces of them), in the order of the
// text; block by block on up to `threads` threads. A source with texture
// coordinates also fills texcoords (two floats each, n_texcoords of them) and
// corner_texcoords (as corners); without, those two are not touched. A
// source with normals fills normals (three floats per vertex), else leaves
// it untouched.
void source_gather(const obj_source* source, uint32_t threads, int face_size, float* positions,
                   uint64_t* corners, float* texcoords, uint64_t* corner_texcoords,
                   float* normals);

} // namespace subdiv
