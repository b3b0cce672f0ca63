// The public header as a caller uses it: every refusal comes back as a
// status and an error record naming the place, the process goes on, and
// nothing stays allocated; progress and warnings come through callbacks.
#include <gtest/gtest.h>

#include <string>

#include "subdiv/subdiv.h"
#include "test_util.h"

#ifdef __SANITIZE_ADDRESS__
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace {

// Bytes the heap holds; 0 (and the comparison void) without AddressSanitizer.
size_t heap_in_use()
{
#ifdef __SANITIZE_ADDRESS__
    return __sanitizer_get_current_allocated_bytes();
#else
    return 0;
#endif
}

void append_line(std::string* lines, const std::string& line) { *lines += line + "\n"; }

void on_progress(void* context, int32_t iteration, uint64_t before, uint64_t after)
{
    append_line(static_cast<std::string*>(context), std::to_string(iteration) + ": " +
                                                        std::to_string(before) + " -> " +
                                                        std::to_string(after));
}

void on_warning(void* context, const char* message)
{
    append_line(static_cast<std::string*>(context), message);
}

const std::string tetrahedron = "v 1 1 1\nv 1 -1 -1\nv -1 1 -1\nv -1 -1 1\n"
                                "f 1 2 3\nf 1 4 2\nf 2 4 3\nf 3 4 1\n";

} // namespace

TEST(PublicApi, RefusalsComeBackAsErrorRecords)
{
    test_util::scratch_folder folder;
    const struct refusal {
        std::string text;
        int32_t iterations;
        subdiv_status status;
        const char* message;
        uint64_t line, face, vertex0, vertex1;
    } refusals[] = {
        {"v 0 0 0\nf 1 2 3\n", 1, subdiv_error_syntax,
         "in.obj: line 2: face corner '2' names vertex 2, but only 1 vertices come before it", 2, 1,
         2, 0},
        {"v 0 0\n", 1, subdiv_error_syntax, "in.obj: line 1: 'v' statement with 2 coordinates", 1,
         0, 0, 0},
        {"v 0 0 0\n", 1, subdiv_error_mesh, "in.obj: the file has no faces", 0, 0, 0, 0},
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nf 1 2 3\n", 1, subdiv_error_mesh,
         "faces 1 and 2 both run from vertex 1 to vertex 2", 0, 2, 1, 2},
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 2\n", 0, subdiv_error_mesh,
         "face 1 has a degenerate edge: vertex 2 to itself", 0, 1, 2, 0},
        {tetrahedron, -1, subdiv_error_usage, "the iteration count -1 is negative", 0, 0, 0, 0},
        {tetrahedron, 40, subdiv_error_limit, "40 iterations would make more than 2^64", 0, 0, 0,
         0},
    };
    for (const refusal& r : refusals) {
        SCOPED_TRACE(r.message);
        const size_t held = heap_in_use();
        subdiv_geom input = {}, output = {};
        subdiv_error error = {};
        subdiv_status status = subdiv_obj_read_text("in.obj", r.text.data(), r.text.size(), nullptr,
                                               nullptr, &input, &error);
        if (status == subdiv_ok)
            status = subdiv_refine(&input, r.iterations, nullptr, &output, &error);
        EXPECT_EQ(status, r.status);
        EXPECT_EQ(error.status, r.status);
        EXPECT_NE(std::string(error.message).find(r.message), std::string::npos) << error.message;
        EXPECT_EQ(error.line, r.line);
        EXPECT_EQ(error.face, r.face);
        EXPECT_EQ(error.vertices[0], r.vertex0);
        EXPECT_EQ(error.vertices[1], r.vertex1);
        EXPECT_EQ(output.x, nullptr);
        subdiv_geom_free(&input);
        subdiv_geom_free(&output);
        EXPECT_EQ(heap_in_use(), held);
    }

    // files that cannot be read or written
    subdiv_geom g = {};
    subdiv_error error = {};
    const std::string missing = folder.file("missing.obj");
    EXPECT_EQ(subdiv_obj_read(missing.c_str(), nullptr, &g, &error), subdiv_error_read);
    EXPECT_EQ(std::string(error.message), "cannot read '" + missing + "': No such file or directory");
    EXPECT_EQ(subdiv_obj_write(folder.file("no/out.obj").c_str(), &g, nullptr, &error), subdiv_error_write);
    EXPECT_NE(std::string(error.message).find("No such file or directory"), std::string::npos);
}

TEST(PublicApi, ProgressAndWarningsReachTheCallbacks)
{
    std::string lines;
    subdiv_options options;
    subdiv_options_init(&options);
    options.progress = on_progress;
    options.warning = on_warning;
    options.context = &lines;
    const std::string text = "mtllib none.mtl\n" + tetrahedron;
    subdiv_geom input = {}, output = {};
    subdiv_error error;
    ASSERT_EQ(subdiv_obj_read_text("in.obj", text.data(), text.size(), "/nonexistent-subdiv-test",
                              &options, &input, &error),
              subdiv_ok);
    ASSERT_EQ(subdiv_refine(&input, 2, &options, &output, &error), subdiv_ok);
    EXPECT_EQ(lines, "in.obj: line 1: cannot read the material library "
                     "'/nonexistent-subdiv-test/none.mtl': No such file or directory; materials "
                     "are left out\n"
                     "1: 4 -> 10\n"
                     "2: 10 -> 34\n");
    EXPECT_EQ(output.n_faces, 64u);
    EXPECT_NE(std::string(subdiv_version()), "");
    subdiv_geom_free(&input);
    subdiv_geom_free(&output);
}
