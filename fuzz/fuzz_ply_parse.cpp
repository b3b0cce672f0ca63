// libFuzzer target: the PLY reader on arbitrary bytes, with and without
// texture coordinates, checking what holds for every record it accepts.
//
// A failed CHECK inside the reader ends the process, which libFuzzer reports
// as a crash: every check of the reader guards an invariant, never input data.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "geom.h"
#include "ply_import.h"
#include "storage.h"

using namespace subdiv;

static void fuzz_check(bool condition)
{
    if (!condition) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (int uv = 0; uv < 2; ++uv) {
        // the reader takes over a block with a NUL after the bytes
        char* text = static_cast<char*>(mem_alloc(size + 1));
        if (size) std::memcpy(text, data, size);
        text[size] = '\0';
        subdiv_options options;
        subdiv_options_init(&options);
        options.uv = uv;
        geom g;
        subdiv_error error;
        const subdiv_status result = ply_import_block("fuzz.ply", text, size, &options, &g, &error);
        fuzz_check(result == subdiv_ok || result == subdiv_error_syntax ||
                   result == subdiv_error_mesh);
        if (result != subdiv_ok) {
            fuzz_check(g.x == nullptr && error.message[0] != '\0' && error.status == result);
            continue;
        }
        // faces of 3 to 15 corners naming vertices that exist, finite positions
        const int n = geom_face_size(&g);
        fuzz_check(g.n_faces > 0 && (n == 0 || n == 3 || n == 4));
        uint64_t corners = 0;
        for (uint64_t f = 0; f < g.n_faces; ++f) {
            const uint64_t size_f = n ? uint64_t(n) : g.face_start[f + 1] - g.face_start[f];
            fuzz_check(size_f >= 3 && size_f <= 15 && (n || g.face_start[f] == corners));
            const uint64_t* const corner[4] = {g.corner0, g.corner1, g.corner2, g.corner3};
            for (uint64_t k = 0; k < size_f; ++k)
                fuzz_check((n ? corner[k][f] : g.corners[corners + k]) < g.n_vertices);
            corners += size_f;
        }
        fuzz_check(n != 0 || g.face_start[g.n_faces] == corners);
        for (uint64_t v = 0; v < g.n_vertices; ++v)
            fuzz_check(std::isfinite(g.x[v]) && std::isfinite(g.y[v]) && std::isfinite(g.z[v]));
        fuzz_check(uv || g.tex_u == nullptr);
        if (g.tex_u) {
            for (uint64_t c = 0; c < corners; ++c) fuzz_check(g.corner_texcoord[c] < g.n_texcoords);
            for (uint64_t t = 0; t < g.n_texcoords; ++t)
                fuzz_check(std::isfinite(g.tex_u[t]) && std::isfinite(g.tex_v[t]));
        }
        geom_release(&g);
    }
    return 0;
}
