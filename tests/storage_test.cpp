// Storage blocks: alignment, padding and the arena's reuse of pages.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "storage.h"

using namespace subdiv;

TEST(Storage, PaddedSizeIsNextPageStrictlyAbove)
{
    EXPECT_EQ(padded_size(0), 4096u);
    EXPECT_EQ(padded_size(1), 4096u);
    EXPECT_EQ(padded_size(4095), 4096u);
    EXPECT_EQ(padded_size(4096), 8192u);
    EXPECT_EQ(padded_size(4097), 8192u);
    EXPECT_EQ(padded_size(3 * 4096 + 5), 4 * 4096u);
}

TEST(Storage, BlocksAreAlignedAndWritableToTheirPaddedEnd)
{
    // small blocks, and large ones around the size from which the arena
    // serves them
    for (uint64_t n : {0ull, 1ull, 63ull, 4096ull, 100000ull, 258047ull, 258048ull, 262144ull,
                       3000000ull}) {
        auto* block = static_cast<unsigned char*>(mem_alloc(n));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 64, 0u) << n;
        // the whole padded size belongs to the block (the sanitizer build
        // reports a write past it)
        std::memset(block, 0xAB, padded_size(n));
        mem_free(block);
    }
    mem_free(nullptr);
}

// Whether every page of the n bytes at block is resident.
static bool all_resident(void* block, uint64_t n)
{
    std::vector<unsigned char> pages(n / 4096);
    EXPECT_EQ(mincore(block, n, pages.data()), 0);
    return std::all_of(pages.begin(), pages.end(), [](unsigned char p) { return (p & 1) != 0; });
}

static bool none_resident(void* block, uint64_t n)
{
    std::vector<unsigned char> pages(n / 4096);
    EXPECT_EQ(mincore(block, n, pages.data()), 0);
    return std::none_of(pages.begin(), pages.end(), [](unsigned char p) { return (p & 1) != 0; });
}

// A released large block goes back with its pages to the next request that
// it holds: no page is touched for the first time again.
TEST(Storage, ReleasedLargeBlockIsReusedWithItsPages)
{
    const uint64_t n = 5 * 1000 * 1000;
    const uint64_t size = padded_size(n);
    auto* first = static_cast<unsigned char*>(mem_alloc(n));
    std::memset(first, 0x5A, size);
    mem_free(first);
    auto* again = static_cast<unsigned char*>(mem_alloc(n));
    EXPECT_EQ(again, first);
    EXPECT_TRUE(all_resident(again, size));
    EXPECT_EQ(again[0], 0x5A);
    EXPECT_EQ(again[size - 1], 0x5A);

    mem_free(again);
}

// Released neighbours merge: two halves of a released block, released
// again, serve one request of the whole.
TEST(Storage, ReleasedNeighboursServeALargerRequest)
{
    const uint64_t half = padded_size(7 * 1000 * 1000);
    auto* whole = static_cast<unsigned char*>(mem_alloc(2 * half - 4096));
    mem_free(whole);
    auto* front = static_cast<unsigned char*>(mem_alloc(half - 4096));
    auto* back = static_cast<unsigned char*>(mem_alloc(half - 4096));
    EXPECT_EQ(front, whole);
    EXPECT_EQ(back, whole + half);
    mem_free(front);
    mem_free(back);
    EXPECT_EQ(mem_alloc(2 * half - 4096), whole);
    mem_free(whole);
}

// A request takes released pages that are still held before a released
// range whose pages went back, even when that range fits it more tightly.
TEST(Storage, RequestPrefersReleasedPagesStillHeld)
{
    const uint64_t n = 4 * 1000 * 1000;
    void* tight = mem_alloc(n);
    void* fence = mem_alloc(n);
    auto* roomy = static_cast<unsigned char*>(mem_alloc(3 * n));
    void* fence_after = mem_alloc(n);
    mem_free(tight);
    mem_trim();
    std::memset(roomy, 3, padded_size(3 * n));
    mem_free(roomy);
    auto* taken = static_cast<unsigned char*>(mem_alloc(n));
    EXPECT_NE(taken, tight);
    EXPECT_TRUE(all_resident(taken, padded_size(n)));
    mem_free(taken);
    mem_free(fence);
    mem_free(fence_after);
}

// mem_trim hands the pages of released blocks back, and the blocks stay
// usable: the next request through them touches fresh, zero pages.
TEST(Storage, TrimHandsReleasedPagesBack)
{
    const uint64_t n = 3 * 1000 * 1000;
    const uint64_t size = padded_size(n);
    auto* block = static_cast<unsigned char*>(mem_alloc(n));
    std::memset(block, 0x77, size);
    EXPECT_TRUE(all_resident(block, size));
    mem_free(block);
    mem_trim();
    EXPECT_TRUE(none_resident(block, size));
    auto* again = static_cast<unsigned char*>(mem_alloc(n));
    ASSERT_EQ(again, block);
    EXPECT_EQ(again[0], 0);
    std::memset(again, 1, size);
    mem_free(again);
}

// Before the arena grows into pages never touched, the released blocks that
// the growth does not take hand their pages back: memory held stays at the
// live blocks.
TEST(Storage, GrowingHandsReleasedPagesBack)
{
    const uint64_t n = 2 * 1000 * 1000;
    const uint64_t size = padded_size(n);
    void* released = mem_alloc(n);
    void* kept = mem_alloc(n); // after released, so released is not at the top
    std::memset(released, 1, size);
    mem_free(released);
    ASSERT_TRUE(all_resident(released, size));
    // larger than anything released before: the arena grows, at its top,
    // which the released block is not
    const uint64_t huge_size = uint64_t(1) << 28;
    auto* huge = static_cast<unsigned char*>(mem_alloc(huge_size));
    EXPECT_GT(huge, static_cast<unsigned char*>(kept));
    EXPECT_TRUE(none_resident(released, size));
    mem_free(huge);
    mem_free(kept);
}

TEST(Storage, PadFillWritesExactlyTheTail)
{
    // 512 eight-byte elements end on a page boundary: the tail is one page
    const uint64_t fill = 0x0123456789ABCDEFull;
    auto* block = static_cast<uint64_t*>(mem_alloc(512 * 8));
    for (int i = 0; i < 512; ++i) block[i] = uint64_t(i);
    pad_fill(block, 8, 512, &fill);
    for (int i = 0; i < 512; ++i) ASSERT_EQ(block[i], uint64_t(i));
    for (int i = 512; i < 1024; ++i) ASSERT_EQ(block[i], fill) << i;
    mem_free(block);

    // 3 elements: the tail runs from element 3 to the end of the page
    block = static_cast<uint64_t*>(mem_alloc(3 * 8));
    block[2] = 7;
    pad_fill(block, 8, 3, &fill);
    EXPECT_EQ(block[2], 7u);
    for (int i = 3; i < 512; ++i) ASSERT_EQ(block[i], fill) << i;
    mem_free(block);
}

TEST(StorageDeath, PadFillRefusesSizesThatDoNotDivideThePage)
{
    char fill[12] = {};
    void* block = mem_alloc(12 * 10);
    EXPECT_EXIT(pad_fill(block, 12, 10, fill), testing::ExitedWithCode(1),
                "element size 12 does not divide 4096");
    mem_free(block);
}

// A request the system cannot serve, or too large to pad, comes back null
// with its size noted, and the process goes on; the test hook refuses the
// request after the ones it lets through, once.
TEST(Storage, RefusedRequestsComeBackNullWithTheirSize)
{
    for (uint64_t n : {UINT64_MAX - 10, uint64_t(1) << 60}) {
        EXPECT_EQ(mem_alloc(n), nullptr);
        EXPECT_EQ(mem_refused_size(), n);
    }
    EXPECT_EQ(mem_alloc_array(uint64_t(1) << 62, 8), nullptr);
    EXPECT_EQ(mem_refused_size(), UINT64_MAX);

    const uint64_t held = mem_blocks_held();
    EXPECT_EQ(mem_fail_after(2), mem_fail_never);
    void* served[2] = {mem_alloc(100), mem_alloc_text(100)};
    EXPECT_EQ(mem_alloc(300), nullptr);
    EXPECT_EQ(mem_refused_size(), 300u);
    void* after = mem_alloc(400);
    EXPECT_NE(after, nullptr);
    EXPECT_EQ(mem_fail_after(mem_fail_never), mem_fail_never);
    ASSERT_NE(served[0], nullptr);
    ASSERT_NE(served[1], nullptr);
    EXPECT_EQ(mem_blocks_held(), held + 2);
    mem_free(served[0]);
    std::free(served[1]);
    mem_free(after);
    EXPECT_EQ(mem_blocks_held(), held);

    // a setting that a job did not reach tells how far it was
    mem_fail_after(5);
    mem_free(mem_alloc(1));
    EXPECT_EQ(mem_fail_after(mem_fail_never), 4u);
}
