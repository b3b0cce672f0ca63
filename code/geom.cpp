// The geometry record's arrays.
#include "geom.h"

#include <cstring>

#include "check.h"
#include "error.h"
#include "storage.h"

namespace subdiv {

bool geom_alloc_vertices(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges,
                         int face_size)
{
    CHECK(g != nullptr, "geom_alloc: no record to fill");
    std::memset(g, 0, sizeof *g);
    g->x = static_cast<float*>(mem_alloc_array(n_vertices, 4));
    g->y = static_cast<float*>(mem_alloc_array(n_vertices, 4));
    g->z = static_cast<float*>(mem_alloc_array(n_vertices, 4));
    g->n_vertices = n_vertices;
    g->n_faces = n_faces;
    g->n_edges = n_edges;
    g->flags = uint64_t(face_size) & 0xF;
    if (g->x && g->y && g->z) return true;
    geom_release(g);
    return false;
}

bool geom_alloc(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_edges, int face_size)
{
    if (!geom_alloc_vertices(g, n_vertices, n_faces, n_edges, face_size)) return false;
    g->corner0 = static_cast<uint64_t*>(mem_alloc_array(n_faces, 8));
    g->corner1 = static_cast<uint64_t*>(mem_alloc_array(n_faces, 8));
    g->corner2 = static_cast<uint64_t*>(mem_alloc_array(n_faces, 8));
    if (geom_face_size(g) == 4) g->corner3 = static_cast<uint64_t*>(mem_alloc_array(n_faces, 8));
    if (g->corner0 && g->corner1 && g->corner2 && (g->corner3 || geom_face_size(g) != 4))
        return true;
    geom_release(g);
    return false;
}

bool geom_alloc_polygons(geom* g, uint64_t n_vertices, uint64_t n_faces, uint64_t n_corners)
{
    if (!geom_alloc_vertices(g, n_vertices, n_faces, 0, 0)) return false;
    // n_faces + 1 offsets, a count that cannot wrap
    const uint64_t n_offsets = n_faces < UINT64_MAX ? n_faces + 1 : UINT64_MAX;
    g->face_start = static_cast<uint64_t*>(mem_alloc_array(n_offsets, 8));
    g->corners = static_cast<uint64_t*>(mem_alloc_array(n_corners, 8));
    if (g->face_start && g->corners) return true;
    geom_release(g);
    return false;
}

subdiv_status geom_alloc_caller(geom* g, uint64_t n_vertices, uint64_t n_faces, int32_t face_size,
                                uint64_t n_corners, uint64_t n_texcoords, subdiv_error* error)
{
    CHECK(g != nullptr, "subdiv_geom_alloc: no record to fill");
    if (face_size != 0 && face_size != 3 && face_size != 4) {
        *g = geom{};
        return error_set(error, subdiv_error_usage, {}, "a face size of %d is not 0, 3 or 4",
                         int(face_size));
    }
    const bool faces = face_size == 0 ? geom_alloc_polygons(g, n_vertices, n_faces, n_corners)
                                      : geom_alloc(g, n_vertices, n_faces, 0, face_size);
    // the texture coordinates' corners count the last face offset
    if (faces && face_size == 0) g->face_start[n_faces] = n_corners;
    if (faces && (n_texcoords == 0 || geom_alloc_texcoords(g, n_texcoords))) return subdiv_ok;
    geom_release(g);
    return error_memory(error, mem_refused_size());
}

subdiv_status geom_alloc_normals(geom* g, subdiv_error* error)
{
    CHECK(g != nullptr, "subdiv_geom_alloc_normals: no record to fill");
    float** const normal[3] = {&g->normal_x, &g->normal_y, &g->normal_z};
    for (float** axis : normal) *axis = static_cast<float*>(mem_alloc_array(g->n_vertices, 4));
    if (g->normal_x && g->normal_y && g->normal_z) return subdiv_ok;
    for (float** axis : normal) mem_release(axis);
    return error_memory(error, mem_refused_size());
}

uint64_t geom_corner_count(const geom* g)
{
    const int n = geom_face_size(g);
    return n ? uint64_t(n) * g->n_faces : g->face_start[g->n_faces];
}

bool geom_alloc_texcoords(geom* g, uint64_t n_texcoords)
{
    g->tex_u = static_cast<float*>(mem_alloc_array(n_texcoords, 4));
    g->tex_v = static_cast<float*>(mem_alloc_array(n_texcoords, 4));
    g->corner_texcoord = static_cast<uint64_t*>(mem_alloc_array(geom_corner_count(g), 8));
    g->n_texcoords = n_texcoords;
    if (g->tex_u && g->tex_v && g->corner_texcoord) return true;
    mem_release(&g->tex_u);
    mem_release(&g->tex_v);
    mem_release(&g->corner_texcoord);
    g->n_texcoords = 0;
    return false;
}

// A mem_alloc copy of n bytes at bytes into *copy (null for null); false
// when memory is refused.
static bool bytes_copy(const char* bytes, uint64_t n, char** copy)
{
    *copy = nullptr;
    if (!bytes) return true;
    *copy = static_cast<char*>(mem_alloc(n));
    if (!*copy) return false;
    std::memcpy(*copy, bytes, n);
    return true;
}

// The bytes of n NUL-ended names from text, their last NUL included.
static uint64_t names_length(const char* text, uint64_t n)
{
    uint64_t length = 0;
    for (uint64_t i = 0; i < n; ++i) length += std::strlen(text + length) + 1;
    return length;
}

bool geom_copy_materials(const geom* from, geom* to)
{
    if (!from->face_material) return true;
    char* materials = nullptr;
    const bool copied = bytes_copy(reinterpret_cast<const char*>(from->face_material),
                                   from->n_faces * 4, &materials);
    to->face_material = reinterpret_cast<int32_t*>(materials);
    return copied && geom_copy_material_names(from, to);
}

bool geom_copy_material_names(const geom* from, geom* to)
{
    to->n_materials = from->n_materials;
    return bytes_copy(from->material_names, names_length(from->material_names, from->n_materials),
                      &to->material_names) &&
           bytes_copy(from->material_library,
                      from->material_library ? std::strlen(from->material_library) + 1 : 0,
                      &to->material_library);
}

const char** geom_material_name_table(const geom* g)
{
    auto** names = static_cast<const char**>(mem_alloc((g->n_materials + 1) * sizeof(char*)));
    if (!names) return nullptr;
    const char* name = g->material_names;
    for (uint64_t m = 0; m < g->n_materials; ++m) {
        names[m] = name;
        name += std::strlen(name) + 1;
    }
    return names;
}

void geom_release(geom* g)
{
    if (!g) return;
    mem_free(g->x);
    mem_free(g->y);
    mem_free(g->z);
    mem_free(g->corner0);
    mem_free(g->corner1);
    mem_free(g->corner2);
    mem_free(g->corner3);
    mem_free(g->face_start);
    mem_free(g->corners);
    mem_free(g->tex_u);
    mem_free(g->tex_v);
    mem_free(g->corner_texcoord);
    mem_free(g->face_material);
    mem_free(g->material_names);
    mem_free(g->material_library);
    mem_free(g->crease_vertices);
    mem_free(g->crease_sharpness);
    mem_free(g->vertex_sharpness);
    mem_free(g->normal_x);
    mem_free(g->normal_y);
    mem_free(g->normal_z);
    std::memset(g, 0, sizeof *g);
}

} // namespace subdiv
