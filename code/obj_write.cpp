// OBJ writer: a geom in memory as a source of OBJ text, in blocks that
// point into its arrays.
#include "obj_write.h"

#include <cerrno>
#include <cstring>

#include "check.h"
#include "error.h"
#include "geom.h"
#include "obj_stream.h"
#include "options.h"
#include "output_file.h"
#include "storage.h"

namespace subdiv {

// Vertices, texture coordinates or faces per block.
static const uint64_t geom_block = 8192;

namespace {

struct geom_source {
    const geom* g;
    int32_t* material_before; // per face block: the material in force before it
};

} // namespace

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

namespace {

// The OBJ text of a geom: the source of its blocks, and what the text needs
// besides the geom's arrays.
struct geom_text {
    geom_source state;
    obj_source source;
    const char** names; // the material names, with materials
    obj_stream_buffers buffers;
    bool shortest;
};

} // namespace

static void geom_text_free(geom_text* text)
{
    mem_release(&text->names);
    mem_release(&text->state.material_before);
    obj_stream_free(&text->buffers);
}

// Sets up the text of g, which must stay where it is; false, holding
// nothing, when memory is refused.
static bool geom_text_prepare(geom_text* text, const geom* g, const subdiv_options* options)
{
    CHECK(g != nullptr, "obj_write: no record");
    *text = geom_text{};
    text->state = {g, nullptr};
    obj_source* source = &text->source;
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
    source->context = &text->state;
    if (g->normal_x && g->normal_y && g->normal_z) {
        source->normals = true;
        source->normal_blocks = source->vertex_blocks;
        source->normal_points = geom_normals;
    }
    text->shortest = options && options->precision == subdiv_precision_shortest;
    if (g->face_material) {
        text->names = geom_material_name_table(g);
        source->material_names = text->names;
        source->material_library = g->material_library;
        text->state.material_before =
            static_cast<int32_t*>(mem_alloc((source->face_blocks + 1) * 4));
        if (!text->names || !text->state.material_before) {
            geom_text_free(text);
            return false;
        }
        // the last material named before each block; faces of none name none
        int32_t material = -1;
        for (uint64_t f = 0; f < g->n_faces; ++f) {
            if (f % geom_block == 0) text->state.material_before[f / geom_block] = material;
            if (g->face_material[f] >= 0) material = g->face_material[f];
        }
    }
    if (obj_stream_alloc(&text->buffers, source, options_threads(options))) return true;
    geom_text_free(text);
    return false;
}

static int geom_fill(int fd, void* context)
{
    const auto* text = static_cast<const geom_text*>(context);
    return obj_stream_write(fd, &text->source, text->shortest, &text->buffers);
}

int obj_write_fd(int fd, const geom* g, const subdiv_options* options)
{
    geom_text text;
    if (!geom_text_prepare(&text, g, options)) return ENOMEM;
    const int reason = geom_fill(fd, &text);
    geom_text_free(&text);
    return reason;
}

subdiv_status obj_write_path(const char* path, const geom* g, const subdiv_options* options,
                             subdiv_error* error)
{
    CHECK(path != nullptr && g != nullptr, "obj_write: no path or record");
    geom_text text;
    if (!geom_text_prepare(&text, g, options)) return error_memory(error, mem_refused_size());
    const output_text file_text = {geom_fill, &text};
    const subdiv_status status = output_file_write(path, &file_text, error);
    geom_text_free(&text);
    return status;
}

} // namespace subdiv
