// OBJ text from the blocks of a source.
//
// Every block is formatted into its thread's text buffer and written in
// block order (block_writer); a block whose text outgrows the buffer waits
// for its turn at the first full buffer and keeps the turn until its end.
// The sections follow each other as one sequence of blocks, the first block
// of each section writing the section's header.
#include "obj_stream.h"

#include <cmath>
#include <cstring>

#include "block_writer.h"
#include "float_text.h"
#include "obj_numbers.h"
#include "parallel.h"
#include "storage.h"

namespace subdiv {

// The text buffer of each thread, and the room kept free past its fill
// mark for one more line: the longest lines are a face line of 15 corners
// of two 20-digit indices and a vertex line of three 47-character numbers,
// each with eight scratch bytes past its end.
static const uint64_t text_buffer_size = uint64_t(1) << 20;
static const uint64_t line_room = 1024;

namespace {

// An index of a face corner below 10^8 and its text (eight bytes, those past
// the length scratch), kept for when it comes again: key is the index + 1,
// 0 in an empty slot.
struct index_text {
    uint64_t text;
    uint32_t key;
    uint32_t length;
};

// Slots of each thread's table of index texts, by the index's low bits:
// enough that the corners of a block's faces, which neighbouring faces and
// blocks share, mostly find their text.
constexpr uint64_t index_text_slots = 4096;

// A thread's text buffer and the room past it.
constexpr uint64_t thread_buffer_size = text_buffer_size + line_room;

// Where each section of the text starts in the sequence of blocks.
struct stream_layout {
    uint64_t first_texcoord_block, first_normal_block, first_face_block, first_tag_block;
    uint64_t n_blocks;
};

struct stream_job {
    const obj_source* source;
    bool shortest;
    block_writer writer;
    char* buffers;          // a text buffer per thread, one after the other
    index_text* index_texts; // a table of index_text_slots per thread
    stream_layout layout;
};

} // namespace

// The text of one block: its thread's buffer, filled from start to p.
typedef block_out text_out;

// Makes room for one more line.
static inline void text_line_room(text_out* o) { o->p = block_room(o, o->p); }

// Appends n bytes of text of any length (a header or a name).
static void text_put(text_out* o, const char* text, uint64_t n)
{
    while (n > 0) {
        text_line_room(o);
        const uint64_t room = uint64_t(o->full - o->p) + 1;
        const uint64_t take = n < room ? n : room;
        std::memcpy(o->p, text, take);
        o->p += take;
        text += take;
        n -= take;
    }
}

// A comment header "# Title n", after an empty line unless it is the first.
static void text_header(text_out* o, const char* title, uint64_t n, bool first)
{
    text_line_room(o);
    if (!first) *o->p++ = '\n';
    *o->p++ = '#';
    *o->p++ = ' ';
    text_put(o, title, std::strlen(title));
    text_line_room(o);
    *o->p++ = ' ';
    o->p += format_i64(int64_t(n), o->p);
    *o->p++ = '\n';
}

// The lines "v x y z" (normal: "vn x y z") of a block of points with six
// decimals, the common case: four lines at a time, their coordinates below
// 10 converted together.
template <bool normal>
static void text_points6(text_out* o, const obj_points* points)
{
    {
        const float* const x = points->axis[0];
        const float* const y = points->axis[1];
        const float* const z = points->axis[2];
        const uint64_t n = points->count;
        char* p = o->p;
        uint64_t i = 0;
        for (; i + 4 <= n; i += 4) {
            p = block_room(o, p);
            const float* const axes[3] = {x + i, y + i, z + i};
            uint64_t text[3][4];
            unsigned short_text[3];
            for (int a = 0; a < 3; ++a) short_text[a] = f6_short4(axes[a], text[a]);
            if ((short_text[0] & short_text[1] & short_text[2]) == 0xF) {
                // all twelve short: each a blank, a sign when negative, eight characters
                for (int k = 0; k < 4; ++k) {
                    *p++ = 'v';
                    if (normal) *p++ = 'n';
                    for (int a = 0; a < 3; ++a) {
                        p[0] = ' ';
                        p[1] = '-';
                        p += 1 + std::signbit(axes[a][k]);
                        std::memcpy(p, &text[a][k], 8);
                        p += 8;
                    }
                    *p++ = '\n';
                }
                continue;
            }
            for (int k = 0; k < 4; ++k) {
                *p++ = 'v';
                if (normal) *p++ = 'n';
                for (int a = 0; a < 3; ++a) {
                    *p++ = ' ';
                    const float value = axes[a][k];
                    if (short_text[a] >> k & 1) {
                        // a sign, as glibc writes it for -0 and negatives that round to 0
                        *p = '-';
                        p += std::signbit(value);
                        std::memcpy(p, &text[a][k], 8);
                        p += 8;
                    } else {
                        p += format_float(value, p);
                    }
                }
                *p++ = '\n';
            }
        }
        for (; i < n; ++i) {
            p = block_room(o, p);
            *p++ = 'v';
            if (normal) *p++ = 'n';
            *p++ = ' ';
            p += format_float(x[i], p);
            *p++ = ' ';
            p += format_float(y[i], p);
            *p++ = ' ';
            p += format_float(z[i], p);
            *p++ = '\n';
        }
        o->p = p;
    }
}

// The lines "keyword a b [c]" of a block of points, in either notation.
static void text_points(text_out* o, const char* keyword, const obj_points* points, int n_axes,
                        bool shortest)
{
    const uint64_t keyword_length = std::strlen(keyword);
    if (!shortest && n_axes == 3) {
        if (keyword_length == 1)
            text_points6<false>(o, points);
        else
            text_points6<true>(o, points);
        return;
    }
    int (*const format)(float, char*) = shortest ? format_shortest : format_f6;
    for (uint64_t i = 0; i < points->count; ++i) {
        text_line_room(o);
        std::memcpy(o->p, keyword, keyword_length);
        o->p += keyword_length;
        for (int a = 0; a < n_axes; ++a) {
            *o->p++ = ' ';
            o->p += format(points->axis[a][i], o->p);
        }
        *o->p++ = '\n';
    }
}

// Faces of N corners (3 or 4) without texture coordinates or materials, the
// common case; with normals each corner "v//v". Neighbouring faces share
// corners (the children of a face share its face point and the edge points
// between them, neighbours their edges' points): the text of the indices met
// is kept in the thread's table, one index per slot, and copied when an
// index comes again.
template <int N, bool normals>
static void text_uniform_faces(text_out* o, const obj_faces* faces, index_text* cache)
{
    const uint64_t* const corner[4] = {faces->corner[0], faces->corner[1], faces->corner[2],
                                       faces->corner[3]};
    const uint64_t n = faces->count;
    char* p = o->p;
    for (uint64_t i = 0; i < n; ++i) {
        p = block_room(o, p);
        *p++ = 'f';
        for (int k = 0; k < N; ++k) {
            *p++ = ' ';
            const uint64_t index = corner[k][i] + 1;
            if (index >= 100000000) {
                // longer indices are written where they go and not kept
                char* const at = p;
                p += format_i64(int64_t(index), p);
                if (normals) {
                    const uint64_t digits = uint64_t(p - at);
                    p[0] = p[1] = '/';
                    std::memmove(p + 2, at, digits);
                    p += 2 + digits;
                }
                continue;
            }
            index_text& c = cache[index & (index_text_slots - 1)];
            if (c.key != index + 1) {
                c.length = uint32_t(format_below_1e8(index, reinterpret_cast<char*>(&c.text)));
                c.key = uint32_t(index + 1);
            }
            std::memcpy(p, &c.text, 8);
            p += c.length;
            if (normals) {
                p[0] = p[1] = '/';
                std::memcpy(p + 2, &c.text, 8);
                p += 2 + c.length;
            }
        }
        *p++ = '\n';
    }
    o->p = p;
}

// Faces of any kind: "f v/vt ..." with texture coordinates, "v//v" with
// normals (a corner's normal is its vertex's), "v/vt/v" with both, a
// "usemtl NAME" line before each run of faces of one material.
static void text_faces(text_out* o, const obj_faces* faces, const char* const* names,
                       bool normals, index_text* cache)
{
    if (faces->face_size != 0 && !faces->texcoord && !faces->material) {
        if (faces->face_size == 4)
            normals ? text_uniform_faces<4, true>(o, faces, cache)
                    : text_uniform_faces<4, false>(o, faces, cache);
        else
            normals ? text_uniform_faces<3, true>(o, faces, cache)
                    : text_uniform_faces<3, false>(o, faces, cache);
        return;
    }
    const int n = faces->face_size;
    int32_t material = faces->material_before;
    for (uint64_t j = 0; j < faces->count; ++j) {
        if (faces->material && faces->material[j] != material && faces->material[j] >= 0) {
            material = faces->material[j];
            text_put(o, "usemtl ", 7);
            text_put(o, names[material], std::strlen(names[material]));
            text_put(o, "\n", 1);
        }
        text_line_room(o);
        const uint64_t first = n ? uint64_t(n) * j : faces->start[j];
        const uint64_t count = n ? uint64_t(n) : faces->start[j + 1] - first;
        *o->p++ = 'f';
        for (uint64_t k = 0; k < count; ++k) {
            *o->p++ = ' ';
            const uint64_t v = n ? faces->corner[k][j] : faces->corners[first + k];
            o->p += format_i64(int64_t(v + 1), o->p);
            if (faces->texcoord) {
                *o->p++ = '/';
                o->p += format_i64(int64_t(faces->texcoord[first + k] + 1), o->p);
            }
            if (normals) {
                if (!faces->texcoord) *o->p++ = '/';
                *o->p++ = '/';
                o->p += format_i64(int64_t(v + 1), o->p);
            }
        }
        *o->p++ = '\n';
    }
}

// The lines of a block of sharp features, the values written like
// coordinates.
static void text_tags(text_out* o, const obj_tags* tags, bool shortest)
{
    int (*const format_number)(float, char*) = shortest ? format_shortest : format_f6;
    // sharpness values repeat: the text of the last one is kept
    uint32_t last_bits = 0;
    char last_text[64];
    int last_length = 0;
    auto format = [&](float value, char* out) {
        uint32_t bits;
        std::memcpy(&bits, &value, 4);
        if (last_length == 0 || bits != last_bits) {
            last_length = format_number(value, last_text);
            last_bits = bits;
        }
        std::memcpy(out, last_text, size_t(last_length));
        return last_length;
    };
    for (uint64_t i = 0; i < tags->n_creases; ++i) {
        text_line_room(o);
        std::memcpy(o->p, "t crease 2/1/0 ", 15);
        o->p += 15;
        o->p += format_i64(int64_t(tags->crease_vertices[2 * i]), o->p);
        *o->p++ = ' ';
        o->p += format_i64(int64_t(tags->crease_vertices[2 * i + 1]), o->p);
        *o->p++ = ' ';
        o->p += format(tags->crease_sharpness[i], o->p);
        *o->p++ = '\n';
    }
    for (uint64_t j = 0; tags->vertex_sharpness && j < tags->n_vertices; ++j) {
        if (!(tags->vertex_sharpness[j] > 0.0f)) continue;
        text_line_room(o);
        std::memcpy(o->p, "t corner 1/1/0 ", 15);
        o->p += 15;
        o->p += format_i64(int64_t(tags->first_vertex + j), o->p);
        *o->p++ = ' ';
        o->p += format(tags->vertex_sharpness[j], o->p);
        *o->p++ = '\n';
    }
}

// Block i of the whole sequence: the section it belongs to, its header when
// it is the section's first, and its lines.
static void stream_block(stream_job* job, uint64_t i, uint32_t thread, text_out* o)
{
    const obj_source* s = job->source;
    const stream_layout& at = job->layout;
    if (i < at.first_texcoord_block) {
        if (i == 0) {
            if (s->material_library) {
                text_put(o, "mtllib ", 7);
                text_put(o, s->material_library, std::strlen(s->material_library));
                text_put(o, "\n", 1);
            }
            text_header(o, "Vertices", s->n_vertices, true);
        }
        if (i >= s->vertex_blocks) return;
        obj_points points = {};
        s->vertices(s->context, i, thread, &points);
        text_points(o, "v", &points, 3, job->shortest);
    } else if (i < at.first_normal_block) {
        const uint64_t b = i - at.first_texcoord_block;
        if (b == 0) text_header(o, "Texture coordinates", s->n_texcoords, false);
        if (b >= s->texcoord_blocks) return;
        obj_points points = {};
        s->texcoord_points(s->context, b, thread, &points);
        text_points(o, "vt", &points, 2, job->shortest);
    } else if (i < at.first_face_block) {
        const uint64_t b = i - at.first_normal_block;
        if (b == 0) text_header(o, "Normals", s->n_vertices, false);
        if (b >= s->normal_blocks) return;
        obj_points points = {};
        s->normal_points(s->context, b, thread, &points);
        text_points(o, "vn", &points, 3, job->shortest);
    } else if (i < at.first_tag_block) {
        const uint64_t b = i - at.first_face_block;
        if (b == 0) text_header(o, "Triangles", s->n_faces, false);
        if (b >= s->face_blocks) return;
        obj_faces faces = {};
        s->faces(s->context, b, thread, &faces);
        text_faces(o, &faces, s->material_names, s->normals,
                   job->index_texts + thread * index_text_slots);
    } else {
        obj_tags tags = {};
        s->tags(s->context, i - at.first_tag_block, thread, &tags);
        text_tags(o, &tags, job->shortest);
    }
}

static void stream_task(void* context, uint64_t i, uint32_t thread)
{
    auto* job = static_cast<stream_job*>(context);
    text_out o;
    block_out_begin(&o, &job->writer, job->buffers + thread * thread_buffer_size,
                    text_buffer_size, i);
    // after a failed write the rest is not formatted, but every turn passes
    if (block_writer_going(&job->writer)) stream_block(job, i, thread, &o);
    block_end(&o, thread);
}

// The first block of each section and the number of blocks of the whole
// sequence: every section has a block at least, for its header.
static stream_layout stream_sections(const obj_source* source)
{
    auto at_least_one = [](uint64_t n) { return n ? n : 1; };
    stream_layout at;
    at.first_texcoord_block = at_least_one(source->vertex_blocks);
    at.first_normal_block =
        at.first_texcoord_block + (source->texcoords ? at_least_one(source->texcoord_blocks) : 0);
    at.first_face_block =
        at.first_normal_block + (source->normals ? at_least_one(source->normal_blocks) : 0);
    at.first_tag_block = at.first_face_block + at_least_one(source->face_blocks);
    at.n_blocks = at.first_tag_block + (source->tags ? source->tag_blocks : 0);
    return at;
}

bool obj_stream_alloc(obj_stream_buffers* buffers, const obj_source* source, uint32_t threads)
{
    const uint64_t n_blocks = stream_sections(source).n_blocks;
    if (threads < 1) threads = 1;
    if (threads > n_blocks) threads = uint32_t(n_blocks);
    buffers->threads = threads;
    // the tables in a block of their own: beside the text buffers they would
    // take the pages of another 2 MiB
    buffers->text = static_cast<char*>(mem_alloc(threads * thread_buffer_size));
    buffers->index_texts = mem_alloc(threads * index_text_slots * sizeof(index_text));
    if (buffers->text && buffers->index_texts) {
        std::memset(buffers->index_texts, 0, threads * index_text_slots * sizeof(index_text));
        return true;
    }
    mem_free(buffers->text);
    mem_free(buffers->index_texts);
    *buffers = obj_stream_buffers{};
    return false;
}

void obj_stream_free(obj_stream_buffers* buffers)
{
    mem_free(buffers->text);
    mem_free(buffers->index_texts);
    *buffers = obj_stream_buffers{};
}

int obj_stream_write(int fd, const obj_source* source, bool shortest,
                     const obj_stream_buffers* buffers, const write_progress* progress)
{
    stream_job job;
    job.source = source;
    job.shortest = shortest;
    job.buffers = buffers->text;
    job.index_texts = static_cast<index_text*>(buffers->index_texts);
    job.layout = stream_sections(source);
    block_writer_begin(&job.writer, fd, job.layout.n_blocks, progress);
    parallel_for(buffers->threads, job.layout.n_blocks, stream_task, &job);
    return block_writer_end(&job.writer);
}

} // namespace subdiv
