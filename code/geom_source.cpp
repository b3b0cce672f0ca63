// A geom in memory as a source of blocks.
#include "geom_source.h"

#include "error.h"
#include "storage.h"

namespace subdiv {

// Vertices, texture coordinates or faces per block.
static const uint64_t geom_block = 8192;

static uint64_t block_count(uint64_t n) { return (n + geom_block - 1) / geom_block; }

static uint64_t block_length(uint64_t n, uint64_t b)
{
    return n - b * geom_block < geom_block ? n - b * geom_block : geom_block;
}

static void geom_vertices(void* context, uint64_t b, uint32_t, obj_points* points)
{
    const geom* g = static_cast<geom_source*>(context)->g;
    const uint64_t first = b * geom_block;
    *points = {block_length(g->n_vertices, b), {g->x + first, g->y + first, g->z + first}};
}

static void geom_normals(void* context, uint64_t b, uint32_t, obj_points* points)
{
    const geom* g = static_cast<geom_source*>(context)->g;
    const uint64_t first = b * geom_block;
    *points = {block_length(g->n_vertices, b),
               {g->normal_x + first, g->normal_y + first, g->normal_z + first}};
}

static void geom_texcoords(void* context, uint64_t b, uint32_t, obj_points* points)
{
    const geom* g = static_cast<geom_source*>(context)->g;
    const uint64_t first = b * geom_block;
    *points = {block_length(g->n_texcoords, b), {g->tex_u + first, g->tex_v + first, nullptr}};
}

static void geom_faces(void* context, uint64_t b, uint32_t, obj_faces* faces)
{
    const auto* source = static_cast<geom_source*>(context);
    const geom* g = source->g;
    const uint64_t first = b * geom_block;
    const int n = geom_face_size(g);
    *faces = obj_faces{};
    faces->count = block_length(g->n_faces, b);
    // any face size but 4 (and 0) writes three corners
    faces->face_size = n == 4 ? 4 : n ? 3 : 0;
    if (n) {
        const uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
        for (int k = 0; k < faces->face_size; ++k) faces->corner[k] = corner[k] + first;
        if (g->corner_texcoord) faces->texcoord = g->corner_texcoord + uint64_t(n) * first;
    } else {
        // the offsets stay those of the whole corner arrays
        faces->start = g->face_start + first;
        faces->corners = g->corners;
        faces->texcoord = g->corner_texcoord;
    }
    if (g->face_material) {
        faces->material = g->face_material + first;
        faces->material_before = source->material_before[b];
    }
}

// The record's creases a block at a time, then its vertices' sharpness.
static void geom_tags(void* context, uint64_t b, uint32_t, obj_tags* tags)
{
    const geom* g = static_cast<geom_source*>(context)->g;
    *tags = obj_tags{};
    const uint64_t crease_blocks = block_count(g->n_creases);
    if (b < crease_blocks) {
        const uint64_t first = b * geom_block;
        tags->n_creases = block_length(g->n_creases, b);
        tags->crease_vertices = g->crease_vertices + 2 * first;
        tags->crease_sharpness = g->crease_sharpness + first;
        return;
    }
    b -= crease_blocks;
    tags->first_vertex = b * geom_block;
    tags->n_vertices = block_length(g->n_vertices, b);
    tags->vertex_sharpness = g->vertex_sharpness + tags->first_vertex;
}

subdiv_status geom_source_open(const geom* g, geom_source* state, obj_source* source,
                               subdiv_error* error)
{
    *state = geom_source{g, nullptr, nullptr};
    *source = obj_source{};
    source->n_vertices = g->n_vertices;
    source->n_texcoords = g->n_texcoords;
    source->n_faces = g->n_faces;
    source->texcoords = g->tex_u != nullptr;
    source->vertex_blocks = block_count(g->n_vertices);
    source->texcoord_blocks = block_count(g->n_texcoords);
    source->face_blocks = block_count(g->n_faces);
    source->vertices = geom_vertices;
    source->texcoord_points = geom_texcoords;
    source->faces = geom_faces;
    source->tag_blocks =
        block_count(g->n_creases) + (g->vertex_sharpness ? block_count(g->n_vertices) : 0);
    source->tags = geom_tags;
    source->context = state;
    if (g->normal_x && g->normal_y && g->normal_z) {
        source->normals = true;
        source->normal_blocks = source->vertex_blocks;
        source->normal_points = geom_normals;
    }
    if (!g->face_material) return subdiv_ok;
    state->names = geom_material_name_table(g);
    source->material_names = state->names;
    source->material_library = g->material_library;
    // the last material named before each block; faces of none name none
    state->material_before = static_cast<int32_t*>(mem_alloc((source->face_blocks + 1) * 4));
    if (!state->names || !state->material_before) {
        geom_source_close(state);
        return error_memory(error, mem_refused_size());
    }
    int32_t material = -1;
    for (uint64_t f = 0; f < g->n_faces; ++f) {
        if (f % geom_block == 0) state->material_before[f / geom_block] = material;
        if (g->face_material[f] >= 0) material = g->face_material[f];
    }
    return subdiv_ok;
}

void geom_source_close(geom_source* state)
{
    mem_free(state->names);
    mem_free(state->material_before);
    state->names = nullptr;
    state->material_before = nullptr;
}

} // namespace subdiv
