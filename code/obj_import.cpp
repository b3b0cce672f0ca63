// OBJ import: the whole file read at once, parsed, and copied into a geom.
#include "obj_import.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "error.h"
#include "geom.h"
#include "obj_parse.h"
#include "options.h"
#include "parallel.h"
#include "storage.h"

namespace subdiv {

// Fills *error for a file named name that the system refused to read, with
// the reason and its errno; returns subdiv_error_read.
static subdiv_status read_refused(const char* name, int reason, subdiv_error* error)
{
    error_set(error, subdiv_error_read, {}, "cannot read '%s': %s", name, std::strerror(reason));
    if (error) error->system_errno = reason;
    return subdiv_error_read;
}

namespace {

// A regular file read on threads: part k of n_parts from offset `start`.
struct file_parts {
    int fd;
    char* block;
    uint64_t start, length, n_parts;
    bool* whole; // per part: whether it read all its bytes
};

} // namespace

// Files at least this large are read in parts on the threads: the first
// touch of the block's pages and the kernel's copy shared.
static const uint64_t file_parts_least = uint64_t(4) << 20;

static void file_part_read(void* context, uint64_t k, uint32_t)
{
    const auto* f = static_cast<const file_parts*>(context);
    const uint64_t from = k * (f->length / f->n_parts);
    const uint64_t to = k + 1 == f->n_parts ? f->length : (k + 1) * (f->length / f->n_parts);
    uint64_t at = from;
    while (at < to) {
        const ssize_t n = pread(f->fd, f->block + at, to - at, off_t(f->start + at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        at += uint64_t(n);
    }
    f->whole[k] = at == to;
}

// Reads what follows the offset of the regular file of size bytes behind fd
// into block on up to `threads` threads and moves the offset past it;
// returns the bytes read, or 0, the offset where it was, when a part read
// less (the file changed) or failed: the caller then reads the file in
// order.
static uint64_t read_parts(int fd, char* block, uint64_t size, uint32_t threads)
{
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at < 0 || uint64_t(at) >= size) return 0;
    const uint64_t length = size - uint64_t(at);
    bool whole[8];
    const uint64_t n_parts = threads < 8 ? threads : 8;
    file_parts parts = {fd, block, uint64_t(at), length, n_parts, whole};
    parallel_for(threads, n_parts, file_part_read, &parts);
    for (uint64_t k = 0; k < n_parts; ++k)
        if (!whole[k]) return 0;
    return lseek(fd, at + off_t(length), SEEK_SET) >= 0 ? length : 0;
}

subdiv_status read_whole_file(int fd, const char* name, uint32_t threads, char** text,
                              uint64_t* length, subdiv_error* error)
{
    struct stat info;
    if (fstat(fd, &info) != 0) return read_refused(name, errno, error);
    if (S_ISDIR(info.st_mode)) return read_refused(name, EISDIR, error);

    // a regular file is read in one block of its size, with room for the
    // NUL and for the read that finds the end; a pipe or device in blocks
    // that double as they fill, as long as the machine can hold them
    const uint64_t memory = mem_physical();
    uint64_t capacity = S_ISREG(info.st_mode) ? uint64_t(info.st_size) + 2 : 65536;
    if (capacity > memory)
        return error_set(error, subdiv_error_limit, {},
                         "%s: the file of %llu bytes does not fit in this machine's memory", name,
                         (unsigned long long)info.st_size);
    char* block = static_cast<char*>(mem_alloc(capacity));
    if (!block) return error_memory_in(error, name, mem_refused_size());
    // a large regular file in parts on the threads, then the read that
    // finds its end
    uint64_t used = 0;
    if (S_ISREG(info.st_mode) && threads > 1 && uint64_t(info.st_size) >= file_parts_least)
        used = read_parts(fd, block, uint64_t(info.st_size), threads);
    for (;;) {
        if (used + 1 == capacity) {
            if (capacity > memory / 2) {
                mem_free(block);
                return error_set(error, subdiv_error_limit, {},
                                 "%s: the input does not fit in this machine's memory", name);
            }
            char* larger = static_cast<char*>(mem_alloc(capacity * 2));
            if (!larger) {
                mem_free(block);
                return error_memory_in(error, name, mem_refused_size());
            }
            std::memcpy(larger, block, used);
            mem_free(block);
            block = larger;
            capacity *= 2;
        }
        ssize_t n = read(fd, block + used, capacity - 1 - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int reason = errno;
            mem_free(block);
            return read_refused(name, reason, error);
        }
        if (n == 0) break;
        used += uint64_t(n);
    }
    block[used] = '\0';
    *text = block;
    *length = used;
    return subdiv_ok;
}

// Checks that every face has at least three corners: returns subdiv_ok, or
// subdiv_error_mesh naming the first fault (faces from 1, as in the file).
// Sets *face_size to the size of all faces when they share one, 3 or 4,
// else to 0.
static subdiv_status faces_are_usable(const char* name, const obj_attribs* attribs,
                                      int* face_size, subdiv_error* error)
{
    if (attribs->face_count == 0)
        return error_set(error, subdiv_error_mesh, {}, "%s: the file has no faces", name);
    const int32_t first = attribs->face_sizes[0];
    bool uniform = true;
    for (uint32_t f = 0; f < attribs->face_count; ++f) {
        const int32_t n = attribs->face_sizes[f];
        if (n < 3)
            return error_set(error, subdiv_error_mesh, {0, uint64_t(f) + 1, {}},
                             "%s: face %u has %d corners; a face needs at least 3", name, f + 1, n);
        uniform = uniform && n == first;
    }
    *face_size = uniform && (first == 3 || first == 4) ? first : 0;
    return subdiv_ok;
}

// The faces of the reader's result into *g, allocated here: the positions,
// and the vertex of every corner, in corner0 to corner3 for face size 3 or 4,
// else in face_start and corners. False, *g cleared, when memory is refused.
static bool faces_copy(const obj_attribs* attribs, int face_size, geom* g)
{
    const uint64_t n_vertices = attribs->vertex_count, n_faces = attribs->face_count;
    if (face_size) {
        if (!geom_alloc(g, n_vertices, n_faces, 0, face_size)) return false;
        uint64_t* corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
        const corner_index* index = attribs->indices;
        for (uint64_t f = 0; f < n_faces; ++f)
            for (int k = 0; k < face_size; ++k) corner[k][f] = uint64_t((index++)->position_index);
    } else {
        if (!geom_alloc_polygons(g, n_vertices, n_faces, attribs->index_count)) return false;
        uint64_t start = 0;
        for (uint64_t f = 0; f < n_faces; ++f) {
            g->face_start[f] = start;
            start += uint64_t(attribs->face_sizes[f]);
        }
        g->face_start[n_faces] = start;
        for (uint64_t c = 0; c < attribs->index_count; ++c)
            g->corners[c] = uint64_t(attribs->indices[c].position_index);
    }
    for (uint64_t i = 0; i < n_vertices; ++i) {
        g->x[i] = attribs->positions[3 * i];
        g->y[i] = attribs->positions[3 * i + 1];
        g->z[i] = attribs->positions[3 * i + 2];
    }
    return true;
}

// With texture coordinates asked for: every corner must give one, or none
// may (then *texcoords turns false and a warning says so). Returns subdiv_ok
// or subdiv_error_mesh naming the first face that differs from face 1.
static subdiv_status texcoords_are_usable(const char* name, const obj_attribs* attribs,
                                          const subdiv_options* options, bool* texcoords,
                                          subdiv_error* error)
{
    const bool first = attribs->indices[0].texcoord_index != index_missing;
    uint64_t corner = 0;
    for (uint32_t f = 0; f < attribs->face_count; ++f)
        for (int32_t k = 0; k < attribs->face_sizes[f]; ++k, ++corner)
            if ((attribs->indices[corner].texcoord_index != index_missing) != first)
                return error_set(error, subdiv_error_mesh, {0, uint64_t(f) + 1, {}},
                                 "%s: face %u has corners %s texture coordinates, but face 1 "
                                 "has corners %s: texture coordinates need them on every corner",
                                 name, f + 1, first ? "without" : "with",
                                 first ? "with" : "without");
    if (!first) {
        warning_report(options, "%s: the faces give no texture coordinates; the output has none",
                       name);
        *texcoords = false;
    }
    return subdiv_ok;
}

// The texture coordinates of the reader's result into *g, whose faces are
// allocated: every one read, and the one of each corner. False when memory
// is refused.
static bool texcoords_copy(const obj_attribs* attribs, geom* g)
{
    if (!geom_alloc_texcoords(g, attribs->texcoord_count)) return false;
    for (uint64_t t = 0; t < attribs->texcoord_count; ++t) {
        g->tex_u[t] = attribs->texcoords[2 * t];
        g->tex_v[t] = attribs->texcoords[2 * t + 1];
    }
    for (uint64_t c = 0; c < attribs->index_count; ++c)
        g->corner_texcoord[c] = uint64_t(attribs->indices[c].texcoord_index);
    return true;
}

// The faces' materials of the reader's result into *g: the usemtl name in
// force at each face and the library's name, both as the file wrote them.
// False when memory is refused.
static bool materials_copy(obj_attribs* attribs, geom* g)
{
    g->face_material = static_cast<int32_t*>(mem_alloc(uint64_t(attribs->face_count) * 4));
    if (!g->face_material) return false;
    std::memcpy(g->face_material, attribs->face_usemtl, uint64_t(attribs->face_count) * 4);
    // the names move over from the reader's result
    g->material_names = attribs->usemtl_names;
    g->n_materials = attribs->usemtl_count;
    g->material_library = attribs->library_name;
    attribs->usemtl_names = nullptr;
    attribs->library_name = nullptr;
    return true;
}

subdiv_status obj_import_block(const char* name, char* text, uint64_t length, const char* folder,
                               const subdiv_options* options, geom* g, subdiv_error* error)
{
    *g = geom{};
    obj_attribs attribs;
    obj_shape* shapes = nullptr;
    uint64_t n_shapes = 0;
    obj_material* materials = nullptr;
    uint64_t n_materials = 0;
    // texture coordinates are read for the option uv only; normals never
    const uint32_t flags = options && options->uv ? 0 : parse_texcoords_unused;
    subdiv_status status = obj_parse(&attribs, &shapes, &n_shapes, &materials, &n_materials, text,
                                     length, flags, folder, name, options, error);
    // the text is done with: release it before the geometry is allocated
    mem_free(text);
    if (status != subdiv_ok) return status;
    if (length == 0) status = error_set(error, subdiv_error_mesh, {}, "%s: the file is empty", name);

    int face_size = 0;
    if (status == subdiv_ok) status = faces_are_usable(name, &attribs, &face_size, error);
    bool texcoords = options && options->uv;
    if (status == subdiv_ok && texcoords)
        status = texcoords_are_usable(name, &attribs, options, &texcoords, error);
    if (status == subdiv_ok &&
        !(faces_copy(&attribs, face_size, g) && (!texcoords || texcoords_copy(&attribs, g)) &&
          (!(options && options->materials) || materials_copy(&attribs, g)))) {
        geom_release(g);
        status = error_memory_in(error, name, mem_refused_size());
    }
    if (status == subdiv_ok) {
        status = obj_tags_apply(name, &attribs.tags, g, options_threads(options), error);
        if (status != subdiv_ok) geom_release(g);
    }

    obj_shapes_free(shapes, n_shapes);
    obj_materials_free(materials, n_materials);
    obj_attribs_free(&attribs);
    return status;
}

subdiv_status obj_import_buffer(const char* name, const char* text, uint64_t length,
                                const char* folder, const subdiv_options* options, geom* g,
                                subdiv_error* error)
{
    CHECK(name != nullptr && (text != nullptr || length == 0) && g != nullptr,
          "obj_import_text: no name, text or record");
    *g = geom{};
    if (length > mem_physical())
        return error_set(error, subdiv_error_limit, {},
                         "%s: a text of %llu bytes does not fit in this machine's memory", name,
                         (unsigned long long)length);
    // the reader needs a NUL after the text, and may change the text
    char* block = static_cast<char*>(mem_alloc(length + 1));
    if (!block) return error_memory_in(error, name, mem_refused_size());
    if (length > 0) std::memcpy(block, text, length);
    block[length] = '\0';
    return obj_import_block(name, block, length, folder, options, g, error);
}

subdiv_status obj_import_path(const char* path, const subdiv_options* options, geom* g,
                              subdiv_error* error)
{
    CHECK(path != nullptr && g != nullptr, "obj_import: no path or record");
    *g = geom{};
    // standard input, or the file; material libraries are looked up beside it
    const bool standard_input = std::strcmp(path, "-") == 0;
    const char* name = standard_input ? "standard input" : path;
    int fd = standard_input ? 0 : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return read_refused(path, errno, error);
    char* text = nullptr;
    uint64_t length = 0;
    subdiv_status status =
        read_whole_file(fd, name, options_threads(options), &text, &length, error);
    if (!standard_input) close(fd);
    if (status != subdiv_ok) return status;

    // the folder: the path up to its last slash, none for standard input
    const char* slash = standard_input ? nullptr : std::strrchr(path, '/');
    char* folder = text_copy(path, slash ? uint64_t(slash - path) + 1 : 0);
    if (!folder) {
        mem_free(text);
        return error_memory_in(error, name, mem_refused_size());
    }
    status = obj_import_block(name, text, length, folder, options, g, error);
    std::free(folder);
    return status;
}

} // namespace subdiv
