// The bytes of a job do not depend on the threads nor on the route: the last
// level written as it is made (subdiv_refine_to_obj) and the last level held
// whole and then written (subdiv_refine, obj_write) give the same file for 1,
// 2, 3 and 7 threads, and the last level gathered into flat arrays
// (subdiv_refine_arrays) the same positions, faces, texture coordinates and
// normals; so do the binary PLY routes (subdiv_refine_to_file, subdiv_write),
// on meshes whose counts are no multiples of the ranges the work is split
// into: closed and open, quads, triangles and mixed faces, with texture
// coordinates that have seams, materials, sharp features, both number forms,
// limit positions and normals (whose rings the streamed route gathers from
// the level before the last, the held one from the last).
#include <gtest/gtest.h>

#include <pthread.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "level_view.h"
#include "parallel.h"
#include "subdiv/subdiv.h"
#include "test_util.h"

namespace {

using test_util::read_file;
using test_util::scratch_folder;
using test_util::write_file;

// A rows x cols grid of quads on a torus (closed) or a bent sheet (open), as
// OBJ text. Faces: quads, or two triangles each (triangles), or quads and
// triangle pairs in turn (mixed). With uv, every corner names a texture
// coordinate of a grid whose last column is a seam on the closed mesh; with
// materials, a usemtl line every seventh row.
std::string grid_obj(int rows, int cols, bool closed, const char* faces, bool uv, bool materials,
                     bool creases = false)
{
    std::string text = materials ? "mtllib grid.mtl\n" : "";
    const int vertex_rows = closed ? rows : rows + 1, vertex_cols = closed ? cols : cols + 1;
    char line[128];
    for (int i = 0; i < vertex_rows; ++i)
        for (int j = 0; j < vertex_cols; ++j) {
            const double u = 2 * M_PI * i / rows, v = 2 * M_PI * j / cols;
            const double r = 2 + 0.7 * std::cos(v);
            std::snprintf(line, sizeof line, "v %.7g %.7g %.7g\n", r * std::cos(u), r * std::sin(u),
                          closed ? 0.7 * std::sin(v) : 0.1 * i);
            text += line;
        }
    // texture coordinates: a (rows + 1) x (cols + 1) grid, seams where the torus closes
    for (int i = 0; uv && i <= rows; ++i)
        for (int j = 0; j <= cols; ++j) {
            std::snprintf(line, sizeof line, "vt %.7g %.7g\n", double(j) / cols, double(i) / rows);
            text += line;
        }
    const std::string kind = faces;
    for (int i = 0; i < rows; ++i) {
        if (materials && i % 7 == 0) {
            text += "usemtl m";
            text += std::to_string(i / 7 % 3);
            text += '\n';
        }
        for (int j = 0; j < cols; ++j) {
            const int i1 = closed ? (i + 1) % rows : i + 1, j1 = closed ? (j + 1) % cols : j + 1;
            const int corner[4] = {i * vertex_cols + j + 1, i * vertex_cols + j1 + 1,
                                   i1 * vertex_cols + j1 + 1, i1 * vertex_cols + j + 1};
            const int coord[4] = {i * (cols + 1) + j + 1, i * (cols + 1) + j + 2,
                                  (i + 1) * (cols + 1) + j + 2, (i + 1) * (cols + 1) + j + 1};
            auto face = [&](std::vector<int> k) {
                text += "f";
                for (int c : k) {
                    text += ' ';
                    text += std::to_string(corner[c]);
                    if (uv) {
                        text += '/';
                        text += std::to_string(coord[c]);
                    }
                }
                text += "\n";
            };
            if (kind == "quads" || (kind == "mixed" && (i + j) % 2 == 0)) {
                face({0, 1, 2, 3});
            } else {
                face({0, 1, 2});
                face({0, 2, 3});
            }
        }
    }
    if (creases) {
        // a semi-sharp line along row 3, a sharp one along row 5 (indices
        // from 0), semi-sharp and sharp corners
        for (int row : {3, 5}) {
            std::snprintf(line, sizeof line, "t crease %d/1/0", vertex_cols);
            text += line;
            for (int j = 0; j < vertex_cols; ++j) {
                std::snprintf(line, sizeof line, " %d", row * vertex_cols + j);
                text += line;
            }
            text += row == 3 ? " 2.5\n" : " 10\n";
        }
        std::snprintf(line, sizeof line, "t corner 2/2/0 %d %d 1.5 10\n", 8 * vertex_cols + 4,
                      9 * vertex_cols + 9);
        text += line;
    }
    return text;
}

struct threads_case {
    const char* name;
    int rows, cols;
    bool closed;
    const char* faces;
    subdiv_uv_mode uv; // subdiv_uv_none (false) or a mode (true: linear)
    bool materials;
    subdiv_precision precision;
    subdiv_corners corners;
    std::vector<int> iterations;
    bool creases;
    bool limit = false, normals = false;
    subdiv_vertex_rule vertex_rule = subdiv_vertex_rule_edge_points;
};

subdiv_options case_options(const threads_case& c, int threads)
{
    subdiv_options options;
    subdiv_options_init(&options);
    options.uv = c.uv;
    options.materials = c.materials;
    options.precision = c.precision;
    options.corners = c.corners;
    options.threads = threads;
    options.limit = c.limit;
    options.normals = c.normals;
    options.vertex_rule = c.vertex_rule;
    return options;
}

// The file of one job through one route on `threads` threads, OBJ or PLY.
std::string job_text(const scratch_folder& folder, const threads_case& c, int iterations,
                     int threads, bool streamed, bool ply)
{
    subdiv_options options = case_options(c, threads);
    options.format = ply ? subdiv_format_ply : subdiv_format_obj;
    subdiv_error error;
    subdiv_geom input = {};
    EXPECT_EQ(subdiv_obj_read(folder.file("in.obj").c_str(), &options, &input, &error), subdiv_ok)
        << error.message;
    const std::string out = folder.file("out.obj");
    if (streamed) {
        EXPECT_EQ((ply ? subdiv_refine_to_file : subdiv_refine_to_obj)(
                      &input, iterations, &options, out.c_str(), nullptr, nullptr, &error),
                  subdiv_ok)
            << error.message;
    } else {
        subdiv_geom output = {};
        EXPECT_EQ(subdiv_refine(&input, iterations, &options, &output, &error), subdiv_ok)
            << error.message;
        EXPECT_EQ((ply ? subdiv_write : subdiv_obj_write)(out.c_str(), &output, &options, &error),
                  subdiv_ok)
            << error.message;
        subdiv_geom_free(&input);
        subdiv_geom_free(&output);
    }
    return read_file(out);
}

// Whether the arrays of one job on `threads` threads hold the positions,
// faces and texture coordinates that subdiv_refine gives, bit for bit.
bool arrays_match(const scratch_folder& folder, const threads_case& c, int iterations, int threads)
{
    const subdiv_options options = case_options(c, threads);
    subdiv_error error;
    subdiv_geom input = {}, held = {};
    subdiv_arrays arrays = {};
    EXPECT_EQ(subdiv_obj_read(folder.file("in.obj").c_str(), &options, &input, &error), subdiv_ok);
    EXPECT_EQ(subdiv_refine(&input, iterations, &options, &held, &error), subdiv_ok);
    EXPECT_EQ(subdiv_refine_arrays(&input, iterations, &options, &arrays, &error), subdiv_ok);
    bool same = arrays.n_vertices == held.n_vertices && arrays.n_faces == held.n_faces &&
                arrays.face_size == int32_t(held.flags & 0xF) && input.x == nullptr;
    const float* const axes[3] = {held.x, held.y, held.z};
    for (uint64_t v = 0; same && v < held.n_vertices; ++v)
        for (int a = 0; a < 3; ++a)
            same = same && std::memcmp(&arrays.positions[3 * v + a], &axes[a][v], 4) == 0;
    const uint64_t* const corners[4] = {held.corner0, held.corner1, held.corner2, held.corner3};
    for (uint64_t f = 0; same && f < held.n_faces; ++f)
        for (int k = 0; k < arrays.face_size; ++k)
            same = same && arrays.corners[uint64_t(arrays.face_size) * f + k] == corners[k][f];
    // texture coordinates, and the corners' indices laid out as the corners
    same = same && arrays.n_texcoords == held.n_texcoords &&
           (arrays.texcoords != nullptr) == (held.tex_u != nullptr);
    for (uint64_t t = 0; same && held.tex_u && t < held.n_texcoords; ++t)
        same = std::memcmp(&arrays.texcoords[2 * t], &held.tex_u[t], 4) == 0 &&
               std::memcmp(&arrays.texcoords[2 * t + 1], &held.tex_v[t], 4) == 0;
    const uint64_t n_corners = uint64_t(arrays.face_size) * arrays.n_faces;
    if (same && held.tex_u)
        same = std::memcmp(arrays.corner_texcoords, held.corner_texcoord, n_corners * 8) == 0;
    // the normals
    same = same && (arrays.normals != nullptr) == (held.normal_x != nullptr);
    const float* const normal[3] = {held.normal_x, held.normal_y, held.normal_z};
    for (uint64_t v = 0; same && held.normal_x && v < held.n_vertices; ++v)
        for (int a = 0; a < 3; ++a)
            same = same && std::memcmp(&arrays.normals[3 * v + a], &normal[a][v], 4) == 0;
    subdiv_arrays_free(&arrays);
    subdiv_geom_free(&held);
    return same;
}

// The cases of both tests: meshes whose counts are no multiples of the
// ranges the work is split into.
const threads_case threads_cases[] = {
    {"closed quads", 101, 67, true, "quads", false, false, subdiv_precision_6,
     subdiv_corners_sharp, {1, 2, 3}, false},
    {"open triangles with seams and materials", 61, 71, false, "triangles", true, true,
     subdiv_precision_6, subdiv_corners_sharp, {1, 2}, false},
    {"closed triangles as polygons, shortest numbers", 47, 53, true, "mixed", true, false,
     subdiv_precision_shortest, subdiv_corners_sharp, {1, 2}, false},
    {"open quads with smooth corners and seams", 59, 97, false, "quads", true, true,
     subdiv_precision_6, subdiv_corners_smooth, {2}, false},
    {"closed quads with creases and corners", 41, 67, true, "quads", false, false,
     subdiv_precision_shortest, subdiv_corners_sharp, {1, 2, 3}, true},
    {"open triangles with creases and corners", 43, 37, false, "triangles", false, false,
     subdiv_precision_6, subdiv_corners_sharp, {1, 3}, true},
    {"limit positions and normals of closed quads with creases", 41, 67, true, "quads", false,
     false, subdiv_precision_6, subdiv_corners_sharp, {0, 1, 2}, true, true, true},
    {"normals of open triangles with seams and creases", 43, 37, false, "triangles", true, false,
     subdiv_precision_shortest, subdiv_corners_sharp, {0, 2}, true, false, true},
    {"limit positions of mixed faces, classic rule, materials", 47, 53, false, "mixed", true,
     true, subdiv_precision_6, subdiv_corners_smooth, {1, 2}, false, true, true,
     subdiv_vertex_rule_classic},
    {"closed quads with seams, boundaries mode", 41, 67, true, "quads", subdiv_uv_boundaries,
     false, subdiv_precision_6, subdiv_corners_sharp, {1, 2, 3}, false},
    {"open triangles with seams and creases, corners-junctions mode", 43, 37, false, "triangles",
     subdiv_uv_corners_junctions, false, subdiv_precision_shortest, subdiv_corners_smooth, {1, 2},
     true},
    {"mixed faces with seams, smooth mode, classic rule, normals", 47, 53, false, "mixed",
     subdiv_uv_smooth, true, subdiv_precision_6, subdiv_corners_sharp, {2}, true, false, true,
     subdiv_vertex_rule_classic},
};

// Writes the input of a case into folder.
void case_input(const scratch_folder& folder, const threads_case& c)
{
    write_file(folder.file("in.obj"), grid_obj(c.rows, c.cols, c.closed, c.faces, c.uv,
                                               c.materials, c.creases));
    write_file(folder.file("grid.mtl"), "newmtl m0\nnewmtl m1\nnewmtl m2\n");
}

} // namespace

TEST(Threads, EveryCountAndRouteWritesTheSameBytes)
{
    for (const threads_case& c : threads_cases) {
        scratch_folder folder;
        case_input(folder, c);
        for (int iterations : c.iterations) {
            const std::string expected = job_text(folder, c, iterations, 1, false, false);
            ASSERT_GT(expected.size(), 1000u);
            for (int threads : {1, 2, 3, 7}) {
                for (bool streamed : {false, true})
                    EXPECT_TRUE(job_text(folder, c, iterations, threads, streamed, false) ==
                                expected)
                        << c.name << ", " << iterations << " iterations, " << threads
                        << " threads, " << (streamed ? "streamed" : "held whole");
                EXPECT_TRUE(arrays_match(folder, c, iterations, threads))
                    << c.name << ", " << iterations << " iterations, " << threads
                    << " threads, arrays";
            }
        }
    }
}

// A file of some megabytes is read in parts on the threads: the mesh read is
// the one read in order, from the file's start or from where standard input
// stands.
TEST(Threads, LargeFilesReadInPartsAsInOrder)
{
    scratch_folder folder;
    const std::string text = grid_obj(400, 500, true, "mixed", false, false);
    ASSERT_GT(text.size(), 8u << 20);
    write_file(folder.file("big.obj"), text);
    auto read = [&](int threads, subdiv_geom* g) {
        subdiv_options options;
        subdiv_options_init(&options);
        options.threads = threads;
        subdiv_error error;
        ASSERT_EQ(subdiv_read(folder.file("big.obj").c_str(), &options, g, &error), subdiv_ok)
            << error.message;
    };
    subdiv_geom expected = {};
    ASSERT_NO_FATAL_FAILURE(read(1, &expected));
    const uint64_t n_corners = expected.face_start[expected.n_faces];
    for (int threads : {2, 3, 7}) {
        subdiv_geom g = {};
        ASSERT_NO_FATAL_FAILURE(read(threads, &g));
        ASSERT_EQ(g.n_vertices, expected.n_vertices);
        ASSERT_EQ(g.n_faces, expected.n_faces);
        EXPECT_EQ(std::memcmp(g.x, expected.x, 4 * g.n_vertices), 0) << threads;
        EXPECT_EQ(std::memcmp(g.z, expected.z, 4 * g.n_vertices), 0) << threads;
        EXPECT_EQ(std::memcmp(g.corners, expected.corners, 8 * n_corners), 0) << threads;
        subdiv_geom_free(&g);
    }
    subdiv_geom_free(&expected);
    // standard input past its first line: the rest, which names a vertex
    // that is not there, read on two threads as on one
    std::string out[2];
    for (int t = 0; t < 2; ++t) {
        const std::string command = "{ read -r line; " + std::string(SUBDIV_EXE) + " --threads=" +
                                    std::to_string(t + 1) + " - 1 " + folder.file("out.obj") +
                                    " 2>&1; } < " + folder.file("big.obj");
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe)) out[t] += buffer;
        EXPECT_NE(pclose(pipe), 0);
    }
    EXPECT_NE(out[0].find("names vertex"), std::string::npos) << out[0];
    EXPECT_EQ(out[1], out[0]);
}

// A thread the system does not start leaves its share to those that did,
// the caller's among them: every index runs once, on threads numbered from
// 0 up, and a job writes the bytes it writes on one thread.
TEST(Threads, ThreadsThatDoNotStartLeaveTheirWorkToTheOthers)
{
    struct counted {
        std::atomic<int> runs[1000];
        std::atomic<uint32_t> highest_thread;
    };
    for (uint32_t failing : {1u, 2u, 3u}) {
        counted c = {};
        subdiv::parallel_fail_thread_starts(failing);
        subdiv::parallel_for(4, 1000, [](void* context, uint64_t i, uint32_t thread) {
            auto* k = static_cast<counted*>(context);
            k->runs[i] += 1;
            uint32_t seen = k->highest_thread.load();
            while (thread > seen && !k->highest_thread.compare_exchange_weak(seen, thread)) {}
        }, &c);
        subdiv::parallel_fail_thread_starts(0);
        for (const auto& runs : c.runs) ASSERT_EQ(runs.load(), 1) << failing << " failing";
        EXPECT_LE(c.highest_thread.load(), 3 - failing) << failing << " failing";
    }

    const threads_case c = {"open triangles with seams and materials", 31, 37, false,
                            "triangles", true, true, subdiv_precision_6, subdiv_corners_sharp,
                            {2}, false};
    scratch_folder folder;
    write_file(folder.file("in.obj"), grid_obj(c.rows, c.cols, c.closed, c.faces, c.uv, c.materials));
    write_file(folder.file("grid.mtl"), "newmtl m0\nnewmtl m1\nnewmtl m2\n");
    const std::string expected = job_text(folder, c, 2, 1, false, false);
    for (uint32_t failing : {1u, 1000u}) {
        for (bool streamed : {false, true}) {
            subdiv::parallel_fail_thread_starts(failing);
            const std::string text = job_text(folder, c, 2, 3, streamed, false);
            subdiv::parallel_fail_thread_starts(0);
            EXPECT_TRUE(text == expected) << failing << " failing, "
                                          << (streamed ? "streamed" : "held whole");
        }
    }
}

// The last step reads the level before it through 32-bit copies of its
// parent's connectivity when the counts allow, else through the parent's
// own 64-bit arrays: both write the same bytes.
TEST(Threads, NarrowAndWideViewsWriteTheSameBytes)
{
    for (const threads_case& c : threads_cases) {
        scratch_folder folder;
        case_input(folder, c);
        for (int iterations : c.iterations) {
            if (iterations < 2) continue; // one iteration views the input itself
            const std::string narrow = job_text(folder, c, iterations, 2, true, false);
            const uint64_t before = subdiv::level_view_narrow_limit(0);
            const std::string wide = job_text(folder, c, iterations, 2, true, false);
            subdiv::level_view_narrow_limit(before);
            EXPECT_TRUE(narrow == wide) << c.name << ", " << iterations << " iterations";
            EXPECT_TRUE(narrow == job_text(folder, c, iterations, 1, false, false)) << c.name;
        }
    }
}

TEST(Threads, PlyRoutesWriteTheSameBytes)
{
    for (const threads_case& c : threads_cases) {
        scratch_folder folder;
        case_input(folder, c);
        for (int iterations : c.iterations) {
            const std::string expected = job_text(folder, c, iterations, 1, false, true);
            ASSERT_GT(expected.size(), 1000u);
            for (int threads : {2, 3, 7})
                for (bool streamed : {false, true})
                    EXPECT_TRUE(job_text(folder, c, iterations, threads, streamed, true) ==
                                expected)
                        << c.name << ", " << iterations << " iterations, " << threads
                        << " threads, " << (streamed ? "streamed" : "held whole");
        }
    }
}

namespace {

// The threads of this process, as /proc lists them.
int process_threads()
{
    const std::string status = read_file("/proc/self/status");
    const size_t at = status.find("\nThreads:");
    return at == std::string::npos ? 0 : std::atoi(status.c_str() + at + 9);
}

} // namespace

// A job starts its threads once and keeps them between its passes: when the
// progress callback runs between two iterations, the threads that the first
// passes started are still there, and none is left once the call returns.
TEST(Threads, AJobKeepsItsThreadsBetweenPassesAndEndsThemAfter)
{
    const threads_case c = {"closed quads", 101, 67, true, "quads", false, false,
                            subdiv_precision_6, subdiv_corners_sharp, {3}, false};
    scratch_folder folder;
    case_input(folder, c);
    // a first job starts and ends threads, so that what the process keeps
    // once it has had threads (a sanitizer's own thread) counts in `before`
    {
        const subdiv_options options = case_options(c, 3);
        subdiv_error error;
        subdiv_geom input = {};
        ASSERT_EQ(subdiv_obj_read(folder.file("in.obj").c_str(), &options, &input, &error),
                  subdiv_ok);
        ASSERT_EQ(subdiv_refine_to_obj(&input, 3, &options, folder.file("out.obj").c_str(),
                                       nullptr, nullptr, &error),
                  subdiv_ok);
    }
    const int before = process_threads();
    ASSERT_GT(before, 0);
    for (int threads : {1, 3}) {
        subdiv_options options = case_options(c, threads);
        std::vector<int> seen;
        options.context = &seen;
        options.progress = [](void* context, int32_t, uint64_t, uint64_t) {
            static_cast<std::vector<int>*>(context)->push_back(process_threads());
        };
        subdiv_error error;
        subdiv_geom input = {};
        ASSERT_EQ(subdiv_obj_read(folder.file("in.obj").c_str(), &options, &input, &error),
                  subdiv_ok);
        EXPECT_EQ(process_threads(), before) << threads << " threads, after reading";
        ASSERT_EQ(subdiv_refine_to_obj(&input, 3, &options, folder.file("out.obj").c_str(),
                                       nullptr, nullptr, &error),
                  subdiv_ok);
        ASSERT_EQ(seen.size(), 3u);
        // the second iteration's report comes after parallel passes of the first two
        EXPECT_EQ(seen[1], before + threads - 1) << threads << " threads";
        EXPECT_EQ(process_threads(), before) << threads << " threads, after the job";
    }
}

// The writing of the last level reports on the calling thread alone, blocks
// and bytes that only grow, and last the whole file, OBJ and PLY alike.
TEST(Threads, WritingReportsOnTheCallingThreadUpToTheWholeFile)
{
    const threads_case c = {"closed quads", 101, 67, true, "quads", false, false,
                            subdiv_precision_6, subdiv_corners_sharp, {2}, false};
    scratch_folder folder;
    case_input(folder, c);
    struct reports {
        pthread_t caller;
        bool other_thread;
        std::vector<std::array<uint64_t, 3>> seen;
    };
    for (subdiv_format format : {subdiv_format_obj, subdiv_format_ply})
        for (int threads : {1, 3}) {
            reports r = {pthread_self(), false, {}};
            subdiv_options options = case_options(c, threads);
            options.format = format;
            options.context = &r;
            options.write_progress = [](void* context, uint64_t done, uint64_t total,
                                        uint64_t bytes) {
                auto* k = static_cast<reports*>(context);
                k->other_thread = k->other_thread || !pthread_equal(k->caller, pthread_self());
                k->seen.push_back({done, total, bytes});
            };
            subdiv_error error;
            subdiv_geom input = {};
            ASSERT_EQ(subdiv_obj_read(folder.file("in.obj").c_str(), &options, &input, &error),
                      subdiv_ok);
            const std::string out = folder.file("out");
            ASSERT_EQ(subdiv_refine_to_file(&input, 2, &options, out.c_str(), nullptr, nullptr,
                                            &error),
                      subdiv_ok);
            const std::string name = std::to_string(threads) + " threads, format " +
                                     std::to_string(format);
            EXPECT_FALSE(r.other_thread) << name;
            // one thread reports every block, and the end; more may leave
            // the caller's thread none but the end
            ASSERT_GE(r.seen.size(), threads == 1 ? r.seen.back()[1] + 1 : 1u) << name;
            for (size_t i = 1; i < r.seen.size(); ++i)
                EXPECT_TRUE(r.seen[i][0] >= r.seen[i - 1][0] && r.seen[i][2] >= r.seen[i - 1][2] &&
                            r.seen[i][1] == r.seen[0][1])
                    << name << ", report " << i;
            EXPECT_EQ(r.seen.back()[0], r.seen.back()[1]) << name;
            EXPECT_EQ(r.seen.back()[2], read_file(out).size()) << name;
        }
}
