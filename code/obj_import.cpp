// OBJ import: the whole file read at once, parsed, and copied into a geom.
#include "obj_import.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "obj_loader.h"
#include "storage.h"

// Reads the whole file at path into a NUL-terminated block from mem_alloc.
// Returns the block and sets *length, or prints why and returns null.
static char* read_whole_file(const char* path, uint64_t* length)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        std::fprintf(stderr, "subdiv: cannot read '%s': %s\n", path, std::strerror(errno));
        if (fd >= 0) close(fd);
        return nullptr;
    }
    if (S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "subdiv: cannot read '%s': %s\n", path, std::strerror(EISDIR));
        close(fd);
        return nullptr;
    }

    // a regular file is read in one block of its size, with room for the
    // NUL and for the read that finds the end; a pipe or device in blocks
    // that double as they fill
    uint64_t capacity = S_ISREG(info.st_mode) ? uint64_t(info.st_size) + 2 : 65536;
    char* text = static_cast<char*>(mem_alloc(capacity));
    uint64_t used = 0;
    for (;;) {
        if (used + 1 == capacity) {
            char* larger = static_cast<char*>(mem_alloc(capacity * 2));
            std::memcpy(larger, text, used);
            mem_free(text);
            text = larger;
            capacity *= 2;
        }
        ssize_t n = read(fd, text + used, capacity - 1 - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            std::fprintf(stderr, "subdiv: cannot read '%s': %s\n", path, std::strerror(errno));
            mem_free(text);
            close(fd);
            return nullptr;
        }
        if (n == 0) break;
        used += uint64_t(n);
    }
    close(fd);
    text[used] = '\0';
    *length = used;
    return text;
}

// Checks that the faces form one mesh of triangles or of quadrilaterals whose
// corners all name vertices of the file; prints the first fault and returns
// false otherwise. Faces and vertices are named from 1, as in the file.
static bool faces_are_usable(const char* path, const obj_attribs* attribs)
{
    if (attribs->face_count == 0) {
        std::fprintf(stderr, "subdiv: %s: the file has no faces\n", path);
        return false;
    }
    const int32_t size = attribs->face_sizes[0];
    if (size != 3 && size != 4) {
        std::fprintf(stderr,
                     "subdiv: %s: face 1 has %d corners; only meshes of triangles or of "
                     "quadrilaterals can be refined\n",
                     path, size);
        return false;
    }
    uint64_t corner = 0;
    for (uint32_t f = 0; f < attribs->face_count; ++f) {
        if (attribs->face_sizes[f] != size) {
            std::fprintf(stderr,
                         "subdiv: %s: face %u has %d corners, but face 1 has %d: all faces must "
                         "have the same number of corners\n",
                         path, f + 1, attribs->face_sizes[f], size);
            return false;
        }
        for (int32_t k = 0; k < size; ++k, ++corner) {
            int32_t index = attribs->indices[corner].position_index;
            if (index < 0) {
                std::fprintf(stderr,
                             "subdiv: %s: face %u has a relative index that points %lld before "
                             "the first vertex\n",
                             path, f + 1, -(long long)index);
                return false;
            }
            if (uint32_t(index) >= attribs->vertex_count) {
                std::fprintf(stderr,
                             "subdiv: %s: face %u names vertex %lld, but the file has %u "
                             "vertices\n",
                             path, f + 1, (long long)index + 1, attribs->vertex_count);
                return false;
            }
        }
    }
    return true;
}

bool obj_import_text(const char* name, char* text, uint64_t length, const char* folder, geom* g)
{
    obj_attribs attribs;
    obj_shape* shapes = nullptr;
    uint64_t n_shapes = 0;
    obj_material* materials = nullptr;
    uint64_t n_materials = 0;
    int result = obj_parse(&attribs, &shapes, &n_shapes, &materials, &n_materials, text, length,
                           0, folder, name);
    // the text is done with: release it before the geometry is allocated
    mem_free(text);
    if (result != parse_ok) {
        // the reader has named the file and the line of the faults it finds
        if (result != parse_error_face && result != parse_error_index)
            std::fprintf(stderr, "subdiv: %s: obj parsing error %d%s\n", name, result,
                         length == 0 ? " (the file is empty)" : "");
        return false;
    }

    bool usable = faces_are_usable(name, &attribs);
    if (usable) {
        const int size = attribs.face_sizes[0];
        const uint64_t n_vertices = attribs.vertex_count, n_faces = attribs.face_count;
        geom_alloc(g, n_vertices, n_faces, uint64_t(size) * n_faces / 2, size);
        for (uint64_t i = 0; i < n_vertices; ++i) {
            g->x[i] = attribs.positions[3 * i];
            g->y[i] = attribs.positions[3 * i + 1];
            g->z[i] = attribs.positions[3 * i + 2];
        }
        uint64_t* corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
        const corner_index* index = attribs.indices;
        for (uint64_t f = 0; f < n_faces; ++f)
            for (int k = 0; k < size; ++k) corner[k][f] = uint64_t((index++)->position_index);
    }

    obj_shapes_free(shapes, n_shapes);
    obj_materials_free(materials, n_materials);
    obj_attribs_free(&attribs);
    return usable;
}

bool obj_import(const char* path, geom* g)
{
    uint64_t length = 0;
    char* text = read_whole_file(path, &length);
    if (!text) return false;

    // material libraries are looked up beside the OBJ file
    std::string folder = path;
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
    return obj_import_text(path, text, length, folder.c_str(), g);
}
