// Half-edge connectivity: numbering, consistency over several closed meshes,
// and the inputs that the construction refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mesh.h"
#include "mesh_twins.h"
#include "storage.h"

using namespace subdiv;

namespace {

// mesh_build of g, which must accept it.
void build_mesh(mesh* m, geom* g)
{
    subdiv_error error;
    ASSERT_EQ(mesh_build(m, g, &error), subdiv_ok) << error.message;
}

// A geom of face size n from a flat list of corners, n per face.
geom make_geom(int n, uint64_t n_vertices, const std::vector<uint64_t>& corners,
               uint64_t n_edges)
{
    geom g;
    uint64_t n_faces = corners.size() / uint64_t(n);
    geom_alloc(&g, n_vertices, n_faces, n_edges, n);
    uint64_t* corner[4] = {g.corner0, g.corner1, g.corner2, g.corner3};
    for (uint64_t f = 0; f < n_faces; ++f)
        for (int k = 0; k < n; ++k) corner[k][f] = corners[f * n + k];
    for (uint64_t v = 0; v < n_vertices; ++v) g.x[v] = g.y[v] = g.z[v] = 0.0f;
    return g;
}

// Closed as the import sees it: n_edges is half the number of corners.
geom make_closed(int n, uint64_t n_vertices, const std::vector<uint64_t>& corners)
{
    return make_geom(n, n_vertices, corners, corners.size() / 2);
}

//   3
//   |\ .
//   | 2      the tetrahedron, every face seen from outside
//   |/ \ .
//   0---1
const std::vector<uint64_t> tetrahedron = {0, 1, 2, 0, 3, 1, 1, 3, 2, 2, 3, 0};

// The cube of eight corners (bit 0: x, bit 1: y, bit 2: z), faces outward.
const std::vector<uint64_t> cube = {0, 2, 3, 1, 4, 5, 7, 6, 0, 1, 5, 4,
                                    2, 6, 7, 3, 0, 4, 6, 2, 1, 3, 7, 5};

const std::vector<uint64_t> octahedron = {0, 2, 4, 2, 1, 4, 1, 3, 4, 3, 0, 4,
                                          2, 0, 5, 1, 2, 5, 3, 1, 5, 0, 3, 5};

// A torus grid of rows x cols quadrilaterals, or of twice as many triangles.
std::vector<uint64_t> torus(uint64_t rows, uint64_t cols, bool triangles)
{
    std::vector<uint64_t> corners;
    for (uint64_t i = 0; i < rows; ++i) {
        for (uint64_t j = 0; j < cols; ++j) {
            uint64_t a = i * cols + j, b = i * cols + (j + 1) % cols;
            uint64_t c = (i + 1) % rows * cols + (j + 1) % cols, d = (i + 1) % rows * cols + j;
            if (triangles)
                corners.insert(corners.end(), {a, b, c, a, c, d});
            else
                corners.insert(corners.end(), {a, b, c, d});
        }
    }
    return corners;
}

// The faces of a list in a random order, each face also turned to start at
// a random corner: still closed and consistently oriented.
std::vector<uint64_t> shuffled(int n, const std::vector<uint64_t>& corners, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<uint64_t> order(corners.size() / uint64_t(n));
    for (uint64_t f = 0; f < order.size(); ++f) order[f] = f;
    std::shuffle(order.begin(), order.end(), random);
    std::vector<uint64_t> out;
    for (uint64_t f : order) {
        int turn = int(random() % unsigned(n));
        for (int k = 0; k < n; ++k) out.push_back(corners[f * n + (k + turn) % n]);
    }
    return out;
}

uint64_t face_iedge(const mesh* m, int k, uint64_t f)
{
    const uint64_t* arrays[4] = {m->face_iedge0, m->face_iedge1, m->face_iedge2, m->face_iedge3};
    return arrays[k][f];
}

uint64_t corner_of(const geom* g, int k, uint64_t f)
{
    const uint64_t* arrays[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
    return arrays[k][f];
}

// Checks everything a built mesh promises about g, against values computed
// here from the faces alone: edge numbers by first meeting, every entry in
// range and set once, twins, next cycles, valences, padding tails.
void expect_consistent(const mesh* m, const geom* g)
{
    const int n = geom_face_size(g);
    const uint64_t V = g->n_vertices, F = g->n_faces, E = g->n_edges;

    // edges numbered in the order the scan of faces first meets them
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> edge_number;
    std::vector<int> times_used(2 * E, 0);
    for (uint64_t f = 0; f < F; ++f) {
        for (int k = 0; k < n; ++k) {
            uint64_t a = corner_of(g, k, f), b = corner_of(g, (k + 1) % n, f);
            auto [it, added] = edge_number.try_emplace({std::min(a, b), std::max(a, b)},
                                                       edge_number.size());
            (void)added;
            uint64_t h = face_iedge(m, k, f);
            ASSERT_LT(h, 2 * E) << "face " << f << " corner " << k;
            EXPECT_EQ(h >> 1, it->second) << "face " << f << " corner " << k;
            times_used[h] += 1;
            EXPECT_EQ(m->iedge_face[h], f);
            EXPECT_EQ(m->iedge_vertex[h], a);
            EXPECT_EQ(m->iedge_vertex[h ^ 1], b);
            EXPECT_EQ(m->iedge_next[h], face_iedge(m, (k + 1) % n, f));
        }
    }
    ASSERT_EQ(edge_number.size(), E);
    for (uint64_t h = 0; h < 2 * E; ++h) {
        EXPECT_EQ(times_used[h], 1) << "half-edge " << h << " belongs to one face";
        ASSERT_LT(m->iedge_vertex[h], V);
        ASSERT_LT(m->iedge_face[h], F);
        ASSERT_LT(m->iedge_next[h], 2 * E);
        EXPECT_NE(m->iedge_face[h], m->iedge_face[h ^ 1]) << "twins lie in two faces";
        // n steps of next come back, fewer do not
        uint64_t walk = h;
        for (int step = 1; step <= n; ++step) {
            walk = m->iedge_next[walk];
            EXPECT_EQ(walk == h, step == n) << "half-edge " << h << " step " << step;
            EXPECT_EQ(m->iedge_face[walk], m->iedge_face[h]);
        }
    }

    // valences: the number of distinct edges at each vertex, summing to 2E
    std::vector<uint64_t> valence(V, 0);
    for (const auto& [ends, e] : edge_number) {
        valence[ends.first] += 1;
        valence[ends.second] += 1;
    }
    uint64_t sum = 0;
    for (uint64_t v = 0; v < V; ++v) {
        EXPECT_EQ(m->vertex_valence[v], valence[v]) << "vertex " << v;
        sum += m->vertex_valence[v];
    }
    EXPECT_EQ(sum, 2 * E);

    // padding tails of the index arrays: every bit set, up to the block's end
    const uint64_t* tails[6] = {m->face_iedge0, m->face_iedge1, m->face_iedge2,
                                m->iedge_vertex, m->iedge_next, m->iedge_face};
    const uint64_t lengths[6] = {F, F, F, 2 * E, 2 * E, 2 * E};
    for (int a = 0; a < 6; ++a) {
        uint64_t end = padded_size(lengths[a] * 8) / 8;
        for (uint64_t i = lengths[a]; i < end; ++i)
            ASSERT_EQ(tails[a][i], index_pad_fill) << "array " << a << " element " << i;
    }
}

void expect_builds_consistently(int n, uint64_t n_vertices, const std::vector<uint64_t>& corners)
{
    geom g = make_closed(n, n_vertices, corners);
    mesh m;
    build_mesh(&m, &g);
    ASSERT_NO_FATAL_FAILURE(expect_consistent(&m, &g));
    mesh_free(&m);
    subdiv_geom_free(&g);
}

} // namespace

// ---------------------------------------------------------------- known meshes

TEST(Mesh, TetrahedronNumbering)
{
    geom g = make_closed(3, 4, tetrahedron);
    ASSERT_EQ(g.n_edges, 6u);
    mesh m;
    build_mesh(&m, &g);

    // edges by first meeting: 0:{0,1} 1:{1,2} 2:{2,0} 3:{0,3} 4:{3,1} 5:{3,2}
    const uint64_t ends[6][2] = {{0, 1}, {1, 2}, {2, 0}, {0, 3}, {3, 1}, {3, 2}};
    for (uint64_t e = 0; e < 6; ++e) {
        std::set<uint64_t> got = {m.iedge_vertex[2 * e], m.iedge_vertex[2 * e + 1]};
        EXPECT_EQ(got, (std::set<uint64_t>{ends[e][0], ends[e][1]})) << "edge " << e;
    }
    // the face that meets an edge first holds its even half-edge
    const uint64_t expected_face_iedges[4][3] = {{0, 2, 4}, {6, 8, 1}, {9, 10, 3}, {11, 7, 5}};
    for (uint64_t f = 0; f < 4; ++f)
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(face_iedge(&m, k, f), expected_face_iedges[f][k]) << f << " " << k;
    for (uint64_t v = 0; v < 4; ++v) EXPECT_EQ(m.vertex_valence[v], 3u);
    ASSERT_NO_FATAL_FAILURE(expect_consistent(&m, &g));
    mesh_free(&m);
    EXPECT_EQ(m.iedge_next, nullptr);
    subdiv_geom_free(&g);
}

TEST(Mesh, CubeHasTwelveEdgesOfValenceThree)
{
    geom g = make_closed(4, 8, cube);
    ASSERT_EQ(g.n_edges, 12u);
    mesh m;
    build_mesh(&m, &g);
    for (uint64_t v = 0; v < 8; ++v) EXPECT_EQ(m.vertex_valence[v], 3u);
    ASSERT_NO_FATAL_FAILURE(expect_consistent(&m, &g));
    mesh_free(&m);
    subdiv_geom_free(&g);
}

TEST(Mesh, SeveralClosedMeshesAreConsistent)
{
    ASSERT_NO_FATAL_FAILURE(expect_builds_consistently(3, 6, octahedron));
    ASSERT_NO_FATAL_FAILURE(expect_builds_consistently(4, 5 * 7, torus(5, 7, false)));
    ASSERT_NO_FATAL_FAILURE(expect_builds_consistently(3, 6 * 4, torus(6, 4, true)));
    ASSERT_NO_FATAL_FAILURE(expect_builds_consistently(3, 4, shuffled(3, tetrahedron, 1)));
    ASSERT_NO_FATAL_FAILURE(expect_builds_consistently(4, 8, shuffled(4, cube, 2)));
}

TEST(Mesh, FacesInRandomOrderGrowTheMap)
{
    // a random order leaves most edges half met for long: the map holds
    // thousands of entries and doubles several times during the build
    ASSERT_NO_FATAL_FAILURE(
        expect_builds_consistently(4, 60 * 80, shuffled(4, torus(60, 80, false), 3)));
    ASSERT_NO_FATAL_FAILURE(
        expect_builds_consistently(3, 50 * 50, shuffled(3, torus(50, 50, true), 4)));
}

// The corners paired on threads give, entry for entry, what the edge map
// gives: closed, open and polygon meshes whose faces, shuffled, come in
// several blocks, so that edges are met first in one block and closed in
// another.
TEST(Mesh, PairedOnThreadsIsTheEdgeMapsConnectivity)
{
    // a quad torus with each other quad of every third row merged with its
    // neighbour into a hexagon: faces of 4 and 6 corners
    std::vector<std::vector<uint64_t>> polygons;
    const uint64_t rows = 60, cols = 200;
    for (uint64_t i = 0; i < rows; ++i)
        for (uint64_t j = 0; j < cols; ++j) {
            auto at = [](uint64_t r, uint64_t c) { return r % rows * cols + c % cols; };
            if (i % 3 == 0 && j % 2 == 0)
                polygons.push_back({at(i, j), at(i, j + 1), at(i, j + 2), at(i + 1, j + 2),
                                    at(i + 1, j + 1), at(i + 1, j)});
            else if (i % 3 != 0)
                polygons.push_back({at(i, j), at(i, j + 1), at(i + 1, j + 1), at(i + 1, j)});
        }
    std::shuffle(polygons.begin(), polygons.end(), std::mt19937(5));
    // open: every seventh face of a shuffled torus left out
    std::vector<uint64_t> open;
    const std::vector<uint64_t> quads = shuffled(4, torus(100, 120, false), 6);
    for (uint64_t f = 0; f < quads.size() / 4; ++f)
        if (f % 7 != 3) open.insert(open.end(), quads.begin() + 4 * f, quads.begin() + 4 * f + 4);

    struct shape {
        const char* name;
        geom g;
    } shapes[] = {
        {"quads", make_closed(4, 110 * 90, shuffled(4, torus(110, 90, false), 7))},
        {"triangles", make_closed(3, 80 * 70, shuffled(3, torus(80, 70, true), 8))},
        {"open quads", make_geom(4, 100 * 120, open, open.size() / 2)},
        {"in order", make_closed(3, 90 * 100, torus(90, 100, true))},
        {"polygons", {}},
    };
    uint64_t n_corners = 0;
    for (const auto& face : polygons) n_corners += face.size();
    geom* g = &shapes[4].g;
    ASSERT_TRUE(geom_alloc_polygons(g, rows * cols, polygons.size(), n_corners));
    for (uint64_t v = 0; v < g->n_vertices; ++v) g->x[v] = g->y[v] = g->z[v] = 0.0f;
    for (uint64_t f = 0, c = 0; f < polygons.size(); ++f) {
        g->face_start[f] = c;
        for (uint64_t v : polygons[f]) g->corners[c++] = v;
        g->face_start[f + 1] = c;
    }

    for (shape& s : shapes) {
        mesh expected;
        subdiv_error error;
        ASSERT_EQ(mesh_build(&expected, &s.g, &error), subdiv_ok) << s.name;
        const uint64_t E = s.g.n_edges, F = s.g.n_faces;
        ASSERT_GT(F, 8192u) << s.name << ": faces in one block only";
        const bool corners = geom_face_size(&s.g) == 0;
        for (uint32_t threads : {1u, 2u, 3u}) {
            SCOPED_TRACE(std::string(s.name) + " on " + std::to_string(threads) + " threads");
            mesh m;
            ASSERT_EQ(mesh_build_paired(&m, &s.g, threads, &error), subdiv_ok) << error.message;
            ASSERT_EQ(s.g.n_edges, E);
            auto same = [](const uint64_t* a, const uint64_t* b, uint64_t n) {
                return (a == nullptr) == (b == nullptr) &&
                       (a == nullptr || std::equal(a, a + n, b));
            };
            EXPECT_TRUE(same(m.face_iedge0, expected.face_iedge0, F));
            EXPECT_TRUE(same(m.face_iedge1, expected.face_iedge1, F));
            EXPECT_TRUE(same(m.face_iedge2, expected.face_iedge2, F));
            EXPECT_TRUE(same(m.face_iedge3, expected.face_iedge3, F));
            EXPECT_TRUE(same(m.corner_iedge, expected.corner_iedge,
                             corners ? geom_corner_count(&s.g) : 0));
            EXPECT_TRUE(same(m.iedge_vertex, expected.iedge_vertex, 2 * E));
            EXPECT_TRUE(same(m.iedge_face, expected.iedge_face, 2 * E));
            EXPECT_TRUE(same(m.iedge_next, expected.iedge_next, 2 * E));
            EXPECT_TRUE(same(m.vertex_valence, expected.vertex_valence, s.g.n_vertices));
            ASSERT_EQ(m.n_boundary_edges, expected.n_boundary_edges);
            EXPECT_TRUE(same(m.boundary_edges, expected.boundary_edges, m.n_boundary_edges));
            if (!corners && m.n_boundary_edges == 0) {
                ASSERT_NO_FATAL_FAILURE(expect_consistent(&m, &s.g));
            }
            mesh_free(&m);
        }
        EXPECT_EQ(expected.n_boundary_edges > 0, std::string(s.name) == "open quads");
        mesh_free(&expected);
        subdiv_geom_free(&s.g);
    }
}

TEST(Mesh, AllocFillsTailsAndClearsValences)
{
    geom g = make_closed(4, 8, cube);
    mesh m;
    std::memset(&m, 0x5A, sizeof m); // whatever it held is overwritten
    mesh_alloc(&m, &g, true);
    for (uint64_t v = 0; v < 8; ++v) EXPECT_EQ(m.vertex_valence[v], 0u);
    EXPECT_EQ(m.face_iedge2[6], index_pad_fill);
    EXPECT_EQ(m.face_iedge2[511], index_pad_fill);
    EXPECT_EQ(m.iedge_face[24], index_pad_fill);
    EXPECT_EQ(m.iedge_face[511], index_pad_fill);
    EXPECT_NE(m.face_iedge3, nullptr);
    mesh_free(&m);
    subdiv_geom_free(&g);
}

TEST(Mesh, EmptyGeomBuilds)
{
    geom g = make_geom(3, 0, {}, 0);
    mesh m;
    build_mesh(&m, &g);
    EXPECT_EQ(m.iedge_vertex[0], index_pad_fill);
    mesh_free(&m);
    subdiv_geom_free(&g);
}

// ---------------------------------------------------------------- refused input

TEST(MeshDeath, BadRecords)
{
    geom g = make_closed(3, 4, tetrahedron);
    mesh m;
    EXPECT_EXIT(mesh_build(nullptr, &g, nullptr), testing::ExitedWithCode(1), "mesh_build: no record");
    EXPECT_EXIT(mesh_build(&m, nullptr, nullptr), testing::ExitedWithCode(1), "mesh_build: no record");
    EXPECT_EXIT(mesh_free(nullptr), testing::ExitedWithCode(1), "mesh_free: no record");
    g.flags = 5;
    EXPECT_EXIT(mesh_build(&m, &g, nullptr), testing::ExitedWithCode(1),
                "mesh_build: face size 5 is neither 3 nor 4");
    g.flags = 4; // corner3 was never allocated
    EXPECT_EXIT(mesh_build(&m, &g, nullptr), testing::ExitedWithCode(1),
                "quad mesh without its fourth corners");
    g.flags = 3;
    subdiv_geom_free(&g);
}

#ifdef __SANITIZE_ADDRESS__
// from the sanitizer runtime (GCC ships no header for it)
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace {

// Bytes the heap has handed out and not taken back. Only AddressSanitizer's
// allocator counts them exactly (glibc's own statistics count freed blocks in
// its caches as in use), so elsewhere this is 0 and the comparison is void.
size_t heap_in_use()
{
#ifdef __SANITIZE_ADDRESS__
    return __sanitizer_get_current_allocated_bytes();
#else
    return 0;
#endif
}

// Two tetrahedra, 0 1 2 3 and 0 1 4 5, sharing the edge from vertex 0 to 1:
// four faces on it, which pair up in opposite directions two by two.
const std::vector<uint64_t> twin_tetrahedra = {0, 1, 2, 0, 3, 1, 1, 3, 2, 2, 3, 0,
                                               1, 0, 4, 1, 5, 0, 0, 5, 4, 4, 5, 1};

// The same faces, each face of one tetrahedron on the edge followed by one
// of the other running the other way: the pairs the map makes differ.
const std::vector<uint64_t> twin_tetrahedra_interleaved = {0, 1, 2, 1, 0, 4, 0, 3, 1, 1, 5, 0,
                                                           1, 3, 2, 2, 3, 0, 0, 5, 4, 4, 5, 1};

} // namespace

// Every refusal of mesh_build: the status, the message, the face and
// vertices it names (from 1), and nothing held afterwards, the mesh cleared.
TEST(MeshBuild, RefusalsNameThePlaceAndReleaseEverything)
{
    struct refusal {
        std::vector<uint64_t> corners;
        int face_size;
        const char* message;
        uint64_t face;
        uint64_t vertices[2];
    } refusals[] = {
        {{0, 1, 8}, 3, "face 1 names vertex 9, but there are only 8 vertices", 1, {9, 0}},
        {{0, 1, 2, 0, 1, 1}, 3, "face 2 has a degenerate edge: vertex 2 to itself", 2, {2, 0}},
        {{0, 1, 0, 2}, 4, "face 1 names vertex 1 at two opposite corners", 1, {1, 0}},
        {{0, 1, 2, 0, 1, 3}, 3, "faces 1 and 2 both run from vertex 1 to vertex 2", 2, {1, 2}},
        // a triangle and its mirror image closing over it, and a third face
        // on their edge from 1 to 2, after the pair closed
        {{0, 1, 2, 0, 2, 1, 1, 0, 3, 0, 1, 4},
         3,
         "the edge between vertex 1 and vertex 2 lies on 4 faces (1, 2, 3 and 4)",
         1,
         {1, 2}},
        {twin_tetrahedra, 3, "the edge between vertex 1 and vertex 2 lies on 4 faces (1, 2, 5 and 6)",
         1, {1, 2}},
        {twin_tetrahedra_interleaved, 3,
         "the edge between vertex 1 and vertex 2 lies on 4 faces (1, 2, 3 and 4)", 1, {1, 2}},
    };
    for (const refusal& r : refusals) {
        geom g = make_closed(r.face_size, 8, r.corners);
        mesh m;
        std::memset(&m, 0xAB, sizeof m);
        subdiv_error error;
        const size_t before = heap_in_use();
        EXPECT_EQ(mesh_build(&m, &g, &error), subdiv_error_mesh) << r.message;
        EXPECT_EQ(heap_in_use(), before) << r.message;
        // built on threads, the same refusal
        subdiv_error paired;
        EXPECT_EQ(mesh_build_paired(&m, &g, 2, &paired), subdiv_error_mesh) << r.message;
        EXPECT_STREQ(paired.message, error.message);
        EXPECT_EQ(heap_in_use(), before) << r.message;
        EXPECT_NE(std::string(error.message).find(r.message), std::string::npos) << error.message;
        EXPECT_EQ(error.face, r.face) << r.message;
        EXPECT_EQ(error.vertices[0], r.vertices[0]) << r.message;
        EXPECT_EQ(error.vertices[1], r.vertices[1]) << r.message;
        const mesh cleared = {};
        EXPECT_EQ(std::memcmp(&m, &cleared, sizeof m), 0) << r.message;
        subdiv_geom_free(&g);
    }
}
