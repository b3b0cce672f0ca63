// The tool end to end: the real subdiv executable run in a scratch folder.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "subdiv/subdiv.h"
#include "test_util.h"

using test_util::read_file;
using test_util::run_tool;
using test_util::scratch_folder;
using test_util::tool_result;
using test_util::write_file;

namespace {

const std::string source_dir = SUBDIV_SOURCE_DIR;

//   3-------7        the cube of meshes/cube-quad.obj: corners at +-1,
//  /|      /|        vertex i at (x, y, z) with x from bit 2, y from bit 1,
// 1-------5 |        z from bit 0 (0 is -1, 1 is +1); six quads wound
// | 2-----|-6        counter-clockwise seen from outside
// |/      |/
// 0-------4
const char cube_obj[] =
    "v -1 -1 -1\nv -1 -1 1\nv -1 1 -1\nv -1 1 1\nv 1 -1 -1\nv 1 -1 1\nv 1 1 -1\nv 1 1 1\n"
    "f 5 7 8 6\nf 1 2 4 3\nf 3 4 8 7\nf 1 5 6 2\nf 2 6 8 4\nf 1 3 7 5\n";

const char tetrahedron_obj[] = "v 1 1 1\nv 1 -1 -1\nv -1 1 -1\nv -1 -1 1\n"
                               "f 1 2 3\nf 1 4 2\nf 2 4 3\nf 3 4 1\n";

int count_lines_starting(const std::string& text, const std::string& prefix)
{
    int n = 0;
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, prefix.size(), prefix) == 0) ++n;
        size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return n;
}

int count_lines(const std::string& text)
{
    return count_lines_starting(text, "");
}

} // namespace

TEST(Driver, SampleJobRefinesTheCubeFourTimes)
{
    scratch_folder folder; // a working directory away from the project
    std::string output = source_dir + "/meshes/cube-quad-1.obj";
    std::remove(output.c_str());
    tool_result r = run_tool(folder.path, {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "subdiv: Catmull-Clark, 4 iterations\n"
                     "Finished iteration vertices 8 -> 26\n"
                     "Finished iteration vertices 26 -> 98\n"
                     "Finished iteration vertices 98 -> 386\n"
                     "Finished iteration vertices 386 -> 1538\n"
                     "subdiv: wrote " + output + " (1538 vertices, 1536 faces)\n");
    std::string text = read_file(output);
    EXPECT_EQ(text.rfind("# Vertices 1538\n", 0), 0u);
    EXPECT_EQ(count_lines_starting(text, "v "), 1538);
    EXPECT_NE(text.find("\n\n# Triangles 1536\n"), std::string::npos);
    EXPECT_EQ(count_lines_starting(text, "f "), 1536);
}

TEST(Driver, OneIterationMatchesTheRulesByteForByte)
{
    scratch_folder folder;
    write_file(folder.file("cube.obj"), cube_obj);
    write_file(folder.file("tetrahedron.obj"), tetrahedron_obj);

    tool_result r = run_tool(folder.path, {"cube.obj", "1", "cube-1.obj"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "subdiv: Catmull-Clark, 1 iteration\n"
                     "Finished iteration vertices 8 -> 26\n"
                     "subdiv: wrote cube-1.obj (26 vertices, 24 faces)\n");
    std::string cube = read_file(folder.file("cube-1.obj"));
    EXPECT_EQ(cube, read_file(source_dir + "/tests/data/cube-quad-1.obj"));
    // corner (1, 1, 1) of valence 3 moves to 11/18; face points are the face
    // centres; the edge from (1, 1, 1) to (1, 1, -1) has its point at (0.75, 0.75, 0)
    EXPECT_NE(cube.find("\nv 0.611111 0.611111 0.611111\n"), std::string::npos);
    EXPECT_NE(cube.find("\nv 1.000000 0.000000 0.000000\n"), std::string::npos);
    EXPECT_NE(cube.find("\nv 0.750000 0.750000 0.000000\n"), std::string::npos);

    r = run_tool(folder.path, {"tetrahedron.obj", "1", "tetrahedron-1.obj"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "subdiv: Loop, 1 iteration\n"
                     "Finished iteration vertices 4 -> 10\n"
                     "subdiv: wrote tetrahedron-1.obj (10 vertices, 16 faces)\n");
    std::string tetrahedron = read_file(folder.file("tetrahedron-1.obj"));
    EXPECT_EQ(tetrahedron, read_file(source_dir + "/tests/data/tetrahedron-1.obj"));
    // (1, 1, 1) moves to (0.25, 0.25, 0.25); edge points at (+-0.5, 0, 0) ...
    EXPECT_EQ(tetrahedron.rfind("# Vertices 10\nv 0.250000 0.250000 0.250000\n", 0), 0u);
    EXPECT_NE(tetrahedron.find("\nv 0.500000 0.000000 0.000000\n"), std::string::npos);
    EXPECT_NE(tetrahedron.find("\nv 0.000000 0.000000 -0.500000\n"), std::string::npos);
}

// The classic vertex rule: a cube's corner goes to 5/9 (the edge-points
// rule's 11/18 above), and on a grid of quads with heights x^2 every point
// that the interior rules make lies at x^2 + 1/4, as on the bicubic B-spline
// (the edge-points rule leaves 0.21875 at x = 0).
TEST(Driver, TheClassicVertexRuleIsTheBicubicSplines)
{
    scratch_folder folder;
    write_file(folder.file("cube.obj"), cube_obj);
    tool_result r = run_tool(folder.path, {"--vertex-rule=classic", "cube.obj", "1", "out.obj"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(folder.file("out.obj"))
                  .rfind("# Vertices 26\nv -0.555556 -0.555556 -0.555556\n", 0),
              0u);

    std::string grid;
    for (int y = -3; y <= 3; ++y)
        for (int x = -3; x <= 3; ++x)
            grid += "v " + std::to_string(x) + " " + std::to_string(y) + " " +
                    std::to_string(x * x) + "\n";
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x) {
            const int a = 7 * y + x + 1;
            grid += "f " + std::to_string(a) + " " + std::to_string(a + 1) + " " +
                    std::to_string(a + 8) + " " + std::to_string(a + 7) + "\n";
        }
    write_file(folder.file("grid.obj"), grid);
    for (const char* rule : {"--vertex-rule=classic", "--vertex-rule=edge-points"}) {
        r = run_tool(folder.path, {rule, "--precision=shortest", "grid.obj", "1", "out.obj"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::istringstream text(read_file(folder.file("out.obj")));
        int interior = 0, on_the_parabola = 0;
        float centre = 0.0f;
        for (std::string line; std::getline(text, line);) {
            float x, y, z;
            if (std::sscanf(line.c_str(), "v %f %f %f", &x, &y, &z) != 3 || std::fabs(x) == 3 ||
                std::fabs(y) == 3)
                continue;
            interior += 1;
            on_the_parabola += z == x * x + 0.25f;
            if (x == 0 && y == 0) centre = z;
        }
        // the edge-points rule moves the 25 old vertices elsewhere
        const bool classic = rule == std::string("--vertex-rule=classic");
        EXPECT_EQ(interior, 121) << rule;
        EXPECT_EQ(on_the_parabola, classic ? 121 : 96) << rule;
        EXPECT_EQ(centre, classic ? 0.25f : 0.21875f) << rule;
    }
}

// --normals: a "vn" line per vertex after the vertices (and texture
// coordinates), the same with or without --limit; faces name a corner's
// normal by its vertex's index.
TEST(Driver, NormalsFollowTheVerticesAndTheFacesNameThem)
{
    scratch_folder folder;
    write_file(folder.file("cube.obj"), cube_obj);
    write_file(folder.file("square.obj"), "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0.5\nvt 0 0\nvt 1 "
                                          "0\nvt 1 1\nvt 0 1\nf 1/1 2/2 3/3 4/4\n");
    tool_result r = run_tool(folder.path, {"--normals", "cube.obj", "1", "normals.obj"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_tool(folder.path, {"--normals", "--limit", "cube.obj", "1", "limit.obj"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string normals = read_file(folder.file("normals.obj")),
                      limit = read_file(folder.file("limit.obj"));
    const size_t at = normals.find("\n\n# Normals 26\nvn -0.577350 -0.577350 -0.577350\n");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(count_lines_starting(normals, "vn "), 26);
    EXPECT_NE(normals.find("\n# Triangles 24\nf 5//5 15//15 9//9 18//18\n"), std::string::npos);
    EXPECT_EQ(normals.substr(at), limit.substr(limit.find("\n\n# Normals 26\n")));
    EXPECT_NE(normals.substr(0, at), limit.substr(0, at));
    r = run_tool(folder.path, {"--normals", "--uv", "square.obj", "1", "out.obj"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string square = read_file(folder.file("out.obj"));
    EXPECT_LT(square.find("# Texture coordinates 9\n"), square.find("# Normals 9\n"));
    EXPECT_NE(square.find("\nf 1/1/1 6/6/6 5/5/5 9/9/9\n"), std::string::npos);
}

TEST(Driver, ZeroIterationsWriteTheInputMesh)
{
    scratch_folder folder;
    write_file(folder.file("cube.obj"), cube_obj);
    tool_result r = run_tool(folder.path, {"cube.obj", "0", "out.obj"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "subdiv: Catmull-Clark, 0 iterations\n"
                     "subdiv: wrote out.obj (8 vertices, 6 faces)\n");
    EXPECT_EQ(read_file(folder.file("out.obj")),
              "# Vertices 8\n"
              "v -1.000000 -1.000000 -1.000000\nv -1.000000 -1.000000 1.000000\n"
              "v -1.000000 1.000000 -1.000000\nv -1.000000 1.000000 1.000000\n"
              "v 1.000000 -1.000000 -1.000000\nv 1.000000 -1.000000 1.000000\n"
              "v 1.000000 1.000000 -1.000000\nv 1.000000 1.000000 1.000000\n"
              "\n# Triangles 6\n"
              "f 5 7 8 6\nf 1 2 4 3\nf 3 4 8 7\nf 1 5 6 2\nf 2 6 8 4\nf 1 3 7 5\n");
}

TEST(Driver, UsageErrorsExitTwoAndWriteNothing)
{
    scratch_folder folder;
    write_file(folder.file("cube.obj"), cube_obj);
    const std::vector<std::vector<std::string>> bad = {
        {"cube.obj"},
        {"cube.obj", "1"},
        {"cube.obj", "1", "out.obj", "extra"},
        {"cube.obj", "abc", "out.obj"},
        {"cube.obj", "-1", "out.obj"},
        {"cube.obj", "3x", "out.obj"},
        {"cube.obj", "", "out.obj"},
        {"cube.obj", " 2", "out.obj"},
        {"cube.obj", "2147483648", "out.obj"},
        {"--unknown", "cube.obj", "1", "out.obj"},
        {"cube.obj", "1", "out.obj", "-x"},
        {"cube.obj", "1", "--version=2", "out.obj"},
        {"--", "cube.obj", "1", "out.obj", "--help"},
        {"--uv=bilinear", "cube.obj", "1", "out.obj"},
        {"--uv=", "cube.obj", "1", "out.obj"},
        {"--uv", "smooth", "cube.obj", "1", "out.obj"},
    };
    for (const auto& args : bad) {
        tool_result r = run_tool(folder.path, args);
        EXPECT_EQ(r.status, 2) << args.size() << " arguments";
        EXPECT_EQ(r.err.rfind("subdiv: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("usage: subdiv [OPTIONS] INPUT.obj ITERATIONS OUTPUT.obj"),
                  std::string::npos);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(std::filesystem::exists(folder.file("out.obj")));
    }

    // a mode comes only after '=': "--uv NAME" leaves NAME to the arguments
    write_file(folder.file("smooth"), cube_obj);
    EXPECT_EQ(run_tool(folder.path, {"--uv", "smooth", "1", "out.obj"}).status, 0);
    std::filesystem::remove(folder.file("out.obj"));

    // Loop takes triangles only: the first face that is none is named
    tool_result loop = run_tool(folder.path, {"--scheme=loop", "cube.obj", "1", "out.obj"});
    EXPECT_EQ(loop.status, 2);
    EXPECT_EQ(loop.err, "subdiv: cube.obj: the Loop scheme refines triangles only, but face 1 has "
                        "4 corners\n");
    // the limit masks of Catmull-Clark need quads: with no iterations the
    // first face that is none is named
    write_file(folder.file("pentagon.obj"),
               "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 2 0 0\nv 2 1 0\nv 1.5 2 0\n"
               "f 1 2 3 4\nf 2 5 6 7 3\n");
    for (const char* option : {"--limit", "--normals"}) {
        tool_result r = run_tool(folder.path, {option, "pentagon.obj", "0", "out.obj"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "subdiv: pentagon.obj: limit positions and normals of Catmull-Clark with "
                         "no iterations need quads, but face 2 has 5 corners\n");
    }
    for (const char* option : {"--scheme=sqrt3", "--corners=round", "--scheme", "--limit=1"}) {
        tool_result r = run_tool(folder.path, {"cube.obj", "1", "out.obj", option});
        EXPECT_EQ(r.status, 2) << option;
        EXPECT_EQ(r.err.rfind("subdiv: ", 0), 0u) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(folder.file("out.obj")));

    // options may stand anywhere before "--"
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-h"}, {"--help"}, {"cube.obj", "--help", "1"}, {"cube.obj", "1", "out.obj", "-h"}}) {
        tool_result r = run_tool(folder.path, args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("usage: subdiv [OPTIONS] INPUT.obj ITERATIONS OUTPUT.obj\n", 0), 0u);
        EXPECT_EQ(r.err, "");
    }
    tool_result r = run_tool(folder.path, {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("subdiv ", 0), 0u);
}

// Each bad input fails with status 1 and one line "subdiv: FILE: ..." that
// names the place and carries no source location, for 0 iterations as for
// 1; an output file that existed before is left as it was and none appears.
TEST(Driver, BadInputsFailWithOneMessageAndLeaveTheOutputAlone)
{
    struct bad_input {
        const char* name;
        std::string text;
        const char* message; // part of the one line on stderr
    };
    const std::string cube_vertices =
        "v -1 -1 -1\nv -1 -1 1\nv -1 1 -1\nv -1 1 1\nv 1 -1 -1\nv 1 -1 1\nv 1 1 -1\nv 1 1 1\n";
    const bad_input inputs[] = {
        {"three-faces.obj", cube_obj + std::string("f 5 7 8 6\n"),
         "the edge between vertex 5 and vertex 7 lies on 3 faces (1, 6 and 7)"},
        {"degenerate.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 1 2\nf 1 2 3\n",
         "face 1 has a degenerate edge: vertex 1 to itself"},
        {"flipped.obj",
         cube_vertices + "f 5 7 8 6\nf 1 2 4 3\nf 3 4 8 7\nf 1 5 6 2\nf 2 6 8 4\nf 5 7 3 1\n",
         "faces 1 and 6 both run from vertex 5 to vertex 7"},
        {"two-corners.obj", cube_vertices + "f 5 7 8 6\nf 1 2\n",
         "face 2 has 2 corners; a face needs at least 3"},
        {"nofaces.obj", cube_vertices, "the file has no faces"},
        {"folded.obj", cube_vertices + "f 1 2 3 1 5\n", "face 1 names vertex 1 at two corners"},
        {"range.obj", cube_vertices + "f 1 2 9\n",
         "line 9: face corner '9' names vertex 9, but only 8 vertices come before it"},
        {"relative.obj", "v 0 0 0\nv 1 0 0\nf -1 -2 -3\n",
         "line 3: face corner '-3' counts back 3 vertices, but only 2 come before it"},
        {"empty.obj", "", "the file is empty"},
        {"short.obj", "v 1 2\n", "line 1: 'v' statement with 2 coordinates; 3 are needed"},
        {"number.obj", "v 1 2 1.5.3\n", "line 1: coordinate '1.5.3' is not a decimal number"},
    };
    for (const bad_input& input : inputs) {
        scratch_folder folder;
        write_file(folder.file(input.name), input.text);
        write_file(folder.file("out.obj"), "old\n");
        tool_result r = run_tool(folder.path, {input.name, "1", "out.obj"});
        EXPECT_EQ(r.status, 1) << input.name;
        EXPECT_EQ(r.err.rfind("subdiv: " + std::string(input.name) + ": ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(input.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(".cpp:"), std::string::npos) << r.err;
        EXPECT_EQ(count_lines(r.err), 1) << r.err;
        EXPECT_EQ(read_file(folder.file("out.obj")), "old\n") << input.name;

        // the same for no iteration, and no output file appears where there was none
        tool_result again = run_tool(folder.path, {input.name, "0", "new.obj"});
        EXPECT_EQ(again.status, 1);
        EXPECT_EQ(again.err, r.err);
        EXPECT_FALSE(std::filesystem::exists(folder.file("new.obj"))) << input.name;
    }
}

// Standard input and output by "-"; material libraries that the input names
// are read only as small regular files beside it, and any other is one
// warning on a job that succeeds.
TEST(Driver, StandardStreamsAndTheFilesTheInputNames)
{
    scratch_folder folder;
    write_file(folder.file("cube.obj"), cube_obj);
    tool_result r = run_tool(folder.path, {"-", "1", "-"}, folder.file("cube.obj"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, read_file(source_dir + "/tests/data/cube-quad-1.obj"));
    EXPECT_EQ(r.err, "subdiv: Catmull-Clark, 1 iteration\n"
                     "Finished iteration vertices 8 -> 26\n"
                     "subdiv: wrote standard output (26 vertices, 24 faces)\n");
    r = run_tool(folder.path, {"-", "1", "out.obj"}, folder.file("cube.obj"));
    EXPECT_EQ(read_file(folder.file("out.obj")), read_file(source_dir + "/tests/data/cube-quad-1.obj"));
    r = run_tool(folder.path, {"--", "-", "0", "-"}, "/dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "subdiv: standard input: the file is empty\n");

    ASSERT_EQ(mkfifo(folder.file("fifo.mtl").c_str(), 0600), 0);
    write_file(folder.file("big.mtl"), "");
    ASSERT_EQ(truncate(folder.file("big.mtl").c_str(), (64 << 20) + 1), 0);
    std::filesystem::create_directory(folder.file("sub"));
    write_file(folder.file("sub/near.mtl"), "newmtl a\n");
    const struct {
        const char* library;
        std::string warning; // empty: none
    } libraries[] = {
        {"/dev/zero", "the material library '/dev/zero' is not a regular file"},
        {"fifo.mtl", "the material library 'sub/../fifo.mtl' is not a regular file"},
        {"big.mtl", "the material library 'sub/../big.mtl' is larger than 64 MiB"},
        {"missing.mtl",
         "cannot read the material library 'sub/../missing.mtl': No such file or directory"},
        {"near.mtl", ""},
    };
    for (const auto& c : libraries) {
        // libraries are looked up in the folder of the OBJ file
        const std::string library = c.library[0] == '/' ? c.library : std::string("../") + c.library;
        write_file(folder.file("sub/cube.obj"),
                   std::string("mtllib ") + (std::string(c.library) == "near.mtl" ? "near.mtl" : library) +
                       "\n" + cube_obj);
        r = run_tool(folder.path, {"sub/cube.obj", "0", "out.obj"});
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string wrote =
            "subdiv: Catmull-Clark, 0 iterations\nsubdiv: wrote out.obj (8 vertices, 6 faces)\n";
        EXPECT_EQ(r.err, c.warning.empty() ? wrote
                                           : "subdiv: warning: sub/cube.obj: line 1: " + c.warning +
                                                 "; materials are left out\n" + wrote);
    }
}

TEST(Driver, MissingInputAndUnwritableOutputFail)
{
    scratch_folder folder;
    tool_result r = run_tool(folder.path, {"missing.obj", "1", "out.obj"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "subdiv: cannot read 'missing.obj': No such file or directory\n");
    EXPECT_FALSE(std::filesystem::exists(folder.file("out.obj")));

    // the mesh is refined, then the write fails
    write_file(folder.file("cube.obj"), cube_obj);
    r = run_tool(folder.path, {"cube.obj", "1", "no/such/folder/out.obj"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "subdiv: Catmull-Clark, 1 iteration\n"
                     "Finished iteration vertices 8 -> 26\n"
                     "subdiv: cannot write 'no/such/folder/out.obj': No such file or directory\n");
}

TEST(Driver, CountsBeyondMemoryAreRefusedUpFront)
{
    scratch_folder folder;
    write_file(folder.file("cube.obj"), cube_obj);
    tool_result r = run_tool(folder.path, {"cube.obj", "30", "out.obj"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_lines(r.err), 1) << r.err;
    EXPECT_NE(r.err.find("30 iterations make"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(folder.file("out.obj")));

    r = run_tool(folder.path, {"cube.obj", "2000000000", "out.obj"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("more than 2^64"), std::string::npos) << r.err;
}

// The options of what is written: texture coordinates (refused when only some
// corners give them, a warning when none do), and the shortest text of each
// coordinate, which reads back to the very float the library computes.
TEST(Driver, TextureCoordinatesAndShortestNumbers)
{
    scratch_folder folder;
    write_file(folder.file("cube.obj"), cube_obj);
    write_file(folder.file("some.obj"),
               "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nvt 0 0\nf 1/1 2/1 3/1\nf 2 4 3\n");
    tool_result r = run_tool(folder.path, {"--uv", "some.obj", "1", "out.obj"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "subdiv: some.obj: face 2 has corners without texture coordinates, but face "
                     "1 has corners with: texture coordinates need them on every corner\n");
    r = run_tool(folder.path, {"--uv", "cube.obj", "0", "out.obj"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.rfind("subdiv: warning: cube.obj: the faces give no texture coordinates; the "
                          "output has none\n",
                          0),
              0u)
        << r.err;

    const std::string torus = source_dir + "/meshes/torus-quad.obj";
    r = run_tool(folder.path, {"--precision=shortest", torus, "2", "short.obj"});
    ASSERT_EQ(r.status, 0) << r.err;
    subdiv_geom input = {}, output = {};
    subdiv_error error;
    ASSERT_EQ(subdiv_obj_read(torus.c_str(), nullptr, &input, &error), subdiv_ok);
    ASSERT_EQ(subdiv_refine(&input, 2, nullptr, &output, &error), subdiv_ok);
    std::istringstream text(read_file(folder.file("short.obj")));
    std::string word;
    uint64_t v = 0, mismatches = 0;
    while (text >> word) {
        if (word != "v") continue;
        for (const float* axis : {output.x, output.y, output.z}) {
            text >> word;
            mismatches += std::strtof(word.c_str(), nullptr) != axis[v] || word.size() > 15;
        }
        ++v;
    }
    EXPECT_EQ(v, output.n_vertices);
    EXPECT_EQ(mismatches, 0u);
    subdiv_geom_free(&input);
    subdiv_geom_free(&output);
}

// A normal index, and without --uv a texture coordinate index, is never
// used: one that names nothing gives one warning, naming the first such
// corner of the file (the reader's ranges of 256 KiB run on any thread), and
// the job goes on as without the index. With --uv texture coordinates stay
// checked.
TEST(Driver, IndicesTheJobDoesNotUseGiveOneWarning)
{
    scratch_folder folder;
    const std::string cube = cube_obj, v = cube.substr(0, cube.find('f')); // lines 1-8
    const std::string rest = "f 1 2 4 3\nf 3 4 8 7\nf 1 5 6 2\nf 2 6 8 4\nf 1 3 7 5\n";
    std::string padding;
    for (int i = 0; i < 12000; ++i) padding += "# a comment line of about fifty characters ....\n";
    const struct { std::string text, warning, bad; } cases[] = { // bad: what the plain file lacks
        {v + "vt 0 0\nf 5/1/80 7/1 8/1 6/1\n" + rest, "10: face corner '5/1/80' names normal 80, "
         "but the file has 0 normals; normals are not used", "/80"},
        {v + "vn 0 0 1\nf 5/152/1 7 8 6\n" + rest, "10: face corner '5/152/1' names texture "
         "coordinate 152, but the file has 0 texture coordinates; texture coordinates are not "
         "used", "/152/1"},
        {v + "vn 0 0 1\nvn 0 1 0\nf 5//-3 7 8 6\n" + rest, "11: face corner '5//-3' counts back 3 "
         "normals, but only 2 come before it; normals are not used", "//-3"},
        {v + "f 5//2 7 8 6\nvn 0 0 1\nvn 0 0 1\n" + rest, "9: face corner '5//2' names normal 2, "
         "but only 0 normals come before it; normals are not used", "//2"},
        {v + "f 5/0 7 8 6//0\n" + rest, "9: face corner '5/0': index 0 names no texture "
         "coordinate; texture coordinates are not used", "/0"},
        {v + "f 5 7 8 6\n" + padding + "f 1 2//80 4 3\n" + padding + "f 3//80 4 8 7\n" +
             rest.substr(20), "12010: face corner '2//80' names normal 80, but the file has 0 "
         "normals; normals are not used", "//80"},
    };
    for (const auto& c : cases) {
        std::string plain = c.text; // the same faces without the indices that name nothing
        for (size_t at; (at = plain.find(c.bad + " ")) != std::string::npos;)
            plain.erase(at, c.bad.size());
        if (c.bad == "/0") plain.replace(plain.find("6//0"), 4, "6");
        write_file(folder.file("cube.obj"), c.text);
        write_file(folder.file("plain.obj"), plain);
        tool_result r = run_tool(folder.path, {"cube.obj", "1", "out.obj"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
                  "subdiv: warning: cube.obj: line " + c.warning + "\n");
        EXPECT_EQ(count_lines_starting(r.err, "subdiv: warning:"), 1) << r.err;
        tool_result p = run_tool(folder.path, {"plain.obj", "1", "plain-out.obj"});
        EXPECT_EQ(count_lines_starting(p.err, "subdiv: warning:"), 0) << p.err;
        EXPECT_EQ(read_file(folder.file("out.obj")), read_file(folder.file("plain-out.obj")));
    }

    // with --uv a texture coordinate index that names nothing is refused,
    // a normal index still passed over
    tool_result r = run_tool(folder.path, {"--uv", "cube.obj", "1", "out.obj"});
    EXPECT_EQ(r.err, "subdiv: warning: cube.obj: line 12010: face corner '2//80' names normal 80, "
                     "but the file has 0 normals; normals are not used\n"
                     "subdiv: warning: cube.obj: the faces give no texture coordinates; the "
                     "output has none\n"
                     "subdiv: Catmull-Clark, 1 iteration\nFinished iteration vertices 8 -> 26\n"
                     "subdiv: wrote out.obj (26 vertices, 24 faces)\n");
    write_file(folder.file("cube.obj"), cases[1].text);
    r = run_tool(folder.path, {"--uv", "cube.obj", "1", "out.obj"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "subdiv: cube.obj: line 10: face corner '5/152/1' names texture coordinate "
                     "152, but only 0 texture coordinates come before it\n");
}

namespace {

// The tool run with stderr (and stdin, stdout) on a pseudo-terminal, in
// folder, the environment's SUBDIV_PROGRESS_DELAY_MS set to delay_ms (or
// unset for ""): its exit status and all it printed on the terminal.
tool_result run_tool_on_terminal(const std::string& folder, const std::vector<std::string>& args,
                                 const char* delay_ms)
{
    tool_result result = {};
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        if (chdir(folder.c_str()) != 0) _exit(127);
        if (*delay_ms)
            setenv("SUBDIV_PROGRESS_DELAY_MS", delay_ms, 1);
        else
            unsetenv("SUBDIV_PROGRESS_DELAY_MS");
        std::vector<char*> argv = {const_cast<char*>(SUBDIV_EXE)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(SUBDIV_EXE, argv.data());
        _exit(127);
    }
    EXPECT_GT(child, 0);
    if (child <= 0) return result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) result.err.append(buffer, size_t(n));
        else if (n == 0 || errno != EINTR) break; // EIO once the child has gone
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    close(master);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return result;
}

// The text without the progress line's drawings: each "\r...\033[K".
std::string without_progress_line(const std::string& text)
{
    std::string plain;
    for (size_t at = 0; at < text.size();) {
        if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] != '\n') {
            const size_t end = text.find("\033[K", at);
            if (end == std::string::npos) return plain + text.substr(at);
            at = end + 3;
            continue;
        }
        plain += text[at++];
    }
    return plain;
}

} // namespace

// On a terminal the writing of the last level shows as one line, drawn over
// itself up to 100% and erased before the last line; the other lines are
// those of a log. With the default delay a short job draws no line, and
// stderr that is not a terminal never sees one.
TEST(Driver, ProgressLineOnATerminalOnly)
{
    scratch_folder folder;
    std::string grid;
    for (int i = 0; i <= 60; ++i)
        for (int j = 0; j <= 60; ++j) grid += "v " + std::to_string(i) + " " + std::to_string(j) + " 0\n";
    for (int i = 0; i < 60; ++i)
        for (int j = 0; j < 60; ++j) {
            const int a = i * 61 + j + 1;
            grid += "f " + std::to_string(a) + " " + std::to_string(a + 61) + " " +
                    std::to_string(a + 62) + " " + std::to_string(a + 1) + "\n";
        }
    write_file(folder.file("grid.obj"), grid);
    const std::vector<std::string> args = {"grid.obj", "3", "out.obj"};
    const tool_result logged = run_tool(folder.path, args);
    ASSERT_EQ(logged.status, 0) << logged.err;
    const std::string log_lines = logged.err;
    // the terminal ends its lines with CR LF
    std::string terminal_lines;
    for (char c : log_lines) terminal_lines += c == '\n' ? std::string("\r\n") : std::string(1, c);

    const tool_result shown = run_tool_on_terminal(folder.path, args, "0");
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.err.find("\rsubdiv: level 3 of 3: "), std::string::npos) << shown.err;
    EXPECT_NE(shown.err.find(": 100% written, "), std::string::npos) << shown.err;
    // erased before the last line, which starts a line of its own
    EXPECT_NE(shown.err.find("\033[K\r\033[Ksubdiv: wrote out.obj"), std::string::npos)
        << shown.err;
    EXPECT_EQ(without_progress_line(shown.err), terminal_lines);
    EXPECT_EQ(read_file(folder.file("out.obj")).size() > 100000, true);

    // a job of a few milliseconds, whatever the build
    const std::vector<std::string> quick_args = {"grid.obj", "1", "quick.obj"};
    const tool_result quick = run_tool_on_terminal(folder.path, quick_args, "");
    ASSERT_EQ(quick.status, 0);
    EXPECT_EQ(quick.err.find('\033'), std::string::npos) << quick.err;
    EXPECT_NE(quick.err.find("subdiv: wrote quick.obj"), std::string::npos) << quick.err;

    setenv("SUBDIV_PROGRESS_DELAY_MS", "0", 1);
    const tool_result piped = run_tool(folder.path, args);
    unsetenv("SUBDIV_PROGRESS_DELAY_MS");
    EXPECT_EQ(piped.err, log_lines);
}
