// The material name table.
#include "name_table.h"

#include <cstring>

#include "check.h"
#include "storage.h"

namespace subdiv {

uint32_t name_hash(const char* text)
{
    uint32_t hash = 5381;
    for (; *text; ++text) hash = hash * 33u + (unsigned char)*text;
    return hash;
}

uint32_t name_hash_span(const char* text, uint64_t n)
{
    uint32_t hash = 5381;
    for (uint64_t i = 0; i < n; ++i) hash = hash * 33u + (unsigned char)text[i];
    return hash;
}

// A zero-filled slot array of the given capacity; null when memory is refused.
static name_table_slot* name_table_slots_alloc(uint64_t capacity)
{
    CHECK(capacity <= (uint64_t(1) << 40), "name table of %llu slots is too large",
          (unsigned long long)capacity);
    auto* slots = static_cast<name_table_slot*>(mem_alloc(capacity * sizeof(name_table_slot)));
    if (slots) std::memset(slots, 0, capacity * sizeof(name_table_slot));
    return slots;
}

bool name_table_create(uint64_t capacity, name_table* table)
{
    CHECK(table != nullptr, "name_table_create: no table to set up");
    if (capacity == 0) capacity = 10;
    table->slots = name_table_slots_alloc(capacity);
    table->keys = static_cast<uint32_t*>(mem_alloc(capacity * sizeof(uint32_t)));
    table->capacity = capacity;
    table->count = 0;
    if (table->slots && table->keys) return true;
    name_table_free(table);
    return false;
}

void name_table_free(name_table* table)
{
    if (!table) return;
    mem_free(table->slots);
    mem_free(table->keys);
    std::memset(table, 0, sizeof *table);
}

int name_table_place(uint32_t key, int32_t value, name_table* table)
{
    uint64_t capacity = table->capacity;
    uint64_t home = key % capacity;
    // probe home + j^2 mod capacity for j = 0 .. capacity - 1; the square is
    // kept mod capacity by adding 2j + 1 per step
    uint64_t offset = 0;
    for (uint64_t j = 0; j < capacity; ++j) {
        uint64_t index = (home + offset) % capacity;
        name_table_slot* slot = &table->slots[index];
        if (!slot->occupied) {
            slot->key = key;
            slot->occupied = 1;
            slot->value = value;
            if (index != home) {
                // chain it directly after the home slot
                name_table_slot* head = &table->slots[home];
                slot->next = head->next;
                head->next = slot;
            }
            return 0;
        }
        offset = (offset + 2 * j + 1) % capacity;
    }
    return 1;
}

int name_table_add(uint32_t key, int32_t value, name_table* table)
{
    if (name_table_place(key, value, table) != 0) return 1;
    CHECK(table->count < table->capacity, "name table holds %llu keys in %llu slots",
          (unsigned long long)table->count + 1, (unsigned long long)table->capacity);
    table->keys[table->count] = key;
    table->count += 1;
    return 0;
}

name_table_slot* name_table_find(uint32_t key, const name_table* table)
{
    for (name_table_slot* slot = &table->slots[key % table->capacity]; slot; slot = slot->next)
        if (slot->occupied && slot->key == key) return slot;
    return nullptr;
}

bool name_table_grow(uint64_t wanted_count, name_table* table)
{
    if (wanted_count <= table->capacity) return true;
    uint64_t capacity = wanted_count >= 2 * table->capacity ? 2 * wanted_count : 2 * table->capacity;

    // place every recorded key, with its value, in a new slot array; should
    // the probes of one find no free slot, try again with twice the slots
    name_table new_hash_table;
    for (;;) {
        new_hash_table.slots = name_table_slots_alloc(capacity);
        if (!new_hash_table.slots) return false;
        new_hash_table.keys = nullptr;
        new_hash_table.capacity = capacity;
        new_hash_table.count = 0;
        bool placed = true;
        for (uint64_t i = 0; i < table->count && placed; ++i) {
            uint32_t key = table->keys[i];
            const name_table_slot* old = name_table_find(key, table);
            CHECK(old != nullptr, "name table lost its key %u", key);
            placed = name_table_place(key, old->value, &new_hash_table) == 0;
        }
        if (placed) break;
        mem_free(new_hash_table.slots);
        capacity *= 2;
    }

    auto* keys = static_cast<uint32_t*>(mem_alloc(capacity * sizeof(uint32_t)));
    if (!keys) {
        mem_free(new_hash_table.slots);
        return false;
    }
    std::memcpy(keys, table->keys, table->count * sizeof(uint32_t));
    mem_free(table->keys);
    mem_free(table->slots);
    table->keys = keys;
    table->slots = new_hash_table.slots;
    table->capacity = capacity;
    return true;
}

bool name_table_contains(const char* name, const name_table* table)
{
    return name_table_find(name_hash(name), table) != nullptr;
}

int32_t name_table_get(const char* name, const name_table* table)
{
    const name_table_slot* slot = name_table_find(name_hash(name), table);
    CHECK(slot != nullptr, "name table has no entry for '%s'", name);
    return slot->value;
}

bool name_table_set(const char* name, int32_t value, name_table* table)
{
    uint32_t key = name_hash(name);
    name_table_slot* slot = name_table_find(key, table);
    if (slot) {
        slot->value = value;
        return true;
    }
    if (!name_table_grow(table->count + 1, table)) return false;
    // the probe sequence visits only part of the slots: when it finds none
    // free, double the table and try again
    while (name_table_add(key, value, table) != 0)
        if (!name_table_grow(table->capacity + 1, table)) return false;
    return true;
}

} // namespace subdiv
