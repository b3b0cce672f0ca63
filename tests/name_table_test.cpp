// The material name table: djb2 keys, quadratic probing, chains, growth.
#include <gtest/gtest.h>

#include <string>

#include "name_table.h"

using namespace subdiv;

TEST(NameTable, HashIsDjb2)
{
    EXPECT_EQ(name_hash(""), 5381u);
    EXPECT_EQ(name_hash("a"), 5381u * 33 + 'a');
    EXPECT_EQ(name_hash("ab"), (5381u * 33 + 'a') * 33 + 'b');
    // bytes are unsigned, the sum wraps
    EXPECT_EQ(name_hash("\xff"), 5381u * 33 + 255);
    uint32_t expected = 5381;
    for (char c : std::string("a rather long material name that wraps around"))
        expected = expected * 33 + (unsigned char)c;
    EXPECT_EQ(name_hash("a rather long material name that wraps around"), expected);
}

TEST(NameTable, NamesSharingAHomeSlotChainFromIt)
{
    name_table table;
    name_table_create(0, &table);
    EXPECT_EQ(table.capacity, 10u);
    EXPECT_FALSE(name_table_contains("ad", &table));

    // "ad" and "an" have different hashes ending in 0: both start at slot 0
    ASSERT_EQ(name_hash("ad") % 10, 0u);
    ASSERT_EQ(name_hash("an") % 10, 0u);
    ASSERT_NE(name_hash("ad"), name_hash("an"));
    name_table_set("ad", 3, &table);
    name_table_set("an", 4, &table);
    EXPECT_EQ(table.count, 2u);
    EXPECT_EQ(table.slots[0].key, name_hash("ad"));
    EXPECT_EQ(table.slots[1].key, name_hash("an")); // the probe 0 + 1^2
    EXPECT_EQ(table.slots[0].next, &table.slots[1]);
    EXPECT_EQ(name_table_get("ad", &table), 3);
    EXPECT_EQ(name_table_get("an", &table), 4);
    EXPECT_FALSE(name_table_contains("ax", &table)); // same home, not present

    // a key whose home is slot 1 finds its slot taken and chains from there
    name_table_slot* found = name_table_find(name_hash("an"), &table);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->value, 4);
    EXPECT_EQ(name_table_find(12345, &table), nullptr);

    // replacement keeps the count
    name_table_set("ad", 9, &table);
    EXPECT_EQ(name_table_get("ad", &table), 9);
    EXPECT_EQ(table.count, 2u);
    EXPECT_EQ(table.keys[0], name_hash("ad"));
    EXPECT_EQ(table.keys[1], name_hash("an"));
    name_table_free(&table);
    EXPECT_EQ(table.slots, nullptr);
}

TEST(NameTable, EleventhNameDoublesTheTableAndReplacesByNewHomes)
{
    // ten names with the home slots 0 .. 9 fill a table of ten
    const char* names[10] = {"ad", "ae", "af", "ag", "ah", "ai", "aj", "aa", "ab", "ac"};
    name_table table;
    name_table_create(10, &table);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(name_hash(names[i]) % 10, uint32_t(i));
        name_table_set(names[i], i, &table);
        EXPECT_EQ(table.slots[i].key, name_hash(names[i]));
    }
    EXPECT_EQ(table.capacity, 10u);
    name_table_set("ba", 10, &table);
    EXPECT_EQ(table.capacity, 20u);
    EXPECT_EQ(table.count, 11u);
    for (int i = 0; i < 10; ++i) {
        uint32_t key = name_hash(names[i]);
        EXPECT_EQ(table.keys[i], key);
        // every home slot mod 20 of these ten is distinct: each sits at home
        EXPECT_EQ(table.slots[key % 20].key, key) << names[i];
        EXPECT_EQ(name_table_get(names[i], &table), i);
    }
    EXPECT_EQ(name_table_get("ba", &table), 10);
    name_table_free(&table);

    // grow: no change up to the capacity, 2n when n is at least twice it
    name_table_create(10, &table);
    name_table_grow(10, &table);
    EXPECT_EQ(table.capacity, 10u);
    name_table_grow(25, &table);
    EXPECT_EQ(table.capacity, 50u);
    name_table_free(&table);
}

TEST(NameTable, EqualHashesAreOneKey)
{
    ASSERT_EQ(name_hash("Ba"), name_hash("C@"));
    name_table table;
    name_table_create(10, &table);
    name_table_set("Ba", 1, &table);
    name_table_set("C@", 2, &table);
    EXPECT_EQ(table.count, 1u);
    EXPECT_EQ(name_table_get("Ba", &table), 2);
    name_table_free(&table);
}

TEST(NameTable, FullProbeSequenceGrowsTheTable)
{
    // with ten slots the probes from slot 0 reach only 0, 1, 4, 9, 6 and 5
    const char* names[7] = {"ad", "an", "ax", "ba", "bk", "bu", "ch"};
    name_table table;
    name_table_create(10, &table);
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(name_hash(names[i]) % 10, 0u);
        name_table_set(names[i], i, &table);
    }
    EXPECT_EQ(table.capacity, 10u);
    int expected_slots[6] = {0, 1, 4, 9, 6, 5};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(table.slots[expected_slots[i]].key, name_hash(names[i])) << i;
    // a further key of home 0 finds no free probe
    EXPECT_EQ(name_table_place(name_hash("ch"), 6, &table), 1);
    EXPECT_EQ(name_table_add(name_hash("ch"), 6, &table), 1);
    EXPECT_EQ(table.count, 6u);
    // set completes by growing, although six keys fit ten slots
    name_table_set("ch", 6, &table);
    EXPECT_EQ(table.capacity, 20u);
    EXPECT_EQ(table.count, 7u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(name_table_get(names[i], &table), i) << names[i];
    name_table_free(&table);
}

TEST(NameTable, ManyNamesStayFindable)
{
    name_table table;
    name_table_create(10, &table);
    for (int i = 0; i < 5000; ++i) name_table_set(("material" + std::to_string(i)).c_str(), i, &table);
    EXPECT_EQ(table.count, 5000u);
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(name_table_get(("material" + std::to_string(i)).c_str(), &table), i);
    EXPECT_FALSE(name_table_contains("material5000", &table));
    name_table_free(&table);
}

TEST(NameTableDeath, GetOfAMissingNameNamesIt)
{
    name_table table;
    name_table_create(10, &table);
    EXPECT_EXIT(name_table_get("steel", &table), testing::ExitedWithCode(1),
                "name table has no entry for 'steel'");
    name_table_free(&table);
}
