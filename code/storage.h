// Storage blocks: every array of the library lives in one.
//
// A block from mem_alloc is aligned to 64 bytes and padded to the next whole
// 4096-byte page strictly above the request, so that vector loops may load
// whole groups of eight elements past the end of an array without leaving
// its block.
#pragma once

#include <cstdint>

namespace subdiv {

// Returns a block of padded_size(n_bytes) bytes aligned to 64 bytes. The
// contents are not initialised (and may hold what a released block held).
// Null when the system refuses the memory, or n_bytes is too large to pad:
// mem_refused_size then gives n_bytes on the calling thread.
void* mem_alloc(uint64_t n_bytes);

// mem_alloc of n elements of element_size bytes each; a product beyond 64
// bits is refused as UINT64_MAX bytes.
void* mem_alloc_array(uint64_t n, uint64_t element_size);

// The bytes of the last request that mem_alloc (or mem_alloc_text) refused on
// the calling thread, 0 when none was: what a function reports once a step
// below it has failed for want of memory. Work on other threads never
// allocates.
uint64_t mem_refused_size();

// A block of n_bytes from the C library's malloc, neither aligned nor padded,
// for short texts (names) that would waste a page each; released with
// std::free. Null when refused, as mem_alloc.
void* mem_alloc_text(uint64_t n_bytes);

// Returns a block from mem_alloc. Null is ignored. A block of 256 KiB or
// more keeps its pages for the next requests, until one of them needs pages
// never touched before (or mem_trim): only then do they go back to the
// system. Like mem_alloc, safe to call from several threads at once.
void mem_free(void* block);

// Hands the pages of every released block that still holds them back to the
// system, so that the next requests touch fresh pages.
void mem_trim();

// mem_free of *block, then *block cleared: for loops that release some
// arrays of a record they own before the rest.
template <typename T>
inline void mem_release(T** block)
{
    mem_free(*block);
    *block = nullptr;
}

// The bytes of memory this machine has (2^35 when the system does not say).
uint64_t mem_physical();

// The padded size of n bytes: the next multiple of 4096 strictly above n
// (0 and 4095 give 4096, 4096 gives 8192).
uint64_t padded_size(uint64_t n_bytes);

// ---------------------------------------------------------------- test hooks

// A count of mem_fail_after that refuses nothing.
constexpr uint64_t mem_fail_never = UINT64_MAX;

// From now on the next n requests to mem_alloc and mem_alloc_text (on any
// thread) are served and the one after them is refused, once; mem_fail_never
// refuses nothing. Returns the requests the previous setting still had to
// serve before its refusal: mem_fail_never once that refusal came (or when
// none was set), so a caller learns whether a job met it.
uint64_t mem_fail_after(uint64_t n);

// The blocks from mem_alloc not yet released, over all threads.
uint64_t mem_blocks_held();

// Fills the padding tail of a block whose data part holds n_elements elements
// of element_size bytes with copies of *fill. element_size must divide 4096.
void pad_fill(void* block, uint64_t element_size, uint64_t n_elements, const void* fill);

} // namespace subdiv
