// Storage blocks: the C library's aligned allocator for small blocks, an
// arena of reused pages for large ones.
#include "storage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstdlib>
#include <cstring>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif

#include "check.h"

namespace subdiv {

// Blocks below arena_min_block bytes come from the C library's aligned
// allocator. Larger ones come from the arena: one range of address space,
// reserved at the first large request, handed out from its start. A page of
// fresh memory costs its first touch (about 1.5 µs here, several times more
// on memory the machine has never used), far more than the arithmetic done
// on it, and the steps release blocks as they allocate larger ones. So a
// released large block keeps its pages and goes on a free list, where it
// merges with released neighbours; a request takes the smallest free range
// that still holds its pages and is large enough, else the smallest free
// range, else the arena is extended into pages never touched. Before fresh
// pages are touched, the other free ranges give their pages back to the
// system: the memory a job holds then never exceeds its live blocks and one
// free range, while blocks released and requested again in turn reuse their
// pages.

namespace {

constexpr uint64_t arena_min_block = uint64_t(1) << 18;
constexpr uint64_t arena_max_live = 1024;

// A range of the arena: start and size in bytes from the arena's base.
struct arena_range {
    uint64_t start;
    uint64_t size;
    bool resident; // (some of) its pages were touched and not handed back since
};

struct arena_state {
    char* base;        // start of the reserved range; null until reserved
    uint64_t reserved; // bytes reserved
    uint64_t top;      // bytes from base that are readable and writable
    bool unavailable;  // no reservation could be made: large blocks as small ones
    uint64_t n_live;
    uint64_t n_free;
    arena_range live[arena_max_live];     // blocks handed out, in no order
    arena_range free[arena_max_live + 1]; // released ranges by start, none adjacent
};

arena_state arena;
// Held by every operation on the arena: the library may be called from
// several threads at once.
std::mutex arena_lock;

void arena_poison(uint64_t start, uint64_t size)
{
#ifdef __SANITIZE_ADDRESS__
    ASAN_POISON_MEMORY_REGION(arena.base + start, size);
#else
    (void)start, (void)size;
#endif
}

void arena_unpoison(uint64_t start, uint64_t size)
{
#ifdef __SANITIZE_ADDRESS__
    ASAN_UNPOISON_MEMORY_REGION(arena.base + start, size);
#else
    (void)start, (void)size;
#endif
}

// Reserves twice the machine's memory as inaccessible address space, which
// costs nothing until pages are made writable and touched.
bool arena_reserve()
{
    uint64_t memory = mem_physical();
    uint64_t size = std::min(2 * memory, uint64_t(1) << 44) & ~uint64_t(4095);
    void* base = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return false;
    arena.base = static_cast<char*>(base);
    arena.reserved = size;
    // pages of 2 MiB where the system has them: a first touch then costs a
    // fraction of what 512 pages of 4 KiB cost
    madvise(base, size, MADV_HUGEPAGE);
#ifdef __SANITIZE_ADDRESS__
    // pointers to small blocks may live in large ones
    __lsan_register_root_region(base, size);
#endif
    return true;
}

void arena_remove_free(uint64_t i)
{
    std::memmove(&arena.free[i], &arena.free[i + 1], (arena.n_free - i - 1) * sizeof(arena_range));
    arena.n_free -= 1;
}

// Hands the pages of every free range but the one at index keep back to the
// system.
void arena_release_free(uint64_t keep)
{
    for (uint64_t i = 0; i < arena.n_free; ++i) {
        arena_range& r = arena.free[i];
        if (i == keep || !r.resident) continue;
        arena_unpoison(r.start, r.size);
        madvise(arena.base + r.start, r.size, MADV_DONTNEED);
        arena_poison(r.start, r.size);
        r.resident = false;
    }
}

// A block of size bytes (a multiple of 4096) from the arena, or null when
// the arena cannot hold it.
void* arena_alloc(uint64_t size)
{
    if (!arena.base) {
        if (arena.unavailable) return nullptr;
        arena.unavailable = !arena_reserve();
        if (arena.unavailable) return nullptr;
    }
    if (arena.n_live == arena_max_live) return nullptr;

    // the smallest free range that holds the block, among those whose pages
    // are still held if any is large enough
    uint64_t best = arena.n_free;
    for (int pass = 0; pass < 2 && best == arena.n_free; ++pass) {
        for (uint64_t i = 0; i < arena.n_free; ++i) {
            const arena_range& r = arena.free[i];
            if (r.size >= size && (pass == 1 || r.resident) &&
                (best == arena.n_free || r.size < arena.free[best].size))
                best = i;
        }
    }
    uint64_t start;
    if (best < arena.n_free) {
        // fresh pages are about to be touched: hand back those of the others
        if (!arena.free[best].resident) arena_release_free(best);
        arena_range& r = arena.free[best];
        start = r.start;
        r.start += size;
        r.size -= size;
        if (r.size == 0) arena_remove_free(best);
    } else {
        // extend the arena, through the free range at its top if there is one
        uint64_t last = arena.n_free;
        if (last > 0 && arena.free[last - 1].start + arena.free[last - 1].size == arena.top)
            last -= 1;
        start = last < arena.n_free ? arena.free[last].start : arena.top;
        if (size > arena.reserved - start) return nullptr;
        if (start + size > arena.top) {
            if (mprotect(arena.base + arena.top, start + size - arena.top,
                         PROT_READ | PROT_WRITE) != 0)
                return nullptr;
        }
        arena_release_free(last);
        if (last < arena.n_free) arena_remove_free(last);
        arena.top = std::max(arena.top, start + size);
    }
    arena.live[arena.n_live++] = arena_range{start, size, true};
    arena_unpoison(start, size);
    return arena.base + start;
}

// Puts the arena block at start on the free list, merged with free
// neighbours. The list never overflows: free ranges lie apart, so there is
// a live block between any two of them.
void arena_free(uint64_t start)
{
    uint64_t i = 0;
    while (i < arena.n_live && arena.live[i].start != start) ++i;
    CHECK(i < arena.n_live, "mem_free: %p is not a block of the arena",
          static_cast<void*>(arena.base + start));
    arena_range r = arena.live[i];
    arena.live[i] = arena.live[--arena.n_live];
    arena_poison(r.start, r.size);

    uint64_t at = 0; // first free range after the block
    while (at < arena.n_free && arena.free[at].start < r.start) ++at;
    if (at < arena.n_free && r.start + r.size == arena.free[at].start) {
        r.size += arena.free[at].size;
        r.resident = r.resident || arena.free[at].resident;
        arena_remove_free(at);
    }
    if (at > 0 && arena.free[at - 1].start + arena.free[at - 1].size == r.start) {
        arena_range& before = arena.free[at - 1];
        before.size += r.size;
        before.resident = before.resident || r.resident;
        return;
    }
    std::memmove(&arena.free[at + 1], &arena.free[at], (arena.n_free - at) * sizeof(arena_range));
    arena.free[at] = r;
    arena.n_free += 1;
}

} // namespace

uint64_t mem_physical()
{
    long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && page_size > 0 ? uint64_t(pages) * uint64_t(page_size) : uint64_t(1) << 35;
}

uint64_t padded_size(uint64_t n_bytes)
{
    return (n_bytes & ~uint64_t(4095)) + 4096;
}

// What mem_alloc refused last on each thread, the test hook's count and the
// blocks held. All start as constants: the library runs no code before main.
static thread_local uint64_t refused_size = 0;
static std::atomic<uint64_t> fail_countdown{mem_fail_never};
static std::atomic<uint64_t> blocks_held{0};

// Whether the test hook refuses this request: the one after the served
// count, which then disarms.
static bool refused_by_hook()
{
    uint64_t left = fail_countdown.load(std::memory_order_relaxed);
    while (left != mem_fail_never &&
           !fail_countdown.compare_exchange_weak(left, left == 0 ? mem_fail_never : left - 1,
                                                 std::memory_order_relaxed))
        ;
    return left == 0;
}

// Notes a refusal of n_bytes for mem_refused_size; returns null.
static void* refuse(uint64_t n_bytes)
{
    refused_size = n_bytes;
    return nullptr;
}

void* mem_alloc(uint64_t n_bytes)
{
    // the padded size of the largest requests would wrap around
    if (n_bytes > UINT64_MAX - 8192 || refused_by_hook()) return refuse(n_bytes);
    const uint64_t size = padded_size(n_bytes);
    void* block = nullptr;
    if (size >= arena_min_block) {
        std::lock_guard<std::mutex> hold(arena_lock);
        block = arena_alloc(size);
    }
    // without the arena (none could be reserved: a limit on the address
    // space), or when it is full, from the C library
    if (!block) block = std::aligned_alloc(64, size);
    if (!block) return refuse(n_bytes);
    blocks_held.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void* mem_alloc_array(uint64_t n, uint64_t element_size)
{
    uint64_t n_bytes;
    if (__builtin_mul_overflow(n, element_size, &n_bytes)) n_bytes = UINT64_MAX;
    return mem_alloc(n_bytes);
}

uint64_t mem_refused_size() { return refused_size; }

void* mem_alloc_text(uint64_t n_bytes)
{
    void* block = refused_by_hook() ? nullptr : std::malloc(n_bytes);
    return block ? block : refuse(n_bytes);
}

uint64_t mem_fail_after(uint64_t n)
{
    return fail_countdown.exchange(n, std::memory_order_relaxed);
}

uint64_t mem_blocks_held() { return blocks_held.load(std::memory_order_relaxed); }

void mem_free(void* block)
{
    if (!block) return;
    blocks_held.fetch_sub(1, std::memory_order_relaxed);
    char* bytes = static_cast<char*>(block);
    {
        std::lock_guard<std::mutex> hold(arena_lock);
        if (arena.base && bytes >= arena.base && bytes < arena.base + arena.reserved) {
            arena_free(uint64_t(bytes - arena.base));
            return;
        }
    }
    std::free(block);
}

void mem_trim()
{
    std::lock_guard<std::mutex> hold(arena_lock);
    arena_release_free(arena.n_free);
}

void pad_fill(void* block, uint64_t element_size, uint64_t n_elements, const void* fill)
{
    CHECK(element_size > 0 && 4096 % element_size == 0,
          "pad_fill: element size %llu does not divide 4096", (unsigned long long)element_size);
    uint64_t used = element_size * n_elements;
    uint64_t tail = padded_size(used) - used;
    char* bytes = static_cast<char*>(block);
    for (uint64_t offset = 0; offset < tail; offset += element_size)
        std::memcpy(bytes + used + offset, fill, element_size);
}

} // namespace subdiv
