// The edge hash map and the directed-edge key.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "mesh.h"
#include "storage.h"
#include "map.h"

using namespace subdiv;

namespace {

map make_edge_map()
{
    map m;
    map_init(&m, edge_map_key_size, edge_map_value_size, edge_map_capacity);
    return m;
}

uint64_t slot_of(const map* m, const void* value)
{
    return uint64_t(static_cast<const uint8_t*>(value) - m->values) / m->value_size;
}

uint64_t home_of(const map* m, const edge_key& key)
{
    return map_key_hash(m, &key) & (m->capacity - 1);
}

void* insert_edge(map* m, uint64_t a, uint64_t b, uint64_t value)
{
    edge_key key = make_edge_key(a, b);
    return map_insert(m, &key, &value);
}

// The value stored for (a, b), or UINT64_MAX when the key is absent.
uint64_t find_edge(const map* m, uint64_t a, uint64_t b)
{
    edge_key key = make_edge_key(a, b);
    const void* value = map_find(m, &key);
    if (!value) return UINT64_MAX;
    uint64_t v;
    std::memcpy(&v, value, 8);
    return v;
}

// The first `count` keys (i, i + 1) whose home slot in m is `home`.
std::vector<edge_key> keys_with_home(const map* m, uint64_t home, int count)
{
    std::vector<edge_key> keys;
    for (uint64_t i = 0; int(keys.size()) < count; ++i) {
        edge_key key = make_edge_key(i, i + 1);
        if (home_of(m, key) == home) keys.push_back(key);
    }
    return keys;
}

bool bytes_are_zero(const uint8_t* p, uint64_t n)
{
    for (uint64_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

} // namespace

// ---------------------------------------------------------------- hash

TEST(MapHash, IsFnv1a)
{
    EXPECT_EQ(map_hash("", 0), 0xCBF29CE484222325ull);
    EXPECT_EQ(map_hash("a", 1), 0xAF63DC4C8601EC8Cull);
    EXPECT_EQ(map_hash("foobar", 6), 0x85944171F73967E8ull);
    // an edge key: origin then destination, each a little-endian word
    edge_key key = make_edge_key(5, 7);
    EXPECT_EQ(map_hash(&key, 16), 0xD60524104E20F207ull);
}

TEST(MapHash, WordStepsAndKeyHashEqualTheByteLoop)
{
    map m = make_edge_map();
    map small;
    map_init(&small, 3, 5, 16);
    std::mt19937_64 random(7);
    for (int i = 0; i < 2000; ++i) {
        // words of every width: small indices, 32-bit ones and full words
        uint64_t a = random() >> (random() % 64);
        uint64_t b = random() >> (random() % 64);
        if (i % 7 == 0) a = 0;
        edge_key key = {a, b};
        uint64_t bytes_hash = map_hash(&key, 16);
        ASSERT_EQ(map_hash_word(map_hash_word(map_hash_basis, a), b), bytes_hash) << a << " " << b;
        ASSERT_EQ(map_key_hash(&m, &key), bytes_hash);
        ASSERT_EQ(map_key_hash(&small, &key), map_hash(&key, 3));
    }
    EXPECT_EQ(map_stored_hash(0), map_zero_hash_stand_in);
    EXPECT_NE(map_zero_hash_stand_in, 0u);
    EXPECT_EQ(map_stored_hash(12345), 12345u);
    map_free(&small);
    map_free(&m);
}

// ---------------------------------------------------------------- edge keys

TEST(EdgeKey, IsDirected)
{
    edge_key forward = make_edge_key(5, 7);
    edge_key backward = make_edge_key(7, 5);
    const uint64_t words[2] = {5, 7};
    EXPECT_EQ(std::memcmp(&forward, words, 16), 0);
    EXPECT_EQ(backward.origin, 7u);
    EXPECT_EQ(backward.destination, 5u);
    EXPECT_NE(map_hash(&forward, 16), map_hash(&backward, 16));
}

TEST(EdgeKeyDeath, DegenerateEdgeIsFatal)
{
    EXPECT_EXIT(make_edge_key(5, 5), testing::ExitedWithCode(1),
                "degenerate edge: vertex 6 to itself");
}

// ---------------------------------------------------------------- growth

TEST(Map, StartsEmpty)
{
    map m = make_edge_map();
    EXPECT_EQ(m.capacity, 4096u);
    EXPECT_EQ(m.count, 0u);
    EXPECT_EQ(m.key_size, 16u);
    EXPECT_EQ(m.value_size, 8u);
    EXPECT_EQ(find_edge(&m, 0, 1), UINT64_MAX);
    for (uint64_t i = 0; i < m.capacity; ++i) ASSERT_EQ(m.hashes[i], 0u);
    map_free(&m);
}

TEST(Map, Holds2703EntriesThenDoubles)
{
    map m = make_edge_map();
    for (uint64_t i = 0; i < 2703; ++i) insert_edge(&m, i, i + 1, i * 7 + 3);
    EXPECT_EQ(m.capacity, 4096u);
    EXPECT_EQ(m.count, 2703u);

    map_reserve(&m, 1);
    EXPECT_EQ(m.capacity, 8192u);
    EXPECT_EQ(m.count, 2703u);
    for (uint64_t i = 0; i < 2703; ++i) ASSERT_EQ(find_edge(&m, i, i + 1), i * 7 + 3) << i;
    EXPECT_EQ(find_edge(&m, 2703, 2704), UINT64_MAX);

    // the load limits of the next sizes: 5406 of 8192, 10813 of 16384
    map_reserve(&m, 5406 - 2703);
    EXPECT_EQ(m.capacity, 8192u);
    map_reserve(&m, 5406 - 2703 + 1);
    EXPECT_EQ(m.capacity, 16384u);
    map_reserve(&m, 10813 - 2703);
    EXPECT_EQ(m.capacity, 16384u);
    map_reserve(&m, 10813 - 2703 + 1);
    EXPECT_EQ(m.capacity, 32768u);
    for (uint64_t i = 0; i < 2703; ++i) ASSERT_EQ(find_edge(&m, i, i + 1), i * 7 + 3) << i;
    map_free(&m);
}

TEST(Map, GrowsWhileInserting)
{
    map m;
    map_init(&m, 16, 8, 2);
    for (uint64_t i = 0; i < 1000; ++i) insert_edge(&m, i, i + 1, i);
    EXPECT_EQ(m.count, 1000u);
    EXPECT_EQ(m.capacity, 2048u); // 1351 entries fit 2048 slots, 675 do not fit 1024
    for (uint64_t i = 0; i < 1000; ++i) ASSERT_EQ(find_edge(&m, i, i + 1), i);
    map_free(&m);
}

TEST(MapDeath, ReservingAWholeTableIsFatal)
{
    map m;
    map_init(&m, 16, 8, 16);
    map_reserve(&m, 10); // within the limit of 10: nothing happens
    EXPECT_EQ(m.capacity, 16u);
    EXPECT_EXIT(map_reserve(&m, 16), testing::ExitedWithCode(1),
                "map_reserve: 16 entries do not fit a table of 16 slots");
    map_reserve(&m, 15); // doubles once
    EXPECT_EQ(m.capacity, 32u);
    map_free(&m);
}

// ---------------------------------------------------------------- duplicates and removal

TEST(Map, EqualKeysMakeSeparateEntriesFoundInProbeOrder)
{
    map m = make_edge_map();
    uint64_t one = 1, two = 2, three = 3;
    edge_key key = make_edge_key(10, 20);
    const uint64_t home = home_of(&m, key);

    void* first = map_insert(&m, &key, &one);
    void* second = map_insert(&m, &key, &two);
    EXPECT_EQ(m.count, 2u);
    EXPECT_EQ(slot_of(&m, first), home);
    EXPECT_EQ(slot_of(&m, second), (home + 1) & 4095);
    EXPECT_EQ(find_edge(&m, 10, 20), 1u);

    // one removal takes the entry first in the probe sequence, only it
    map_remove(&m, &key);
    EXPECT_EQ(m.count, 1u);
    EXPECT_EQ(find_edge(&m, 10, 20), 2u);

    // a third entry fills the freed home slot and comes first now, though it
    // was inserted last
    void* third = map_insert(&m, &key, &three);
    EXPECT_EQ(slot_of(&m, third), home);
    EXPECT_EQ(find_edge(&m, 10, 20), 3u);
    map_remove(&m, &key);
    EXPECT_EQ(find_edge(&m, 10, 20), 2u);
    map_remove(&m, &key);
    EXPECT_EQ(find_edge(&m, 10, 20), UINT64_MAX);
    EXPECT_EQ(m.count, 0u);
    map_free(&m);
}

TEST(Map, RemovalLeavesLaterEntriesFindableAndZeroesTheSlot)
{
    map m = make_edge_map();
    const uint64_t home = 1000;
    std::vector<edge_key> keys = keys_with_home(&m, home, 4);
    for (uint64_t i = 0; i < 3; ++i) {
        void* value = map_insert(&m, &keys[i], &i);
        ASSERT_EQ(slot_of(&m, value), home + i);
    }

    map_remove(&m, &keys[0]);
    EXPECT_EQ(m.hashes[home], 0u);
    EXPECT_TRUE(bytes_are_zero(m.keys + home * 16, 16));
    EXPECT_TRUE(bytes_are_zero(m.values + home * 8, 8));
    EXPECT_EQ(map_find(&m, &keys[0]), nullptr);
    EXPECT_EQ(slot_of(&m, map_find(&m, &keys[1])), home + 1);
    EXPECT_EQ(slot_of(&m, map_find(&m, &keys[2])), home + 2);

    map_remove(&m, &keys[1]);
    EXPECT_EQ(slot_of(&m, map_find(&m, &keys[2])), home + 2);

    // the next insertion whose probe sequence reaches the freed slot first takes it
    uint64_t seven = 7;
    EXPECT_EQ(slot_of(&m, map_insert(&m, &keys[3], &seven)), home);
    EXPECT_EQ(slot_of(&m, map_insert(&m, &keys[1], &seven)), home + 1);
    EXPECT_EQ(m.count, 3u);
    map_free(&m);
}

TEST(Map, WalksWrapAroundTheLastSlot)
{
    map m = make_edge_map();
    std::vector<edge_key> keys = keys_with_home(&m, 4095, 3);
    uint64_t value = 0;
    EXPECT_EQ(slot_of(&m, map_insert(&m, &keys[0], &value)), 4095u);
    EXPECT_EQ(slot_of(&m, map_insert(&m, &keys[1], &value)), 0u);
    EXPECT_EQ(slot_of(&m, map_insert(&m, &keys[2], &value)), 1u);
    map_remove(&m, &keys[0]);
    map_remove(&m, &keys[1]);
    EXPECT_EQ(slot_of(&m, map_find(&m, &keys[2])), 1u);
    map_free(&m);
}

TEST(MapDeath, RemovingAnAbsentKeyIsFatal)
{
    map m = make_edge_map();
    insert_edge(&m, 1, 2, 5);
    edge_key reversed = make_edge_key(2, 1);
    EXPECT_EXIT(map_remove(&m, &reversed), testing::ExitedWithCode(1),
                "map_remove: no entry for the key with hash [0-9a-f]+ among 1 entries");
    edge_key key = make_edge_key(1, 2);
    map_remove(&m, &key);
    EXPECT_EXIT(map_remove(&m, &key), testing::ExitedWithCode(1),
                "map_remove: no entry for the key .* among 0 entries");
    map_free(&m);
}

// ---------------------------------------------------------------- bounded walk

namespace {

// The hash a test drives the map with: the key's own, or a weak one that
// many keys share (through the *_hashed operations), so that walks meet
// entries whose hash matches and whose key does not.
uint64_t test_hash(const map* m, const void* key, bool weak)
{
    uint64_t hash = map_stored_hash(map_hash(key, m->key_size));
    return weak ? hash % 5 + 1 : hash;
}

// Reference search over the record's arrays: the first slot of the whole
// probe sequence that holds the key, or capacity.
uint64_t full_walk_find(const map* m, const void* key, bool weak)
{
    uint64_t hash = test_hash(m, key, weak);
    for (uint64_t i = 0; i < m->capacity; ++i) {
        uint64_t slot = (hash + i) & (m->capacity - 1);
        if (m->hashes[slot] == hash &&
            std::memcmp(m->keys + slot * m->key_size, key, m->key_size) == 0)
            return slot;
    }
    return m->capacity;
}

// Reference insertion: the first empty slot of the probe sequence.
uint64_t full_walk_empty(const map* m, const void* key, bool weak)
{
    uint64_t hash = test_hash(m, key, weak);
    for (uint64_t i = 0; i < m->capacity; ++i) {
        uint64_t slot = (hash + i) & (m->capacity - 1);
        if (m->hashes[slot] == 0) return slot;
    }
    return m->capacity;
}

// Drives a random sequence of insertions (equal keys included), lookups and
// removals of present keys through the map and compares every result with
// the full walk.
void compare_with_full_walk(uint64_t key_size, uint64_t value_size, uint64_t capacity,
                            int n_keys, int n_operations, unsigned seed, bool weak = false)
{
    std::mt19937 random(seed);
    // keys that share many bytes; with the weak hash, half the keys agree in
    // their first half and the others in their second half
    std::vector<uint8_t> pool(uint64_t(n_keys) * key_size);
    for (uint64_t i = 0; i < pool.size(); ++i) {
        uint64_t k = i / key_size, byte = i % key_size;
        bool fixed = weak && (k % 2 == 0 ? byte < key_size / 2 : byte >= key_size / 2);
        pool[i] = fixed ? 0 : uint8_t(random() % 4);
    }
    std::vector<uint8_t> value(value_size);

    map m;
    map_init(&m, key_size, value_size, capacity);
    auto find = [&](const uint8_t* key) {
        return weak ? map_find_hashed(&m, key, test_hash(&m, key, true)) : map_find(&m, key);
    };
    uint64_t n_entries = 0;
    for (int op = 0; op < n_operations; ++op) {
        // phases that mostly fill and mostly empty the table in turn
        bool filling = (op / 2000) % 2 == 0;
        const uint8_t* key = pool.data() + uint64_t(random() % n_keys) * key_size;
        int choice = int(random() % 100);
        if (choice < (filling ? 50 : 20)) {
            map_reserve(&m, 1);
            uint64_t expected = full_walk_empty(&m, key, weak);
            for (auto& byte : value) byte = uint8_t(random());
            void* slot_value;
            if (weak) {
                slot_value = map_insert_key_hashed(&m, key, test_hash(&m, key, true));
                std::memcpy(slot_value, value.data(), value_size);
            } else {
                slot_value = map_insert(&m, key, value.data());
            }
            ASSERT_EQ(slot_of(&m, slot_value), expected) << "insert, operation " << op;
            ASSERT_EQ(std::memcmp(slot_value, value.data(), value_size), 0);
            n_entries += 1;
        } else if (choice < 70) {
            uint64_t expected = full_walk_find(&m, key, weak);
            void* found = find(key);
            if (expected == m.capacity)
                ASSERT_EQ(found, nullptr) << "find, operation " << op;
            else
                ASSERT_EQ(slot_of(&m, found), expected) << "find, operation " << op;
        } else {
            uint64_t expected = full_walk_find(&m, key, weak);
            if (expected == m.capacity) continue; // removing an absent key is fatal
            if (weak)
                map_remove_hashed(&m, key, test_hash(&m, key, true));
            else
                map_remove(&m, key);
            ASSERT_EQ(m.hashes[expected], 0u) << "remove, operation " << op;
            ASSERT_TRUE(bytes_are_zero(m.keys + expected * key_size, key_size));
            ASSERT_TRUE(bytes_are_zero(m.values + expected * value_size, value_size));
            n_entries -= 1;
        }
        ASSERT_EQ(m.count, n_entries);
        if (op % 250 == 0) {
            // every key of the pool, present or not, and the walk bound itself
            for (int k = 0; k < n_keys; ++k) {
                const uint8_t* any = pool.data() + uint64_t(k) * key_size;
                uint64_t expected = full_walk_find(&m, any, weak);
                void* found = find(any);
                ASSERT_EQ(found ? slot_of(&m, found) : m.capacity, expected) << op;
            }
            for (uint64_t slot = 0; slot < m.capacity; ++slot) {
                if (m.hashes[slot] == 0) continue;
                uint64_t distance = (slot - m.hashes[slot]) & (m.capacity - 1);
                ASSERT_LE(distance, m.max_distance) << slot;
            }
        }
    }
    map_free(&m);
}

} // namespace

TEST(MapBoundedWalk, EqualsTheFullWalkOnEdgeKeys)
{
    ASSERT_NO_FATAL_FAILURE(compare_with_full_walk(16, 8, 4096, 3000, 40000, 1));
    ASSERT_NO_FATAL_FAILURE(compare_with_full_walk(16, 8, 16, 300, 40000, 2));
}

TEST(MapBoundedWalk, EqualsTheFullWalkOnOddSizesAndTinyTables)
{
    // few distinct keys: many equal entries
    ASSERT_NO_FATAL_FAILURE(compare_with_full_walk(3, 5, 2, 40, 20000, 3));
    ASSERT_NO_FATAL_FAILURE(compare_with_full_walk(24, 1, 4, 500, 20000, 4));
    ASSERT_NO_FATAL_FAILURE(compare_with_full_walk(1, 8, 8, 256, 20000, 5));
}

TEST(MapBoundedWalk, EqualsTheFullWalkWhenManyKeysShareAHash)
{
    ASSERT_NO_FATAL_FAILURE(compare_with_full_walk(16, 8, 64, 200, 20000, 6, true));
    ASSERT_NO_FATAL_FAILURE(compare_with_full_walk(5, 3, 8, 100, 20000, 7, true));
}
