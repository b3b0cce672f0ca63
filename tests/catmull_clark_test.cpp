// The Catmull-Clark step and its iteration loop.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "mesh_fixtures.h"
#include "rules.h"

// One Catmull-Clark step written plainly over the corner arrays, without
// the half-edge mesh or vector groups: edges numbered as the faces first meet
// them, each vertex's sum over its faces in ascending order, then its edges
// in ascending order.
static geom reference_step(const geom& in)
{
    const uint64_t V = in.n_vertices, F = in.n_faces;
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> edge_of;
    std::vector<std::array<uint64_t, 2>> ends;
    std::vector<std::vector<uint64_t>> faces_of_edge;
    for (uint64_t f = 0; f < F; ++f) {
        const std::vector<uint64_t> q = face_corners(in, f);
        for (int c = 0; c < 4; ++c) {
            const uint64_t a = q[c], b = q[(c + 1) % 4];
            const auto key = std::make_pair(std::min(a, b), std::max(a, b));
            if (!edge_of.count(key)) {
                edge_of[key] = ends.size();
                ends.push_back({a, b});
                faces_of_edge.emplace_back();
            }
            faces_of_edge[edge_of[key]].push_back(f);
        }
    }
    const uint64_t E = ends.size();
    geom out;
    geom_alloc(&out, V + F + E, 4 * F, 4 * F + 2 * E, 4);
    const float* pin[3] = {in.x, in.y, in.z};
    float* pout[3] = {out.x, out.y, out.z};
    for (int axis = 0; axis < 3; ++axis) {
        const float* p = pin[axis];
        float* face_point = pout[axis] + V;
        float* edge_point = pout[axis] + V + F;
        std::vector<float> sum(V, 0.0f);
        std::vector<uint64_t> valence(V, 0);
        for (uint64_t f = 0; f < F; ++f) {
            const std::vector<uint64_t> q = face_corners(in, f);
            face_point[f] = (((p[q[0]] + p[q[1]]) + p[q[2]]) + p[q[3]]) * 0.25f;
            for (uint64_t v : q) sum[v] += face_point[f];
        }
        for (uint64_t e = 0; e < E; ++e) {
            const uint64_t a = ends[e][0], b = ends[e][1];
            edge_point[e] = ((face_point[faces_of_edge[e][0]] + face_point[faces_of_edge[e][1]]) +
                             (p[a] + p[b])) * 0.25f;
            sum[a] += edge_point[e];
            sum[b] += edge_point[e];
            valence[a] += 1;
            valence[b] += 1;
        }
        for (uint64_t v = 0; v < V; ++v) {
            float weight_old = 1.0f, weight_partial = -0.0f;
            if (valence[v]) {
                const float k = float(valence[v]);
                weight_old = (k - 2.0f) / k;
                weight_partial = 1.0f / (k * k);
            }
            pout[axis][v] = (weight_old * p[v]) + (weight_partial * sum[v]);
        }
    }
    uint64_t* corner[4] = {out.corner0, out.corner1, out.corner2, out.corner3};
    for (uint64_t f = 0; f < F; ++f) {
        const std::vector<uint64_t> q = face_corners(in, f);
        uint64_t e[4];
        for (int c = 0; c < 4; ++c)
            e[c] = V + F + edge_of[{std::min(q[c], q[(c + 1) % 4]), std::max(q[c], q[(c + 1) % 4])}];
        for (int c = 0; c < 4; ++c) {
            const uint64_t child[4] = {q[c], e[c], V + f, e[(c + 3) % 4]};
            for (int k = 0; k < 4; ++k) corner[k][4 * f + c] = child[k];
        }
    }
    return out;
}

// One step through catmull_clark_step with a fresh mesh.
static geom step_once(const geom& in, mesh* mesh_out = nullptr)
{
    mesh mesh_in = {};
    build_mesh(&mesh_in, &in);
    geom out = {};
    EXPECT_EQ(catmull_clark_step(&mesh_in, &in, &out, mesh_out, nullptr), 1);
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

TEST(CatmullClarkStep, Cube)
{
    geom box = cube();
    mesh next = {};
    geom out = step_once(box, &next);
    EXPECT_EQ(out.n_vertices, 26u);
    EXPECT_EQ(out.n_faces, 24u);
    EXPECT_EQ(out.n_edges, 48u);
    EXPECT_EQ(out.flags, 4u);
    // face points 8..13 are the face centres, right after the old vertices
    expect_point(out, 8, 0.0f, 0.0f, -1.0f);
    expect_point(out, 11, 1.0f, 0.0f, 0.0f);
    expect_point(out, 13, -1.0f, 0.0f, 0.0f);
    // edge 10 runs from (1, 1, -1) to (1, 1, 1)
    expect_point(out, 14 + 10, 0.75f, 0.75f, 0.0f);
    // a corner of valence 3 moves to 11/18: its sum takes the new edge
    // points, not the old neighbours (which would give 5/9)
    expect_point(out, 6, 0.61111116f, 0.61111116f, 0.61111116f);
    expect_point(out, 0, -0.61111116f, -0.61111116f, -0.61111116f);

    // child 4f+c = (corner c, edge point c–c+1, face point, edge point c−1–c)
    const std::vector<std::vector<uint64_t>> children = {
        {0, 14, 8, 17}, {3, 15, 8, 14}, {2, 16, 8, 15}, {1, 17, 8, 16},    // (0 3 2 1), edges 0 1 2 3
        {4, 18, 9, 21}, {5, 19, 9, 18}, {6, 20, 9, 19}, {7, 21, 9, 20},    // (4 5 6 7), edges 4 5 6 7
        {0, 17, 10, 23}, {1, 22, 10, 17}, {5, 18, 10, 22}, {4, 23, 10, 18}}; // (0 1 5 4), edges 3 8 4 9
    for (uint64_t f = 0; f < children.size(); ++f) EXPECT_EQ(face_corners(out, f), children[f]) << f;

    EXPECT_EQ(next.vertex_valence[6], 3u);
    EXPECT_EQ(next.vertex_valence[11], 4u);
    EXPECT_EQ(next.vertex_valence[24], 4u);
    expect_closed_and_oriented(out);
    mesh_free(&next);
    subdiv_geom_free(&out);
    subdiv_geom_free(&box);
}

TEST(CatmullClarkWeights, ValencesThreeAndFourAndTheSameRuleBeyond)
{
    float weight_old, weight_partial;
    catmull_clark_vertex_weights(3, &weight_old, &weight_partial);
    EXPECT_EQ(float_bits(weight_old), 0x3EAAAAABu); // 1/3
    EXPECT_EQ(float_bits(weight_partial), 0x3DE38E39u); // 1/9
    catmull_clark_vertex_weights(4, &weight_old, &weight_partial);
    EXPECT_EQ(float_bits(weight_old), 0x3F000000u); // 1/2
    EXPECT_EQ(float_bits(weight_partial), 0x3D800000u); // 1/16
    catmull_clark_vertex_weights(2, &weight_old, &weight_partial);
    EXPECT_EQ(float_bits(weight_old), 0u);
    EXPECT_EQ(weight_partial, 0.25f);
    catmull_clark_vertex_weights(5, &weight_old, &weight_partial);
    EXPECT_EQ(weight_old, 3.0f / 5.0f);
    EXPECT_EQ(weight_partial, 1.0f / 25.0f);
    catmull_clark_vertex_weights(6, &weight_old, &weight_partial);
    EXPECT_EQ(weight_old, 4.0f / 6.0f);
    EXPECT_EQ(weight_partial, 1.0f / 36.0f);
    // the top bit of a stored valence is cleared before the weights are taken
    catmull_clark_vertex_weights(0, &weight_old, &weight_partial);
    EXPECT_EQ(float_bits(weight_old), float_bits(1.0f));
    EXPECT_EQ(float_bits(weight_partial), float_bits(-0.0f));
}

TEST(CatmullClarkStep, VertexOnNoFaceKeepsItsPosition)
{
    // the cube with a ninth vertex on no face
    geom box = cube();
    std::vector<float> xyz;
    for (uint64_t v = 0; v < 8; ++v) xyz.insert(xyz.end(), {box.x[v], box.y[v], box.z[v]});
    xyz.insert(xyz.end(), {-0.0f, 2.5f, -1e-3f});
    std::vector<uint64_t> corners;
    for (uint64_t f = 0; f < 6; ++f) {
        const std::vector<uint64_t> q = face_corners(box, f);
        corners.insert(corners.end(), q.begin(), q.end());
    }
    geom g = geom_from_arrays(xyz, corners, 4);
    geom out = step_once(g);
    ASSERT_EQ(out.n_vertices, 27u);
    expect_point(out, 8, -0.0f, 2.5f, -1e-3f);
    expect_point(out, 6, 0.61111116f, 0.61111116f, 0.61111116f);
    expect_point(out, 9 + 3, 1.0f, 0.0f, 0.0f);
    subdiv_geom_free(&out);
    subdiv_geom_free(&g);
    subdiv_geom_free(&box);
}

// ---------------------------------------------------------------- against the plain rendering

// Every output bit of the step equals the plain rendering, over meshes with
// vertices of valence 2 to 6 and counts that leave every remainder of 8 in
// the last group, for one step and again on the step's own output.
TEST(CatmullClarkStep, MatchesThePlainRenderingOnIrregularMeshes)
{
    std::vector<geom> meshes = {cube(), pillow()};
    geom triangles[] = {tetrahedron(), octahedron(), icosahedron(), bipyramid(5), bipyramid(6)};
    for (geom& t : triangles) {
        meshes.push_back(quads_from_triangles(t));
        subdiv_geom_free(&t);
    }
    for (uint64_t m = 3; m <= 6; ++m) meshes.push_back(twisted_torus(m, 3 + m % 3, m - 1, 4));
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
}

// ---------------------------------------------------------------- the iteration loop

TEST(CatmullClarkIterate, CubeFourIterations)
{
    geom box = cube();
    geom out = {};
    std::string lines;
    subdiv_options options = progress_options(&lines);
    EXPECT_EQ(catmull_clark_iterate(&box, &out, 4, &options, nullptr), subdiv_ok);
    EXPECT_EQ(lines,
              "Finished iteration vertices 8 -> 26\n"
              "Finished iteration vertices 26 -> 98\n"
              "Finished iteration vertices 98 -> 386\n"
              "Finished iteration vertices 386 -> 1538\n");
    EXPECT_EQ(out.n_vertices, 1538u);
    EXPECT_EQ(out.n_faces, 1536u);
    EXPECT_EQ(out.n_edges, 3072u);
    expect_closed_and_oriented(out);
    mesh m = {};
    build_mesh(&m, &out);
    for (uint64_t v = 0; v < out.n_vertices; ++v) {
        const uint64_t valence = m.vertex_valence[v] & ~(uint64_t(1) << 63);
        ASSERT_TRUE(valence == 3 || valence == 4) << "vertex " << v << " valence " << valence;
    }
    mesh_free(&m);
    subdiv_geom_free(&out);
    subdiv_geom_free(&box);
}

TEST(CatmullClarkIterate, EqualsRepeatedStepsAndLeavesTheInputAlone)
{
    geom torus = twisted_torus(5, 7, 3, 4);
    const geom record = torus;
    const uint64_t position_bytes = torus.n_vertices * 4, corner_bytes = torus.n_faces * 8;
    const std::vector<unsigned char> z_before((unsigned char*)torus.z,
                                              (unsigned char*)torus.z + position_bytes);
    const std::vector<unsigned char> c3_before((unsigned char*)torus.corner3,
                                               (unsigned char*)torus.corner3 + corner_bytes);
    geom out = {};
    std::string lines;
    subdiv_options options = progress_options(&lines);
    ASSERT_EQ(catmull_clark_iterate(&torus, &out, 3, &options, nullptr), subdiv_ok);
    EXPECT_EQ(lines,
              "Finished iteration vertices 35 -> 140\n"
              "Finished iteration vertices 140 -> 560\n"
              "Finished iteration vertices 560 -> 2240\n");
    EXPECT_EQ(std::memcmp(&torus, &record, sizeof record), 0);
    EXPECT_EQ(std::memcmp(torus.z, z_before.data(), position_bytes), 0);
    EXPECT_EQ(std::memcmp(torus.corner3, c3_before.data(), corner_bytes), 0);
    EXPECT_NE(out.x, torus.x);

    geom one = step_once(torus), two = step_once(one), three = step_once(two);
    expect_same_geom(out, three);
    expect_closed_and_oriented(out);
    EXPECT_EQ(out.n_vertices + out.n_faces, out.n_edges); // a torus: V - E + F = 0
    for (geom* g : {&one, &two, &three, &out, &torus}) subdiv_geom_free(g);
}

TEST(CatmullClarkIterate, OneIterationReturnsNewArrays)
{
    geom box = cube();
    geom out = {};
    std::string lines;
    subdiv_options options = progress_options(&lines);
    EXPECT_EQ(catmull_clark_iterate(&box, &out, 1, &options, nullptr), subdiv_ok);
    EXPECT_EQ(lines, "Finished iteration vertices 8 -> 26\n");
    EXPECT_NE(out.x, box.x);
    EXPECT_NE(out.corner3, box.corner3);
    EXPECT_EQ(out.n_vertices, 26u);
    expect_point(out, 6, 0.61111116f, 0.61111116f, 0.61111116f);
    EXPECT_EQ(box.x[6], 1.0f);
    subdiv_geom_free(&out);
    subdiv_geom_free(&box);
}

TEST(CatmullClarkIterate, RefusesWithoutTouchingTheOutput)
{
    geom box = cube();
    geom triangles = tetrahedron();
    geom out;
    std::memset(&out, 0x5A, sizeof out);
    const geom before = out;
    std::string lines;
    subdiv_options options = progress_options(&lines);
    for (int32_t count : {0, -1, INT32_MIN})
        EXPECT_EQ(catmull_clark_iterate(&box, &out, count, &options, nullptr), subdiv_error_usage);
    subdiv_error error;
    EXPECT_EQ(catmull_clark_iterate(&triangles, &out, 2, &options, &error), subdiv_error_usage);
    EXPECT_NE(std::string(error.message).find("cannot refine"), std::string::npos);
    EXPECT_EQ(lines, "");
    EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0);
    subdiv_geom_free(&triangles);
    subdiv_geom_free(&box);
}

TEST(CatmullClarkStep, RefusesTrianglesTouchingNothing)
{
    geom triangles = tetrahedron();
    mesh mesh_in = {};
    build_mesh(&mesh_in, &triangles);
    geom out;
    mesh mesh_out;
    std::memset(&out, 0x5A, sizeof out);
    std::memset(&mesh_out, 0x5A, sizeof mesh_out);
    const geom out_before = out;
    const mesh mesh_before = mesh_out;
    EXPECT_EQ(catmull_clark_step(&mesh_in, &triangles, &out, &mesh_out, nullptr), 0);
    EXPECT_EQ(std::memcmp(&out, &out_before, sizeof out), 0);
    EXPECT_EQ(std::memcmp(&mesh_out, &mesh_before, sizeof mesh_out), 0);
    mesh_free(&mesh_in);
    subdiv_geom_free(&triangles);
}

// ---------------------------------------------------------------- golden results

// Hashes of three iterations, pinned from the AVX2 build: the scalar build
// must give the same bits.
TEST(CatmullClarkIterate, GoldenResultsOfThreeIterations)
{
    struct golden {
        const char* name;
        geom g;
        uint64_t hash;
    };
    geom ico = icosahedron(), six = bipyramid(6);
    golden cases[] = {
        {"twisted torus", twisted_torus(6, 5, 2, 4), 11790732552015094500ull},
        {"quads round the icosahedron (valence 3, 4, 5)", quads_from_triangles(ico), 11051146034128097175ull},
        {"quads round a bipyramid (valence 3, 4, 6)", quads_from_triangles(six), 3734414235360110452ull},
        {"pillow (valence 2)", pillow(), 6927620672829099186ull},
    };
    subdiv_geom_free(&six);
    subdiv_geom_free(&ico);
    for (golden& c : cases) {
        geom out = {};
        ASSERT_EQ(catmull_clark_iterate(&c.g, &out, 3, nullptr, nullptr), subdiv_ok);
        EXPECT_EQ(geom_hash(out), c.hash) << c.name;
        subdiv_geom_free(&out);
        subdiv_geom_free(&c.g);
    }
}

// Faces of 3 to 8 corners: one step gives V + F + E vertices and a quad per
// corner, face f's quads numbered from its first corner on, around the face
// point at V + f, which is the centroid of its corners summed in order and
// divided by their number.
TEST(CatmullClarkStep, FacesOfAnySizesGiveAQuadPerCornerAroundTheirCentroids)
{
    for (geom g : {mixed_prism(), mixed_disc()}) {
        mesh m = {};
        geom edges_counted = g; // shares the arrays; mesh_build sets the edge count
        build_mesh(&m, &edges_counted);
        geom out = {};
        ASSERT_EQ(catmull_clark_step(&m, &edges_counted, &out, nullptr, nullptr), 1);
        const uint64_t V = g.n_vertices, F = g.n_faces, E = edges_counted.n_edges;
        EXPECT_EQ(geom_face_size(&out), 4);
        EXPECT_EQ(out.n_vertices, V + F + E);
        EXPECT_EQ(out.n_faces, g.face_start[F]);
        for (uint64_t f = 0; f < F; ++f) {
            const std::vector<uint64_t> q = face_corners(g, f);
            const float* axis_in[3] = {g.x, g.y, g.z};
            const float* axis_out[3] = {out.x, out.y, out.z};
            for (int axis = 0; axis < 3; ++axis) {
                float sum = axis_in[axis][q[0]];
                for (size_t c = 1; c < q.size(); ++c) sum = sum + axis_in[axis][q[c]];
                EXPECT_EQ(float_bits(axis_out[axis][V + f]), float_bits(sum / float(q.size())))
                    << "face " << f << " axis " << axis;
            }
            for (uint64_t c = 0; c < q.size(); ++c) {
                const uint64_t child = g.face_start[f] + c;
                EXPECT_EQ(out.corner0[child], q[c]);
                EXPECT_EQ(out.corner2[child], V + f);
                EXPECT_EQ(out.corner3[child], out.corner1[g.face_start[f] + (c + q.size() - 1) % q.size()]);
            }
        }
        mesh_free(&m);
        subdiv_geom_free(&out);
        subdiv_geom_free(&g);
    }
}
