// PLY made from the blocks of a mesh that a source hands out (obj_stream.h),
// formatted on several threads and written in order, so that the writer
// never needs the mesh whole: the same sources as the OBJ text's, so that
// both formats write the same values.
#pragma once

#include <cstdint>

#include "obj_stream.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// A PLY writing job: the source, the layout of its records and what the
// writing holds. A vertex record is the source's position axes as floats x
// y z, and with normals the normal's as floats nx ny nz; a face record is
// its corners, a list of a uchar count and int indices (uint past 2^31
// vertices), and with texture coordinates the list texcoord of a uchar
// count and the floats u v of each corner.
struct ply_stream {
    const obj_source* source;
    bool ascii;          // format ascii 1.0, else binary_little_endian 1.0
    bool shortest;       // ascii: the fewest digits that read back, else six decimals
    bool uint_indices;   // the index type is uint (more than 2^31 vertices)
    uint32_t threads;
    char* header;        // the header's text
    uint64_t header_length;
    float* tex_u;        // with texture coordinates: all of the source's, gathered
    float* tex_v;
    char** buffers;      // a buffer per thread
};

// Prepares the writing of the source to a file named path (for messages),
// on up to `threads` threads: the header, the buffers and, with texture
// coordinates, every one of them gathered from the source's blocks (a face
// record repeats the u v of each corner). Returns subdiv_ok, or with *error
// filled and nothing held: subdiv_error_limit (more vertices than 32-bit
// indices number) or subdiv_error_memory.
subdiv_status ply_stream_open(const obj_source* source, bool ascii, bool shortest,
                              uint32_t threads, const char* path, ply_stream* stream,
                              subdiv_error* error);

// Writes the PLY of an opened stream to fd from its current offset: the
// header, "comment written by subdiv VERSION", the vertex records, the face
// records; the blocks formatted on the stream's threads and written in
// block order by a block_writer, which reports to progress (may be null).
// Returns 0, or the errno of a write that failed (the blocks not yet
// written then are not).
int ply_stream_write(int fd, ply_stream* stream, const write_progress* progress);

// Releases what ply_stream_open allocated.
void ply_stream_close(ply_stream* stream);

} // namespace subdiv
