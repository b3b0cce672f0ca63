// The vector layer. The whole suite runs in the AVX2 build and in the scalar
// build; the same expectations hold in both.
#include <gtest/gtest.h>

#include <cstring>

#include "simd.h"
#include "simd_cpu.h"

using namespace subdiv;

static void lanes_of(const f32x8& v, float* out) { store8_f32(out, v); }

static uint32_t bits_of(float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return bits;
}

TEST(SimdFloat, LoadStoreAddMulAreUnalignedAndLaneWise)
{
    float data[17];
    for (int i = 0; i < 17; ++i) data[i] = 0.1f * float(i);
    // one float past a 64-byte line start: no alignment is assumed
    const f32x8 a = load8_f32(data + 1);
    const f32x8 b = load8_f32(data + 9);
    float sum[8], product[8], broadcast[8];
    lanes_of(add8_f32(a, b), sum);
    lanes_of(mul8_f32(a, b), product);
    lanes_of(set1_8_f32(-0.0f), broadcast);
    for (int l = 0; l < 8; ++l) {
        EXPECT_EQ(bits_of(sum[l]), bits_of(data[1 + l] + data[9 + l])) << l;
        EXPECT_EQ(bits_of(product[l]), bits_of(data[1 + l] * data[9 + l])) << l;
        EXPECT_EQ(bits_of(broadcast[l]), 0x80000000u) << l;
    }
    float out[10] = {};
    store8_f32(out + 1, a);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(std::memcmp(out + 1, data + 1, 32), 0);
    EXPECT_EQ(out[9], 0.0f);
}

TEST(SimdFloat, GatherReadsEachLaneAtItsIndex)
{
    const float data[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    const uint64_t reversed[8] = {7, 6, 5, 4, 3, 2, 1, 0};
    float lanes[8];
    lanes_of(gather8_f32(data, reversed), lanes);
    for (int l = 0; l < 8; ++l) EXPECT_EQ(lanes[l], float(7 - l)) << l;

    const uint64_t zeros[8] = {};
    lanes_of(gather8_f32(data, zeros), lanes);
    for (int l = 0; l < 8; ++l) EXPECT_EQ(lanes[l], 0.0f) << l;

    // indices far apart, the last one addressing the last element
    static float wide[70000];
    for (int i = 0; i < 70000; ++i) wide[i] = float(i);
    const uint64_t spread[8] = {69999, 0, 65536, 3, 40000, 65535, 1, 12345};
    lanes_of(gather8_f32(wide, spread), lanes);
    for (int l = 0; l < 8; ++l) EXPECT_EQ(lanes[l], float(spread[l])) << l;
}

TEST(SimdFloat, SumScaleAddsInIncreasingOrderThenScales)
{
    f32x8 v[4];
    for (int i = 0; i < 4; ++i) v[i] = set1_8_f32(float(i + 1));
    float lanes[8];
    lanes_of(sum_scale8_f32(v, 4, 0.25f), lanes);
    for (int l = 0; l < 8; ++l) EXPECT_EQ(lanes[l], 2.5f) << l; // mean of 1..4

    // one vector with scale 1 is the vector itself
    float data[8] = {1.5f, -2.0f, 3.25f, 0.0f, -0.0f, 1e30f, -1e-30f, 7.0f};
    const f32x8 one = load8_f32(data);
    lanes_of(sum_scale8_f32(&one, 1, 1.0f), lanes);
    for (int l = 0; l < 8; ++l) EXPECT_EQ(bits_of(lanes[l]), bits_of(data[l])) << l;

    // ((1e8 + 1) - 1e8) + 1 = 1 with each sum rounded; pairwise or reversed
    // order would give 0
    const float order[4] = {1.0e8f, 1.0f, -1.0e8f, 1.0f};
    for (int i = 0; i < 4; ++i) v[i] = set1_8_f32(order[i]);
    lanes_of(sum_scale8_f32(v, 4, 0.25f), lanes);
    for (int l = 0; l < 8; ++l) EXPECT_EQ(lanes[l], 0.25f) << l;

    // lanes stay apart
    float rows[4][8];
    for (int i = 0; i < 4; ++i)
        for (int l = 0; l < 8; ++l) rows[i][l] = float(l * 10 + i);
    for (int i = 0; i < 4; ++i) v[i] = load8_f32(rows[i]);
    lanes_of(sum_scale8_f32(v, 4, 0.25f), lanes);
    for (int l = 0; l < 8; ++l)
        EXPECT_EQ(lanes[l], (((rows[0][l] + rows[1][l]) + rows[2][l]) + rows[3][l]) * 0.25f) << l;
}

TEST(SimdFloatDeath, SumScaleWithoutVectorsIsFatal)
{
    const f32x8 v = set1_8_f32(1.0f);
    EXPECT_EXIT(sum_scale8_f32(&v, 0, 0.25f), testing::ExitedWithCode(1),
                "sum_scale8_f32: count 0, but at least one vector is needed");
    EXPECT_EXIT(sum_scale8_f32(&v, -3, 0.25f), testing::ExitedWithCode(1), "count -3");
}

TEST(SimdGroups, LaneCountIsZeroForFullGroupsElseTheValidLanes)
{
    EXPECT_EQ(lane_count8(0, 8), 0);
    EXPECT_EQ(lane_count8(8, 100), 0);
    EXPECT_EQ(lane_count8(8, 11), 3);
    EXPECT_EQ(lane_count8(0, 1), 1);
    EXPECT_EQ(lane_count8(0, 7), 7);
    EXPECT_EQ(lane_count8(96, 104), 0);
    EXPECT_EQ(lane_count8(96, 103), 7);
    EXPECT_EQ(lane_count8(uint64_t(1) << 40, (uint64_t(1) << 40) + 5), 5);
}

TEST(SimdGroups, StoreLanesChangesExactlyTheValidLanes)
{
    float values[8];
    for (int l = 0; l < 8; ++l) values[l] = float(l + 1);
    const f32x8 v = load8_f32(values);
    for (uint8_t k = 0; k < 8; ++k) {
        float out[8];
        for (float& f : out) f = -1.0f;
        store_lanes8_f32(out, v, k);
        const int changed = k ? k : 8;
        for (int l = 0; l < 8; ++l) EXPECT_EQ(out[l], l < changed ? float(l + 1) : -1.0f) << int(k);
    }
}

// The loop idiom over every length n = 8q + r: all n elements written, the
// element after them (a sentinel) never.
TEST(SimdGroups, GroupLoopWritesEveryElementAndNothingPastIt)
{
    const float sentinel = -7.5f;
    for (uint64_t n = 0; n <= 41; ++n) {
        float out[56];
        for (float& f : out) f = sentinel;
        for (uint64_t g = 0; g < n; g += 8) {
            float lanes[8];
            for (int l = 0; l < 8; ++l) lanes[l] = float(g + uint64_t(l));
            store_lanes8_f32(out + g, load8_f32(lanes), lane_count8(g, n));
        }
        for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(out[i], float(i)) << "n " << n;
        for (uint64_t i = n; i < 56; ++i) ASSERT_EQ(out[i], sentinel) << "n " << n << " i " << i;
    }
}

TEST(SimdIndex, ExtractRotateAndArithmeticUseWhole64BitLanes)
{
    const u64x4 v = set4_u64(10, 11, 12, 13);
    EXPECT_EQ(extract4_u64(v, 0), 10u);
    EXPECT_EQ(extract4_u64(v, 2), 12u);
    EXPECT_EQ(extract4_u64(v, 3), 13u);

    const u64x4 r = rotate4_u64(v);
    const uint64_t rotated[4] = {13, 10, 11, 12};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(extract4_u64(r, k), rotated[k]) << k;
    const u64x4 back = rotate4_u64(rotate4_u64(rotate4_u64(r)));
    for (int k = 0; k < 4; ++k) EXPECT_EQ(extract4_u64(back, k), uint64_t(10 + k)) << k;

    // values that only 64-bit lanes hold; an odd start address
    uint64_t data[6] = {0, 0xFFFFFFFFFFFFFFFFull, 0x8000000000000001ull, 0x123456789ull, 7, 0};
    const u64x4 w = load4_u64(data + 1);
    const u64x4 shifted = shift_right1_4_u64(w);
    const u64x4 sum = add4_u64(w, set1_4_u64(0x100000000ull));
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(extract4_u64(w, k), data[1 + k]) << k;
        EXPECT_EQ(extract4_u64(shifted, k), data[1 + k] >> 1) << k;
        EXPECT_EQ(extract4_u64(sum, k), data[1 + k] + 0x100000000ull) << k;
    }
    uint64_t out[6] = {};
    store4_u64(out + 1, rotate4_u64(w));
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[1], 7u);
    EXPECT_EQ(out[2], 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(out[4], 0x123456789ull);
    EXPECT_EQ(out[5], 0u);
}

TEST(SimdCpu, ThisProcessorRunsTheBuild)
{
    // this program has already run the build's vector code, so the test of
    // the processor must agree
    EXPECT_TRUE(simd_cpu_supported());
}
