// OBJ text made from blocks of a mesh that a source hands out on request,
// formatted on several threads and written in order, so that the writer
// never needs the mesh whole: a geom in memory is one source, the last step
// of a refinement another.
#pragma once

#include <cstdint>

#include "block_writer.h"

namespace subdiv {

// Points of a block: count entries of two axes (texture coordinates) or
// three (positions).
struct obj_points {
    uint64_t count;
    const float* axis[3];
};

// Faces of a block. Corner k of face j is corner[k][j] for a face size n of
// 3 or 4; for face size 0 it is corners[start[j] + k], k below
// start[j + 1] − start[j].
struct obj_faces {
    uint64_t count;
    int face_size;
    const uint64_t* corner[4];
    const uint64_t* start;    // face size 0: count + 1 entries
    const uint64_t* corners;  // face size 0
    const uint64_t* texcoord; // null, or the texture coordinate of face j's corner k at
                              // j n + k (face size n) or at start[j] + k (face size 0)
    const int32_t* material;  // null, or the material of each face (−1: none)
    int32_t material_before;  // the material named by the last usemtl line before the
                              // block's first face, −1 for none
};

// Sharp features left in a block: a line "t crease 2/1/0 a b s" per crease
// (zero-based ends), then a line "t corner 1/1/0 v s" per vertex of the
// block whose sharpness is above 0.
struct obj_tags {
    uint64_t n_creases;
    const uint64_t* crease_vertices; // 2 n_creases entries: the ends of each
    const float* crease_sharpness;   // n_creases entries
    uint64_t n_vertices;             // vertices first_vertex on
    uint64_t first_vertex;
    const float* vertex_sharpness;   // n_vertices entries, or null for none
};

// What the text is made of: the counts its headers give, and the sections of
// blocks that the callbacks fill on request, each from any thread (thread is
// the number of the calling thread, below the writer's thread count) and for
// any block in any order. Pointers they store stay valid until the next call
// of the same callback from the same thread: a thread may hold a block of
// vertices and the same block of normals at once.
struct obj_source {
    uint64_t n_vertices;
    uint64_t n_texcoords;
    uint64_t n_faces;
    bool texcoords;                     // "vt" lines, and faces that name them
    const char* material_library;       // the "mtllib" line's name, or null for none
    const char* const* material_names;  // the name of each material the faces use
    uint64_t vertex_blocks;
    uint64_t texcoord_blocks;
    uint64_t face_blocks;
    void (*vertices)(void* context, uint64_t block, uint32_t thread, obj_points* points);
    void (*texcoord_points)(void* context, uint64_t block, uint32_t thread, obj_points* points);
    void (*faces)(void* context, uint64_t block, uint32_t thread, obj_faces* faces);
    uint64_t tag_blocks;                // sharp features after the faces, 0 for none
    void (*tags)(void* context, uint64_t block, uint32_t thread, obj_tags* tags);
    void* context;
    bool normals;                       // a normal per vertex ("vn" lines), and faces that name
                                        // them: a corner's normal is its vertex's
    uint64_t normal_blocks;
    void (*normal_points)(void* context, uint64_t block, uint32_t thread, obj_points* points);
};

// The text buffers of a stream, one per thread that formats blocks, all
// allocated before anything is written: writing then allocates nothing.
struct obj_stream_buffers {
    char* text;        // threads buffers one after the other
    void* index_texts; // threads tables of the texts of face corners' indices
    uint32_t threads; // the threads that write: at most those asked for, at most the blocks
};

// Allocates the buffers of writing source on up to `threads` threads.
// Returns false, *buffers cleared, when memory is refused.
bool obj_stream_alloc(obj_stream_buffers* buffers, const obj_source* source, uint32_t threads);

// Releases the buffers and clears the record. Harmless for a cleared one.
void obj_stream_free(obj_stream_buffers* buffers);

// Writes the OBJ text of the source to fd from its current offset: the
// "mtllib" line when there is a library, "# Vertices n" and a "v x y z" line
// per vertex, with texture coordinates an empty line, "# Texture
// coordinates n" and a "vt u v" line each, with normals an empty line,
// "# Normals n" and a "vn x y z" line per vertex, then an empty line,
// "# Triangles n" and an "f" line per face with 1-based indices ("v/vt" with
// texture coordinates, "v//v" with normals, "v/vt/v" with both), a "usemtl
// NAME" line before each run of faces of one material, then the "t" lines
// of the sharp features, if any. Coordinates
// have six decimals, or with shortest the fewest digits that read back to
// the same float. The blocks are formatted on the buffers' threads, from
// obj_stream_alloc for this source, and written in block order by a
// block_writer, which reports to progress (may be null). Returns 0, or the
// errno of a write that failed (the blocks not yet written then are not).
int obj_stream_write(int fd, const obj_source* source, bool shortest,
                     const obj_stream_buffers* buffers, const write_progress* progress);

} // namespace subdiv
