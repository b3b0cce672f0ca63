// Hostile input files through the real subdiv executable. Each one either
// succeeds with exactly the expected output, or fails with status 1 and one
// line on stderr that names the file and the problem, leaving an existing
// output file as it was and creating none. A crash, a hang or a sanitizer
// report (in the sanitize build the executable carries the sanitizers)
// shows as another status or as more lines.
//
// The expected outputs in tests/data come from the independent reference
// model: python3 tests/reference/make_hostile_data.py writes both the meshes
// and their refinement.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"

using test_util::read_file;
using test_util::run_tool;
using test_util::scratch_folder;
using test_util::tool_result;
using test_util::write_file;
using namespace std::string_literals;

namespace {

const std::string data_dir = SUBDIV_SOURCE_DIR "/tests/data/";

const std::string cube_vertices =
    "v -1 -1 -1\nv -1 -1 1\nv -1 1 -1\nv -1 1 1\nv 1 -1 -1\nv 1 -1 1\nv 1 1 -1\nv 1 1 1\n";
const std::string cube_faces =
    "f 5 7 8 6\nf 1 2 4 3\nf 3 4 8 7\nf 1 5 6 2\nf 2 6 8 4\nf 1 3 7 5\n";
const std::string tetrahedron_vertices = "v 1 1 1\nv 1 -1 -1\nv -1 1 -1\nv -1 -1 1\n";
const std::string tetrahedron_faces = "f 1 2 3\nf 1 4 2\nf 2 4 3\nf 3 4 1\n";

int count_lines(const std::string& text)
{
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// Runs the tool on text (stored as name) for one iteration; expects status 1,
// one line "subdiv: NAME: ..." holding message, an existing output file
// untouched and no new one; and the same line for 0 iterations.
void expect_refused(const std::string& name, const std::string& text, const std::string& message)
{
    SCOPED_TRACE(name);
    scratch_folder folder;
    write_file(folder.file(name), text);
    write_file(folder.file("out.obj"), "old\n");
    tool_result r = run_tool(folder.path, {name, "1", "out.obj"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(count_lines(r.err), 1) << r.err;
    EXPECT_EQ(r.err.rfind("subdiv: " + name + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(read_file(folder.file("out.obj")), "old\n");

    tool_result none = run_tool(folder.path, {name, "0", "new.obj"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, r.err);
    EXPECT_FALSE(std::filesystem::exists(folder.file("new.obj")));
}

// Runs the tool on text for the given iterations; expects status 0, one
// progress line per iteration and exactly the expected output.
void expect_refined(const std::string& name, const std::string& text, int iterations,
                    const std::string& expected)
{
    SCOPED_TRACE(name);
    scratch_folder folder;
    write_file(folder.file(name), text);
    tool_result r = run_tool(folder.path, {name, std::to_string(iterations), "out.obj"});
    EXPECT_EQ(r.status, 0) << r.err;
    // the scheme, a progress line per iteration, what was written
    EXPECT_EQ(count_lines(r.err), iterations + 2) << r.err;
    EXPECT_EQ(r.err.find("subdiv:", 1), r.err.rfind("\nsubdiv: wrote out.obj (") + 1) << r.err;
    EXPECT_TRUE(read_file(folder.file("out.obj")) == expected) << "output differs";
}

// Deterministic bytes of every value, NULs and line ends included.
std::string garbage(size_t n, uint64_t seed)
{
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        bytes[i] = char(seed >> 56);
    }
    return bytes;
}

// A closed torus of n_u x n_v quads, its lines ended by end.
std::string torus(int n_u, int n_v, const std::string& end)
{
    std::string text;
    for (int u = 0; u < n_u; ++u)
        for (int v = 0; v < n_v; ++v)
            text += "v " + std::to_string(u) + " " + std::to_string(v) + " " +
                    std::to_string((u * 7 + v * 3) % 5) + end;
    auto vertex = [&](int u, int v) { return std::to_string((u % n_u) * n_v + (v % n_v) + 1); };
    for (int u = 0; u < n_u; ++u)
        for (int v = 0; v < n_v; ++v)
            text += "f " + vertex(u, v) + " " + vertex(u + 1, v) + " " + vertex(u + 1, v + 1) +
                    " " + vertex(u, v + 1) + end;
    return text;
}

} // namespace

TEST(HostileInput, BinaryGarbageAndNulBytes)
{
    // a megabyte of random bytes holds no usable face
    expect_refused("garbage.obj", garbage(1 << 20, 1), "is not a decimal number");

    // a NUL ends a line: what follows it on the line is a line of its own
    std::string cube_with_nuls = "# binary\0\x01\x02\xff comment\n"s + cube_vertices +
                                 "\0\0\0\n"s + cube_faces + "\0trailing\0"s;
    expect_refined("nul.obj", cube_with_nuls, 1, read_file(data_dir + "cube-quad-1.obj"));
    expect_refused("nul-in-face.obj", cube_vertices + "f 5 7\0 8 6\n"s + cube_faces,
                   "face 1 has 2 corners; a face needs at least 3");
}

TEST(HostileInput, TenMegabyteLines)
{
    const std::string cube_1 = read_file(data_dir + "cube-quad-1.obj");
    expect_refined("long-comment.obj", "#" + std::string(10 << 20, 'x') + "\n" + cube_vertices +
                                           cube_faces,
                   1, cube_1);
    // a 10 MB group name is copied whole and does not matter to the mesh
    expect_refined("long-group.obj", cube_vertices + "g " + std::string(10 << 20, 'g') + "\n" +
                                         cube_faces,
                   1, cube_1);
    expect_refused("long-line.obj", std::string(10 << 20, 'a'), "the file has no faces");

    std::string corners;
    for (int i = 0; i < (10 << 20) / 2; ++i) corners += " 1";
    expect_refused("long-face.obj", cube_vertices + "f" + corners + "\n",
                   "line 9: face with 5242880 corners; at most 15 are supported");
    expect_refused("long-index.obj", cube_vertices + "f " + std::string(10 << 20, '7') + " 1 2\n",
                   "line 9: face corner '777777777777777777777777...' has an index outside the "
                   "32-bit range");
}

// Numbers beyond the float range, and tokens that are no decimal numbers,
// are refused where they are read; so are indices beyond 32 bits (which
// would wrap to other vertices), 0, and indices naming no vertex read
// before the face.
TEST(HostileInput, NumbersAndIndicesOutsideTheirRange)
{
    const std::string t = tetrahedron_vertices;
    const std::string faces = tetrahedron_faces;
    const struct {
        const char* name;
        std::string text;
        const char* message;
    } cases[] = {
        {"inf.obj", "v 1e400 0 0\n" + faces, "line 1: coordinate '1e400' does not read as a finite"},
        {"minus-inf.obj", "v 1 -1e400 0\n" + faces, "line 1: coordinate '-1e400' does not read"},
        {"nan.obj", t + "v nan 0 0\n" + faces, "line 5: coordinate 'nan' is not a decimal number"},
        {"hex.obj", "v 1 -1 0x1p3\n" + faces, "coordinate '0x1p3' is not a decimal number"},
        {"i31.obj", t + "f 2147483648 2 3\n" + faces,
         "line 5: face corner '2147483648' names vertex 2147483648, but only 4 vertices come"},
        {"i32.obj", t + "f 4294967297 2 3\n" + faces, "face corner '4294967297' has an index outside"},
        {"i64.obj", t + "f 1 18446744073709551617 3\n",
         "face corner '18446744073709551617' has an index outside"},
        {"negative.obj", t + "f 1 2 -2147483649\n",
         "face corner '-2147483649' counts back 2147483649 vertices, but only 4 come before it"},
        {"negative-i32.obj", t + "f 1 2 -4294967296\n", "face corner '-4294967296' has an index outside"},
        {"i31-1.obj", t + "f 2147483647 2 3\n",
         "face corner '2147483647' names vertex 2147483647, but only 4 vertices come before it"},
        {"relative.obj", t + "f -1 -2 -5\n",
         "face corner '-5' counts back 5 vertices, but only 4 come before it"},
        {"relative-min.obj", t + "f -1 -2 -2147483647\n", "counts back 2147483647 vertices"},
        {"zero.obj", t + "f 0 2 3\n" + faces, "face corner '0': index 0 names no vertex"},
        {"no-vertices.obj", faces, "line 1: face corner '1' names vertex 1, but only 0 vertices"},
    };
    for (const auto& c : cases) expect_refused(c.name, c.text, c.message);
}

TEST(HostileInput, FacesOfOtherSizes)
{
    const std::string c = cube_vertices;
    expect_refused("zero.obj", c + "f \n", "face 1 has 0 corners; a face needs at least 3");
    expect_refused("one.obj", c + "f 1\n", "face 1 has 1 corners");
    expect_refused("two.obj", c + "f 1 2\n", "face 1 has 2 corners");
    expect_refused("later-two.obj", c + cube_faces + "f 1 2\n", "face 7 has 2 corners");
    // fifteen corners are read, but a face may not fold onto itself
    expect_refused("fifteen.obj", c + "f 1 2 3 4 5 6 7 8 1 2 3 4 5 6 7\n",
                   "face 1 names vertex 1 at two corners");
    expect_refused("sixteen.obj", c + "f 1 2 3 4 5 6 7 8 1 2 3 4 5 6 7 8\n",
                   "line 9: face with 16 corners; at most 15 are supported");
    // "f" without a blank is no face statement
    expect_refused("bare-f.obj", c + "f\n", "the file has no faces");
}

// The connectivity is built edge by edge: a mesh is accepted when every edge
// runs once each way between two faces. Two closed surfaces that touch at one
// vertex pass that test and refine as one mesh whose shared vertex counts the
// edges of both; the reference model counts the same way.
TEST(HostileInput, SurfacesTouchingAtOneVertexRefine)
{
    for (const char* name : {"bowtie-tri", "bowtie-quad"})
        expect_refined(std::string(name) + ".obj", read_file(data_dir + name + ".obj"), 1,
                       read_file(data_dir + name + "-1.obj"));
}

TEST(HostileInput, EdgesOnTheWrongNumberOfFaces)
{
    const std::string t = tetrahedron_vertices;
    // face 2 runs 1 -> 2 as face 1 does
    expect_refused("same-direction.obj", t + "f 1 2 3\nf 2 4 1\nf 2 4 3\nf 3 4 1\n",
                   "faces 1 and 2 both run from vertex 1 to vertex 2");
    // a fifth face on the edges 1-2, 2-3 and 3-1 of face 1
    expect_refused("three-faces.obj", t + tetrahedron_faces + "f 1 2 3\n",
                   "the edge between vertex 1 and vertex 2 lies on 3 faces (1, 2 and 5)");
    expect_refused("degenerate.obj", t + "f 1 2 2\nf 1 4 2\nf 2 4 3\nf 3 4 1\n",
                   "face 1 has a degenerate edge: vertex 2 to itself");
}

TEST(HostileInput, ValenceThreeHundredVertices)
{
    for (const char* name : {"bipyramid-300", "pole-300"})
        expect_refined(std::string(name) + ".obj", read_file(data_dir + name + ".obj"), 1,
                       read_file(data_dir + name + "-1.obj"));
}

TEST(HostileInput, LargeMeshWithCrLfLineEndsGivesTheSameBytes)
{
    scratch_folder folder;
    write_file(folder.file("lf.obj"), torus(400, 250, "\n"));
    write_file(folder.file("crlf.obj"), torus(400, 250, "\r\n"));
    tool_result lf = run_tool(folder.path, {"lf.obj", "1", "lf-1.obj"});
    tool_result crlf = run_tool(folder.path, {"crlf.obj", "1", "crlf-1.obj"});
    ASSERT_EQ(lf.status, 0) << lf.err;
    ASSERT_EQ(crlf.status, 0) << crlf.err;
    EXPECT_EQ(lf.err, "subdiv: Catmull-Clark, 1 iteration\n"
                      "Finished iteration vertices 100000 -> 400000\n"
                      "subdiv: wrote lf-1.obj (400000 vertices, 400000 faces)\n");
    EXPECT_EQ(crlf.err, "subdiv: Catmull-Clark, 1 iteration\n"
                        "Finished iteration vertices 100000 -> 400000\n"
                        "subdiv: wrote crlf-1.obj (400000 vertices, 400000 faces)\n");
    std::string lf_text = read_file(folder.file("lf-1.obj"));
    EXPECT_EQ(lf_text.rfind("# Vertices 400000\n", 0), 0u);
    EXPECT_NE(lf_text.find("\n\n# Triangles 400000\n"), std::string::npos);
    EXPECT_TRUE(read_file(folder.file("crlf-1.obj")) == lf_text) << "outputs differ";
}

// The output is written under a file-size limit of 100,000 bytes with SIGXFSZ
// ignored, so the write fails with EFBIG after the first block: the tool
// ends with status 1 and one line, and the file that was there stays whole.
TEST(HostileInput, WriteThatFailsHalfwayLeavesTheOldOutput)
{
    scratch_folder folder;
    write_file(folder.file("cube.obj"), cube_vertices + cube_faces);
    for (bool existing : {true, false}) {
        SCOPED_TRACE(existing ? "replacing a file" : "a new file");
        std::filesystem::remove(folder.file("out.obj"));
        if (existing) write_file(folder.file("out.obj"), "old mesh\n");
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            struct rlimit limit = {100000, 100000};
            signal(SIGXFSZ, SIG_IGN);
            if (chdir(folder.path.c_str()) != 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0 ||
                !freopen(".stderr", "w", stderr))
                _exit(99);
            execl(SUBDIV_EXE, SUBDIV_EXE, "cube.obj", "5", "out.obj", (char*)nullptr);
            _exit(98);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 1);
        std::string err = read_file(folder.file(".stderr"));
        std::filesystem::remove(folder.file(".stderr"));
        EXPECT_NE(err.find("Finished iteration vertices 1538 -> 6146\n"
                           "subdiv: cannot write 'out.obj': File too large\n"),
                  std::string::npos)
            << err;
        EXPECT_EQ(count_lines(err), 7) << err;
        if (existing)
            EXPECT_EQ(read_file(folder.file("out.obj")), "old mesh\n");
        else
            EXPECT_FALSE(std::filesystem::exists(folder.file("out.obj")));
        // no temporary file is left behind
        int entries = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder.path))
            entries += entry.path().filename() != "cube.obj";
        EXPECT_EQ(entries, existing ? 1 : 0);
    }
}

namespace {

// The cube as binary little-endian PLY: its header with extra header lines
// before end_header, then its vertices and faces, then tail.
std::string cube_ply(const std::string& extra_header, const std::string& tail = "")
{
    std::string text = "ply\nformat binary_little_endian 1.0\nelement vertex 8\n"
                       "property float x\nproperty float y\nproperty float z\nelement face 6\n"
                       "property list uchar int vertex_indices\n" + extra_header + "end_header\n";
    for (int v = 0; v < 8; ++v)
        for (int axis = 2; axis >= 0; --axis) {
            const float value = v >> axis & 1 ? 1.0f : -1.0f;
            text.append(reinterpret_cast<const char*>(&value), 4);
        }
    const int32_t faces[6][4] = {{4, 6, 7, 5}, {0, 1, 3, 2}, {2, 3, 7, 6},
                                 {0, 4, 5, 1}, {1, 5, 7, 3}, {0, 2, 6, 4}};
    for (const auto& face : faces) {
        text += char(4);
        text.append(reinterpret_cast<const char*>(face), 16);
    }
    return text + tail;
}

} // namespace

// PLY files are told by their first line, whatever their name; counts are
// checked against the file's size before anything is allocated, elements
// without properties cost nothing whatever their count, and lists are
// bounded by the data.
TEST(HostileInput, PlyFiles)
{
    const std::string cube_1 = read_file(data_dir + "cube-quad-1.obj");
    expect_refined("cube.obj", cube_ply(""), 1, cube_1);
    expect_refined("comment.ply", cube_ply("comment " + std::string(10 << 20, 'c') + "\n"), 1,
                   cube_1);
    std::string many_properties = "element extra 1\n";
    for (int i = 0; i < 100000; ++i) many_properties += "property uchar p" + std::to_string(i) + "\n";
    expect_refined("properties.ply", cube_ply(many_properties, std::string(100000, '\xff')), 1,
                   cube_1);
    expect_refined("empty-elements.ply", cube_ply("element nothing 18446744073709551615\n"), 1,
                   cube_1);

    const std::string ascii_cube = "ply\nformat ascii 1.0\nelement vertex 8\nproperty float x\n"
                                   "property float y\nproperty float z\nelement face 6\n"
                                   "property list uchar int vertex_indices\nend_header\n";
    const std::string ascii_rest = "-1 -1 1\n-1 1 -1\n-1 1 1\n1 -1 -1\n1 -1 1\n1 1 -1\n1 1 1\n"
                                   "4 4 6 7 5\n4 0 1 3 2\n4 2 3 7 6\n4 0 4 5 1\n4 1 5 7 3\n";
    const struct {
        const char* name;
        std::string text;
        const char* message;
    } cases[] = {
        {"huge.ply", cube_ply("element more 1099511627776\nproperty double d\n", std::string(1024, '\0')),
         "declares 1099511627776 records of element more, but the file's 1222 bytes of data "
         "hold at most 140"},
        {"count-2-64.ply", cube_ply("element more 18446744073709551616\n"),
         "line 9 of the PLY header: the count is not a whole number below 2^64: "
         "'18446744073709551616'"},
        {"garbage.ply", cube_ply("element more 1000\nproperty list uint double d\n", garbage(1 << 20, 1)),
         "more 1: the file ends inside the record, at property d"},
        {"long-list.ply", cube_ply("element more 1\nproperty list uint uchar d\n", "\xff\xff\xff\xff"),
         "more 1: the file ends inside the record, at property d"},
        {"truncated.ply", cube_ply("").substr(0, cube_ply("").size() - 20),
         "face 5: the file ends inside the record"},
        {"no-end.ply", "ply\nformat ascii 1.0\n" + garbage(1 << 20, 2),
         "the PLY header has no end_header line"},
        {"corners-255.ply", ascii_cube + "-1 -1 -1\n" + ascii_rest + "255 1 2 3\n",
         "face 6 has 255 corners; at most 15 are supported"},
        {"long-token.ply", ascii_cube + "-1 -1 " + std::string(10 << 20, '7') + "\n" + ascii_rest + "4 0 2 6 4\n",
         "vertex 1: coordinate z is not finite"},
        {"nan.ply", ascii_cube + "-1 nan -1\n" + ascii_rest + "4 0 2 6 4\n",
         "vertex 1: property y: 'nan' is not a value of type float"},
    };
    for (const auto& c : cases) expect_refused(c.name, c.text, c.message);
}
