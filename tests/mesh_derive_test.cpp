// The connectivity that a step derives for its output against mesh_build of
// the same output, entry for entry, on every iteration of several meshes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "mesh_derive.h"
#include "mesh_fixtures.h"

using namespace subdiv;

namespace {

// The faces of g in a random order, each turned to start at a random corner:
// the same surface, scanned in another order.
geom shuffled(const geom& g, unsigned seed)
{
    const int n = geom_face_size(&g);
    std::mt19937 random(seed);
    std::vector<uint64_t> order(g.n_faces);
    for (uint64_t f = 0; f < g.n_faces; ++f) order[f] = f;
    std::shuffle(order.begin(), order.end(), random);
    std::vector<float> xyz;
    for (uint64_t v = 0; v < g.n_vertices; ++v) xyz.insert(xyz.end(), {g.x[v], g.y[v], g.z[v]});
    std::vector<uint64_t> corners;
    for (uint64_t f : order) {
        const std::vector<uint64_t> q = face_corners(g, f);
        const unsigned turn = random() % unsigned(n);
        for (int k = 0; k < n; ++k) corners.push_back(q[(unsigned(k) + turn) % unsigned(n)]);
    }
    return geom_from_arrays(xyz, corners, n);
}

// Data entries and padding tails of one index array.
void expect_same_array(const uint64_t* actual, const uint64_t* expected, uint64_t n,
                       bool with_tail, const char* name)
{
    const uint64_t end = with_tail ? padded_size(n * 8) / 8 : n;
    for (uint64_t i = 0; i < end; ++i)
        ASSERT_EQ(actual[i], expected[i]) << name << " entry " << i << " of " << n;
}

// Everything mesh_build defines: data and tails of the face and half-edge
// arrays (face_iedge3 for quads only, which is all it writes) and valences.
void expect_same_mesh(const mesh& actual, const mesh& expected, const geom& g)
{
    const uint64_t F = g.n_faces, H = 2 * g.n_edges;
    struct array {
        const char* name;
        const uint64_t* actual;
        const uint64_t* expected;
        uint64_t n;
        bool with_tail;
    };
    const array arrays[] = {
        {"face_iedge0", actual.face_iedge0, expected.face_iedge0, F, true},
        {"face_iedge1", actual.face_iedge1, expected.face_iedge1, F, true},
        {"face_iedge2", actual.face_iedge2, expected.face_iedge2, F, true},
        {"face_iedge3", actual.face_iedge3, expected.face_iedge3,
         geom_face_size(&g) == 4 ? F : 0, false},
        {"iedge_vertex", actual.iedge_vertex, expected.iedge_vertex, H, true},
        {"iedge_face", actual.iedge_face, expected.iedge_face, H, true},
        {"iedge_next", actual.iedge_next, expected.iedge_next, H, true},
        {"vertex_valence", actual.vertex_valence, expected.vertex_valence, g.n_vertices, false},
        {"boundary_edges", actual.boundary_edges, expected.boundary_edges,
         expected.n_boundary_edges, false},
    };
    ASSERT_EQ(actual.n_boundary_edges, expected.n_boundary_edges);
    for (const array& a : arrays)
        ASSERT_NO_FATAL_FAILURE(expect_same_array(a.actual, a.expected, a.n, a.with_tail, a.name));
}

// Runs `iterations` steps from g, each with the derived connectivity of the
// last, and compares every derived mesh with mesh_build of the same output.
// Takes g over.
void expect_derive_matches_build(geom g, int iterations)
{
    mesh m = {};
    build_mesh(&m, &g);
    for (int i = 1; i <= iterations; ++i) {
        SCOPED_TRACE(testing::Message() << "iteration " << i << " of " << g.n_faces << " faces");
        geom out = {};
        mesh derived = {}, built = {};
        if (geom_face_size(&g) != 3)
            catmull_clark_step(&m, &g, &out, &derived, nullptr);
        else
            loop_step(&m, &g, &out, &derived, nullptr);
        build_mesh(&built, &out);
        expect_same_mesh(derived, built, out);
        mesh_free(&built);
        mesh_free(&m);
        subdiv_geom_free(&g);
        g = out;
        m = derived;
        if (testing::Test::HasFatalFailure()) break;
    }
    mesh_free(&m);
    subdiv_geom_free(&g);
}

} // namespace

// Triangle meshes with vertices of valence 3 to 12 and face counts that
// leave every remainder of 8 in the last group, also scanned in shuffled
// order so that the half-edge parities of the input are mixed.
TEST(MeshDerive, LoopMatchesMeshBuildOnEveryIteration)
{
    std::vector<geom> meshes = {tetrahedron(), octahedron(), icosahedron()};
    for (uint64_t n = 3; n <= 12; ++n) meshes.push_back(bipyramid(n));
    for (uint64_t m = 3; m <= 6; ++m) meshes.push_back(twisted_torus(m, m + 1, m - 2, 3));
    for (unsigned seed = 1; seed <= 3; ++seed) {
        geom ico = icosahedron(), torus = twisted_torus(5, 7, 2, 3);
        meshes.push_back(shuffled(ico, seed));
        meshes.push_back(shuffled(torus, seed));
        subdiv_geom_free(&ico);
        subdiv_geom_free(&torus);
    }
    for (geom& g : meshes) expect_derive_matches_build(g, 3);
}

// Quad meshes with vertices of valence 2 to 6, and the same shuffled.
TEST(MeshDerive, CatmullClarkMatchesMeshBuildOnEveryIteration)
{
    std::vector<geom> meshes = {cube(), pillow()};
    geom triangles[] = {tetrahedron(), octahedron(), icosahedron(), bipyramid(5), bipyramid(6)};
    for (geom& t : triangles) {
        meshes.push_back(quads_from_triangles(t));
        subdiv_geom_free(&t);
    }
    for (uint64_t m = 3; m <= 6; ++m) meshes.push_back(twisted_torus(m, 3 + m % 3, m - 1, 4));
    for (unsigned seed = 1; seed <= 3; ++seed) {
        geom c = cube(), torus = twisted_torus(5, 6, 3, 4);
        meshes.push_back(shuffled(c, seed));
        meshes.push_back(shuffled(torus, seed));
        subdiv_geom_free(&c);
        subdiv_geom_free(&torus);
    }
    for (geom& g : meshes) expect_derive_matches_build(g, 3);
}

// Open surfaces of both schemes: grids whose face counts leave remainders of
// 8, tubes, a box without a lid, fans touching at a vertex, and the same
// shuffled, so that boundary half-edges of either parity's faces occur.
TEST(MeshDerive, OpenSurfacesMatchMeshBuildWithTheirBoundaries)
{
    for (int face_size : {3, 4}) {
        std::vector<geom> meshes = {open_grid(1, 1, face_size, false),
                                    open_grid(3, 5, face_size, false),
                                    open_grid(4, 7, face_size, true), touching_fans(face_size)};
        if (face_size == 4) meshes.push_back(open_box());
        for (unsigned seed = 1; seed <= 2; ++seed) {
            geom grid = open_grid(5, 6, face_size, seed == 2);
            meshes.push_back(shuffled(grid, seed));
            subdiv_geom_free(&grid);
        }
        for (geom& g : meshes) expect_derive_matches_build(g, 3);
    }
}

// Faces of 3 to 7 corners, closed and open, and the same shuffled: the first
// step numbers the quads of every face from its corners.
TEST(MeshDerive, FacesOfAnySizesMatchMeshBuild)
{
    for (unsigned seed = 0; seed <= 2; ++seed)
        for (geom g : {mixed_prism(), mixed_disc()}) {
            if (seed == 0) {
                expect_derive_matches_build(g, 2);
                continue;
            }
            // the faces in another order
            std::vector<std::vector<uint64_t>> faces;
            for (uint64_t f = 0; f < g.n_faces; ++f) faces.push_back(face_corners(g, f));
            std::mt19937 random(seed);
            std::shuffle(faces.begin(), faces.end(), random);
            std::vector<float> xyz;
            for (uint64_t v = 0; v < g.n_vertices; ++v) xyz.insert(xyz.end(), {g.x[v], g.y[v], g.z[v]});
            subdiv_geom_free(&g);
            expect_derive_matches_build(polygons_from_arrays(xyz, faces), 2);
        }
}

// A torus of a few hundred faces, through four iterations: large enough
// that the map of mesh_build grows several times.
TEST(MeshDerive, LargerToriOverFourIterations)
{
    expect_derive_matches_build(twisted_torus(13, 11, 4, 4), 4);
    expect_derive_matches_build(twisted_torus(11, 9, 5, 3), 4);
}

TEST(MeshDeriveDeath, RefusesAnOutputThatIsNotOneStepOfTheInput)
{
    geom g = cube();
    mesh m = {};
    build_mesh(&m, &g);
    geom out = {};
    catmull_clark_step(&m, &g, &out, nullptr, nullptr);
    mesh derived = {};
    EXPECT_EXIT(loop_mesh_derive(&m, &g, &out, &derived), testing::ExitedWithCode(1),
                "loop_mesh_derive: the output counts are not those of one step");
    EXPECT_EXIT(catmull_clark_mesh_derive(&m, &out, &g, &derived), testing::ExitedWithCode(1),
                "catmull_clark_mesh_derive: the output counts are not those of one step");
    subdiv_geom_free(&out);
    mesh_free(&m);
    subdiv_geom_free(&g);
}
