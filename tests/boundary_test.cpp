// The boundary rules through the public entry points, on the flat sample
// grids over [0, 4.5] × [0, 3]: after three iterations the grid is still
// flat, the boundary of the quad grid still runs along the rectangle's
// sides, and sharp corners have not moved.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>

#include "subdiv/subdiv.h"

namespace {

// The vertices on edges that one face only runs through.
std::set<uint64_t> boundary_vertices(const subdiv_geom& g)
{
    const int n = int(g.flags & 0xF);
    const uint64_t* corner[4] = {g.corner0, g.corner1, g.corner2, g.corner3};
    std::map<std::pair<uint64_t, uint64_t>, int> runs;
    for (uint64_t f = 0; f < g.n_faces; ++f)
        for (int k = 0; k < n; ++k) runs[{corner[k][f], corner[(k + 1) % n][f]}] += 1;
    std::set<uint64_t> vertices;
    for (const auto& [edge, count] : runs)
        if (runs.find({edge.second, edge.first}) == runs.end()) {
            vertices.insert(edge.first);
            vertices.insert(edge.second);
        }
    return vertices;
}

} // namespace

TEST(Boundary, FlatGridsStayFlatWithStraightSidesAndSharpCorners)
{
    const std::string meshes = SUBDIV_SOURCE_DIR "/meshes/";
    const struct {
        const char* name;
        subdiv_corners corners;
        int corners_kept; // of the rectangle's four
    } cases[] = {
        {"grid-quad.obj", subdiv_corners_sharp, 4},
        {"grid-quad.obj", subdiv_corners_smooth, 0},
        {"grid-tri.obj", subdiv_corners_sharp, 2}, // two corners lie on two triangles
        {"grid-tri.obj", subdiv_corners_smooth, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.corners == subdiv_corners_sharp ? " sharp" : " smooth"));
        subdiv_options options;
        subdiv_options_init(&options);
        options.corners = c.corners;
        subdiv_geom input = {}, output = {};
        subdiv_error error;
        ASSERT_EQ(subdiv_obj_read((meshes + c.name).c_str(), &options, &input, &error), subdiv_ok);
        ASSERT_EQ(subdiv_refine(&input, 3, &options, &output, &error), subdiv_ok) << error.message;
        int corners_kept = 0;
        for (uint64_t v = 0; v < output.n_vertices; ++v) {
            EXPECT_EQ(output.z[v], 0.0f) << "vertex " << v;
            EXPECT_TRUE(output.x[v] >= 0.0f && output.x[v] <= 4.5f) << "vertex " << v;
            EXPECT_TRUE(output.y[v] >= 0.0f && output.y[v] <= 3.0f) << "vertex " << v;
            corners_kept += (output.x[v] == 0.0f || output.x[v] == 4.5f) &&
                            (output.y[v] == 0.0f || output.y[v] == 3.0f);
        }
        EXPECT_EQ(corners_kept, c.corners_kept);
        // the 4 + 3 + 4 + 3 boundary edges, each split in 2^3
        const std::set<uint64_t> boundary = boundary_vertices(output);
        EXPECT_EQ(boundary.size(), 14u * 8);
        if (c.corners_kept == 4) {
            for (uint64_t v : boundary)
                EXPECT_TRUE(output.x[v] == 0.0f || output.x[v] == 4.5f || output.y[v] == 0.0f ||
                            output.y[v] == 3.0f)
                    << "boundary vertex " << v << " at " << output.x[v] << ", " << output.y[v];
        }
        subdiv_geom_free(&input);
        subdiv_geom_free(&output);
    }
}
