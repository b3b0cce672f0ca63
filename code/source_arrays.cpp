// Flat arrays from the blocks of an OBJ source.
//
// Each block is made on any thread; in block order it takes its place after
// the blocks before it, then copies itself there.
#include "source_arrays.h"

#include <cstring>

#include "check.h"
#include "parallel.h"

namespace subdiv {

namespace {

struct gather_job {
    const obj_source* source;
    int face_size;
    float* positions;
    uint64_t* corners;
    float* texcoords;          // null without texture coordinates
    uint64_t* corner_texcoords;
    float* normals;            // null without normals
    parallel_turns turns;
    uint64_t next; // the first element of the block whose turn it is
};

} // namespace

// Takes the place of a block of count elements: its first element.
static uint64_t gather_place(gather_job* job, uint64_t block, uint64_t count)
{
    parallel_turn_wait(&job->turns, block);
    const uint64_t first = job->next;
    job->next += count;
    parallel_turn_pass(&job->turns);
    return first;
}

// Block b of a section of points (made by `make`) into out, `axes` floats a
// point, at the place the blocks before it leave; at most `most` points.
static void gather_points(gather_job* job, uint64_t b, uint32_t thread,
                          void (*make)(void*, uint64_t, uint32_t, obj_points*), float* out,
                          int axes, uint64_t most, const char* what)
{
    obj_points points = {};
    make(job->source->context, b, thread, &points);
    const uint64_t first = gather_place(job, b, points.count);
    CHECK(first + points.count <= most, "source_gather: more %s than %llu", what,
          (unsigned long long)most);
    out += uint64_t(axes) * first;
    for (uint64_t i = 0; i < points.count; ++i)
        for (int axis = 0; axis < axes; ++axis)
            out[uint64_t(axes) * i + uint64_t(axis)] = points.axis[axis][i];
}

static void gather_vertices(void* context, uint64_t b, uint32_t thread)
{
    auto* job = static_cast<gather_job*>(context);
    gather_points(job, b, thread, job->source->vertices, job->positions, 3,
                  job->source->n_vertices, "vertices");
}

static void gather_normals(void* context, uint64_t b, uint32_t thread)
{
    auto* job = static_cast<gather_job*>(context);
    gather_points(job, b, thread, job->source->normal_points, job->normals, 3,
                  job->source->n_vertices, "normals");
}

static void gather_texcoords(void* context, uint64_t b, uint32_t thread)
{
    auto* job = static_cast<gather_job*>(context);
    gather_points(job, b, thread, job->source->texcoord_points, job->texcoords, 2,
                  job->source->n_texcoords, "texture coordinates");
}

static void gather_faces(void* context, uint64_t b, uint32_t thread)
{
    auto* job = static_cast<gather_job*>(context);
    obj_faces faces = {};
    job->source->faces(job->source->context, b, thread, &faces);
    CHECK(faces.face_size == job->face_size, "source_gather: faces of %d corners, not %d",
          faces.face_size, job->face_size);
    const uint64_t first = gather_place(job, b, faces.count);
    CHECK(first + faces.count <= job->source->n_faces, "source_gather: more faces than %llu",
          (unsigned long long)job->source->n_faces);
    const uint64_t n = uint64_t(job->face_size);
    uint64_t* out = job->corners + n * first;
    for (uint64_t j = 0; j < faces.count; ++j)
        for (uint64_t k = 0; k < n; ++k) out[n * j + k] = faces.corner[k][j];
    if (job->texcoords) {
        CHECK(faces.texcoord != nullptr, "source_gather: faces without texture coordinates");
        std::memcpy(job->corner_texcoords + n * first, faces.texcoord, n * faces.count * 8);
    }
}

void source_gather(const obj_source* source, uint32_t threads, int face_size, float* positions,
                   uint64_t* corners, float* texcoords, uint64_t* corner_texcoords,
                   float* normals)
{
    CHECK(face_size == 3 || face_size == 4, "source_gather: face size %d", face_size);
    gather_job job;
    job.source = source;
    job.face_size = face_size;
    job.positions = positions;
    job.corners = corners;
    job.texcoords = source->texcoords ? texcoords : nullptr;
    job.corner_texcoords = corner_texcoords;
    job.normals = source->normals ? normals : nullptr;
    // each section's blocks in turn, each from the first place
    auto gather = [&](uint64_t blocks, void (*block)(void*, uint64_t, uint32_t), uint64_t count,
                      const char* what) {
        job.turns.next = 0;
        job.next = 0;
        parallel_for(threads, blocks, block, &job);
        CHECK(job.next == count, "source_gather: %llu %s, not %llu",
              (unsigned long long)job.next, what, (unsigned long long)count);
    };
    gather(source->vertex_blocks, gather_vertices, source->n_vertices, "vertices");
    if (job.texcoords)
        gather(source->texcoord_blocks, gather_texcoords, source->n_texcoords,
               "texture coordinates");
    if (job.normals) gather(source->normal_blocks, gather_normals, source->n_vertices, "normals");
    gather(source->face_blocks, gather_faces, source->n_faces, "faces");
}

} // namespace subdiv
