// libFuzzer target: the tool's whole job in one process on arbitrary bytes:
// OBJ text -> import -> connectivity -> one or two iterations of the scheme
// that matches the face size -> OBJ text in memory.
//
// Input: the first byte picks the iteration count (odd: 1, even: 2; the seeds
// start with "1" or "2"), the rest is the OBJ text.
//
// What must hold for every input:
// - the import either fills a mesh of triangles or quads whose corners name
//   its vertices, or refuses the text with a message;
// - mesh_build accepts the mesh exactly when an independent model of its rule
//   (below, over std::map) does, and refuses it through a failed check;
// - a mesh that mesh_build accepts refines without any failed check, into the
//   counts the schemes give, with every corner naming a vertex;
// - the writer formats every line of the result;
// - nothing leaks, on the refused paths included: the check handler leaves
//   mesh_build by longjmp, and mesh_build releases its map and mesh before
//   its input checks fail. The records of the job live in statics that are
//   released after every input, and the bytes held by the allocator are
//   compared before and after each one.
// Any other failed check ends the process (exit status 1), which libFuzzer
// reports as a crash. The messages of refused inputs are printed as usual.
#include <sys/mman.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "catmull_clark.h"
#include "check.h"
#include "fuzz_common.h"
#include "loop.h"
#include "mesh.h"
#include "obj_import.h"
#include "obj_write.h"
#include "storage.h"

// from the sanitizer runtime that every fuzz build links
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);

// Faces the refined mesh may have at most: bounds the work per input.
static const uint64_t max_faces_after = uint64_t(1) << 20;

// The job's records: statics, so that they can be released after a longjmp.
static geom g_input;
static geom g_output;
static mesh g_mesh;
static jmp_buf g_refused;
static int g_text_fd = -1;

static void fuzz_check(bool condition)
{
    if (!condition) __builtin_trap();
}

static void leave_build(void) { longjmp(g_refused, 1); }

// The rule of mesh_build over the faces in file order, with a std::map for
// its edge table: no face has an edge from a vertex to itself or one vertex
// at opposite corners of a quad; a face's edge a -> b pairs with the open
// edge b -> a of an earlier face, which then closes, and refuses when the
// open edge ran a -> b itself; every other edge opens; at the end no edge is
// open and the edges number half the corners.
static bool model_accepts(const geom* g)
{
    const int n = geom_face_size(g);
    const uint64_t* corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
    // open edges, both directions: true for the direction the opening face runs
    std::map<std::pair<uint64_t, uint64_t>, bool> open;
    uint64_t n_edges = 0;
    for (uint64_t f = 0; f < g->n_faces; ++f) {
        uint64_t q[4];
        for (int k = 0; k < n; ++k) q[k] = corner[k][f];
        for (int k = 0; k < n; ++k)
            if (q[k] == q[(k + 1) % n]) return false;
        if (n == 4 && (q[0] == q[2] || q[1] == q[3])) return false;
        bool closes[4];
        for (int k = 0; k < n; ++k) {
            auto found = open.find({q[(k + 1) % n], q[k]});
            closes[k] = found != open.end();
            if (closes[k] && found->second == false) return false; // runs the same way
        }
        for (int k = 0; k < n; ++k) {
            const uint64_t a = q[k], b = q[(k + 1) % n];
            if (closes[k]) {
                open.erase({a, b});
                open.erase({b, a});
            } else {
                if (++n_edges > g->n_edges) return false;
                open[{a, b}] = true;
                open[{b, a}] = false;
            }
        }
    }
    return open.empty() && n_edges == g->n_edges;
}

// Builds the connectivity of g_input into g_mesh; false when a check refused
// it (g_mesh is then released by mesh_build).
static bool build_accepted(void)
{
    if (setjmp(g_refused) != 0) return false;
    mesh_build(&g_mesh, &g_input);
    return true;
}

// Formats g_output into the in-memory file and checks that it holds the two
// headers, the empty line and one line per vertex and per face.
static void write_in_memory(void)
{
    if (g_text_fd < 0) g_text_fd = memfd_create("fuzz_job", 0);
    fuzz_check(g_text_fd >= 0);
    fuzz_check(ftruncate(g_text_fd, 0) == 0 && lseek(g_text_fd, 0, SEEK_SET) == 0);
    fuzz_check(obj_write_fd(g_text_fd, &g_output) == 0);
    off_t size = lseek(g_text_fd, 0, SEEK_CUR);
    fuzz_check(size > 0);
    char* text = static_cast<char*>(std::malloc(size_t(size)));
    fuzz_check(pread(g_text_fd, text, size_t(size), 0) == size);
    uint64_t lines = 0;
    for (off_t i = 0; i < size; ++i) lines += text[i] == '\n';
    fuzz_check(text[size - 1] == '\n');
    fuzz_check(lines == 3 + g_output.n_vertices + g_output.n_faces);
    std::free(text);
}

static void run_job(const uint8_t* data, size_t size)
{
    const int iterations = (data[0] & 1) ? 1 : 2;
    const uint64_t length = size - 1;
    char* text = static_cast<char*>(mem_alloc(length + 1));
    std::memcpy(text, data + 1, length);
    text[length] = '\0';
    if (!obj_import_text("fuzz input", text, length, "/nonexistent-subdiv-fuzz", &g_input)) return;

    const int n = geom_face_size(&g_input);
    fuzz_check(n == 3 || n == 4);
    fuzz_check(g_input.n_faces > 0 && g_input.n_edges == uint64_t(n) * g_input.n_faces / 2);
    const uint64_t* corner[4] = {g_input.corner0, g_input.corner1, g_input.corner2,
                                 g_input.corner3};
    for (uint64_t f = 0; f < g_input.n_faces; ++f)
        for (int k = 0; k < n; ++k) fuzz_check(corner[k][f] < g_input.n_vertices);
    if (g_input.n_faces > (max_faces_after >> (2 * iterations))) return;

    const bool expected = model_accepts(&g_input);
    check_handler_fn previous = check_set_handler(leave_build);
    const bool accepted = build_accepted();
    check_set_handler(previous);
    fuzz_check(accepted == expected);
    if (!accepted) return;
    mesh_free(&g_mesh);

    // the counts after the iterations, by the schemes' rules
    uint64_t v = g_input.n_vertices, f = g_input.n_faces, e = g_input.n_edges;
    for (int i = 0; i < iterations; ++i) {
        const uint64_t v_next = n == 3 ? v + e : v + f + e;
        const uint64_t e_next = n == 3 ? 4 * e : 4 * f + 2 * e;
        v = v_next, f = 4 * f, e = e_next;
    }
    const bool refined = n == 3 ? loop_iterate(&g_input, &g_output, iterations)
                                : catmull_clark_iterate(&g_input, &g_output, iterations);
    fuzz_check(refined);
    fuzz_check(g_output.n_vertices == v && g_output.n_faces == f && g_output.n_edges == e);
    fuzz_check(geom_face_size(&g_output) == n);
    const uint64_t* out[4] = {g_output.corner0, g_output.corner1, g_output.corner2,
                              g_output.corner3};
    for (uint64_t i = 0; i < g_output.n_faces; ++i)
        for (int k = 0; k < n; ++k) fuzz_check(out[k][i] < g_output.n_vertices);
    write_in_memory();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || names_absolute_library(data, size)) return -1;
    check_set_context("fuzz input"); // as the tool names its input file
    const size_t held = __sanitizer_get_current_allocated_bytes();
    run_job(data, size);
    // the import leaves g_input cleared or filled, the loops g_output; geom_free
    // and mesh_free take cleared records
    geom_free(&g_input);
    geom_free(&g_output);
    mesh_free(&g_mesh);
    fuzz_check(__sanitizer_get_current_allocated_bytes() == held);
    return 0;
}
