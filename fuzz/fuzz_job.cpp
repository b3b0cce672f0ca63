// libFuzzer target: the tool's whole job in one process on arbitrary bytes,
// through the library's public entry points: OBJ text -> import -> one or two
// iterations of the scheme that matches the face size -> OBJ text in memory,
// on two threads.
//
// Input: the first byte picks the iteration count (odd: 1, even: 2; the seeds
// start with "1" or "2") and the options (texture coordinates, materials,
// shortest numbers: bits 1, 2 and 3; limit positions and normals: bit 6,
// clear in the seeds' digits), the rest is the OBJ text.
//
// What must hold for every input:
// - the import either fills a mesh of triangles or quads whose corners name
//   its vertices, or refuses the text with a one-line message;
// - the refinement accepts the mesh, open or closed, exactly when an
//   independent model of its rule (below, over std::map) does, and refuses it
//   with subdiv_error_mesh and a one-line message otherwise;
// - an accepted mesh refines into the counts the schemes give, every corner
//   naming a vertex, and the writer formats every line of the result;
// - the job that writes the last level as it makes it (subdiv_refine_to_obj)
//   writes the same bytes as the one that holds it whole;
// - nothing leaks, on the refused paths included: the bytes held by the
//   allocator are compared before and after each input.
// A failed CHECK (a broken invariant) ends the process, which libFuzzer
// reports as a crash.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "fuzz_common.h"
#include "geom.h"
#include "obj_write.h"
#include "subdiv/subdiv.h"

using namespace subdiv;

// from the sanitizer runtime that every fuzz build links
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);

// Faces the refined mesh may have at most: bounds the work per input.
static const uint64_t max_faces_after = uint64_t(1) << 20;

static geom g_input;
static geom g_output;
static int g_text_fd = -1;
// the streamed job's output file: a path of its own in the temporary folder
static char g_stream_path[64];

static void fuzz_check(bool condition)
{
    if (!condition) __builtin_trap();
}

// The corners of face f, whatever the face sizes.
static std::vector<uint64_t> face_corners(const geom* g, uint64_t f)
{
    if (geom_face_size(g) == 0)
        return std::vector<uint64_t>(g->corners + g->face_start[f], g->corners + g->face_start[f + 1]);
    std::vector<uint64_t> q = {g->corner0[f], g->corner1[f], g->corner2[f]};
    if (geom_face_size(g) == 4) q.push_back(g->corner3[f]);
    return q;
}

// The rule the refinement applies to the faces, over a std::map of
// undirected edges: no face names a vertex twice, and every edge is run by
// one face, or once each way by two. Counts the edges into *n_edges.
static bool model_accepts(const geom* g, uint64_t* n_edges)
{
    // per edge (lower end, upper end): faces running it upwards, downwards
    std::map<std::pair<uint64_t, uint64_t>, std::pair<int, int>> runs;
    for (uint64_t f = 0; f < g->n_faces; ++f) {
        const std::vector<uint64_t> q = face_corners(g, f);
        const int n = int(q.size());
        // no vertex twice in a face
        for (int j = 0; j < n; ++j)
            for (int k = 0; k < j; ++k)
                if (q[j] == q[k]) return false;
        for (int k = 0; k < n; ++k) {
            const uint64_t a = q[k], b = q[(k + 1) % n];
            if (a == b) return false;
            auto& run = runs[{a < b ? a : b, a < b ? b : a}];
            (a < b ? run.first : run.second) += 1;
        }
    }
    for (const auto& [edge, run] : runs)
        if (run.first > 1 || run.second > 1) return false;
    *n_edges = runs.size();
    return true;
}

// A message of the library: one line, not empty.
static void check_message(const subdiv_error* error)
{
    fuzz_check(error->message[0] != '\0');
    fuzz_check(std::strchr(error->message, '\n') == nullptr);
}

// Formats g_output into the in-memory file and checks that it holds the
// headers, the empty lines and one line per vertex, per face and, with
// texture coordinates, per coordinate, with normals per vertex again; with
// materials, the library's line and
// a line before each run of faces of one material. Then runs the job again
// on a copy of g_input, its last level written to a file as it is made, and
// compares the bytes.
static void write_in_memory(const subdiv_options* options, int iterations)
{
    if (g_text_fd < 0) g_text_fd = memfd_create("fuzz_job", 0);
    fuzz_check(g_text_fd >= 0);
    fuzz_check(ftruncate(g_text_fd, 0) == 0 && lseek(g_text_fd, 0, SEEK_SET) == 0);
    fuzz_check(obj_write_fd(g_text_fd, &g_output, options) == 0);
    off_t size = lseek(g_text_fd, 0, SEEK_CUR);
    fuzz_check(size > 0);
    char* text = static_cast<char*>(std::malloc(size_t(size)));
    fuzz_check(pread(g_text_fd, text, size_t(size), 0) == size);
    uint64_t lines = 0;
    for (off_t i = 0; i < size; ++i) lines += text[i] == '\n';
    fuzz_check(text[size - 1] == '\n');
    uint64_t expected = 3 + g_output.n_vertices + g_output.n_faces;
    if (g_output.tex_u) expected += 2 + g_output.n_texcoords;
    if (g_output.normal_x) expected += 2 + g_output.n_vertices;
    if (g_output.face_material) {
        expected += g_output.material_library != nullptr;
        int32_t material = -1;
        for (uint64_t f = 0; f < g_output.n_faces; ++f)
            if (g_output.face_material[f] >= 0 && g_output.face_material[f] != material) {
                material = g_output.face_material[f];
                expected += 1;
            }
    }
    fuzz_check(lines == expected);

    // the same job again, its last level written as it is made
    if (g_stream_path[0] == '\0')
        std::snprintf(g_stream_path, sizeof g_stream_path, "/tmp/fuzz-job-%d.obj", int(getpid()));
    // a copy of the input (no iterations, so neither limit positions nor normals)
    geom copy = {};
    subdiv_error error;
    subdiv_options copy_options = *options;
    copy_options.limit = copy_options.normals = 0;
    fuzz_check(subdiv_refine(&g_input, 0, &copy_options, &copy, &error) == subdiv_ok);
    uint64_t n_vertices = 0, n_faces = 0;
    fuzz_check(subdiv_refine_to_obj(&copy, iterations, options, g_stream_path, &n_vertices, &n_faces,
                                    &error) == subdiv_ok);
    fuzz_check(n_vertices == g_output.n_vertices && n_faces == g_output.n_faces);
    FILE* streamed = std::fopen(g_stream_path, "rb");
    fuzz_check(streamed != nullptr);
    char* streamed_text = static_cast<char*>(std::malloc(size_t(size) + 1));
    fuzz_check(std::fread(streamed_text, 1, size_t(size) + 1, streamed) == size_t(size));
    std::fclose(streamed);
    std::remove(g_stream_path);
    fuzz_check(std::memcmp(streamed_text, text, size_t(size)) == 0);
    std::free(streamed_text);
    std::free(text);
}

static void run_job(const uint8_t* data, size_t size)
{
    // the first byte: the count in bit 0; texture coordinates, materials and
    // the shortest numbers in bits 1 to 3; limit positions and normals in bit 6
    const int iterations = (data[0] & 1) ? 1 : 2;
    subdiv_options options;
    subdiv_options_init(&options);
    options.uv = (data[0] & 2) != 0;
    options.materials = (data[0] & 4) != 0;
    options.precision = (data[0] & 8) ? subdiv_precision_shortest : subdiv_precision_6;
    options.limit = options.normals = (data[0] & 64) != 0;
    options.threads = 2;
    subdiv_error error;
    if (subdiv_obj_read_text("fuzz input", reinterpret_cast<const char*>(data + 1), size - 1,
                        "/nonexistent-subdiv-fuzz", &options, &g_input, &error) != subdiv_ok) {
        check_message(&error);
        return;
    }

    const int n = geom_face_size(&g_input);
    fuzz_check(n == 0 || n == 3 || n == 4);
    fuzz_check(g_input.n_faces > 0);
    for (uint64_t f = 0; f < g_input.n_faces; ++f) {
        const std::vector<uint64_t> q = face_corners(&g_input, f);
        fuzz_check(q.size() >= 3 && q.size() <= 15 && (n == 0 || q.size() == uint64_t(n)));
        for (uint64_t v : q) fuzz_check(v < g_input.n_vertices);
    }
    if (g_input.n_faces > (max_faces_after >> (2 * iterations))) return;

    uint64_t n_edges = 0;
    const bool expected = model_accepts(&g_input, &n_edges);
    const subdiv_status status = subdiv_refine(&g_input, iterations, &options, &g_output, &error);
    fuzz_check((status == subdiv_ok) == expected);
    if (status != subdiv_ok) {
        fuzz_check(status == subdiv_error_mesh);
        check_message(&error);
        return;
    }

    // the counts after the iterations, by the schemes' rules: Loop for
    // triangles, Catmull-Clark (a quad per corner) for any other faces
    uint64_t v = g_input.n_vertices, f = g_input.n_faces, e = n_edges;
    uint64_t corners = n ? uint64_t(n) * f : g_input.face_start[f];
    for (int i = 0; i < iterations; ++i) {
        const uint64_t v_next = n == 3 ? v + e : v + f + e;
        const uint64_t e_next = n == 3 ? 2 * e + 3 * f : 2 * e + corners;
        const uint64_t f_next = n == 3 ? 4 * f : corners;
        v = v_next, f = f_next, e = e_next;
        corners = (n == 3 ? 3 : 4) * f;
    }
    fuzz_check(g_output.n_vertices == v && g_output.n_faces == f && g_output.n_edges == e);
    fuzz_check(geom_face_size(&g_output) == (n == 3 ? 3 : 4));
    for (uint64_t i = 0; i < g_output.n_faces; ++i)
        for (uint64_t w : face_corners(&g_output, i)) fuzz_check(w < g_output.n_vertices);
    fuzz_check((g_output.tex_u != nullptr) == (g_input.tex_u != nullptr));
    for (uint64_t c = 0; g_output.tex_u && c < uint64_t(geom_face_size(&g_output)) * g_output.n_faces; ++c)
        fuzz_check(g_output.corner_texcoord[c] < g_output.n_texcoords);
    write_in_memory(&options, iterations);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || names_absolute_library(data, size)) return -1;
    // a job on two threads before the first input is measured: the first
    // threads of the process leave blocks that the runtime keeps for later ones
    static bool warmed_up = false;
    if (!warmed_up) {
        static const char warm_up[] = "2v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nf 3 2 1\n";
        run_job(reinterpret_cast<const uint8_t*>(warm_up), sizeof warm_up - 1);
        subdiv_geom_free(&g_input);
        subdiv_geom_free(&g_output);
        warmed_up = true;
    }
    const size_t held = __sanitizer_get_current_allocated_bytes();
    run_job(data, size);
    // the import leaves g_input cleared or filled, the refinement g_output
    subdiv_geom_free(&g_input);
    subdiv_geom_free(&g_output);
    fuzz_check(__sanitizer_get_current_allocated_bytes() == held);
    return 0;
}
