// Lane-wise vector operations shared by the subdivision steps: eight-lane
// vectors of 32-bit floats and four-lane vectors of 64-bit indices.
//
// Every intrinsic of the system lives in this file. Each operation has an
// AVX2 body and, beside it, a scalar twin that performs the same IEEE
// single-precision operations in the same order, so both builds produce the
// same bits. The scalar twin is chosen at build time by SUBDIV_SCALAR (always
// on other processors than x86-64). Loads and stores are unaligned; lane 0 is
// the lowest address.
//
// A loop over groups of eight handles its last, partial group with the pair
// lane_count8 / store_lanes8_f32: full groups take one vector store, the last
// group exactly its valid lanes.
#pragma once

#include <cstdint>
#include <cstring>

#include "check.h"

#if !SUBDIV_SCALAR
#include <immintrin.h>
#endif

namespace subdiv {

// ---------------------------------------------------------------- lane types

#if SUBDIV_SCALAR
struct f32x8 {
    float lane[8];
};
struct u64x4 {
    uint64_t lane[4];
};
#else
typedef __m256 f32x8;  // eight 32-bit floats
typedef __m256i u64x4; // four 64-bit unsigned indices
#endif

// ---------------------------------------------------------------- float lanes

// Eight floats from p[0..7].
static inline f32x8 load8_f32(const float* p)
{
#if SUBDIV_SCALAR
    f32x8 r;
    std::memcpy(r.lane, p, sizeof r.lane);
    return r;
#else
    return _mm256_loadu_ps(p);
#endif
}

// The eight lanes of v to p[0..7].
static inline void store8_f32(float* p, const f32x8& v)
{
#if SUBDIV_SCALAR
    std::memcpy(p, v.lane, sizeof v.lane);
#else
    _mm256_storeu_ps(p, v);
#endif
}

// s in all eight lanes.
static inline f32x8 set1_8_f32(float s)
{
#if SUBDIV_SCALAR
    f32x8 r;
    for (int l = 0; l < 8; ++l) r.lane[l] = s;
    return r;
#else
    return _mm256_set1_ps(s);
#endif
}

// a + b, lane by lane, each sum rounded to single precision.
static inline f32x8 add8_f32(const f32x8& a, const f32x8& b)
{
#if SUBDIV_SCALAR
    f32x8 r;
    for (int l = 0; l < 8; ++l) r.lane[l] = a.lane[l] + b.lane[l];
    return r;
#else
    return _mm256_add_ps(a, b);
#endif
}

// a × b, lane by lane, each product rounded to single precision.
static inline f32x8 mul8_f32(const f32x8& a, const f32x8& b)
{
#if SUBDIV_SCALAR
    f32x8 r;
    for (int l = 0; l < 8; ++l) r.lane[l] = a.lane[l] * b.lane[l];
    return r;
#else
    return _mm256_mul_ps(a, b);
#endif
}

// a − b, lane by lane, each difference rounded to single precision.
static inline f32x8 sub8_f32(const f32x8& a, const f32x8& b)
{
#if SUBDIV_SCALAR
    f32x8 r;
    for (int l = 0; l < 8; ++l) r.lane[l] = a.lane[l] - b.lane[l];
    return r;
#else
    return _mm256_sub_ps(a, b);
#endif
}

// A lane mask: each lane all ones (true) or all zeros (false).
#if SUBDIV_SCALAR
struct mask8 {
    bool lane[8];
};
#else
typedef __m256 mask8;
#endif

// a == b and a >= b, lane by lane (false for NaN lanes).
static inline mask8 equal8_f32(const f32x8& a, const f32x8& b)
{
#if SUBDIV_SCALAR
    mask8 r;
    for (int l = 0; l < 8; ++l) r.lane[l] = a.lane[l] == b.lane[l];
    return r;
#else
    return _mm256_cmp_ps(a, b, _CMP_EQ_OQ);
#endif
}
static inline mask8 greater_equal8_f32(const f32x8& a, const f32x8& b)
{
#if SUBDIV_SCALAR
    mask8 r;
    for (int l = 0; l < 8; ++l) r.lane[l] = a.lane[l] >= b.lane[l];
    return r;
#else
    return _mm256_cmp_ps(a, b, _CMP_GE_OQ);
#endif
}

// Lane by lane, a where the mask is true, else b.
static inline f32x8 select8_f32(const mask8& mask, const f32x8& a, const f32x8& b)
{
#if SUBDIV_SCALAR
    f32x8 r;
    for (int l = 0; l < 8; ++l) r.lane[l] = mask.lane[l] ? a.lane[l] : b.lane[l];
    return r;
#else
    return _mm256_blendv_ps(b, a, mask);
#endif
}

// Lane j is base[index[j]] for j = 0..7; index is a block of eight 64-bit
// indices, each of which must address an element of base (callers put 0 in
// lanes that carry no data).
static inline f32x8 gather8_f32(const float* base, const uint64_t* index)
{
#if SUBDIV_SCALAR
    f32x8 r;
    for (int l = 0; l < 8; ++l) r.lane[l] = base[index[l]];
    return r;
#else
    // two gathers of four floats at 64-bit indices, joined low half first
    const __m256i low_index = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index));
    const __m256i high_index = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + 4));
    const __m128 low = _mm256_i64gather_ps(base, low_index, 4);
    const __m128 high = _mm256_i64gather_ps(base, high_index, 4);
    return _mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1);
#endif
}

// s × (v[0] + v[1] + … + v[n−1]): the vectors added in increasing order from
// v[0], each sum rounded, then one product. n below 1 is a fatal check.
static inline f32x8 sum_scale8_f32(const f32x8* v, int32_t n, float s)
{
    CHECK(n >= 1, "sum_scale8_f32: count %d, but at least one vector is needed", n);
    f32x8 sum = v[0];
    for (int32_t i = 1; i < n; ++i) sum = add8_f32(sum, v[i]);
    return mul8_f32(sum, set1_8_f32(s));
}

// The lane count for the group of eight that starts at element i of n: 0 when
// the group is full (i + 8 <= n), otherwise n − i, the number of valid lanes.
static inline uint8_t lane_count8(uint64_t i, uint64_t n)
{
    return i + 8 > n ? uint8_t(n - i) : uint8_t(0);
}

// Stores v at p: all eight lanes when k is 0, otherwise lanes 0 to k−1 only,
// one float at a time in increasing lane order; p[k..7] stay untouched.
static inline void store_lanes8_f32(float* p, const f32x8& v, uint8_t k)
{
    if (k == 0) {
        store8_f32(p, v);
        return;
    }
    float lanes[8];
    store8_f32(lanes, v);
    for (uint8_t l = 0; l < k; ++l) p[l] = lanes[l];
}

// ---------------------------------------------------------------- index lanes

// Four indices from p[0..3].
static inline u64x4 load4_u64(const uint64_t* p)
{
#if SUBDIV_SCALAR
    u64x4 r;
    std::memcpy(r.lane, p, sizeof r.lane);
    return r;
#else
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
#endif
}

// The four lanes of v to p[0..3].
static inline void store4_u64(uint64_t* p, const u64x4& v)
{
#if SUBDIV_SCALAR
    std::memcpy(p, v.lane, sizeof v.lane);
#else
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
#endif
}

// The vector (s0, s1, s2, s3), s0 in lane 0.
static inline u64x4 set4_u64(uint64_t s0, uint64_t s1, uint64_t s2, uint64_t s3)
{
#if SUBDIV_SCALAR
    return u64x4{{s0, s1, s2, s3}};
#else
    return _mm256_set_epi64x(int64_t(s3), int64_t(s2), int64_t(s1), int64_t(s0));
#endif
}

// s in all four lanes.
static inline u64x4 set1_4_u64(uint64_t s)
{
#if SUBDIV_SCALAR
    return u64x4{{s, s, s, s}};
#else
    return _mm256_set1_epi64x(int64_t(s));
#endif
}

// a + b, lane by lane, modulo 2^64.
static inline u64x4 add4_u64(const u64x4& a, const u64x4& b)
{
#if SUBDIV_SCALAR
    u64x4 r;
    for (int l = 0; l < 4; ++l) r.lane[l] = a.lane[l] + b.lane[l];
    return r;
#else
    return _mm256_add_epi64(a, b);
#endif
}

// Every lane shifted right by one bit: the edge of each half-edge.
static inline u64x4 shift_right1_4_u64(const u64x4& v)
{
#if SUBDIV_SCALAR
    u64x4 r;
    for (int l = 0; l < 4; ++l) r.lane[l] = v.lane[l] >> 1;
    return r;
#else
    return _mm256_srli_epi64(v, 1);
#endif
}

// Lane k of v; k must be 0 to 3 and is not tested.
static inline uint64_t extract4_u64(const u64x4& v, int32_t k)
{
#if SUBDIV_SCALAR
    return v.lane[k];
#else
    return uint64_t(v[k]);
#endif
}

// Bit l set when entry l of the four from p equals value (an unaligned
// load): the edge map tests four stored hashes at once.
static inline unsigned equal_mask4_u64(const uint64_t* p, uint64_t value)
{
#if SUBDIV_SCALAR
    return unsigned(p[0] == value) | unsigned(p[1] == value) << 1 |
           unsigned(p[2] == value) << 2 | unsigned(p[3] == value) << 3;
#else
    __m256i group = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i equal = _mm256_cmpeq_epi64(group, _mm256_set1_epi64x(int64_t(value)));
    return unsigned(_mm256_movemask_pd(_mm256_castsi256_pd(equal)));
#endif
}

// (s0, s1, s2, s3) to (s3, s0, s1, s2): every lane moves up by one and the
// top lane wraps round to lane 0.
static inline u64x4 rotate4_u64(const u64x4& v)
{
#if SUBDIV_SCALAR
    return u64x4{{v.lane[3], v.lane[0], v.lane[1], v.lane[2]}};
#else
    // lane selector (3, 0, 1, 2), lane 0 first
    return _mm256_permute4x64_epi64(v, _MM_SHUFFLE(2, 1, 0, 3));
#endif
}

} // namespace subdiv
