// Refused memory through the public header: whichever allocation of a job
// the system refuses, the job returns subdiv_error_memory naming the size,
// clears its outputs, leaves the output file as it was and holds nothing;
// and the tool under a real limit on its address space fails with one line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "storage.h"
#include "subdiv/subdiv.h"
#include "test_util.h"

using subdiv::mem_blocks_held;
using subdiv::mem_fail_after;

namespace {

using test_util::read_file;
using test_util::scratch_folder;
using test_util::write_file;

// A 3 x 2 sheet of quads, one of them split in two triangles (open, faces
// of any sizes), with texture coordinates, materials, groups and a
// continued line.
const char* const sheet_obj =
    "mtllib sheet.mtl\n"
    "v 0 0 0\nv 1 0 0\nv 2 0 0.5\nv 3 0 0\nv 0 1 0\nv 1 1 1\nv 2 1 0\nv 3 1 0\n"
    "v 0 2 0\nv 1 2 0\nv 2 2 0.5\nv 3 2 \\\n 0\n"
    "vt 0 0\nvt 1 0\nvt 0 1\nvt 1 1\n"
    "g first\nusemtl red\n"
    "f 1/1 2/2 6/4 5/3\nf 2/1 3/2 7/4 6/3\nf 3/1 4/2 8/4\nf 3/1 8/4 7/3\n"
    "o second\nusemtl blue\n"
    "f 5/1 6/2 10/4 9/3\nf 6/1 7/2 11/4 10/3\nf 7/1 8/2 12/4 11/3\n";

// An octahedron: closed triangles, with texture coordinates and materials.
const char* const octahedron_obj =
    "mtllib sheet.mtl\n"
    "v 1 0 0\nv -1 0 0\nv 0 1 0\nv 0 -1 0\nv 0 0 1\nv 0 0 -1\nvt 0 0\nvt 1 0\nvt 0 1\n"
    "usemtl red\nf 1/1 3/2 5/3\nf 3/1 2/2 5/3\nf 2/1 4/2 5/3\nf 4/1 1/2 5/3\n"
    "usemtl blue\nf 3/1 1/2 6/3\nf 2/1 3/2 6/3\nf 4/1 2/2 6/3\nf 1/1 4/2 6/3\n";

// The two with sharp features: a semi-sharp crease and corners, a crease
// loop round the octahedron's equator.
const std::string sheet_creased_obj =
    std::string(sheet_obj) + "t crease 3/1/0 4 5 6 1.5\nt corner 2/2/0 1 9 0.5 10\n";
const std::string octahedron_creased_obj =
    std::string(octahedron_obj) + "t crease 5/1/0 0 2 1 3 0 2.5\nt corner 1/1/0 4 1\n";

enum route { read_file_route, read_text_route, refine_route, to_obj_route, arrays_route,
             write_route, geom_alloc_route };

struct job {
    const char* name;
    route how;
    const char* obj;
    int32_t iterations;
    int32_t threads;
    subdiv_scheme scheme;
    subdiv_uv_mode uv = subdiv_uv_linear;
};

// What one run of a job gave with the allocation after the first `served`
// refused.
struct outcome {
    subdiv_status status;
    std::string message;
    bool refused;       // the refusal came before the job ended
    bool outputs_clear; // the records the job fills, and an input it takes over
};

bool cleared(const void* record, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(record);
    for (size_t i = 0; i < size; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

outcome run(const job& j, const scratch_folder& folder, uint64_t served)
{
    subdiv_options options;
    subdiv_options_init(&options);
    options.uv = j.uv;
    options.materials = 1;
    options.threads = j.threads;
    options.scheme = j.scheme;
    subdiv_error error = {};
    subdiv_geom input = {}, output = {};
    subdiv_arrays arrays = {};
    const std::string in = folder.file("in.obj"), out = folder.file("out.obj");
    if (j.how != read_file_route && j.how != read_text_route && j.how != geom_alloc_route) {
        EXPECT_EQ(subdiv_obj_read(in.c_str(), &options, &input, &error), subdiv_ok);
    }
    const std::string text = j.obj;
    uint64_t counts[2] = {1, 1};
    mem_fail_after(served);
    subdiv_status status = subdiv_ok;
    switch (j.how) {
    case read_file_route: status = subdiv_obj_read(in.c_str(), &options, &output, &error); break;
    case read_text_route:
        status = subdiv_obj_read_text("in.obj", text.data(), text.size(), folder.path.c_str(),
                                      &options, &output, &error);
        break;
    case refine_route: status = subdiv_refine(&input, j.iterations, &options, &output, &error); break;
    case to_obj_route:
        status = subdiv_refine_to_obj(&input, j.iterations, &options, out.c_str(), &counts[0],
                                      &counts[1], &error);
        break;
    case arrays_route:
        status = subdiv_refine_arrays(&input, j.iterations, &options, &arrays, &error);
        break;
    case write_route: status = subdiv_obj_write(out.c_str(), &input, &options, &error); break;
    case geom_alloc_route: status = subdiv_geom_alloc(&output, 30, 20, 0, 80, 40, &error); break;
    }
    const bool refused = mem_fail_after(subdiv::mem_fail_never) == subdiv::mem_fail_never;
    // an input taken over is cleared, whatever the status
    const bool taken = j.how == to_obj_route || j.how == arrays_route;
    const bool clear = cleared(&output, sizeof output) && cleared(&arrays, sizeof arrays) &&
                       (!taken || cleared(&input, sizeof input)) &&
                       (j.how != to_obj_route || counts[0] + counts[1] == 0);
    subdiv_geom_free(&input);
    subdiv_geom_free(&output);
    subdiv_arrays_free(&arrays);
    return {status, error.message, refused, clear};
}

// Whether the message ends "out of memory: cannot allocate N bytes", N a
// number.
bool names_a_size(const std::string& message)
{
    const std::string head = "out of memory: cannot allocate ", tail = " bytes";
    const size_t at = message.rfind(head);
    if (at == std::string::npos || message.size() < at + head.size() + tail.size() + 1 ||
        message.compare(message.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string number =
        message.substr(at + head.size(), message.size() - tail.size() - at - head.size());
    return number.find_first_not_of("0123456789") == std::string::npos;
}

std::set<std::string> folder_files(const scratch_folder& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path))
        names.insert(entry.path().filename().string());
    return names;
}

} // namespace

// Every allocation of each job refused in turn, until the job makes fewer.
TEST(OutOfMemory, EveryRefusalOfEveryJobComesBackAsAStatus)
{
    const job jobs[] = {
        {"read a file", read_file_route, sheet_obj, 0, 1, subdiv_scheme_auto},
        {"read a text", read_text_route, octahedron_obj, 0, 1, subdiv_scheme_auto},
        {"Loop held whole, 3 iterations", refine_route, octahedron_obj, 3, 1, subdiv_scheme_auto},
        {"Catmull-Clark of triangles held whole", refine_route, octahedron_obj, 1, 1,
         subdiv_scheme_catmull_clark},
        {"open polygons held whole, 0 iterations", refine_route, sheet_obj, 0, 1,
         subdiv_scheme_auto},
        {"open polygons streamed, 3 iterations, 2 threads", to_obj_route, sheet_obj, 3, 2,
         subdiv_scheme_auto},
        {"Loop streamed, 1 iteration", to_obj_route, octahedron_obj, 1, 1, subdiv_scheme_auto},
        {"Catmull-Clark of triangles streamed, 2 iterations", to_obj_route, octahedron_obj, 2, 2,
         subdiv_scheme_catmull_clark},
        {"open polygons streamed, 0 iterations", to_obj_route, sheet_obj, 0, 1,
         subdiv_scheme_auto},
        {"Loop into arrays, 3 iterations", arrays_route, octahedron_obj, 3, 1, subdiv_scheme_auto},
        {"open polygons into arrays, 1 iteration", arrays_route, sheet_obj, 1, 1,
         subdiv_scheme_auto},
        {"polygons into arrays, 0 iterations", arrays_route, sheet_obj, 0, 1, subdiv_scheme_auto},
        {"write a file, 2 threads", write_route, sheet_obj, 0, 2, subdiv_scheme_auto},
        {"a record for the caller", geom_alloc_route, sheet_obj, 0, 1, subdiv_scheme_auto},
        {"sharp features read", read_text_route, sheet_creased_obj.c_str(), 0, 1,
         subdiv_scheme_auto},
        {"sharp features held whole, 2 iterations", refine_route, sheet_creased_obj.c_str(), 2, 1,
         subdiv_scheme_auto},
        {"sharp features streamed, 2 iterations, 2 threads", to_obj_route,
         octahedron_creased_obj.c_str(), 2, 2, subdiv_scheme_auto},
        {"sharp features streamed, 0 iterations", to_obj_route, sheet_creased_obj.c_str(), 0, 1,
         subdiv_scheme_auto},
        {"texture coordinates smooth, held whole, 2 iterations", refine_route,
         sheet_creased_obj.c_str(), 2, 2, subdiv_scheme_auto, subdiv_uv_smooth},
        {"texture coordinates by boundaries, streamed, 2 iterations", to_obj_route,
         octahedron_obj, 2, 2, subdiv_scheme_auto, subdiv_uv_boundaries},
        {"texture coordinates by corners, into arrays, 1 iteration", arrays_route, sheet_obj, 1,
         1, subdiv_scheme_auto, subdiv_uv_corners},
    };
    for (const job& j : jobs) {
        scratch_folder folder;
        write_file(folder.file("in.obj"), j.obj);
        write_file(folder.file("sheet.mtl"), "newmtl red\nKd 1 0 0\nmap_Kd red.png\nnewmtl blue\n");
        write_file(folder.file("out.obj"), "an output of before\n");
        const std::set<std::string> files = folder_files(folder);
        const uint64_t held = mem_blocks_held();
        uint64_t served = 0;
        for (;; ++served) {
            SCOPED_TRACE(std::string(j.name) + ", allocation " + std::to_string(served + 1));
            const outcome o = run(j, folder, served);
            if (!o.refused) {
                // the job made no more than `served` allocations
                EXPECT_EQ(o.status, subdiv_ok) << o.message;
                break;
            }
            EXPECT_EQ(o.status, subdiv_error_memory) << o.message;
            EXPECT_TRUE(names_a_size(o.message)) << o.message;
            EXPECT_TRUE(o.outputs_clear);
            EXPECT_EQ(folder_files(folder), files);
            EXPECT_EQ(read_file(folder.file("out.obj")), "an output of before\n");
            ASSERT_EQ(mem_blocks_held(), held);
        }
        EXPECT_GT(served, 2u) << j.name;
    }
}

// Runs the tool in folder with its address space limited to `limit` bytes
// (set in the child before exec), its standard error into err.txt; returns
// its exit status, or 128 + the signal that ended it.
static int run_limited(const scratch_folder& folder, const char* input, const char* iterations,
                uint64_t limit)
{
    const std::string err = folder.file("err.txt");
    const pid_t child = fork();
    if (child == 0) {
        const rlimit bytes = {limit, limit};
        const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 2) < 0 || chdir(folder.path.c_str()) != 0 ||
            setrlimit(RLIMIT_AS, &bytes) != 0)
            _exit(100);
        execl(SUBDIV_EXE, "subdiv", input, iterations, "out.obj", static_cast<char*>(nullptr));
        _exit(101);
    }
    int raw = 0;
    if (child < 0 || waitpid(child, &raw, 0) != child) return -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// The tool under a limit on its address space, which leaves no room for the
// arena's reservation: a small job runs on blocks from the C library and
// writes the bytes it writes without the limit; a job whose input's text
// does not fit fails with one line naming the size, exit status 1, and no
// output. (The sanitizers reserve more address space than the limit.)
TEST(OutOfMemory, TheToolUnderALimitOnItsAddressSpace)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory needs more address space than the limit";
#endif
    const uint64_t limit = uint64_t(64) << 20;
    scratch_folder folder;
    const std::string cube = std::string(SUBDIV_SOURCE_DIR) + "/meshes/cube-quad.obj";
    ASSERT_EQ(test_util::run_tool(folder.path, {cube, "3", "free.obj"}).status, 0);
    ASSERT_EQ(run_limited(folder, cube.c_str(), "3", limit), 0) << read_file(folder.file("err.txt"));
    EXPECT_TRUE(read_file(folder.file("out.obj")) == read_file(folder.file("free.obj")));
    std::filesystem::remove(folder.file("out.obj"));

    // about 100 MB of vertices and one triangle
    std::string block;
    for (int i = 0; i < 65536; ++i) block += "v 0.5 0.25 0.125\n";
    std::FILE* file = std::fopen(folder.file("large.obj").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (int i = 0; i < 90; ++i) std::fwrite(block.data(), 1, block.size(), file);
    std::fputs("f 1 2 3\n", file);
    std::fclose(file);
    EXPECT_EQ(run_limited(folder, "large.obj", "1", limit), 1);
    const std::string message = read_file(folder.file("err.txt"));
    EXPECT_EQ(message.rfind("subdiv: ", 0), 0u) << message;
    EXPECT_EQ(message.find('\n'), message.size() - 1) << message;
    EXPECT_TRUE(names_a_size(message.substr(0, message.size() - 1))) << message;
    EXPECT_FALSE(std::filesystem::exists(folder.file("out.obj")));
}
