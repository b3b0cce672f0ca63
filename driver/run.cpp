// The run sequence of one job: import, check resources, refine, write.
#include <unistd.h>

#include <cstdio>

#include "check.h"
#include "catmull_clark.h"
#include "driver.h"
#include "loop.h"
#include "obj_import.h"
#include "obj_write.h"

// The job's input and output records live until the process ends.
static geom g_input;
static geom g_output;

typedef unsigned __int128 u128;

// Bytes of the blocks that hold a geom, or a mesh, of these counts.
static u128 geom_bytes(u128 v, u128 f, int face_size)
{
    return 3 * (v * 4 + 4096) + unsigned(face_size) * (f * 8 + 4096);
}

static u128 mesh_bytes(u128 v, u128 f,
                                    u128 e)
{
    return 4 * (f * 8 + 4096) + 3 * (e * 16 + 4096) + (v * 8 + 4096);
}

static unsigned long long physical_memory(void)
{
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return ~0ull;
    return (unsigned long long)pages * (unsigned long long)page_size;
}

// Works out the counts after count iterations and a bound on the memory any
// iteration holds at once (the input, the previous geometry and its
// connectivity, the next geometry and, but for the last iteration, its
// connectivity; the loops release parts of the previous pair early, so the
// real peak is lower). Prints why and returns false when they do not fit.
static bool run_fits_in_memory(const char* path, const geom* input, int32_t count)
{
    const int face_size = geom_face_size(input);
    const u128 limit = u128(1) << 64;
    u128 v = input->n_vertices, f = input->n_faces, e = input->n_edges;
    u128 kept = geom_bytes(v, f, face_size); // the caller's input stays
    u128 peak = kept + mesh_bytes(v, f, e);
    for (int32_t i = 1; i <= count; ++i) {
        u128 v_next = face_size == 3 ? v + e : v + f + e;
        u128 f_next = 4 * f;
        u128 e_next = face_size == 3 ? 4 * e : 4 * f + 2 * e;
        if (v_next >= limit || f_next >= limit || e_next >= limit) {
            std::fprintf(stderr,
                         "subdiv: %s: %d iterations would make more than 2^64 vertices or faces "
                         "(iteration %d already would)\n",
                         path, count, i);
            return false;
        }
        u128 held = (i > 1 ? geom_bytes(v, f, face_size) : 0) + mesh_bytes(v, f, e) +
                                 geom_bytes(v_next, f_next, face_size) +
                                 (i < count ? mesh_bytes(v_next, f_next, e_next) : 0);
        if (kept + held > peak) peak = kept + held;
        v = v_next, f = f_next, e = e_next;
    }
    unsigned long long memory = physical_memory();
    if (peak > memory) {
        std::fprintf(stderr,
                     "subdiv: %s: %d iterations make %llu vertices and %llu faces and need up to "
                     "%.3g bytes of memory; this machine has %llu bytes\n",
                     path, count, (unsigned long long)v, (unsigned long long)f, double(peak),
                     memory);
        return false;
    }
    return true;
}

int run(const char* input_path, const char* output_path, int32_t count)
{
    // fatal checks in the mesh code name the file they stopped on
    check_set_context(input_path);
    if (!obj_import(input_path, &g_input)) return 0;
    if (count < 0 || !run_fits_in_memory(input_path, &g_input, count)) return 0;

    if (count == 0) {
        // no refinement: the input mesh is the result
        g_output = g_input;
    } else {
        switch (geom_face_size(&g_input)) {
        case 3: loop_iterate(&g_input, &g_output, count); break;
        case 4: catmull_clark_iterate(&g_input, &g_output, count); break;
        default: CHECK(false, "face size %d is neither 3 nor 4", geom_face_size(&g_input));
        }
    }
    check_set_context(nullptr);
    return obj_write(output_path, &g_output);
}
