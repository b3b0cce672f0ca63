// The geom record's arrays.
#include <gtest/gtest.h>

#include <cstring>

#include "geom.h"

using namespace subdiv;

TEST(Geom, AllocTriangleAndQuad)
{
    geom g;
    std::memset(&g, 0x5A, sizeof g); // whatever it held is overwritten
    geom_alloc(&g, 10, 7, 11, 3);
    EXPECT_NE(g.x, nullptr);
    EXPECT_NE(g.y, nullptr);
    EXPECT_NE(g.z, nullptr);
    EXPECT_NE(g.corner0, nullptr);
    EXPECT_NE(g.corner2, nullptr);
    EXPECT_EQ(g.corner3, nullptr);
    EXPECT_EQ(g.n_vertices, 10u);
    EXPECT_EQ(g.n_faces, 7u);
    EXPECT_EQ(g.n_edges, 11u);
    EXPECT_EQ(g.flags, 3u);
    EXPECT_EQ(geom_face_size(&g), 3);
    subdiv_geom_free(&g);
    const geom cleared = {};
    EXPECT_EQ(std::memcmp(&g, &cleared, sizeof g), 0);
    subdiv_geom_free(&g); // releasing a cleared record is harmless
    subdiv_geom_free(nullptr);

    geom_alloc(&g, 0, 0, 0, 4);
    EXPECT_NE(g.corner3, nullptr);
    EXPECT_EQ(g.flags, 4u);
    // zero counts still give a whole page to every array
    std::memset(g.x, 0, 4096);
    std::memset(g.corner3, 0, 4096);
    subdiv_geom_free(&g);
}

TEST(GeomDeath, AllocWithoutRecordIsFatal)
{
    EXPECT_EXIT(geom_alloc(nullptr, 1, 1, 1, 3), testing::ExitedWithCode(1), "no record to fill");
}
