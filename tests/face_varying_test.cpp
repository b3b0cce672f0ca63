// What faces carry through the steps, through the public entry points: the
// textured cube's coordinates (a cross with seams) refined twice, and the
// materials of its faces written in runs.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <array>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "obj_write.h"
#include "subdiv/subdiv.h"

using namespace subdiv;

namespace {

const std::string cube_textured = SUBDIV_SOURCE_DIR "/meshes/cube-textured.obj";

geom read(const std::string& path, bool uv, bool materials)
{
    subdiv_options options;
    subdiv_options_init(&options);
    options.uv = uv;
    options.materials = materials;
    geom g = {};
    subdiv_error error;
    EXPECT_EQ(subdiv_obj_read(path.c_str(), &options, &g, &error), subdiv_ok) << error.message;
    return g;
}

std::string text_of(const geom& g)
{
    int fd = memfd_create("face_varying_test", 0);
    EXPECT_EQ(obj_write_fd(fd, &g, nullptr), 0);
    std::string text(size_t(lseek(fd, 0, SEEK_CUR)), '\0');
    EXPECT_EQ(pread(fd, text.data(), text.size(), 0), ssize_t(text.size()));
    close(fd);
    return text;
}

// The corners of face f of a quad mesh.
std::array<uint64_t, 4> quad(const geom& g, uint64_t f)
{
    return {g.corner0[f], g.corner1[f], g.corner2[f], g.corner3[f]};
}

// The vertices whose corners use more than one texture coordinate.
uint64_t seam_vertices(const geom& g)
{
    std::map<uint64_t, std::set<uint64_t>> at_vertex;
    for (uint64_t f = 0; f < g.n_faces; ++f)
        for (int k = 0; k < 4; ++k) at_vertex[quad(g, f)[k]].insert(g.corner_texcoord[4 * f + uint64_t(k)]);
    uint64_t n = 0;
    for (const auto& [vertex, texcoords] : at_vertex) n += texcoords.size() > 1;
    return n;
}

// The edges whose two faces give their ends other texture coordinates.
uint64_t seam_edges(const geom& g)
{
    // per directed edge, the coordinates at its two ends in its face
    std::map<std::pair<uint64_t, uint64_t>, std::pair<uint64_t, uint64_t>> sides;
    for (uint64_t f = 0; f < g.n_faces; ++f)
        for (int k = 0; k < 4; ++k) {
            const auto q = quad(g, f);
            sides[{q[k], q[(k + 1) % 4]}] = {g.corner_texcoord[4 * f + uint64_t(k)],
                                            g.corner_texcoord[4 * f + uint64_t((k + 1) % 4)]};
        }
    uint64_t n = 0;
    for (const auto& [edge, ends] : sides) {
        const auto other = sides.find({edge.second, edge.first});
        if (edge.first < edge.second && other != sides.end())
            n += other->second != std::make_pair(ends.second, ends.first);
    }
    return n;
}

} // namespace

// After two Catmull-Clark steps of the cube, each of its faces has 16
// children: their coordinates lie in the square of the cross their ancestor
// maps to; every coordinate is written once (no two alike); and the vertices
// on the seams, where the cross is cut, keep one coordinate per side.
TEST(FaceVarying, TexturedCubeKeepsItsSquaresAndSeams)
{
    geom input = read(cube_textured, true, false), output = {};
    subdiv_error error;
    ASSERT_EQ(subdiv_refine(&input, 2, nullptr, &output, &error), subdiv_ok) << error.message;
    ASSERT_NE(output.tex_u, nullptr);
    ASSERT_EQ(output.n_faces, 16 * input.n_faces);
    for (uint64_t f = 0; f < output.n_faces; ++f) {
        const uint64_t parent = f / 16;
        float low_u = 1, high_u = 0, low_v = 1, high_v = 0;
        for (int k = 0; k < 4; ++k) {
            const uint64_t t = input.corner_texcoord[4 * parent + uint64_t(k)];
            low_u = std::min(low_u, input.tex_u[t]), high_u = std::max(high_u, input.tex_u[t]);
            low_v = std::min(low_v, input.tex_v[t]), high_v = std::max(high_v, input.tex_v[t]);
        }
        for (int k = 0; k < 4; ++k) {
            const uint64_t t = output.corner_texcoord[4 * f + uint64_t(k)];
            ASSERT_LT(t, output.n_texcoords);
            EXPECT_TRUE(output.tex_u[t] >= low_u && output.tex_u[t] <= high_u &&
                        output.tex_v[t] >= low_v && output.tex_v[t] <= high_v)
                << "face " << f << " corner " << k;
        }
    }
    std::set<std::pair<float, float>> values;
    for (uint64_t t = 0; t < output.n_texcoords; ++t) values.insert({output.tex_u[t], output.tex_v[t]});
    EXPECT_EQ(values.size(), output.n_texcoords);
    // a vertex on a seam keeps a coordinate per side: the input's such
    // vertices and, on each of its seam edges (whose two faces give other
    // coordinates), the three new vertices that two steps put there
    EXPECT_EQ(seam_vertices(output), seam_vertices(input) + 3 * seam_edges(input));
    EXPECT_GT(seam_edges(input), 0u);
    subdiv_geom_free(&input);
    subdiv_geom_free(&output);
}

// Children keep their parent's material: the refined cube is written with
// its library first and a usemtl line before each run of one material.
TEST(FaceVarying, MaterialsPassToTheChildrenInRuns)
{
    geom input = read(cube_textured, false, true), output = {};
    subdiv_error error;
    ASSERT_EQ(subdiv_refine(&input, 1, nullptr, &output, &error), subdiv_ok) << error.message;
    const std::string text = text_of(output);
    EXPECT_EQ(text.rfind("mtllib cube-textured.mtl\n# Vertices 26\n", 0), 0u) << text.substr(0, 80);
    // the first four faces' sixteen children, then the last two's eight
    const size_t sides = text.find("\nusemtl sides\nf "), caps = text.find("\nusemtl caps\nf ");
    ASSERT_NE(sides, std::string::npos);
    ASSERT_NE(caps, std::string::npos);
    EXPECT_EQ(text.find("usemtl", sides + 8), caps + 1);
    EXPECT_EQ(text.find("usemtl", caps + 8), std::string::npos);
    int faces_between = 0;
    for (size_t at = text.find("\nf ", sides); at < caps; at = text.find("\nf ", at + 1)) ++faces_between;
    EXPECT_EQ(faces_between, 16);
    subdiv_geom_free(&input);
    subdiv_geom_free(&output);
}

namespace {

// A mesh read from OBJ text with the options; empty on failure.
geom read_text(const std::string& text, const subdiv_options& options)
{
    geom g = {};
    subdiv_error error;
    EXPECT_EQ(subdiv_obj_read_text("in.obj", text.data(), text.size(), nullptr, &options, &g,
                                   &error),
              subdiv_ok)
        << error.message;
    return g;
}

} // namespace

// Without seams, smooth, the corners modes with sharp corners and
// boundaries on a closed mesh refine a coordinate of each vertex exactly as
// positions (u, v, 0) refine, tags, boundaries and both vertex rules
// included.
TEST(FaceVarying, ModesWithoutSeamsRefineCoordinatesAsPositions)
{
    const struct {
        const char* mesh;
        bool closed;
    } meshes[] = {{"cube-quad.obj", true},         {"icosahedron-creased.obj", true},
                  {"polygon-creased.obj", true},   {"grid-quad.obj", false},
                  {"grid-tri-creased.obj", false}, {"polygon-open.obj", false}};
    for (const auto& mesh : meshes) {
        // the mesh with a coordinate per vertex, and the plane of those coordinates
        std::string textured, flat, faces, plain_faces, tags;
        geom shape = read(std::string(SUBDIV_SOURCE_DIR "/meshes/") + mesh.mesh, false, false);
        for (uint64_t v = 0; v < shape.n_vertices; ++v) {
            char line[160];
            const float u = shape.x[v] * 0.3f + shape.y[v] * 0.7f + shape.z[v] * 0.1f;
            const float w = shape.x[v] * 0.5f + shape.y[v] * 0.2f - shape.z[v] * 0.9f;
            std::snprintf(line, sizeof line, "v %.9g %.9g %.9g\n", shape.x[v], shape.y[v], shape.z[v]);
            textured += line;
            std::snprintf(line, sizeof line, "vt %.9g %.9g\n", u, w);
            textured += line;
            std::snprintf(line, sizeof line, "v %.9g %.9g 0\n", u, w);
            flat += line;
        }
        const int n = geom_face_size(&shape);
        const uint64_t* const corner[4] = {shape.corner0, shape.corner1, shape.corner2, shape.corner3};
        for (uint64_t f = 0; f < shape.n_faces; ++f) {
            faces += "f";
            plain_faces += "f";
            const uint64_t first = n ? 0 : shape.face_start[f];
            const uint64_t count = n ? uint64_t(n) : shape.face_start[f + 1] - first;
            for (uint64_t k = 0; k < count; ++k) {
                char text[48];
                const uint64_t v = (n ? corner[k][f] : shape.corners[first + k]) + 1;
                std::snprintf(text, sizeof text, " %llu", (unsigned long long)v);
                plain_faces += text;
                std::snprintf(text, sizeof text, " %llu/%llu", (unsigned long long)v,
                              (unsigned long long)v);
                faces += text;
            }
            faces += "\n";
            plain_faces += "\n";
        }
        char tag[96];
        for (uint64_t c = 0; c < shape.n_creases; ++c) {
            std::snprintf(tag, sizeof tag, "t crease 2/1/0 %llu %llu %.9g\n",
                          (unsigned long long)shape.crease_vertices[2 * c],
                          (unsigned long long)shape.crease_vertices[2 * c + 1],
                          shape.crease_sharpness[c]);
            tags += tag;
        }
        for (uint64_t v = 0; shape.vertex_sharpness && v < shape.n_vertices; ++v)
            if (shape.vertex_sharpness[v] > 0.0f) {
                std::snprintf(tag, sizeof tag, "t corner 1/1/0 %llu %.9g\n", (unsigned long long)v,
                              shape.vertex_sharpness[v]);
                tags += tag;
            }
        subdiv_geom_free(&shape);
        const std::pair<subdiv_uv_mode, subdiv_corners> modes[] = {
            {subdiv_uv_smooth, subdiv_corners_smooth},
            {subdiv_uv_smooth, subdiv_corners_sharp},
            {subdiv_uv_corners, subdiv_corners_sharp},
            {subdiv_uv_corners_junctions, subdiv_corners_sharp},
            {subdiv_uv_corners_concave, subdiv_corners_sharp},
            {mesh.closed ? subdiv_uv_boundaries : subdiv_uv_smooth, subdiv_corners_sharp}};
        for (const auto& [mode, corners] : modes)
            for (const subdiv_vertex_rule rule :
                 {subdiv_vertex_rule_edge_points, subdiv_vertex_rule_classic}) {
                SCOPED_TRACE(std::string(mesh.mesh) + ", mode " + std::to_string(mode) +
                             ", corners " + std::to_string(corners) + ", rule " +
                             std::to_string(rule));
                subdiv_options options;
                subdiv_options_init(&options);
                options.uv = mode;
                options.corners = corners;
                options.vertex_rule = rule;
                geom in = read_text(textured + faces + tags, options), out = {};
                geom plane_in = read_text(flat + plain_faces + tags, options), plane = {};
                subdiv_error error;
                ASSERT_EQ(subdiv_refine(&in, 2, &options, &out, &error), subdiv_ok);
                ASSERT_EQ(subdiv_refine(&plane_in, 2, &options, &plane, &error), subdiv_ok);
                ASSERT_NE(out.tex_u, nullptr);
                const int size = geom_face_size(&out);
                const uint64_t* const at[4] = {out.corner0, out.corner1, out.corner2, out.corner3};
                uint64_t differ = 0;
                for (uint64_t f = 0; f < out.n_faces; ++f)
                    for (int k = 0; k < size; ++k) {
                        const uint64_t v = at[k][f], t = out.corner_texcoord[uint64_t(size) * f + k];
                        differ += std::memcmp(&out.tex_u[t], &plane.x[v], 4) != 0 ||
                                  std::memcmp(&out.tex_v[t], &plane.y[v], 4) != 0;
                    }
                EXPECT_EQ(differ, 0u);
                for (geom* g : {&in, &out, &plane_in, &plane}) subdiv_geom_free(g);
            }
    }
}
