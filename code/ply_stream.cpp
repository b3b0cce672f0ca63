// PLY from the blocks of a source.
//
// As for the OBJ text, every block is formatted into its thread's buffer and
// written in block order (block_writer); a block that outgrows the buffer
// waits for its turn at the first full buffer and keeps the turn until its
// end. The header is the first block, the vertices' and the faces' blocks
// follow.
//
// A face record gives the u v of each corner, while the source numbers
// texture coordinates and gives their values in blocks of its own: they
// are gathered once, before anything is written, from the same blocks that
// the OBJ text writes as "vt" lines.
#include "ply_stream.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "block_writer.h"
#include "check.h"
#include "error.h"
#include "float_text.h"
#include "obj_numbers.h"
#include "parallel.h"
#include "storage.h"

namespace subdiv {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "binary_little_endian records are stored as the machine holds them");

// The buffer of each thread, and the room kept free past its fill mark for
// one more record: the longest is an ascii face of 15 corners with texture
// coordinates, 15 indices of up to 20 digits and 30 numbers of up to 47
// characters with their separators, eight scratch bytes past the end.
static const uint64_t buffer_size = uint64_t(1) << 20;
static const uint64_t record_room = 4096;

// The vertex properties, in record order, then with normals those of the normal.
static const char* const vertex_properties[] = {"x", "y", "z"};
static const char* const normal_properties[] = {"nx", "ny", "nz"};
static const int vertex_axes = 3;

// ---------------------------------------------------------------- the header

// Appends the printf-style text to the header, within its block of `size` bytes.
static void header_put(ply_stream* s, uint64_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

static void header_put(ply_stream* s, uint64_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(s->header + s->header_length, size - s->header_length, format, args);
    va_end(args);
    CHECK(n >= 0 && uint64_t(n) < size - s->header_length, "ply_stream: a header beyond %llu bytes",
          (unsigned long long)size);
    s->header_length += uint64_t(n);
}

// The header text for the source into a new block of stream->header.
static subdiv_status header_make(ply_stream* s, subdiv_error* error)
{
    const uint64_t size = 1024;
    s->header = static_cast<char*>(mem_alloc(size));
    if (!s->header) return error_memory(error, size);
    s->header_length = 0;
    header_put(s, size, "ply\nformat %s 1.0\n", s->ascii ? "ascii" : "binary_little_endian");
    header_put(s, size, "comment written by subdiv %d.%d.%d\n", SUBDIV_VERSION_MAJOR,
               SUBDIV_VERSION_MINOR, SUBDIV_VERSION_PATCH);
    header_put(s, size, "element vertex %llu\n", (unsigned long long)s->source->n_vertices);
    for (const char* name : vertex_properties) header_put(s, size, "property float %s\n", name);
    if (s->source->normals)
        for (const char* name : normal_properties) header_put(s, size, "property float %s\n", name);
    header_put(s, size, "element face %llu\n", (unsigned long long)s->source->n_faces);
    header_put(s, size, "property list uchar %s vertex_indices\n", s->uint_indices ? "uint" : "int");
    if (s->source->texcoords) header_put(s, size, "property list uchar float texcoord\n");
    header_put(s, size, "end_header\n");
    return subdiv_ok;
}

// ---------------------------------------------------------------- texture coordinates

namespace {

struct gather_job {
    ply_stream* stream;
    parallel_turns turns;
    uint64_t next; // the first texture coordinate of the block whose turn it is
};

} // namespace

static void gather_block(void* context, uint64_t b, uint32_t thread)
{
    auto* job = static_cast<gather_job*>(context);
    const obj_source* source = job->stream->source;
    obj_points points = {};
    source->texcoord_points(source->context, b, thread, &points);
    parallel_turn_wait(&job->turns, b);
    const uint64_t first = job->next;
    job->next += points.count;
    parallel_turn_pass(&job->turns);
    CHECK(first + points.count <= source->n_texcoords,
          "ply_stream: more texture coordinates than %llu",
          (unsigned long long)source->n_texcoords);
    std::memcpy(job->stream->tex_u + first, points.axis[0], points.count * 4);
    std::memcpy(job->stream->tex_v + first, points.axis[1], points.count * 4);
}

// ---------------------------------------------------------------- opening

subdiv_status ply_stream_open(const obj_source* source, bool ascii, bool shortest,
                              uint32_t threads, const char* path, ply_stream* stream,
                              subdiv_error* error)
{
    *stream = ply_stream{};
    stream->source = source;
    stream->ascii = ascii;
    stream->shortest = shortest;
    stream->threads = threads < 1 ? 1 : threads;
    // the indices are 32 bits: int up to 2^31 vertices, then uint
    if (source->n_vertices > (uint64_t(1) << 32))
        return error_set(error, subdiv_error_limit, {},
                         "cannot write '%s': PLY's 32-bit vertex indices cannot number %llu "
                         "vertices",
                         path, (unsigned long long)source->n_vertices);
    stream->uint_indices = source->n_vertices > (uint64_t(1) << 31);
    subdiv_status status = header_make(stream, error);

    if (status == subdiv_ok && source->texcoords) {
        const uint64_t bytes = source->n_texcoords * 4;
        stream->tex_u = static_cast<float*>(mem_alloc(bytes));
        stream->tex_v = stream->tex_u ? static_cast<float*>(mem_alloc(bytes)) : nullptr;
        if (!stream->tex_v) status = error_memory(error, bytes);
    }
    const uint64_t n_blocks = 1 + source->vertex_blocks + source->face_blocks;
    if (stream->threads > n_blocks) stream->threads = uint32_t(n_blocks);
    if (status == subdiv_ok) {
        const uint64_t bytes = stream->threads * sizeof(char*);
        stream->buffers = static_cast<char**>(mem_alloc(bytes));
        if (!stream->buffers) status = error_memory(error, bytes);
        else std::memset(stream->buffers, 0, bytes);
    }
    for (uint32_t t = 0; status == subdiv_ok && t < stream->threads; ++t) {
        stream->buffers[t] = static_cast<char*>(mem_alloc(buffer_size + record_room));
        if (!stream->buffers[t]) status = error_memory(error, buffer_size + record_room);
    }
    if (status == subdiv_ok && source->texcoords) {
        gather_job job;
        job.stream = stream;
        job.turns.next = 0;
        job.next = 0;
        parallel_for(stream->threads, source->texcoord_blocks, gather_block, &job);
        CHECK(job.next == source->n_texcoords, "ply_stream: %llu texture coordinates, not %llu",
              (unsigned long long)job.next, (unsigned long long)source->n_texcoords);
    }
    if (status != subdiv_ok) ply_stream_close(stream);
    return status;
}

void ply_stream_close(ply_stream* stream)
{
    for (uint32_t t = 0; stream->buffers && t < stream->threads; ++t)
        mem_free(stream->buffers[t]);
    mem_free(stream->buffers);
    mem_free(stream->header);
    mem_free(stream->tex_u);
    mem_free(stream->tex_v);
    *stream = ply_stream{};
}

// ---------------------------------------------------------------- blocks

namespace {

struct write_job {
    ply_stream* stream;
    block_writer writer;
};

} // namespace

static inline void put_u8(char** p, uint64_t value) { *(*p)++ = char(uint8_t(value)); }

static inline void put_u32(char** p, uint64_t value)
{
    const uint32_t bits = uint32_t(value);
    std::memcpy(*p, &bits, 4);
    *p += 4;
}

static inline void put_f32(char** p, float value)
{
    std::memcpy(*p, &value, 4);
    *p += 4;
}

// A number of an ascii record after a blank (none before the first).
static inline void put_number(char** p, float value, bool shortest, bool first)
{
    if (!first) *(*p)++ = ' ';
    *p += shortest ? format_shortest(value, *p) : format_float(value, *p);
}

static inline void put_integer(char** p, uint64_t value, bool first)
{
    if (!first) *(*p)++ = ' ';
    *p += format_u64(value, *p);
}

// The records of a block of vertices, with their normals when not null.
static void vertex_records(block_out* o, const obj_points* points, const obj_points* normals,
                           const ply_stream* s)
{
    char* p = o->p;
    for (uint64_t i = 0; i < points->count; ++i) {
        p = block_room(o, p);
        if (s->ascii) {
            for (int a = 0; a < vertex_axes; ++a)
                put_number(&p, points->axis[a][i], s->shortest, a == 0);
            for (int a = 0; normals && a < vertex_axes; ++a)
                put_number(&p, normals->axis[a][i], s->shortest, false);
            *p++ = '\n';
        } else {
            for (int a = 0; a < vertex_axes; ++a) put_f32(&p, points->axis[a][i]);
            for (int a = 0; normals && a < vertex_axes; ++a) put_f32(&p, normals->axis[a][i]);
        }
    }
    o->p = p;
}

// Binary faces of size 3 or 4 without texture coordinates, the common case.
template <int n>
static void uniform_face_records(block_out* o, const obj_faces* faces)
{
    char* p = o->p;
    for (uint64_t j = 0; j < faces->count; ++j) {
        p = block_room(o, p);
        put_u8(&p, n);
        for (int k = 0; k < n; ++k) put_u32(&p, faces->corner[k][j]);
    }
    o->p = p;
}

static void face_records(block_out* o, const obj_faces* faces, const ply_stream* s)
{
    if (!s->ascii && !faces->texcoord && faces->face_size == 4)
        return uniform_face_records<4>(o, faces);
    if (!s->ascii && !faces->texcoord && faces->face_size == 3)
        return uniform_face_records<3>(o, faces);
    const int n = faces->face_size;
    const bool uv = s->source->texcoords;
    char* p = o->p;
    for (uint64_t j = 0; j < faces->count; ++j) {
        p = block_room(o, p);
        const uint64_t first = n ? uint64_t(n) * j : faces->start[j];
        const uint64_t count = n ? uint64_t(n) : faces->start[j + 1] - first;
        auto corner = [&](uint64_t k) { return n ? faces->corner[k][j] : faces->corners[first + k]; };
        if (s->ascii) {
            put_integer(&p, count, true);
            for (uint64_t k = 0; k < count; ++k) put_integer(&p, corner(k), false);
            if (uv) {
                put_integer(&p, 2 * count, false);
                for (uint64_t k = 0; k < count; ++k) {
                    const uint64_t t = faces->texcoord[first + k];
                    put_number(&p, s->tex_u[t], s->shortest, false);
                    put_number(&p, s->tex_v[t], s->shortest, false);
                }
            }
            *p++ = '\n';
            continue;
        }
        put_u8(&p, count);
        for (uint64_t k = 0; k < count; ++k) put_u32(&p, corner(k));
        if (uv) {
            put_u8(&p, 2 * count);
            for (uint64_t k = 0; k < count; ++k) {
                const uint64_t t = faces->texcoord[first + k];
                put_f32(&p, s->tex_u[t]);
                put_f32(&p, s->tex_v[t]);
            }
        }
    }
    o->p = p;
}

// Block i: the header (0), a block of vertices, then a block of faces.
static void write_block(void* context, uint64_t i, uint32_t thread)
{
    auto* job = static_cast<write_job*>(context);
    ply_stream* s = job->stream;
    const obj_source* source = s->source;
    block_out o;
    block_out_begin(&o, &job->writer, s->buffers[thread], buffer_size, i);
    // after a failed write the rest is not formatted, but every turn passes
    if (block_writer_going(&job->writer)) {
        if (i == 0) {
            std::memcpy(o.p, s->header, s->header_length);
            o.p += s->header_length;
        } else if (i <= source->vertex_blocks) {
            obj_points points = {}, normals = {};
            source->vertices(source->context, i - 1, thread, &points);
            if (source->normals) {
                source->normal_points(source->context, i - 1, thread, &normals);
                CHECK(normals.count == points.count, "ply_stream: %llu normals for %llu vertices",
                      (unsigned long long)normals.count, (unsigned long long)points.count);
            }
            vertex_records(&o, &points, source->normals ? &normals : nullptr, s);
        } else {
            obj_faces faces = {};
            source->faces(source->context, i - 1 - source->vertex_blocks, thread, &faces);
            face_records(&o, &faces, s);
        }
    }
    block_end(&o, thread);
}

int ply_stream_write(int fd, ply_stream* stream, const write_progress* progress)
{
    write_job job;
    job.stream = stream;
    const obj_source* source = stream->source;
    const uint64_t n_blocks = 1 + source->vertex_blocks + source->face_blocks;
    block_writer_begin(&job.writer, fd, n_blocks, progress);
    parallel_for(stream->threads, n_blocks, write_block, &job);
    return block_writer_end(&job.writer);
}

} // namespace subdiv
