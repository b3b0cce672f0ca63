// PLY through the public entry points and the tool: what a job writes as
// PLY is what it writes as OBJ, to the bit; PLY of every encoding and of
// every property type reads to the same record; files that are not PLY the
// reader takes are refused with the place named.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
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

const std::string mesh_dir = SUBDIV_SOURCE_DIR "/meshes/";

// A mesh as the files give it: positions, faces, and the u v of each face
// corner (empty without texture coordinates).
struct mesh_arrays {
    std::vector<float> positions;
    std::vector<std::vector<uint32_t>> faces;
    std::vector<float> corner_uv;
    std::vector<float> normals; // empty without
};

template <typename T>
T take(const std::string& bytes, size_t* at)
{
    T value = 0;
    if (*at + sizeof value > bytes.size()) {
        ADD_FAILURE() << "the PLY ends early";
        return value;
    }
    std::memcpy(&value, bytes.data() + *at, sizeof value);
    *at += sizeof value;
    return value;
}

// The binary PLY the writer makes, read by its fixed layout.
mesh_arrays decode_ply(const std::string& bytes)
{
    const size_t header_end = bytes.find("end_header\n") + 11;
    std::istringstream header(bytes.substr(0, header_end));
    std::string word, line;
    uint64_t n_vertices = 0, n_faces = 0;
    bool uv = false, normals = false;
    while (header >> word) {
        if (word == "element") {
            header >> word;
            header >> (word == "vertex" ? n_vertices : n_faces);
        }
        if (word == "texcoord") uv = true;
        if (word == "nx") normals = true;
    }
    mesh_arrays m;
    size_t at = header_end;
    for (uint64_t v = 0; v < n_vertices; ++v)
        for (int k = 0; k < (normals ? 6 : 3); ++k)
            (k < 3 ? m.positions : m.normals).push_back(take<float>(bytes, &at));
    for (uint64_t f = 0; f < n_faces; ++f) {
        m.faces.emplace_back(take<uint8_t>(bytes, &at));
        for (uint32_t& corner : m.faces.back()) corner = take<uint32_t>(bytes, &at);
        if (!uv) continue;
        EXPECT_EQ(take<uint8_t>(bytes, &at), 2 * m.faces.back().size());
        for (size_t k = 0; k < 2 * m.faces.back().size(); ++k)
            m.corner_uv.push_back(take<float>(bytes, &at));
    }
    EXPECT_EQ(at, bytes.size()) << "bytes after the faces";
    return m;
}

// OBJ text written with --precision=shortest, whose numbers strtof reads
// back to the floats written.
mesh_arrays decode_obj(const std::string& text)
{
    mesh_arrays m;
    std::vector<float> vt;
    std::istringstream lines(text);
    std::string line, word;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        words >> word;
        if (word == "v" || word == "vt" || word == "vn") {
            std::vector<float>& out = word == "v" ? m.positions : word == "vt" ? vt : m.normals;
            while (words >> word) out.push_back(std::strtof(word.c_str(), nullptr));
        } else if (word == "f") {
            m.faces.emplace_back();
            while (words >> word) {
                m.faces.back().push_back(uint32_t(std::stoul(word) - 1));
                const size_t slash = word.find('/');
                if (slash == std::string::npos || word[slash + 1] == '/') continue;
                const size_t t = std::stoul(word.substr(slash + 1)) - 1;
                m.corner_uv.insert(m.corner_uv.end(), {vt[2 * t], vt[2 * t + 1]});
            }
        }
    }
    return m;
}

void expect_same_bits(const mesh_arrays& a, const mesh_arrays& b)
{
    // the floats' bits (0.0f and -0.0f differ)
    auto bits = [](const std::vector<float>& values) {
        std::vector<uint32_t> out(values.size());
        if (!values.empty()) std::memcpy(out.data(), values.data(), values.size() * 4);
        return out;
    };
    EXPECT_EQ(bits(a.positions), bits(b.positions));
    EXPECT_EQ(a.faces, b.faces);
    EXPECT_EQ(bits(a.corner_uv), bits(b.corner_uv));
    EXPECT_EQ(bits(a.normals), bits(b.normals));
}

// Values of a PLY body, in one encoding.
struct ply_body {
    std::string encoding;
    std::string bytes;

    template <typename T>
    void binary(T value)
    {
        char raw[sizeof value];
        std::memcpy(raw, &value, sizeof value);
        if (encoding == "binary_big_endian")
            for (size_t i = 0; i < sizeof value / 2; ++i) std::swap(raw[i], raw[sizeof value - 1 - i]);
        bytes.append(raw, sizeof value);
    }
    // A value of the PLY type named.
    ply_body& put(const std::string& type, double value)
    {
        if (encoding == "ascii") {
            char text[40];
            std::snprintf(text, sizeof text, "%.17g ", value);
            bytes += text;
        } else if (type == "double") binary(value);
        else if (type == "float") binary(float(value));
        else if (type == "uchar") binary(uint8_t(value));
        else if (type == "ushort") binary(uint16_t(value));
        else if (type == "short") binary(int16_t(value));
        else if (type == "int") binary(int32_t(value));
        else if (type == "uint") binary(uint32_t(value));
        return *this;
    }
    void end_record()
    {
        if (encoding == "ascii") bytes += '\n';
    }
};

// The cube of meshes/cube-quad.obj with texture coordinates per face
// corner: u = vertex / 8 and v = 0.5, but face 1 gives its corners their
// own; as PLY in the encoding, with properties of many types, lists and
// elements the reader skips around the ones it reads.
std::string cube_ply(const std::string& encoding)
{
    const int faces[6][4] = {{4, 6, 7, 5}, {0, 1, 3, 2}, {2, 3, 7, 6},
                             {0, 4, 5, 1}, {1, 5, 7, 3}, {0, 2, 6, 4}};
    ply_body b = {encoding, ""};
    for (int e = 0; e < 2; ++e, b.end_record()) b.put("int", e).put("int", e + 1);
    for (int v = 0; v < 8; ++v, b.end_record()) {
        b.put("uchar", 200).put("double", v & 4 ? 1 : -1).put("float", v & 2 ? 1 : -1);
        b.put("uchar", v % 3);
        for (int k = 0; k < v % 3; ++k) b.put("float", 0.25 * k);
        b.put("short", v & 1 ? 1 : -1);
    }
    for (int f = 0; f < 6; ++f, b.end_record()) {
        b.put("int", -f).put("ushort", 4);
        for (int k = 0; k < 4; ++k) b.put("uint", faces[f][k]);
        b.put("uint", 8);
        for (int k = 0; k < 4; ++k)
            b.put("double", f == 1 ? 0.1 * k : faces[f][k] / 8.0).put("double", f == 1 ? 0.7 : 0.5);
    }
    b.put("uchar", 3).put("uchar", 'a').put("uchar", 'b').put("uchar", 'c');
    b.end_record();
    return "ply\r\nformat " + encoding +
           " 1.0\r\ncomment any words\r\nelement edge 2\r\nproperty int32 a\r\nproperty int b\r\n"
           "element vertex 8\r\nproperty uchar red\r\nproperty double x\r\nproperty float32 y\r\n"
           "property list uint8 float weights\r\nproperty short z\r\nobj_info more words\r\n"
           "element face 6\r\nproperty int flags\r\nproperty list ushort uint vertex_index\r\n"
           "property list uint double texcoord\r\nelement material 1\r\n"
           "property list uchar uchar name\r\nend_header\r\n" +
           b.bytes;
}

subdiv_status read_text(const std::string& text, bool uv, subdiv_geom* g, subdiv_error* error)
{
    subdiv_options options;
    subdiv_options_init(&options);
    options.uv = uv;
    return subdiv_read_text("in.ply", text.data(), text.size(), nullptr, &options, g, error);
}

template <typename T>
std::vector<T> array(const T* values, uint64_t n)
{
    return values ? std::vector<T>(values, values + n) : std::vector<T>();
}

} // namespace

// The tool's PLY and its OBJ with the fewest digits give the same floats and
// corners, streamed from the last step and written from a held record, on
// closed, open, polygon and textured meshes, Loop and Catmull-Clark, and
// with limit positions and normals.
TEST(Ply, OutputEqualsObjOutputToTheBit)
{
    const struct {
        const char* mesh;
        std::vector<std::string> options;
    } cases[] = {
        {"cube-quad.obj", {}},          {"cube-open.obj", {}},
        {"polygon-closed.obj", {}},     {"polygon-open.obj", {"--corners=smooth"}},
        {"icosahedron.obj", {}},        {"grid-tri.obj", {}},
        {"cube-textured.obj", {"--uv"}}, {"grid-textured.obj", {"--uv"}},
        {"torus-tri.obj", {"--scheme=catmull-clark"}},
        {"cube-quad.obj", {"--limit", "--normals"}}, {"icosahedron.obj", {"--normals"}},
        {"cube-textured.obj", {"--uv", "--normals"}},
    };
    scratch_folder folder;
    for (const auto& c : cases)
        for (int iterations : {0, 1, 3}) {
            SCOPED_TRACE(std::string(c.mesh) + " " + std::to_string(iterations));
            auto run = [&](std::vector<std::string> extra, const std::string& out) {
                extra.insert(extra.end(), c.options.begin(), c.options.end());
                extra.insert(extra.end(), {mesh_dir + c.mesh, std::to_string(iterations), out});
                const tool_result r = run_tool(folder.path, extra);
                EXPECT_EQ(r.status, 0) << r.err;
                return read_file(folder.file(out));
            };
            const mesh_arrays obj = decode_obj(run({"--precision=shortest"}, "out.obj"));
            expect_same_bits(decode_ply(run({}, "out.ply")), obj);
            EXPECT_EQ(run({"--format=ply", "--threads=1"}, "out.obj"), read_file(folder.file("out.ply")));

            subdiv_options options;
            subdiv_options_init(&options);
            auto has = [&](const char* option) {
                return std::find(c.options.begin(), c.options.end(), option) != c.options.end();
            };
            options.uv = has("--uv");
            options.limit = has("--limit");
            options.normals = has("--normals");
            options.scheme = c.mesh == std::string("torus-tri.obj") ? subdiv_scheme_catmull_clark
                                                                    : subdiv_scheme_auto;
            options.corners = c.mesh == std::string("polygon-open.obj") ? subdiv_corners_smooth
                                                                        : subdiv_corners_sharp;
            subdiv_geom input = {}, output = {};
            subdiv_error error;
            const std::string held = folder.file("held.ply");
            ASSERT_EQ(subdiv_read((mesh_dir + c.mesh).c_str(), &options, &input, &error), subdiv_ok);
            ASSERT_EQ(subdiv_refine(&input, iterations, &options, &output, &error), subdiv_ok);
            ASSERT_EQ(subdiv_write(held.c_str(), &output, &options, &error), subdiv_ok);
            expect_same_bits(decode_ply(read_file(held)), obj);
            subdiv_geom_free(&input);
            subdiv_geom_free(&output);
        }
}

// PLY read and written again unrefined gives the same bytes, binary or
// ascii with the fewest digits, texture coordinates per corner included.
TEST(Ply, RoundTripThroughNoIterationsKeepsTheBytes)
{
    scratch_folder folder;
    for (const char* format : {"--format=ply", "--format=ply-ascii"}) {
        SCOPED_TRACE(format);
        for (const char* mesh : {"cube-textured.obj", "grid-textured.obj", "polygon-open.obj"}) {
            const std::vector<std::string> options = {format, "--uv", "--precision=shortest"};
            std::vector<std::string> first = options, again = options;
            first.insert(first.end(), {mesh_dir + mesh, "2", "a.ply"});
            again.insert(again.end(), {"a.ply", "0", "b.ply"});
            ASSERT_EQ(run_tool(folder.path, first).status, 0);
            ASSERT_EQ(run_tool(folder.path, again).status, 0);
            EXPECT_TRUE(read_file(folder.file("a.ply")) == read_file(folder.file("b.ply"))) << mesh;
        }
    }
}

// Little-endian, big-endian and ascii data read to the same record, through
// types of every size, lists and elements that are skipped; faces that agree
// on a corner's texture coordinate share it.
TEST(Ply, EveryEncodingReadsToTheSameRecord)
{
    std::vector<subdiv_geom> read;
    for (const char* encoding : {"binary_little_endian", "binary_big_endian", "ascii"}) {
        SCOPED_TRACE(encoding);
        subdiv_geom g = {};
        subdiv_error error;
        ASSERT_EQ(read_text(cube_ply(encoding), true, &g, &error), subdiv_ok) << error.message;
        read.push_back(g);
    }
    const subdiv_geom& g = read[0];
    ASSERT_EQ(g.n_vertices, 8u);
    ASSERT_EQ(g.n_faces, 6u);
    ASSERT_EQ(g.flags, 4u);
    EXPECT_EQ(array(g.x, 8), std::vector<float>({-1, -1, -1, -1, 1, 1, 1, 1}));
    EXPECT_EQ(array(g.z, 8), std::vector<float>({-1, 1, -1, 1, -1, 1, -1, 1}));
    EXPECT_EQ(array(g.corner0, 6), std::vector<uint64_t>({4, 0, 2, 0, 1, 0}));
    EXPECT_EQ(array(g.corner3, 6), std::vector<uint64_t>({5, 2, 6, 1, 3, 4}));
    // the eight vertices' shared coordinates, and four of face 2's own
    EXPECT_EQ(g.n_texcoords, 12u);
    EXPECT_EQ(array(g.corner_texcoord, 8), std::vector<uint64_t>({0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(g.tex_u[g.corner_texcoord[23]], 0.5f);
    for (const subdiv_geom& other : read) {
        EXPECT_EQ(array(other.x, 8), array(g.x, 8));
        EXPECT_EQ(array(other.y, 8), array(g.y, 8));
        EXPECT_EQ(array(other.z, 8), array(g.z, 8));
        for (auto corner : {&subdiv_geom::corner0, &subdiv_geom::corner1, &subdiv_geom::corner2,
                            &subdiv_geom::corner3})
            EXPECT_EQ(array(other.*corner, 6), array(g.*corner, 6));
        EXPECT_EQ(array(other.tex_u, 12), array(g.tex_u, 12));
        EXPECT_EQ(array(other.tex_v, 12), array(g.tex_v, 12));
        EXPECT_EQ(array(other.corner_texcoord, 24), array(g.corner_texcoord, 24));
    }
    for (subdiv_geom& each : read) subdiv_geom_free(&each);

    // texture coordinates per vertex: one each, the corners name their vertex's
    subdiv_geom per_vertex = {};
    subdiv_error error;
    const std::string text = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\n"
                             "property float y\nproperty float z\nproperty float texture_u\n"
                             "property float texture_v\nelement face 1\n"
                             "property list uchar int vertex_indices\nend_header\n"
                             "0 0 0 0 0\n1 0 0 1 0\n0 1 0 0 1\n3 2 1 0\n";
    ASSERT_EQ(read_text(text, true, &per_vertex, &error), subdiv_ok) << error.message;
    EXPECT_EQ(per_vertex.flags, 3u);
    EXPECT_EQ(array(per_vertex.tex_u, 3), std::vector<float>({0, 1, 0}));
    EXPECT_EQ(array(per_vertex.corner_texcoord, 3), std::vector<uint64_t>({2, 1, 0}));
    subdiv_geom_free(&per_vertex);
}

// Every refusal names the file, the element and its record (from 1), and
// leaves nothing allocated; a mesh the schemes cannot refine is refused as
// the OBJ one is.
TEST(Ply, RefusalsNameTheElementAndRecord)
{
    const std::string header = "ply\nformat binary_little_endian 1.0\nelement vertex 4\n"
                               "property float x\nproperty float y\nproperty float z\n"
                               "element face 4\nproperty list uchar int vertex_indices\nend_header\n";
    auto binary = [](std::vector<float> positions, std::vector<std::vector<int32_t>> faces) {
        std::string bytes;
        for (float p : positions) bytes.append(reinterpret_cast<const char*>(&p), 4);
        for (const auto& face : faces) {
            bytes += char(face.size());
            for (int32_t v : face) bytes.append(reinterpret_cast<const char*>(&v), 4);
        }
        return bytes;
    };
    const std::vector<float> tetra = {1, 1, 1, 1, -1, -1, -1, 1, -1, -1, -1, 1};
    const std::string good = header + binary(tetra, {{0, 1, 2}, {0, 3, 1}, {1, 3, 2}, {2, 3, 0}});
    std::vector<float> infinite = tetra;
    infinite[4] = INFINITY;
    const std::string ascii = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\n"
                              "property float y\nproperty double z\nelement face 1\n"
                              "property list uchar int vertex_indices\nend_header\n";
    const struct {
        std::string text;
        subdiv_status status;
        const char* message;
        bool read = false; // the reader takes it, the refinement refuses it
    } cases[] = {
        {"ply\nformat binary_little_endian 1.0\nelement vertex 1099511627776\nproperty float x\n"
         "property float y\nproperty float z\nelement face 1\nproperty list uchar int "
         "vertex_indices\nend_header\n" + std::string(1000, '\0'),
         subdiv_error_syntax,
         "in.ply: the PLY header declares 1099511627776 records of element vertex, but the file's "
         "1000 bytes of data hold at most 83"},
        {"ply\nformat binary 1.0\n", subdiv_error_syntax, "in.ply: the PLY header has no end_header"},
        {"ply\nformat ascii 2.0\nend_header\n", subdiv_error_syntax,
         "in.ply: line 2 of the PLY header: expected 'format ascii|binary_little_endian|"},
        {"ply\nformat ascii 1.0\nelement vertex 1\nproperty flaot x\nend_header\n",
         subdiv_error_syntax, "in.ply: line 4 of the PLY header: unknown property type 'flaot'"},
        {"ply\nformat ascii 1.0\nelement face 1\nproperty list float int vertex_indices\n"
         "end_header\n3 0 1 2\n",
         subdiv_error_syntax, "element face: list vertex_indices has a count of type float"},
        {good.substr(0, good.size() - 3), subdiv_error_syntax,
         "in.ply: face 4: the file ends inside the record, at property vertex_indices"},
        {good + "xyz", subdiv_error_syntax, "in.ply: 3 bytes of data after the last element"},
        {header + binary(tetra, {{0, 1, 2}, {0, 3}, {1, 3, 2}, {2, 3, 0}}), subdiv_error_mesh,
         "in.ply: face 2 has 2 corners; a face needs at least 3"},
        {header + binary(tetra, {std::vector<int32_t>(16, 0), {0, 3, 1}, {1, 3, 2}, {2, 3, 0}}),
         subdiv_error_syntax, "in.ply: face 1 has 16 corners; at most 15 are supported"},
        {header + binary(tetra, {{0, 1, 2}, {0, 3, 1}, {1, 3, 9}, {2, 3, 0}}), subdiv_error_syntax,
         "in.ply: face 3: vertex index 9 is out of range (the file has 4 vertices)"},
        {header + binary(tetra, {{0, 1, 2}, {0, 3, 1}, {1, 3, 2}, {2, -1, 0}}),
         subdiv_error_syntax, "in.ply: face 4: vertex index -1 is out of range"},
        {header + binary(infinite, {{0, 1, 2}, {0, 3, 1}, {1, 3, 2}, {2, 3, 0}}),
         subdiv_error_syntax, "in.ply: vertex 2: coordinate y is not finite"},
        {ascii + "0 0 1e300\n0 1 0\n1 0 0\n3 0 1 2\n", subdiv_error_syntax,
         "in.ply: vertex 1: coordinate z (1e+300) does not fit a 32-bit float"},
        {ascii + "0 0 0\n0 abc 0\n1 0 0\n3 0 1 2\n", subdiv_error_syntax,
         "in.ply: vertex 2: property y: 'abc' is not a value of type float"},
        {ascii + "0 0 0\n0 1 0\n1 0 0\n3 0 1 2\n7\n", subdiv_error_syntax,
         "in.ply: text after the last element of the PLY data: '7'"},
        {ascii + "0 0 0\n0 1 0\n1 0 0\n3 0 1 2.5\n", subdiv_error_syntax,
         "in.ply: face 1: property vertex_indices: '2.5' is not a value of type int"},
        {"ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
         "element face 1\nproperty list uchar int vertex_indices\nend_header\n",
         subdiv_error_syntax, "in.ply: the element vertex has no property z"},
        {"ply\nformat ascii 1.0\nelement vertex 0\nproperty float x\nend_header\n",
         subdiv_error_mesh, "in.ply: the file has no faces"},
        {header + binary(tetra, {{0, 1, 2}, {0, 1, 3}, {1, 3, 2}, {2, 3, 0}}), subdiv_error_mesh,
         "faces 1 and 2 both run from vertex 1 to vertex 2", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        subdiv_geom input = {}, output = {};
        subdiv_error error = {};
        subdiv_status status = read_text(c.text, true, &input, &error);
        if (status == subdiv_ok) status = subdiv_refine(&input, 1, nullptr, &output, &error);
        EXPECT_EQ(status, c.status);
        EXPECT_NE(std::string(error.message).find(c.message), std::string::npos) << error.message;
        EXPECT_EQ(input.x != nullptr, c.read);
        subdiv_geom_free(&input);
        subdiv_geom_free(&output);
    }
}

// --format chooses the output's format, else its name does; the input's
// format is its content's, whatever its name.
TEST(Ply, FormatOptionAndNames)
{
    scratch_folder folder;
    const std::string cube = mesh_dir + "cube-quad.obj";
    EXPECT_EQ(run_tool(folder.path, {"--format=stl", cube, "1", "out.ply"}).status, 2);
    ASSERT_EQ(run_tool(folder.path, {cube, "1", "OUT.PLY"}).status, 0);
    const std::string ply = read_file(folder.file("OUT.PLY"));
    EXPECT_EQ(ply.rfind("ply\nformat binary_little_endian 1.0\ncomment written by subdiv ", 0), 0u);
    tool_result to_standard_output = run_tool(folder.path, {"--format", "ply", cube, "1", "-"});
    EXPECT_TRUE(to_standard_output.out == ply);
    // PLY named .obj in, OBJ out: the same text as from the OBJ
    write_file(folder.file("named.obj"), ply);
    ASSERT_EQ(run_tool(folder.path, {"named.obj", "0", "a.obj"}).status, 0);
    ASSERT_EQ(run_tool(folder.path, {cube, "1", "b.obj"}).status, 0);
    EXPECT_EQ(read_file(folder.file("a.obj")), read_file(folder.file("b.obj")));
    const tool_result ascii = run_tool(folder.path, {"--format=ply-ascii", cube, "0", "-"});
    EXPECT_NE(ascii.out.find("end_header\n-1.000000 -1.000000 -1.000000\n"), std::string::npos);
    EXPECT_NE(ascii.out.find("\n4 4 6 7 5\n"), std::string::npos);
}
