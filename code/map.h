// Open-addressing hash map with linear probing over fixed-size byte keys and
// values. Its one instance is the edge map of the half-edge construction,
// keyed by directed edges.
#pragma once

#include <cstddef>
#include <cstdint>

namespace subdiv {

// A stored hash of 0 marks an empty slot. Removal zeroes a slot and leaves no
// marker, so a lookup does not stop at an empty slot: it walks until it has
// passed the farthest distance from its home slot at which any entry has been
// placed since the table was last built. A presence filter lets most
// lookups of an absent key end before the walk: a saturating count of the
// entries per value of the hash's top 16 bits.
struct map {
    uint64_t* hashes;      // capacity entries: stored hash of each slot's key, 0 when empty;
                           // the block's padding tail is 0 as well
    uint8_t* keys;         // capacity * key_size bytes: the key of slot i at i * key_size
    uint8_t* values;       // capacity * value_size bytes: the value of slot i at i * value_size
    uint64_t capacity;     // number of slots, a power of two
    uint64_t count;        // number of occupied slots
    uint64_t key_size;     // bytes per key
    uint64_t value_size;   // bytes per value
    uint64_t max_distance; // longest distance from home at which an entry was placed since
                           // the table was last built: no entry lies farther
    uint64_t load_limit;   // capacity * 0.66, truncated: the most entries before the table doubles
    uint8_t* presence;     // map_presence_size entries: the entries whose hash has those top
                           // 16 bits, up to 255, which then stays for good
};
static_assert(sizeof(map) == 80, "map is seven words, the walk bound, the load limit and the "
                                 "presence filter");

// Entries of the presence filter, and the filter's entry for a stored hash.
constexpr uint64_t map_presence_size = uint64_t(1) << 16;
inline uint64_t map_presence_index(uint64_t hash) { return hash >> 48; }
static_assert(offsetof(map, capacity) == 24 && offsetof(map, value_size) == 48 &&
                  offsetof(map, max_distance) == 56,
              "map field order");

// Key and value sizes and initial capacity of the edge map.
constexpr uint64_t edge_map_key_size = 16;
constexpr uint64_t edge_map_value_size = 8;
constexpr uint64_t edge_map_capacity = 4096;

// Sets up an empty map of capacity slots (a power of two, at least 1).
// Returns false, holding nothing, when memory is refused.
bool map_init(map* m, uint64_t key_size, uint64_t value_size, uint64_t capacity);

// Releases the four blocks; the record's words are left as they were.
void map_free(map* m);

// 64-bit FNV-1a over n_bytes bytes. A key whose hash is 0 is stored under
// map_zero_hash_stand_in instead, since 0 marks an empty slot.
uint64_t map_hash(const void* bytes, uint64_t n_bytes);
constexpr uint64_t map_zero_hash_stand_in = 0x9E3779B97F4A7C15ull;

// FNV-1a offset basis and prime.
constexpr uint64_t map_hash_basis = 0xCBF29CE484222325ull;
constexpr uint64_t map_hash_prime = 0x100000001B3ull;

// The FNV-1a state after the eight bytes of word (low byte first) from state
// hash: map_hash over a key is the basis run through its words in order. A
// zero byte only multiplies by the prime, so four zero high bytes cost one
// multiplication by the prime's fourth power.
inline uint64_t map_hash_word(uint64_t hash, uint64_t word)
{
    constexpr uint64_t prime4 = map_hash_prime * map_hash_prime * map_hash_prime * map_hash_prime;
    hash = (hash ^ (word & 0xFF)) * map_hash_prime;
    hash = (hash ^ ((word >> 8) & 0xFF)) * map_hash_prime;
    hash = (hash ^ ((word >> 16) & 0xFF)) * map_hash_prime;
    hash = (hash ^ ((word >> 24) & 0xFF)) * map_hash_prime;
    if ((word >> 32) == 0) return hash * prime4;
    hash = (hash ^ ((word >> 32) & 0xFF)) * map_hash_prime;
    hash = (hash ^ ((word >> 40) & 0xFF)) * map_hash_prime;
    hash = (hash ^ ((word >> 48) & 0xFF)) * map_hash_prime;
    return (hash ^ (word >> 56)) * map_hash_prime;
}

// The stored hash for a key hash: the hash itself, or the stand-in for 0.
inline uint64_t map_stored_hash(uint64_t hash)
{
    return hash ? hash : map_zero_hash_stand_in;
}

// Doubles the table when count + n would pass the load limit. n must then be
// below the capacity. Returns false, the map as it was, when memory is
// refused.
bool map_grow(map* m, uint64_t n);
inline bool map_reserve(map* m, uint64_t n)
{
    return m->count + n <= m->load_limit || map_grow(m, n);
}

// Claims a slot for key (no test for a present key: an equal key makes a
// second entry) and returns its value bytes for the caller to fill; null when
// the table had to grow and memory was refused (never after a map_reserve
// that made room).
void* map_insert_key(map* m, const void* key);

// map_insert_key, then copies value_size bytes from value into the slot.
void* map_insert(map* m, const void* key, const void* value);

// The value bytes of the first entry for key along its probe sequence, or
// null. Valid until the next insertion, reservation, its removal or map_free.
void* map_find(const map* m, const void* key);

// Removes the first entry for key, zeroing its hash, key and value bytes.
// An absent key is a fatal check.
void map_remove(map* m, const void* key);

// The same operations with the key's stored hash computed by the caller
// (map_key_hash, or map_hash_word and map_stored_hash over the key's words),
// for callers that use one key in several operations.
uint64_t map_key_hash(const map* m, const void* key);
void* map_insert_key_hashed(map* m, const void* key, uint64_t hash);
void* map_find_hashed(const map* m, const void* key, uint64_t hash);
void map_remove_hashed(map* m, const void* key, uint64_t hash);

} // namespace subdiv
