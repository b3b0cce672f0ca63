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
// contents are not initialised (and may hold what a released block held). A
// request the system refuses ends the run with a message giving the byte
// count; the result is never null.
void* mem_alloc(uint64_t n_bytes);

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

// Fills the padding tail of a block whose data part holds n_elements elements
// of element_size bytes with copies of *fill. element_size must divide 4096.
void pad_fill(void* block, uint64_t element_size, uint64_t n_elements, const void* fill);

} // namespace subdiv
