// Small closed meshes and mesh checks shared by the subdivision tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "catmull_clark.h"
#include "geom.h"
#include "loop.h"
#include "mesh.h"
#include "mesh_derive.h"
#include "storage.h"

using namespace subdiv;

// A geom from flat positions (x, y, z per vertex) and flat corner lists
// (face_size per face); the edge count is half the number of corners, as the
// import stores it.
inline geom geom_from_arrays(const std::vector<float>& xyz, const std::vector<uint64_t>& corners,
                             int face_size)
{
    const uint64_t n_vertices = xyz.size() / 3, n_faces = corners.size() / uint64_t(face_size);
    geom g;
    geom_alloc(&g, n_vertices, n_faces, corners.size() / 2, face_size);
    for (uint64_t v = 0; v < n_vertices; ++v) {
        g.x[v] = xyz[3 * v];
        g.y[v] = xyz[3 * v + 1];
        g.z[v] = xyz[3 * v + 2];
    }
    uint64_t* corner[4] = {g.corner0, g.corner1, g.corner2, g.corner3};
    for (uint64_t f = 0; f < n_faces; ++f)
        for (int k = 0; k < face_size; ++k) corner[k][f] = corners[f * uint64_t(face_size) + uint64_t(k)];
    return g;
}

// mesh_build of g, which must accept it (the test fails otherwise); sets
// g->n_edges, as the refinement does.
inline void build_mesh(mesh* m, geom* g)
{
    subdiv_error error;
    const subdiv_status status = mesh_build(m, g, &error);
    ASSERT_EQ(status, subdiv_ok) << error.message;
}

// mesh_build of a record that the test keeps unchanged: of a copy that
// shares its arrays.
inline void build_mesh(mesh* m, const geom* g)
{
    geom copy = *g;
    build_mesh(m, &copy);
}

// A progress callback that appends the line the tool prints for each
// iteration to the std::string behind context.
inline void record_progress(void* context, int32_t, uint64_t before, uint64_t after)
{
    *static_cast<std::string*>(context) += "Finished iteration vertices " + std::to_string(before) +
                                           " -> " + std::to_string(after) + "\n";
}

// Options whose progress lines go to *lines.
inline subdiv_options progress_options(std::string* lines)
{
    subdiv_options options;
    subdiv_options_init(&options);
    options.progress = record_progress;
    options.context = lines;
    return options;
}

// A geom of faces of any sizes (face size 0) from flat positions and a
// list of faces.
inline geom polygons_from_arrays(const std::vector<float>& xyz,
                                 const std::vector<std::vector<uint64_t>>& faces)
{
    uint64_t n_corners = 0;
    for (const auto& face : faces) n_corners += face.size();
    geom g;
    geom_alloc_polygons(&g, xyz.size() / 3, faces.size(), n_corners);
    for (uint64_t v = 0; v < g.n_vertices; ++v) {
        g.x[v] = xyz[3 * v];
        g.y[v] = xyz[3 * v + 1];
        g.z[v] = xyz[3 * v + 2];
    }
    uint64_t c = 0;
    for (uint64_t f = 0; f < faces.size(); ++f) {
        g.face_start[f] = c;
        for (uint64_t v : faces[f]) g.corners[c++] = v;
    }
    g.face_start[faces.size()] = c;
    return g;
}

// The corners of face f.
inline std::vector<uint64_t> face_corners(const geom& g, uint64_t f)
{
    if (geom_face_size(&g) == 0)
        return std::vector<uint64_t>(g.corners + g.face_start[f], g.corners + g.face_start[f + 1]);
    std::vector<uint64_t> q = {g.corner0[f], g.corner1[f], g.corner2[f]};
    if (geom_face_size(&g) == 4) q.push_back(g.corner3[f]);
    return q;
}

inline uint32_t float_bits(float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return bits;
}

//        3
//       /|\        regular tetrahedron, corners at alternate cube corners:
//      / | \       0 (1, 1, 1), 1 (1, -1, -1), 2 (-1, 1, -1), 3 (-1, -1, 1)
//     0--|--2      faces (0 1 2) (0 3 1) (1 3 2) (2 3 0)
//      \ | /
//        1
inline geom tetrahedron()
{
    return geom_from_arrays({1, 1, 1, 1, -1, -1, -1, 1, -1, -1, -1, 1},
                            {0, 1, 2, 0, 3, 1, 1, 3, 2, 2, 3, 0}, 3);
}

// Octahedron: the six unit points on the axes, eight triangles.
inline geom octahedron()
{
    return geom_from_arrays({1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1},
                            {0, 2, 4, 2, 1, 4, 1, 3, 4, 3, 0, 4,
                             2, 0, 5, 1, 2, 5, 3, 1, 5, 0, 3, 5}, 3);
}

// Icosahedron: twelve vertices of valence 5.
inline geom icosahedron()
{
    const float t = 1.618034f;
    return geom_from_arrays(
        {-1, t, 0, 1, t, 0, -1, -t, 0, 1, -t, 0, 0, -1, t, 0, 1, t,
         0, -1, -t, 0, 1, -t, t, 0, -1, t, 0, 1, -t, 0, -1, -t, 0, 1},
        {0, 11, 5, 0, 5, 1, 0, 1, 7, 0, 7, 10, 0, 10, 11, 1, 5, 9, 5, 11, 4,
         11, 10, 2, 10, 7, 6, 7, 1, 8, 3, 9, 4, 3, 4, 2, 3, 2, 6, 3, 6, 8,
         3, 8, 9, 4, 9, 5, 2, 4, 11, 6, 2, 10, 8, 6, 7, 9, 8, 1}, 3);
}

// Cube with corners at (±1, ±1, ±1), six quads wound outwards.
//     7-----6
//    /|    /|     0 (-1,-1,-1) 1 (1,-1,-1) 2 (1,1,-1) 3 (-1,1,-1)
//   4-----5 |     4 (-1,-1, 1) 5 (1,-1, 1) 6 (1,1, 1) 7 (-1,1, 1)
//   | 3---|-2
//   |/    |/
//   0-----1
inline geom cube()
{
    return geom_from_arrays({-1, -1, -1, 1, -1, -1, 1, 1, -1, -1, 1, -1,
                             -1, -1, 1, 1, -1, 1, 1, 1, 1, -1, 1, 1},
                            {0, 3, 2, 1, 4, 5, 6, 7, 0, 1, 5, 4,
                             1, 2, 6, 5, 2, 3, 7, 6, 3, 0, 4, 7}, 4);
}

// Two quads on the same four vertices, back to back: every vertex has
// valence 2.
inline geom pillow()
{
    return geom_from_arrays({0, 0, 0, 2, 0, 0, 2, 1, 0, 0, 1, 0.5f}, {0, 1, 2, 3, 3, 2, 1, 0}, 4);
}

// n triangles round an apex on top and n below: ring vertices 0..n-1 of
// valence 4, apexes n (top) and n + 1 (bottom) of valence n.
inline geom bipyramid(uint64_t n)
{
    std::vector<float> xyz;
    for (uint64_t i = 0; i < n; ++i) {
        const double angle = 2.0 * M_PI * double(i) / double(n);
        xyz.insert(xyz.end(), {float(std::cos(angle)), float(std::sin(angle)), 0.0f});
    }
    xyz.insert(xyz.end(), {0.0f, 0.0f, 1.0f, 0.0f, 0.0f, -1.5f});
    std::vector<uint64_t> corners;
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t next = (i + 1) % n;
        corners.insert(corners.end(), {i, next, n});
        corners.insert(corners.end(), {next, i, n + 1});
    }
    return geom_from_arrays(xyz, corners, 3);
}

// An m × n grid closed into a torus whose seam is shifted by `twist` columns:
// row m is row 0 moved on by twist. Positions lie on a torus with some
// deterministic unevenness. Quads, or two triangles per quad with the
// diagonal alternating, so that valences 4, 6 and 8 occur.
inline geom twisted_torus(uint64_t m, uint64_t n, uint64_t twist, int face_size)
{
    std::vector<float> xyz;
    for (uint64_t i = 0; i < m; ++i)
        for (uint64_t j = 0; j < n; ++j) {
            const double u = 2.0 * M_PI * double(i) / double(m);
            const double v = 2.0 * M_PI * double(j) / double(n);
            const double r = 0.5 + 0.05 * double((i * 7 + j * 3) % 5);
            xyz.insert(xyz.end(), {float((2.0 + r * std::cos(v)) * std::cos(u)),
                                   float((2.0 + r * std::cos(v)) * std::sin(u)),
                                   float(r * std::sin(v) + 0.01 * double(i))});
        }
    auto vertex = [&](uint64_t i, uint64_t j) {
        if (i == m) return (j + twist) % n; // across the seam
        return i * n + j % n;
    };
    std::vector<uint64_t> corners;
    for (uint64_t i = 0; i < m; ++i)
        for (uint64_t j = 0; j < n; ++j) {
            const uint64_t a = vertex(i, j), b = vertex(i + 1, j), c = vertex(i + 1, j + 1),
                           d = vertex(i, j + 1);
            if (face_size == 4)
                corners.insert(corners.end(), {a, b, c, d});
            else if ((i + j) % 2 == 0)
                corners.insert(corners.end(), {a, b, c, a, c, d});
            else
                corners.insert(corners.end(), {a, b, d, b, c, d});
        }
    return geom_from_arrays(xyz, corners, face_size);
}

// Open surfaces: an m × n grid of quads (or of two triangles per quad, the
// diagonal alternating), flat with some unevenness; wrapped round in its
// columns when `tube`, into an open cylinder with two rims.
inline geom open_grid(uint64_t m, uint64_t n, int face_size, bool tube)
{
    const uint64_t columns = tube ? n : n + 1;
    std::vector<float> xyz;
    for (uint64_t i = 0; i <= m; ++i)
        for (uint64_t j = 0; j < columns; ++j)
            xyz.insert(xyz.end(), {float(j) + 0.1f * float((i * 3 + j) % 4), float(i),
                                   0.25f * float((i * 5 + j * 3) % 7)});
    auto vertex = [&](uint64_t i, uint64_t j) { return i * columns + j % columns; };
    std::vector<uint64_t> corners;
    for (uint64_t i = 0; i < m; ++i)
        for (uint64_t j = 0; j < n; ++j) {
            const uint64_t a = vertex(i, j), b = vertex(i, j + 1), c = vertex(i + 1, j + 1),
                           d = vertex(i + 1, j);
            if (face_size == 4)
                corners.insert(corners.end(), {a, b, c, d});
            else if ((i + j) % 2 == 0)
                corners.insert(corners.end(), {a, b, c, a, c, d});
            else
                corners.insert(corners.end(), {a, b, d, b, c, d});
        }
    return geom_from_arrays(xyz, corners, face_size);
}

// The cube without its last face, and two open fans touching at vertex 0
// (which lies on four boundary edges).
inline geom open_box()
{
    geom c = cube();
    std::vector<float> xyz;
    for (uint64_t v = 0; v < c.n_vertices; ++v) xyz.insert(xyz.end(), {c.x[v], c.y[v], c.z[v]});
    std::vector<uint64_t> corners;
    for (uint64_t f = 0; f + 1 < c.n_faces; ++f)
        corners.insert(corners.end(), {c.corner0[f], c.corner1[f], c.corner2[f], c.corner3[f]});
    subdiv_geom_free(&c);
    return geom_from_arrays(xyz, corners, 4);
}

inline geom touching_fans(int face_size)
{
    const std::vector<float> xyz = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, -1, 0, 0.5f,
                                    -1, -1, 0.5f, 0, -1, 0.5f};
    if (face_size == 4) return geom_from_arrays(xyz, {0, 1, 2, 3, 0, 4, 5, 6}, 4);
    return geom_from_arrays(xyz, {0, 1, 2, 0, 2, 3, 0, 4, 5, 0, 5, 6}, 3);
}

// Faces of 3 to 7 corners: a closed prism over a heptagon (two heptagons
// and seven quads) with one side split into two triangles and another face
// fanned into a triangle and a pentagon; and a disc of faces of 3 to 7
// corners round a centre, open at its rim.
inline geom mixed_prism()
{
    std::vector<float> xyz;
    for (int ring = 0; ring < 2; ++ring)
        for (int k = 0; k < 7; ++k)
            xyz.insert(xyz.end(), {float(std::cos(k * 0.8975979)), float(std::sin(k * 0.8975979)),
                                   float(ring) + 0.1f * float(k % 3)});
    std::vector<std::vector<uint64_t>> faces = {{6, 5, 4, 3, 2, 1, 0}};
    faces.push_back({7, 8, 9, 10});
    faces.push_back({7, 10, 11, 12, 13});
    faces.push_back({0, 1, 8});
    faces.push_back({0, 8, 7});
    for (uint64_t k = 1; k < 7; ++k) faces.push_back({k, (k + 1) % 7, 7 + (k + 1) % 7, 7 + k});
    return polygons_from_arrays(xyz, faces);
}

inline geom mixed_disc()
{
    std::vector<float> xyz = {0, 0, 0.5f};
    for (int k = 0; k < 20; ++k)
        xyz.insert(xyz.end(), {float(std::cos(k * 0.31415927)), float(std::sin(k * 0.31415927)),
                               0.05f * float(k % 4)});
    // fans round the centre whose rims take 1 to 6 ring edges
    std::vector<std::vector<uint64_t>> faces;
    uint64_t k = 0;
    for (uint64_t span : {1, 5, 3, 6, 5}) {
        std::vector<uint64_t> face = {0};
        for (uint64_t j = 0; j <= span; ++j) face.push_back(1 + (k + j) % 20);
        faces.push_back(face);
        k += span;
    }
    return polygons_from_arrays(xyz, faces);
}

// A quad mesh from a triangle mesh: every triangle becomes three quads round
// its centre, so the old vertices keep their valence, edge midpoints get
// valence 4 and centres valence 3. Edge midpoints are numbered in the order
// the faces first meet the edges.
inline geom quads_from_triangles(const geom& t)
{
    std::vector<float> xyz;
    for (uint64_t v = 0; v < t.n_vertices; ++v) xyz.insert(xyz.end(), {t.x[v], t.y[v], t.z[v]});
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> midpoint;
    auto edge_vertex = [&](uint64_t a, uint64_t b) {
        auto key = std::make_pair(std::min(a, b), std::max(a, b));
        auto found = midpoint.find(key);
        if (found != midpoint.end()) return found->second;
        const uint64_t index = xyz.size() / 3;
        xyz.insert(xyz.end(), {(t.x[a] + t.x[b]) * 0.5f, (t.y[a] + t.y[b]) * 0.5f,
                               (t.z[a] + t.z[b]) * 0.5f});
        midpoint[key] = index;
        return index;
    };
    std::vector<uint64_t> corners;
    for (uint64_t f = 0; f < t.n_faces; ++f) {
        const std::vector<uint64_t> c = face_corners(t, f);
        const uint64_t m[3] = {edge_vertex(c[0], c[1]), edge_vertex(c[1], c[2]),
                               edge_vertex(c[2], c[0])};
        const uint64_t centre = xyz.size() / 3;
        xyz.insert(xyz.end(), {(t.x[c[0]] + t.x[c[1]] + t.x[c[2]]) / 3.0f,
                               (t.y[c[0]] + t.y[c[1]] + t.y[c[2]]) / 3.0f,
                               (t.z[c[0]] + t.z[c[1]] + t.z[c[2]]) / 3.0f});
        for (int k = 0; k < 3; ++k)
            corners.insert(corners.end(), {c[k], m[k], centre, m[(k + 2) % 3]});
    }
    return geom_from_arrays(xyz, corners, 4);
}

// Every edge lies on exactly two faces that run through it in opposite
// directions, and there are n_edges of them.
inline void expect_closed_and_oriented(const geom& g)
{
    std::map<std::pair<uint64_t, uint64_t>, int> directed;
    for (uint64_t f = 0; f < g.n_faces; ++f) {
        const std::vector<uint64_t> q = face_corners(g, f);
        for (size_t k = 0; k < q.size(); ++k) {
            ASSERT_LT(q[k], g.n_vertices) << "face " << f;
            directed[{q[k], q[(k + 1) % q.size()]}] += 1;
        }
    }
    for (const auto& [edge, count] : directed) {
        EXPECT_EQ(count, 1) << "edge " << edge.first << "->" << edge.second;
        EXPECT_EQ(directed.count({edge.second, edge.first}), 1u)
            << "edge " << edge.first << "->" << edge.second << " has no opposite";
    }
    EXPECT_EQ(directed.size(), 2 * g.n_edges);
    mesh m = {};
    build_mesh(&m, &g);
    mesh_free(&m);
}

// 64-bit FNV-1a over the counts, the position bits and the corner arrays.
inline uint64_t geom_hash(const geom& g)
{
    uint64_t hash = 0xCBF29CE484222325ull;
    auto add = [&hash](const void* data, uint64_t n_bytes) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (uint64_t i = 0; i < n_bytes; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    };
    add(&g.n_vertices, 8);
    add(&g.n_faces, 8);
    add(&g.n_edges, 8);
    add(g.x, g.n_vertices * 4);
    add(g.y, g.n_vertices * 4);
    add(g.z, g.n_vertices * 4);
    add(g.corner0, g.n_faces * 8);
    add(g.corner1, g.n_faces * 8);
    add(g.corner2, g.n_faces * 8);
    if (geom_face_size(&g) == 4) add(g.corner3, g.n_faces * 8);
    return hash;
}

// The positions and faces of two geometries are equal bit for bit.
inline void expect_same_geom(const geom& actual, const geom& expected)
{
    ASSERT_EQ(actual.n_vertices, expected.n_vertices);
    ASSERT_EQ(actual.n_faces, expected.n_faces);
    ASSERT_EQ(actual.n_edges, expected.n_edges);
    ASSERT_EQ(actual.flags, expected.flags);
    for (uint64_t v = 0; v < expected.n_vertices; ++v) {
        ASSERT_EQ(float_bits(actual.x[v]), float_bits(expected.x[v])) << "x of vertex " << v;
        ASSERT_EQ(float_bits(actual.y[v]), float_bits(expected.y[v])) << "y of vertex " << v;
        ASSERT_EQ(float_bits(actual.z[v]), float_bits(expected.z[v])) << "z of vertex " << v;
    }
    for (uint64_t f = 0; f < expected.n_faces; ++f)
        ASSERT_EQ(face_corners(actual, f), face_corners(expected, f)) << "face " << f;
}
