// Sharp features through the tool: a cube whose edges are sharp keeps its
// faces, a refinement continued from a written level gives the points of
// the refinement run through, and tags that do not name sharp features are
// refused or passed over with one line each. (The rules' values are checked
// against the reference model, tests/reference.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using test_util::read_file;
using test_util::run_tool;
using test_util::scratch_folder;
using test_util::write_file;

const char cube[] = "v -1 -1 -1\nv -1 -1 1\nv -1 1 -1\nv -1 1 1\n"
                    "v 1 -1 -1\nv 1 -1 1\nv 1 1 -1\nv 1 1 1\n"
                    "f 5 7 8 6\nf 1 2 4 3\nf 3 4 8 7\nf 1 5 6 2\nf 2 6 8 4\nf 1 3 7 5\n";

// The cube with its 12 edges at sharpness s.
std::string sharp_cube(const char* s)
{
    std::string text = cube;
    for (const char* loop : {"0 1 3 2 0", "4 5 7 6 4"}) {
        text += "t crease 5/1/0 ";
        text += loop;
        text += ' ';
        text += s;
        text += '\n';
    }
    for (const char* edge : {"0 4", "1 5", "2 6", "3 7"}) {
        text += "t crease 2/1/0 ";
        text += edge;
        text += ' ';
        text += s;
        text += '\n';
    }
    return text;
}

// The positions of the v lines of an OBJ text.
std::vector<std::vector<double>> positions(const std::string& text)
{
    std::vector<std::vector<double>> points;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("v ", 0) != 0) continue;
        std::istringstream words(line.substr(2));
        double x, y, z;
        words >> x >> y >> z;
        points.push_back({x, y, z});
    }
    return points;
}

// Whether every point lies on the surface of the cube [-1, 1]^3.
bool on_cube(const std::vector<std::vector<double>>& points)
{
    for (const auto& p : points) {
        const double most = std::fmax(std::fabs(p[0]), std::fmax(std::fabs(p[1]), std::fabs(p[2])));
        if (std::fabs(most - 1.0) > 1e-6) return false;
    }
    return true;
}

} // namespace

TEST(Sharpness, SharpEdgesKeepTheCubeAsLongAsTheyLast)
{
    scratch_folder folder;
    struct {
        const char* sharpness;
        int last_level_on_the_cube; // levels beyond it leave the faces
    } cases[] = {{"10", 3}, {"2", 2}, {"0.5", 0}};
    for (const auto& c : cases) {
        write_file(folder.file("cube.obj"), sharp_cube(c.sharpness));
        for (int level = 1; level <= 3; ++level) {
            const auto r = run_tool(folder.path, {"cube.obj", std::to_string(level), "out.obj"});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(on_cube(positions(read_file(folder.file("out.obj")))),
                      level <= c.last_level_on_the_cube)
                << "sharpness " << c.sharpness << ", level " << level;
        }
    }
}

TEST(Sharpness, ContinuingFromAWrittenLevelGivesTheSameBytes)
{
    scratch_folder folder;
    const std::string meshes = SUBDIV_SOURCE_DIR "/meshes/";
    struct {
        const char* mesh;
        std::vector<std::string> options;
    } cases[] = {{"cube-creased.obj", {}},
                 {"grid-creased.obj", {"--corners=sharp"}},
                 {"icosahedron-creased.obj", {}},
                 {"polygon-creased.obj", {}},
                 {"torus-quad.obj", {"--crease-angle=20"}}};
    for (const auto& c : cases) {
        for (const auto& [first, then] : {std::pair{1, 2}, std::pair{2, 1}}) {
            auto run = [&](const std::string& in, int levels, const std::string& out,
                           bool angle) {
                std::vector<std::string> args = {"--precision=shortest"};
                for (const std::string& o : c.options)
                    if (angle || o.rfind("--crease-angle", 0) != 0) args.push_back(o);
                args.insert(args.end(), {in, std::to_string(levels), out});
                const auto r = run_tool(folder.path, args);
                ASSERT_EQ(r.status, 0) << r.err;
            };
            run(meshes + c.mesh, first + then, "through.obj", true);
            run(meshes + c.mesh, first, "part.obj", true);
            // the crease angle made its edges sharp at level 0; what is
            // left of them is written with the level
            run("part.obj", then, "continued.obj", false);
            EXPECT_TRUE(read_file(folder.file("continued.obj")) ==
                        read_file(folder.file("through.obj")))
                << c.mesh << ", " << first << " then " << then << " levels";
        }
    }
}

TEST(Sharpness, TagsThatNameNoSharpFeatureAreRefusedOrPassedOver)
{
    scratch_folder folder;
    struct {
        const char* tags;
        int status;
        const char* message; // the one line on stderr, after "subdiv: "
    } cases[] = {
        {"t crease 2/1/0 0 6 1\n", 1,
         "t.obj: line 9: the crease from vertex 0 to vertex 6 is not an edge of any face (tag "
         "vertices count from 0)"},
        {"t crease 2/1/0 0 8 1\n", 1,
         "t.obj: line 9: tag vertex 8 is not a vertex of the file, which has 8 (tag vertices count "
         "from 0)"},
        {"t crease 2/1/0 0 -1 1\n", 1,
         "t.obj: line 9: tag vertex '-1' is not a whole number from 0"},
        {"t crease 2/1/0 0 1 -2\n", 1, "t.obj: line 9: sharpness '-2' is not a finite number from 0"},
        {"t crease 2/1/0 0 1 nan\n", 1, "t.obj: line 9: sharpness 'nan' is not a finite number from 0"},
        {"t crease 2/1/0 0 1 1e50\n", 1,
         "t.obj: line 9: sharpness '1e50' is not a finite number from 0"},
        {"t crease 3/1/0 0 1 1\n", 1,
         "t.obj: line 9: 't crease' takes counts n/1/0 (n of 2 or more) and n vertices and a "
         "sharpness, which this line does not match"},
        {"t crease 1/1/0 0 1\n", 1,
         "t.obj: line 9: 't crease' takes counts n/1/0 (n of 2 or more) and n vertices and a "
         "sharpness, which this line does not match"},
        {"t corner 2/1/0 0 1 1 2\n", 1,
         "t.obj: line 9: 't corner' takes counts n/1/0 or n/n/0 and n vertices and 1 or n "
         "sharpness values, which this line does not match"},
        {"t interpolateboundary 1/0/0\n", 1,
         "t.obj: line 9: 't interpolateboundary' takes counts 1/0/0 and one value, which this "
         "line does not match"},
        {"t hole 1/0/0 3\nt hole 1/0/0 4\nt stitch 1/0/0 0\n", 0,
         "warning: t.obj: line 9: the tag 'hole' is not used; it is passed over\n"
         "subdiv: warning: t.obj: line 11: the tag 'stitch' is not used; it is passed over"},
        {"t interpolateboundary 1/0/0 3\n", 0,
         "warning: t.obj: line 9: the tag 'interpolateboundary' with a value above 2 is not used; "
         "it is passed over"},
        {"t interpolateboundary 1/0/0 0\n", 0,
         "warning: t.obj: line 9: interpolateboundary 0 is taken as 1: the boundary's corners "
         "stay sharp"},
    };
    // the cube's vertices on lines 1 to 8, the tags from line 9, then the faces
    for (const auto& c : cases) {
        write_file(folder.file("t.obj"), std::string("v -1 -1 -1\nv -1 -1 1\nv -1 1 -1\n"
                                                     "v -1 1 1\nv 1 -1 -1\nv 1 -1 1\nv 1 1 -1\n"
                                                     "v 1 1 1\n") +
                                             c.tags + "f 5 7 8 6\nf 1 2 4 3\nf 3 4 8 7\n"
                                                      "f 1 5 6 2\nf 2 6 8 4\nf 1 3 7 5\n");
        std::remove(folder.file("out.obj").c_str());
        const auto r = run_tool(folder.path, {"t.obj", "1", "out.obj"});
        EXPECT_EQ(r.status, c.status) << c.tags;
        const std::string expected = std::string("subdiv: ") + c.message + "\n";
        if (c.status != 0) {
            EXPECT_EQ(r.err, expected) << c.tags;
            EXPECT_FALSE(std::ifstream(folder.file("out.obj")).good()) << c.tags;
        } else {
            EXPECT_EQ(r.err.find(expected), 0u) << r.err;
        }
    }
}

TEST(Sharpness, ACreaseTagNamesAsManyVerticesAsItLikes)
{
    // a 2 x 300 grid of quads creased along its middle row of 301 vertices
    scratch_folder folder;
    std::string text;
    for (int i = 0; i <= 2; ++i)
        for (int j = 0; j <= 300; ++j)
            text += "v " + std::to_string(j) + " " + std::to_string(i) + " 0\n";
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 300; ++j) {
            const int a = i * 301 + j + 1, b = (i + 1) * 301 + j + 1;
            text += "f " + std::to_string(a) + " " + std::to_string(a + 1) + " " +
                    std::to_string(b + 1) + " " + std::to_string(b) + "\n";
        }
    text += "t crease 301/1/0";
    for (int j = 0; j <= 300; ++j) text += " " + std::to_string(301 + j);
    text += " 2\n";
    write_file(folder.file("strip.obj"), text);
    const auto r = run_tool(folder.path, {"strip.obj", "1", "out.obj"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = read_file(folder.file("out.obj"));
    size_t creases = 0;
    for (size_t at = out.find("t crease 2/1/0 "); at != std::string::npos;
         at = out.find("t crease 2/1/0 ", at + 1))
        ++creases;
    EXPECT_EQ(creases, 600u); // both halves of each of the 300 edges, at sharpness 1
}

TEST(Sharpness, ManyTagLinesReadOnThreadsAsInOrder)
{
    // a 2 x 20000 grid of quads with each edge of its middle row on a line of
    // its own, then a last line in the last range of lines that threads read
    scratch_folder folder;
    const int n = 20000;
    std::string grid;
    for (int i = 0; i <= 2; ++i)
        for (int j = 0; j <= n; ++j)
            grid += "v " + std::to_string(j) + " " + std::to_string(i) + " 0\n";
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < n; ++j) {
            const int a = i * (n + 1) + j + 1, b = (i + 1) * (n + 1) + j + 1;
            grid += "f " + std::to_string(a) + " " + std::to_string(a + 1) + " " +
                    std::to_string(b + 1) + " " + std::to_string(b) + "\n";
        }
    for (int j = 0; j < n; ++j)
        grid += "t crease 2/1/0 " + std::to_string(n + 1 + j) + " " + std::to_string(n + 2 + j) +
                (j % 2 ? " 1.5\n" : " 3\n");
    const struct {
        const char* last;
        int status;
    } cases[] = {{"", 0},
                 {"t corner 1/1/0 5 3\n", 0},
                 {"t interpolateboundary 1/0/0 2\n", 0},
                 {"t hole 1/0/0 1\n", 0},
                 {"t interpolateboundary 1/0/0 0\n", 0},
                 {"t crease 2/1/0 0 1 -1\n", 1},
                 {"t crease 2/1/0 0 2 1\n", 1}};
    for (const auto& [last, expected] : cases) {
        write_file(folder.file("grid.obj"), grid + last);
        std::string out[2], err[2];
        int status[2];
        for (int t = 0; t < 2; ++t) {
            std::remove(folder.file("out.obj").c_str());
            const auto r = run_tool(folder.path, {"--threads=" + std::to_string(t + 1),
                                                  "grid.obj", "1", "out.obj"});
            status[t] = r.status;
            err[t] = r.err;
            out[t] = r.status == 0 ? read_file(folder.file("out.obj")) : "";
        }
        EXPECT_EQ(status[0], expected) << last << err[0];
        EXPECT_EQ(status[1], status[0]) << last;
        EXPECT_EQ(err[1], err[0]) << last;
        EXPECT_TRUE(out[1] == out[0]) << last;
        if (expected == 0) {
            EXPECT_NE(out[0].find("t crease 2/1/0 "), std::string::npos) << last;
        }
    }
}
