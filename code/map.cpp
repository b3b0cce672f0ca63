// Open-addressing hash map with linear probing and marker-free removal.
#include "map.h"

#include <cstring>

#include "check.h"
#include "geometry.h"

uint64_t map_hash(const void* bytes, uint64_t n_bytes)
{
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uint64_t hash = 0xCBF29CE484222325ull;
    for (uint64_t i = 0; i < n_bytes; ++i) {
        hash ^= p[i];
        hash *= 0x100000001B3ull;
    }
    return hash;
}

uint64_t map_key_hash(const map* m, const void* key)
{
    uint64_t hash = map_hash(key, m->key_size);
    return hash ? hash : map_zero_hash_stand_in;
}

void map_init(map* m, uint64_t key_size, uint64_t value_size, uint64_t capacity)
{
    CHECK(capacity != 0 && (capacity & (capacity - 1)) == 0,
          "map capacity %llu is not a power of two", (unsigned long long)capacity);
    m->hashes = static_cast<uint64_t*>(mem_alloc(capacity * 8));
    m->keys = static_cast<uint8_t*>(mem_alloc(key_size * capacity));
    m->values = static_cast<uint8_t*>(mem_alloc(value_size * capacity));
    m->capacity = capacity;
    m->count = 0;
    m->key_size = key_size;
    m->value_size = value_size;
    m->max_distance = 0;
    std::memset(m->hashes, 0, capacity * 8);
}

void map_free(map* m)
{
    mem_free(m->values);
    mem_free(m->keys);
    mem_free(m->hashes);
}

void map_reserve(map* m, uint64_t n)
{
    uint64_t limit = uint64_t(double(m->capacity) * 0.66);
    if (m->count + n <= limit) return;
    CHECK(n < m->capacity, "map_reserve: %llu entries do not fit a table of %llu slots",
          (unsigned long long)n, (unsigned long long)m->capacity);

    // re-place every entry, in slot order, into a table twice the size; the
    // walk bound restarts with the new placements
    map new_map;
    map_init(&new_map, m->key_size, m->value_size, m->capacity * 2);
    for (uint64_t i = 0; i < m->capacity; ++i) {
        if (m->hashes[i] == 0) continue;
        const uint8_t* key = m->keys + i * m->key_size;
        void* value = map_insert_key_hashed(&new_map, key, map_key_hash(&new_map, key));
        std::memcpy(value, m->values + i * m->value_size, m->value_size);
    }
    map_free(m);
    *m = new_map;
}

void* map_insert_key_hashed(map* m, const void* key, uint64_t hash)
{
    map_reserve(m, 1);
    uint64_t mask = m->capacity - 1;
    for (uint64_t i = 0; i < m->capacity; ++i) {
        uint64_t slot = (hash + i) & mask;
        if (m->hashes[slot] != 0) continue;
        m->count += 1;
        m->hashes[slot] = hash;
        std::memcpy(m->keys + slot * m->key_size, key, m->key_size);
        if (i > m->max_distance) m->max_distance = i;
        return m->values + slot * m->value_size;
    }
    return nullptr;
}

void* map_insert_key(map* m, const void* key)
{
    return map_insert_key_hashed(m, key, map_key_hash(m, key));
}

void* map_insert(map* m, const void* key, const void* value)
{
    void* slot_value = map_insert_key(m, key);
    std::memcpy(slot_value, value, m->value_size);
    return slot_value;
}

// Slot of the first entry for key along its probe sequence, or capacity.
// No entry lies farther than max_distance from its home slot, so the walk
// stops after max_distance + 1 probes; an empty slot does not end it.
static uint64_t map_find_slot(const map* m, const void* key, uint64_t hash)
{
    uint64_t mask = m->capacity - 1;
    uint64_t n_probes = m->max_distance < m->capacity ? m->max_distance + 1 : m->capacity;
    for (uint64_t i = 0; i < n_probes; ++i) {
        uint64_t slot = (hash + i) & mask;
        if (m->hashes[slot] == hash &&
            std::memcmp(m->keys + slot * m->key_size, key, m->key_size) == 0)
            return slot;
    }
    return m->capacity;
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
    CHECK(slot != m->capacity, "map_remove: key not present");
    m->hashes[slot] = 0;
    std::memset(m->keys + slot * m->key_size, 0, m->key_size);
    std::memset(m->values + slot * m->value_size, 0, m->value_size);
    m->count -= 1;
}

void map_remove(map* m, const void* key)
{
    map_remove_hashed(m, key, map_key_hash(m, key));
}
