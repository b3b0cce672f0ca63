// Open-addressing hash map with linear probing and marker-free removal.
#include "map.h"

#include <cstring>

#include "check.h"
#include "storage.h"
#include "simd.h"

namespace subdiv {

uint64_t map_hash(const void* bytes, uint64_t n_bytes)
{
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uint64_t hash = map_hash_basis;
    for (uint64_t i = 0; i < n_bytes; ++i) {
        hash ^= p[i];
        hash *= map_hash_prime;
    }
    return hash;
}

uint64_t map_key_hash(const map* m, const void* key)
{
    // edge keys: two words, hashed a word at a time
    if (m->key_size == 16) {
        uint64_t word[2];
        std::memcpy(word, key, 16);
        return map_stored_hash(map_hash_word(map_hash_word(map_hash_basis, word[0]), word[1]));
    }
    return map_stored_hash(map_hash(key, m->key_size));
}

// Whether the key bytes at a and b are equal; edge keys compare as two words.
static inline bool map_key_equal(const uint8_t* a, const void* b, uint64_t key_size)
{
    if (key_size == 16) {
        uint64_t x[2], y[2];
        std::memcpy(x, a, 16);
        std::memcpy(y, b, 16);
        return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
    }
    return std::memcmp(a, b, key_size) == 0;
}

bool map_init(map* m, uint64_t key_size, uint64_t value_size, uint64_t capacity)
{
    CHECK(capacity != 0 && (capacity & (capacity - 1)) == 0,
          "map capacity %llu is not a power of two", (unsigned long long)capacity);
    // the block sizes below must not wrap
    CHECK(capacity <= (uint64_t(1) << 31) && key_size <= (uint64_t(1) << 32) &&
              value_size <= (uint64_t(1) << 32),
          "out of memory: a map of %llu slots of %llu key and %llu value bytes does not fit",
          (unsigned long long)capacity, (unsigned long long)key_size,
          (unsigned long long)value_size);
    m->hashes = static_cast<uint64_t*>(mem_alloc(capacity * 8));
    m->keys = static_cast<uint8_t*>(mem_alloc(key_size * capacity));
    m->values = static_cast<uint8_t*>(mem_alloc(value_size * capacity));
    m->presence = static_cast<uint8_t*>(mem_alloc(map_presence_size));
    if (!m->hashes || !m->keys || !m->values || !m->presence) {
        map_free(m);
        *m = map{};
        return false;
    }
    m->capacity = capacity;
    m->count = 0;
    m->key_size = key_size;
    m->value_size = value_size;
    m->max_distance = 0;
    m->load_limit = uint64_t(double(capacity) * 0.66);
    std::memset(m->presence, 0, map_presence_size);
    // the zero tail lets a walk compare whole groups of hashes past the last slot
    std::memset(m->hashes, 0, padded_size(capacity * 8));
    return true;
}

void map_free(map* m)
{
    mem_free(m->presence);
    mem_free(m->values);
    mem_free(m->keys);
    mem_free(m->hashes);
}

bool map_grow(map* m, uint64_t n)
{
    if (m->count + n <= m->load_limit) return true;
    CHECK(n < m->capacity, "map_reserve: %llu entries do not fit a table of %llu slots",
          (unsigned long long)n, (unsigned long long)m->capacity);

    // re-place every entry, in slot order, into a table twice the size; the
    // walk bound restarts with the new placements. A slot's stored hash is
    // its key's hash, so the keys are not hashed again.
    map new_map;
    if (!map_init(&new_map, m->key_size, m->value_size, m->capacity * 2)) return false;
    for (uint64_t i = 0; i < m->capacity; ++i) {
        if (m->hashes[i] == 0) continue;
        void* value = map_insert_key_hashed(&new_map, m->keys + i * m->key_size, m->hashes[i]);
        std::memcpy(value, m->values + i * m->value_size, m->value_size);
    }
    map_free(m);
    *m = new_map;
    return true;
}

void* map_insert_key(map* m, const void* key)
{
    return map_insert_key_hashed(m, key, map_key_hash(m, key));
}

void* map_insert(map* m, const void* key, const void* value)
{
    void* slot_value = map_insert_key(m, key);
    if (!slot_value) return nullptr;
    std::memcpy(slot_value, value, m->value_size);
    return slot_value;
}

// ---------------------------------------------------------------- walks
//
// Walks test the stored hashes four at a time (equal_mask4_u64). A group may
// reach past the range it serves: into later slots, or past the last slot
// into the block's zero tail, which never equals a stored hash.

// The first slot from begin up to end (exclusive) whose stored hash is hash
// and whose key equals key, or UINT64_MAX. Groups of eight slots whose
// hashes all differ from hash are passed over without looking at keys.
__attribute__((always_inline)) static inline uint64_t
map_walk_range(const map* m, const void* key, uint64_t hash, uint64_t begin, uint64_t end,
               const uint64_t key_size)
{
    for (uint64_t i = begin; i < end; i += 8) {
        unsigned hits = equal_mask4_u64(m->hashes + i, hash) |
                        equal_mask4_u64(m->hashes + i + 4, hash) << 4;
        if (__builtin_expect(hits == 0, 1)) continue;
        do {
            uint64_t slot = i + uint64_t(__builtin_ctz(hits));
            if (slot >= end) return UINT64_MAX;
            if (map_key_equal(m->keys + slot * key_size, key, key_size)) return slot;
            hits &= hits - 1;
        } while (hits);
    }
    return UINT64_MAX;
}

// Slot of the first entry for key along its probe sequence, or capacity.
// No entry lies farther than max_distance from its home slot, so the walk
// stops after max_distance + 1 probes; an empty slot does not end it.
__attribute__((always_inline)) static inline uint64_t
map_find_slot_sized(const map* m, const void* key, uint64_t hash, const uint64_t key_size)
{
    const uint64_t capacity = m->capacity;
    // no entry has a hash with the key's top bits: the key is absent
    if (m->presence[map_presence_index(hash)] == 0) return capacity;
    uint64_t n_probes = m->max_distance < capacity ? m->max_distance + 1 : capacity;
    uint64_t start = hash & (capacity - 1);
    uint64_t end = start + n_probes;
    // up to the last slot, then on from slot 0
    uint64_t slot = map_walk_range(m, key, hash, start, end < capacity ? end : capacity, key_size);
    if (slot == UINT64_MAX && end > capacity)
        slot = map_walk_range(m, key, hash, 0, end - capacity, key_size);
    return slot == UINT64_MAX ? capacity : slot;
}

// The edge map's 16-byte keys take a copy of the walk with that size fixed.
static uint64_t map_find_slot(const map* m, const void* key, uint64_t hash)
{
    if (m->key_size == 16) return map_find_slot_sized(m, key, hash, 16);
    return map_find_slot_sized(m, key, hash, m->key_size);
}

// The first empty slot from begin up to end (exclusive), or UINT64_MAX.
static inline uint64_t map_empty_in_range(const map* m, uint64_t begin, uint64_t end)
{
    for (uint64_t i = begin; i < end; i += 4) {
        unsigned empty = equal_mask4_u64(m->hashes + i, 0);
        if (empty) {
            uint64_t slot = i + uint64_t(__builtin_ctz(empty));
            return slot < end ? slot : UINT64_MAX;
        }
    }
    return UINT64_MAX;
}

void* map_insert_key_hashed(map* m, const void* key, uint64_t hash)
{
    if (!map_reserve(m, 1)) return nullptr;
    const uint64_t capacity = m->capacity;
    uint64_t home = hash & (capacity - 1);
    // the first empty slot along the probe sequence: up to the last slot,
    // then on from slot 0
    uint64_t slot = map_empty_in_range(m, home, capacity);
    if (slot == UINT64_MAX) slot = map_empty_in_range(m, 0, home);
    if (slot == UINT64_MAX) return nullptr;

    uint64_t distance = (slot - home) & (capacity - 1);
    if (distance > m->max_distance) m->max_distance = distance;
    m->count += 1;
    uint8_t& present = m->presence[map_presence_index(hash)];
    if (present < 255) present += 1;
    m->hashes[slot] = hash;
    if (m->key_size == 16)
        std::memcpy(m->keys + slot * 16, key, 16);
    else
        std::memcpy(m->keys + slot * m->key_size, key, m->key_size);
    return m->values + slot * m->value_size;
}

void* map_find_hashed(const map* m, const void* key, uint64_t hash)
{
    uint64_t slot = map_find_slot(m, key, hash);
    return slot == m->capacity ? nullptr : m->values + slot * m->value_size;
}

void* map_find(const map* m, const void* key)
{
    return map_find_hashed(m, key, map_key_hash(m, key));
}

void map_remove_hashed(map* m, const void* key, uint64_t hash)
{
    uint64_t slot = map_find_slot(m, key, hash);
    CHECK(slot != m->capacity,
          "map_remove: no entry for the key with hash %016llx among %llu entries",
          (unsigned long long)hash, (unsigned long long)m->count);
    // a saturated count no longer knows how many there are: it stays
    uint8_t& present = m->presence[map_presence_index(hash)];
    if (present < 255) present -= 1;
    m->hashes[slot] = 0;
    // fixed sizes of the edge map first, so that they need no library call
    if (m->key_size == 16)
        std::memset(m->keys + slot * 16, 0, 16);
    else
        std::memset(m->keys + slot * m->key_size, 0, m->key_size);
    if (m->value_size == 8)
        std::memset(m->values + slot * 8, 0, 8);
    else
        std::memset(m->values + slot * m->value_size, 0, m->value_size);
    m->count -= 1;
}

void map_remove(map* m, const void* key)
{
    map_remove_hashed(m, key, map_key_hash(m, key));
}

} // namespace subdiv
