// The Loop step and its iteration loop.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "mesh_fixtures.h"
#include "rules.h"

// The vertex rule's weights written out as the rule gives them; the
// exponent is read at run time so that the library's powf is called.
static void rule_weights(uint32_t valence, float* alpha, float* beta)
{
    volatile float two = 2.0f;
    const float n = float(valence);
    const float kappa = cosf((2.0f * 3.14159274f) / n);
    const float b = (0.625f - powf(0.25f * kappa + 0.375f, two)) * (1.0f / n);
    *alpha = 1.0f - n * b;
    *beta = b;
}

// One Loop step written plainly over the corner arrays, without the
// half-edge mesh or vector groups: edges numbered as the faces first meet
// them, neighbour sums in ascending edge order.
static geom reference_step(const geom& in)
{
    const uint64_t nv = in.n_vertices;
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> edge_of;
    std::vector<std::array<uint64_t, 2>> ends;
    std::vector<std::vector<uint64_t>> opposite;
    for (uint64_t f = 0; f < in.n_faces; ++f) {
        const std::vector<uint64_t> c = face_corners(in, f);
        for (int k = 0; k < 3; ++k) {
            const uint64_t a = c[k], b = c[(k + 1) % 3];
            const auto key = std::make_pair(std::min(a, b), std::max(a, b));
            if (!edge_of.count(key)) {
                edge_of[key] = ends.size();
                ends.push_back({a, b});
                opposite.emplace_back();
            }
            opposite[edge_of[key]].push_back(c[(k + 2) % 3]);
        }
    }
    const uint64_t ne = ends.size();
    geom out;
    geom_alloc(&out, nv + ne, 4 * in.n_faces, 4 * ne, 3);
    const float* pin[3] = {in.x, in.y, in.z};
    float* pout[3] = {out.x, out.y, out.z};
    for (int axis = 0; axis < 3; ++axis) {
        const float* p = pin[axis];
        std::vector<float> sum(nv, 0.0f);
        std::vector<uint32_t> valence(nv, 0);
        for (uint64_t e = 0; e < ne; ++e) {
            const uint64_t a = ends[e][0], b = ends[e][1];
            pout[axis][nv + e] = ((p[a] + p[b]) * 0.375f) +
                                 ((p[opposite[e][0]] + p[opposite[e][1]]) * 0.125f);
            sum[a] += p[b];
            sum[b] += p[a];
            valence[a] += 1;
            valence[b] += 1;
        }
        for (uint64_t v = 0; v < nv; ++v) {
            float alpha = 1.0f, beta = -0.0f;
            if (valence[v]) rule_weights(valence[v], &alpha, &beta);
            pout[axis][v] = (p[v] * alpha) + (sum[v] * beta);
        }
    }
    for (uint64_t f = 0; f < in.n_faces; ++f) {
        const std::vector<uint64_t> c = face_corners(in, f);
        uint64_t m[3];
        for (int k = 0; k < 3; ++k)
            m[k] = nv + edge_of[{std::min(c[k], c[(k + 1) % 3]), std::max(c[k], c[(k + 1) % 3])}];
        const uint64_t children[4][3] = {
            {c[0], m[0], m[2]}, {m[0], c[1], m[1]}, {m[1], c[2], m[2]}, {m[1], m[2], m[0]}};
        for (int i = 0; i < 4; ++i) {
            out.corner0[4 * f + i] = children[i][0];
            out.corner1[4 * f + i] = children[i][1];
            out.corner2[4 * f + i] = children[i][2];
        }
    }
    return out;
}

// One step through loop_step with a fresh mesh.
static geom step_once(const geom& in, mesh* mesh_out = nullptr)
{
    mesh mesh_in = {};
    build_mesh(&mesh_in, &in);
    geom out = {};
    EXPECT_TRUE(loop_step(&mesh_in, &in, &out, mesh_out, nullptr));
    mesh_free(&mesh_in);
    return out;
}

static void expect_point(const geom& g, uint64_t v, float x, float y, float z)
{
    EXPECT_EQ(float_bits(g.x[v]), float_bits(x)) << "x of " << v << ": " << g.x[v];
    EXPECT_EQ(float_bits(g.y[v]), float_bits(y)) << "y of " << v << ": " << g.y[v];
    EXPECT_EQ(float_bits(g.z[v]), float_bits(z)) << "z of " << v << ": " << g.z[v];
}

// ---------------------------------------------------------------- worked examples

TEST(LoopStep, RegularTetrahedron)
{
    geom tetra = tetrahedron();
    mesh next = {};
    geom out = step_once(tetra, &next);
    EXPECT_EQ(out.n_vertices, 10u);
    EXPECT_EQ(out.n_faces, 16u);
    EXPECT_EQ(out.n_edges, 24u);
    EXPECT_EQ(out.flags, 3u);
    EXPECT_EQ(out.corner3, nullptr);
    // valence 3: beta 0.1875, alpha 0.4375; each corner moves to a quarter
    expect_point(out, 0, 0.25f, 0.25f, 0.25f);
    expect_point(out, 1, 0.25f, -0.25f, -0.25f);
    expect_point(out, 2, -0.25f, 0.25f, -0.25f);
    expect_point(out, 3, -0.25f, -0.25f, 0.25f);
    // edges in the order the faces meet them: {0,1} {1,2} {2,0} {0,3} {3,1} {3,2}
    expect_point(out, 4, 0.5f, 0.0f, 0.0f);
    expect_point(out, 5, 0.0f, 0.0f, -0.5f);
    expect_point(out, 6, 0.0f, 0.5f, 0.0f);
    expect_point(out, 7, 0.0f, 0.0f, 0.5f);
    expect_point(out, 8, 0.0f, -0.5f, 0.0f);
    expect_point(out, 9, -0.5f, 0.0f, 0.0f);

    // children 4F..4F+3 = (c0 m0 m2) (m0 c1 m1) (m1 c2 m2) (m1 m2 m0)
    const std::vector<std::vector<uint64_t>> children = {
        {0, 4, 6}, {4, 1, 5}, {5, 2, 6}, {5, 6, 4},  // face (0 1 2), edges 0 1 2
        {0, 7, 4}, {7, 3, 8}, {8, 1, 4}, {8, 4, 7},  // face (0 3 1), edges 3 4 0
        {1, 8, 5}, {8, 3, 9}, {9, 2, 5}, {9, 5, 8},  // face (1 3 2), edges 4 5 1
        {2, 9, 6}, {9, 3, 7}, {7, 0, 6}, {7, 6, 9}}; // face (2 3 0), edges 5 3 2
    for (uint64_t f = 0; f < 16; ++f) EXPECT_EQ(face_corners(out, f), children[f]) << f;

    // the mesh built by the step is that of the output
    EXPECT_EQ(next.iedge_vertex[next.face_iedge1[3]], 6u);
    EXPECT_EQ(next.vertex_valence[0], 3u);
    EXPECT_EQ(next.vertex_valence[4], 6u);
    expect_closed_and_oriented(out);
    mesh_free(&next);
    subdiv_geom_free(&out);
    subdiv_geom_free(&tetra);
}

TEST(LoopStep, EdgePointWeighsEndsAndOppositeCorners)
{
    // edge 0 runs from (0,0,0) to (1,0,0); its triangles end in (0,1,0) and (0,-1,0)
    geom g = geom_from_arrays({0, 0, 0, 1, 0, 0, 0, 1, 0, 0, -1, 0},
                              {0, 1, 2, 0, 3, 1, 1, 3, 2, 2, 3, 0}, 3);
    geom out = step_once(g);
    expect_point(out, 4, 0.375f, 0.0f, 0.0f);
    subdiv_geom_free(&out);
    subdiv_geom_free(&g);
}

TEST(LoopWeights, ValencesOfTheRule)
{
    float alpha, beta;
    loop_vertex_weights(3, &alpha, &beta);
    EXPECT_EQ(beta, 0.1875f);
    EXPECT_EQ(alpha, 0.4375f);
    loop_vertex_weights(4, &alpha, &beta);
    EXPECT_EQ(beta, 0.12109375f);
    EXPECT_EQ(alpha, 0.515625f);
    loop_vertex_weights(6, &alpha, &beta);
    EXPECT_EQ(beta, 0.0625f);
    EXPECT_EQ(alpha, 0.625f);
    // single-precision cosf and powf give these bits; printed to seven
    // digits they read 0.08409323, 0.5795339, 0.04006781 and 0.6794575
    loop_vertex_weights(5, &alpha, &beta);
    EXPECT_EQ(float_bits(beta), 0x3DAC3912u);
    EXPECT_EQ(float_bits(alpha), 0x3F145C55u);
    loop_vertex_weights(8, &alpha, &beta);
    EXPECT_EQ(float_bits(beta), 0x3D241E24u);
    EXPECT_EQ(float_bits(alpha), 0x3F2DF0EEu);

    for (uint32_t n = 1; n <= 1000; ++n) {
        float rule_alpha, rule_beta;
        rule_weights(n, &rule_alpha, &rule_beta);
        loop_vertex_weights(n, &alpha, &beta);
        ASSERT_EQ(float_bits(alpha), float_bits(rule_alpha)) << n;
        ASSERT_EQ(float_bits(beta), float_bits(rule_beta)) << n;
    }
    loop_vertex_weights(0, &alpha, &beta);
    EXPECT_EQ(float_bits(alpha), float_bits(1.0f));
    EXPECT_EQ(float_bits(beta), float_bits(-0.0f));
}

// The apex of a bipyramid with valence n sits at (1, 0, 0) and its ring at
// the origin but for one neighbour at (0, 1, 0): its new x is alpha and its
// new y is beta. Valence 300 does not fit an 8-bit counter.
TEST(LoopStep, ApexTakesTheWeightsOfItsValence)
{
    for (uint64_t n : {3u, 4u, 5u, 6u, 8u, 13u, 255u, 256u, 300u}) {
        geom g = bipyramid(n);
        for (uint64_t v = 0; v < n + 2; ++v) g.x[v] = g.y[v] = g.z[v] = 0.0f;
        g.x[n] = 1.0f;
        g.y[0] = 1.0f;
        geom out = step_once(g);
        float alpha, beta;
        rule_weights(uint32_t(n), &alpha, &beta);
        EXPECT_EQ(float_bits(out.x[n]), float_bits(alpha)) << "valence " << n;
        EXPECT_EQ(float_bits(out.y[n]), float_bits(beta)) << "valence " << n;
        EXPECT_EQ(float_bits(out.z[n]), 0u) << "valence " << n;
        subdiv_geom_free(&out);
        subdiv_geom_free(&g);
    }
}

TEST(LoopStep, VertexOnNoFaceKeepsItsPosition)
{
    // vertex 4 is on no face
    geom g = geom_from_arrays({1, 1, 1, 1, -1, -1, -1, 1, -1, -1, -1, 1, -0.0f, 3.5f, -7.25f},
                              {0, 1, 2, 0, 3, 1, 1, 3, 2, 2, 3, 0}, 3);
    geom out = step_once(g);
    ASSERT_EQ(out.n_vertices, 11u);
    expect_point(out, 4, -0.0f, 3.5f, -7.25f);
    expect_point(out, 0, 0.25f, 0.25f, 0.25f);
    expect_point(out, 5, 0.5f, 0.0f, 0.0f);
    subdiv_geom_free(&out);
    subdiv_geom_free(&g);
}

// ---------------------------------------------------------------- against the plain rendering

// Every output bit of the step equals the plain rendering, over meshes whose
// vertex, edge and face counts leave every remainder of 8 and 4 in the last
// group, for one step and again on the step's own output.
TEST(LoopStep, MatchesThePlainRenderingOnIrregularMeshes)
{
    std::vector<geom> meshes = {tetrahedron(), octahedron(), icosahedron()};
    for (uint64_t n = 3; n <= 12; ++n) meshes.push_back(bipyramid(n));
    for (uint64_t m = 3; m <= 6; ++m) meshes.push_back(twisted_torus(m, m + 1, m - 2, 3));
    for (geom& g : meshes) {
        geom once = step_once(g);
        geom expected = reference_step(g);
        expect_same_geom(once, expected);
        geom twice = step_once(once);
        geom expected_twice = reference_step(once);
        expect_same_geom(twice, expected_twice);
        subdiv_geom_free(&expected_twice);
        subdiv_geom_free(&twice);
        subdiv_geom_free(&expected);
        subdiv_geom_free(&once);
        subdiv_geom_free(&g);
    }

    // two triangles back to back: valence 2, and both opposite corners of an
    // edge are the same vertex (one step only: the step's output has edges
    // on four triangles)
    geom pair = geom_from_arrays({0, 0, 0, 1, 0, 0, 0, 1, 0.5f}, {0, 1, 2, 2, 1, 0}, 3);
    geom once = step_once(pair);
    geom expected = reference_step(pair);
    expect_same_geom(once, expected);
    subdiv_geom_free(&expected);
    subdiv_geom_free(&once);
    subdiv_geom_free(&pair);
}

// ---------------------------------------------------------------- the iteration loop

TEST(LoopIterate, OctahedronTwoIterations)
{
    geom octa = octahedron();
    geom out = {};
    std::string lines;
    subdiv_options options = progress_options(&lines);
    EXPECT_EQ(loop_iterate(&octa, &out, 2, &options, nullptr), subdiv_ok);
    EXPECT_EQ(lines,
              "Finished iteration vertices 6 -> 18\n"
              "Finished iteration vertices 18 -> 66\n");
    EXPECT_EQ(out.n_vertices, 66u);
    EXPECT_EQ(out.n_faces, 128u);
    EXPECT_EQ(out.n_edges, 192u);
    expect_closed_and_oriented(out);
    // V - E + F of a sphere
    EXPECT_EQ(out.n_vertices + out.n_faces - out.n_edges, 2u);
    subdiv_geom_free(&out);
    subdiv_geom_free(&octa);
}

TEST(LoopIterate, EqualsRepeatedStepsAndLeavesTheInputAlone)
{
    geom torus = twisted_torus(5, 7, 3, 3);
    const geom record = torus;
    const uint64_t position_bytes = torus.n_vertices * 4, corner_bytes = torus.n_faces * 8;
    const std::vector<unsigned char> x_before((unsigned char*)torus.x,
                                              (unsigned char*)torus.x + position_bytes);
    const std::vector<unsigned char> c2_before((unsigned char*)torus.corner2,
                                               (unsigned char*)torus.corner2 + corner_bytes);
    geom out = {};
    std::string lines;
    subdiv_options options = progress_options(&lines);
    ASSERT_EQ(loop_iterate(&torus, &out, 3, &options, nullptr), subdiv_ok);
    EXPECT_EQ(lines,
              "Finished iteration vertices 35 -> 140\n"
              "Finished iteration vertices 140 -> 560\n"
              "Finished iteration vertices 560 -> 2240\n");
    EXPECT_EQ(std::memcmp(&torus, &record, sizeof record), 0);
    EXPECT_EQ(std::memcmp(torus.x, x_before.data(), position_bytes), 0);
    EXPECT_EQ(std::memcmp(torus.corner2, c2_before.data(), corner_bytes), 0);
    EXPECT_NE(out.x, torus.x);

    geom one = step_once(torus), two = step_once(one), three = step_once(two);
    expect_same_geom(out, three);
    expect_closed_and_oriented(out);
    EXPECT_EQ(out.n_vertices + out.n_faces, out.n_edges); // a torus: V - E + F = 0
    for (geom* g : {&one, &two, &three, &out, &torus}) subdiv_geom_free(g);
}

TEST(LoopIterate, OneIterationReturnsNewArrays)
{
    geom tetra = tetrahedron();
    geom out = {};
    std::string lines;
    subdiv_options options = progress_options(&lines);
    EXPECT_EQ(loop_iterate(&tetra, &out, 1, &options, nullptr), subdiv_ok);
    EXPECT_EQ(lines, "Finished iteration vertices 4 -> 10\n");
    EXPECT_NE(out.x, tetra.x);
    EXPECT_NE(out.corner0, tetra.corner0);
    EXPECT_EQ(out.n_vertices, 10u);
    expect_point(out, 0, 0.25f, 0.25f, 0.25f);
    EXPECT_EQ(tetra.x[0], 1.0f);
    subdiv_geom_free(&out);
    subdiv_geom_free(&tetra);
}

TEST(LoopIterate, RefusesWithoutTouchingTheOutput)
{
    geom tetra = tetrahedron();
    geom quads = cube();
    geom out;
    std::memset(&out, 0x5A, sizeof out);
    const geom before = out;
    std::string lines;
    subdiv_options options = progress_options(&lines);
    for (int32_t count : {0, -1, INT32_MIN})
        EXPECT_EQ(loop_iterate(&tetra, &out, count, &options, nullptr), subdiv_error_usage);
    subdiv_error error;
    EXPECT_EQ(loop_iterate(&quads, &out, 2, &options, &error), subdiv_error_usage);
    EXPECT_NE(std::string(error.message).find("cannot refine"), std::string::npos);
    EXPECT_EQ(lines, "");
    EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0);
    subdiv_geom_free(&quads);
    subdiv_geom_free(&tetra);
}

TEST(LoopStep, RefusesQuadsTouchingNothing)
{
    geom quads = cube();
    mesh mesh_in = {};
    build_mesh(&mesh_in, &quads);
    geom out;
    mesh mesh_out;
    std::memset(&out, 0x5A, sizeof out);
    std::memset(&mesh_out, 0x5A, sizeof mesh_out);
    const geom out_before = out;
    const mesh mesh_before = mesh_out;
    EXPECT_FALSE(loop_step(&mesh_in, &quads, &out, &mesh_out, nullptr));
    EXPECT_EQ(std::memcmp(&out, &out_before, sizeof out), 0);
    EXPECT_EQ(std::memcmp(&mesh_out, &mesh_before, sizeof mesh_out), 0);
    mesh_free(&mesh_in);
    subdiv_geom_free(&quads);
}

// ---------------------------------------------------------------- golden results

// Hashes of three iterations, pinned from the AVX2 build: the scalar build
// must give the same bits.
TEST(LoopIterate, GoldenResultsOfThreeIterations)
{
    struct golden {
        const char* name;
        geom g;
        uint64_t hash;
    };
    golden cases[] = {
        {"twisted torus", twisted_torus(6, 5, 2, 3), 6439871141127302325ull},
        {"icosahedron", icosahedron(), 4100450405670331647ull},
        {"bipyramid of valence 5 and 4", bipyramid(5), 7863042573307195080ull},
        {"bipyramid of valence 6 and 4", bipyramid(6), 3830438828593831428ull},
    };
    for (golden& c : cases) {
        geom out = {};
        ASSERT_EQ(loop_iterate(&c.g, &out, 3, nullptr, nullptr), subdiv_ok);
        EXPECT_EQ(geom_hash(out), c.hash) << c.name;
        subdiv_geom_free(&out);
        subdiv_geom_free(&c.g);
    }
}
