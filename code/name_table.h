// The material name table: material names to material indices.
#pragma once

#include <cstdint>

namespace subdiv {

// Maps material names to material indices by their djb2 hash alone (two names
// of one hash are one key), with quadratic probing from the home slot
// (hash mod capacity) and a chain of next pointers from every home slot.

struct name_table_slot {
    uint32_t key;          // hash of the name held here
    int32_t occupied;      // 1 when the slot holds a key, else 0
    int32_t value;         // material index of the name
    name_table_slot* next; // next slot whose key has the same home slot, or null
};

struct name_table {
    uint32_t* keys;          // capacity entries: keys in the order added, the first count valid
    name_table_slot* slots;  // capacity entries: zero-filled when created
    uint64_t capacity;       // number of slots
    uint64_t count;          // number of keys added
};

// The djb2 hash of a NUL-terminated text: 5381, then hash * 33 + byte.
uint32_t name_hash(const char* text);

// name_hash of the n characters at text (which hold no NUL).
uint32_t name_hash_span(const char* text, uint64_t n);

// Sets up an empty table of the given capacity (0 becomes 10). What *table
// held is overwritten, not released. Returns false, *table cleared, when
// memory is refused.
bool name_table_create(uint64_t capacity, name_table* table);

// Releases the slots and keys of *table and clears it.
void name_table_free(name_table* table);

// Puts key and value in the first free slot of the quadratic probe sequence
// from the key's home slot and links it into the home slot's chain. Returns 0
// when placed, 1 when every probe met an occupied slot. Does not record the key.
int name_table_place(uint32_t key, int32_t value, name_table* table);

// name_table_place, and on success appends key to keys and counts it.
int name_table_add(uint32_t key, int32_t value, name_table* table);

// The occupied slot on the key's home chain that holds key, or null.
name_table_slot* name_table_find(uint32_t key, const name_table* table);

// Enlarges the table when wanted_count exceeds its capacity, to 2 * wanted_count
// or 2 * capacity, whichever is larger, and places every recorded key again.
// Returns false, the table as it was, when memory is refused.
bool name_table_grow(uint64_t wanted_count, name_table* table);

// True when the table holds the name's hash.
bool name_table_contains(const char* name, const name_table* table);

// The value of the name; the name must be present (a fatal check otherwise).
int32_t name_table_get(const char* name, const name_table* table);

// Sets the value of the name: replaces it when present, otherwise adds the
// name, growing the table first when it is full, and again whenever the probe
// sequence finds no free slot. Returns false, the name not added, only when
// memory is refused.
bool name_table_set(const char* name, int32_t value, name_table* table);

} // namespace subdiv
