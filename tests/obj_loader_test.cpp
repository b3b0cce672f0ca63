// OBJ reader: scanners, material name table, material library reader, parser.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "obj_loader.h"

namespace {

uint64_t double_bits(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

uint32_t float_bits(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// parse_number over a whole C string.
bool number(const char* token, double* out)
{
    return parse_number(token, token + std::strlen(token), out);
}

// The number grammar done the slow, literal way: digit recurrences in
// doubles, 0.1^k, 5^e and 10^|e| by repeated multiplication.
bool reference_number(const char* start, const char* end, double* out)
{
    const char* p = start;
    if (p >= end) return false;
    double sign = 1.0;
    if (*p == '+' || *p == '-') {
        sign = *p == '-' ? -1.0 : 1.0;
        ++p;
    } else if (!(*p >= '0' && *p <= '9')) {
        return false;
    }
    double mantissa = 0.0;
    const char* digits = p;
    while (p < end && *p >= '0' && *p <= '9') mantissa = mantissa * 10.0 + double(*p++ - '0');
    if (p == digits) return false;
    bool exponent_marker = false;
    if (p < end && *p == '.') {
        ++p;
        double scale = 1.0;
        while (p < end && *p >= '0' && *p <= '9') {
            scale = scale * 0.1;
            mantissa += double(*p++ - '0') * scale;
        }
        exponent_marker = p < end && (*p == 'e' || *p == 'E');
    } else {
        exponent_marker = p < end && (*p == 'e' || *p == 'E');
    }
    int64_t exponent = 0;
    if (exponent_marker) {
        ++p;
        bool negative = false;
        if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
        const char* first = p;
        while (p < end && *p >= '0' && *p <= '9') exponent = exponent * 10 + (*p++ - '0');
        if (p == first) return false;
        if (negative) exponent = -exponent;
    }
    double value = sign * mantissa;
    if (exponent > 0) {
        double five = 1.0;
        for (int64_t i = 0; i < exponent; ++i) five = five * 5.0;
        value = value * five;
        value = value * std::ldexp(1.0, int(exponent));
    } else if (exponent < 0) {
        double ten = 1.0;
        for (int64_t i = 0; i < -exponent; ++i) ten = ten * 10.0;
        value = value / ten;
    }
    *out = value;
    return true;
}

// The outputs of one obj_parse call.
struct parsed {
    int result;
    obj_attribs attribs;
    obj_shape* shapes;
    uint64_t n_shapes;
    obj_material* materials;
    uint64_t n_materials;
};

parsed parse_text(const std::string& text, uint32_t flags = 0, const char* base_dir = nullptr)
{
    parsed p;
    std::memset(&p, 0, sizeof p);
    p.result = obj_parse(&p.attribs, &p.shapes, &p.n_shapes, &p.materials, &p.n_materials,
                         text.c_str(), text.size(), flags, base_dir, nullptr);
    return p;
}

void parsed_free(parsed* p)
{
    obj_attribs_free(&p->attribs);
    obj_shapes_free(p->shapes, p->n_shapes);
    obj_materials_free(p->materials, p->n_materials);
}

std::vector<float> positions_of(const parsed& p)
{
    return std::vector<float>(p.attribs.positions, p.attribs.positions + 3 * p.attribs.vertex_count);
}

std::vector<int32_t> position_indices_of(const parsed& p)
{
    std::vector<int32_t> indices;
    for (uint32_t i = 0; i < p.attribs.index_count; ++i)
        indices.push_back(p.attribs.indices[i].position_index);
    return indices;
}

std::vector<int32_t> face_sizes_of(const parsed& p)
{
    return std::vector<int32_t>(p.attribs.face_sizes, p.attribs.face_sizes + p.attribs.face_count);
}

std::vector<int32_t> face_materials_of(const parsed& p)
{
    return std::vector<int32_t>(p.attribs.face_materials,
                                p.attribs.face_materials + p.attribs.face_count);
}

// A temporary folder of the test, removed with its files by folder_remove.
std::string folder_make()
{
    char name[] = "/tmp/subdiv-obj-test-XXXXXX";
    const char* made = mkdtemp(name);
    EXPECT_NE(made, nullptr);
    return made ? made : "/tmp";
}

void folder_remove(const std::string& folder)
{
    std::filesystem::remove_all(folder);
}

void file_write(const std::string& path, const std::string& text)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

} // namespace

// ---------------------------------------------------------------- token scanners

TEST(ParseNumber, AcceptedFormsAndIgnoredTails)
{
    struct { const char* token; double value; } cases[] = {
        {"1.5", 1.5}, {"-2", -2.0}, {"+3.", 3.0}, {"1e3", 1000.0}, {"1E+3", 1000.0},
        {"2.5e-1", 0.25}, {"007", 7.0}, {"-0", -0.0}, {"1e0", 1.0},
        // text after a valid prefix is ignored
        {"12abc", 12.0}, {"7,5", 7.0}, {"1.5.3", 1.5}, {"-4-", -4.0},
    };
    for (const auto& c : cases) {
        double value = 42.0;
        EXPECT_TRUE(number(c.token, &value)) << c.token;
        EXPECT_EQ(double_bits(value), double_bits(c.value)) << c.token << " read " << value;
    }
    // only [start, end) is read
    double value = 0.0;
    const char* text = "12345";
    EXPECT_TRUE(parse_number(text, text + 2, &value));
    EXPECT_EQ(value, 12.0);
}

TEST(ParseNumber, RefusedFormsLeaveTheResultAlone)
{
    for (const char* token : {".5", "-.5", "e5", "1e", "1e+", "1e-", "abc", "", "+", "-", "1.5e",
                              "3.e", "1ex", "1e+x"}) {
        double value = 42.0;
        EXPECT_FALSE(number(token, &value)) << token;
        EXPECT_EQ(value, 42.0) << token;
        const char* cursor = token;
        EXPECT_EQ(float_bits(parse_float(&cursor)), float_bits(0.0f)) << token;
        EXPECT_EQ(cursor, token + std::strlen(token)) << token;
    }
}

TEST(ParseNumber, FractionDigitsAddScaledTenthsNotTheNearestDouble)
{
    // 0.3 reads as 3 * 0.1, one ulp above the double nearest to 0.3
    double value = 0.0;
    ASSERT_TRUE(number("0.3", &value));
    EXPECT_EQ(double_bits(value), double_bits(3.0 * 0.1));
    EXPECT_NE(double_bits(value), double_bits(0.3));
}

TEST(ParseNumber, ExtremeExponents)
{
    double value = 0.0;
    ASSERT_TRUE(number("1e400", &value));
    EXPECT_TRUE(std::isinf(value) && value > 0);
    ASSERT_TRUE(number("-1e400", &value));
    EXPECT_TRUE(std::isinf(value) && value < 0);
    ASSERT_TRUE(number("1e-400", &value));
    EXPECT_EQ(double_bits(value), double_bits(0.0));
    // 0 times an infinite power of five
    ASSERT_TRUE(number("0e500", &value));
    EXPECT_TRUE(std::isnan(value));
    // the exponent wraps in 32 bits: 4294967297 is 1, 4294967296 is 0
    ASSERT_TRUE(number("2e4294967297", &value));
    EXPECT_EQ(value, 20.0);
    ASSERT_TRUE(number("2e4294967296", &value));
    EXPECT_EQ(value, 2.0);
    // a huge exponent returns at once
    ASSERT_TRUE(number("1e2147483647", &value));
    EXPECT_TRUE(std::isinf(value));
    ASSERT_TRUE(number("1e-2147483648", &value));
    EXPECT_EQ(value, 0.0);
    // 400 digits overflow the mantissa to infinity; 400 fraction digits add nothing past the 323rd
    std::string digits(400, '9');
    ASSERT_TRUE(number(digits.c_str(), &value));
    EXPECT_TRUE(std::isinf(value));
    std::string fraction = "0." + std::string(400, '1');
    double reference = 0.0;
    ASSERT_TRUE(number(fraction.c_str(), &value));
    ASSERT_TRUE(reference_number(fraction.data(), fraction.data() + fraction.size(), &reference));
    EXPECT_EQ(double_bits(value), double_bits(reference));
}

TEST(ParseNumber, MatchesTheDigitByDigitDefinitionBitForBit)
{
    // deterministic tokens: up to 24 integer digits, up to 24 fraction
    // digits, exponents -40..40; the fast paths must give the same bits
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state](uint64_t n) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (state >> 33) % n;
    };
    for (int i = 0; i < 50000; ++i) {
        std::string token;
        uint64_t sign = next(3);
        if (sign == 1) token += '-';
        if (sign == 2) token += '+';
        uint64_t n_whole = 1 + next(24);
        for (uint64_t k = 0; k < n_whole; ++k) token += char('0' + next(10));
        if (next(4) != 0) {
            token += '.';
            uint64_t n_fraction = next(25);
            for (uint64_t k = 0; k < n_fraction; ++k) token += char('0' + next(10));
        }
        if (next(3) == 0) {
            token += next(2) ? 'e' : 'E';
            uint64_t exponent_sign = next(3);
            if (exponent_sign == 1) token += '-';
            if (exponent_sign == 2) token += '+';
            token += std::to_string(next(41));
        }
        double fast = 0.0, slow = 0.0;
        const char* start = token.data();
        const char* end = start + token.size();
        ASSERT_TRUE(parse_number(start, end, &fast)) << token;
        ASSERT_TRUE(reference_number(start, end, &slow)) << token;
        ASSERT_EQ(double_bits(fast), double_bits(slow)) << token;
    }
}

TEST(ParseFloat, SkipsBlanksAndStopsAtTheTokenEnd)
{
    const char* text = "  3.25\tx";
    const char* cursor = text;
    EXPECT_EQ(parse_float(&cursor), 3.25f);
    EXPECT_EQ(cursor, text + 6);

    // every line end stops a token: LF, CR, NUL
    const char* lines = "1.5\nv 2\r";
    cursor = lines;
    EXPECT_EQ(parse_float(&cursor), 1.5f);
    EXPECT_EQ(*cursor, '\n');
    cursor = lines + 6;
    EXPECT_EQ(parse_float(&cursor), 2.0f);
    EXPECT_EQ(*cursor, '\r');

    // the double rounds to the nearest float
    cursor = "0.1";
    EXPECT_EQ(float_bits(parse_float(&cursor)), float_bits(float(1.0 * 0.1)));

    float a = -1, b = -1, c = -1;
    cursor = "1 2";
    parse_float3(&cursor, &a, &b, &c);
    EXPECT_EQ(a, 1.0f);
    EXPECT_EQ(b, 2.0f);
    EXPECT_EQ(c, 0.0f);
    cursor = " 0.5 x 9";
    parse_float2(&cursor, &a, &b);
    EXPECT_EQ(a, 0.5f);
    EXPECT_EQ(b, 0.0f); // malformed
    EXPECT_EQ(std::strcmp(cursor, " 9"), 0);
}

TEST(ParseInt, SignsDigitsAndWrapping)
{
    EXPECT_EQ(parse_int("-12x"), -12);
    EXPECT_EQ(parse_int("x"), 0);
    EXPECT_EQ(parse_int("+7"), 7);
    EXPECT_EQ(parse_int("-"), 0);
    EXPECT_EQ(parse_int("4294967297"), 1);
    EXPECT_EQ(parse_int("2147483648"), INT32_MIN);
    EXPECT_EQ(parse_int("-2147483648"), INT32_MIN);

    const char* text = "  42x 7";
    const char* cursor = text;
    EXPECT_EQ(parse_int_token(&cursor), 42);
    EXPECT_EQ(cursor, text + 5); // the end of the token "42x"
    EXPECT_EQ(parse_int_token(&cursor), 7);
    EXPECT_EQ(*cursor, '\0');
}

TEST(ParseCorner, TheFourFormsAndWhereTheCursorStops)
{
    struct { const char* text; corner_index corner; int stop; } cases[] = {
        {"3", {3, index_missing, index_missing}, 1},
        {"3/4", {3, 4, index_missing}, 3},
        {"3//5", {3, index_missing, 5}, 4},
        {"3/4/5 ", {3, 4, 5}, 5},
        {"3/ ", {3, 0, index_missing}, 2},
        {"-1/-2/-3\r\n", {-1, -2, -3}, 8},
        {"12\n", {12, index_missing, index_missing}, 2},
        {"1/2\t", {1, 2, index_missing}, 3},
    };
    for (const auto& c : cases) {
        const char* cursor = c.text;
        corner_index corner = parse_corner(&cursor);
        EXPECT_EQ(corner.position_index, c.corner.position_index) << c.text;
        EXPECT_EQ(corner.texcoord_index, c.corner.texcoord_index) << c.text;
        EXPECT_EQ(corner.normal_index, c.corner.normal_index) << c.text;
        EXPECT_EQ(cursor - c.text, c.stop) << c.text;
    }
    // a fourth part starts a further corner at its "/"
    const char* cursor = "1/2/3/4";
    parse_corner(&cursor);
    EXPECT_STREQ(cursor, "/4");
    corner_index extra = parse_corner(&cursor);
    EXPECT_EQ(extra.position_index, 0);
    EXPECT_EQ(extra.texcoord_index, 4);
    EXPECT_EQ(extra.normal_index, index_missing);
    EXPECT_EQ(*cursor, '\0');
}

TEST(ResolveIndex, OneBasedZeroAndRelative)
{
    EXPECT_EQ(resolve_index(1, 0), 0);
    EXPECT_EQ(resolve_index(1, 1000), 0);
    EXPECT_EQ(resolve_index(5, 3), 4); // not range-checked
    EXPECT_EQ(resolve_index(0, 7), 0);
    EXPECT_EQ(resolve_index(-1, 8), 7);
    EXPECT_EQ(resolve_index(-8, 8), 0);
    EXPECT_EQ(resolve_index(-9, 8), -1);
    EXPECT_EQ(resolve_index(index_missing, 0), INT32_MIN);
    EXPECT_EQ(resolve_index(index_missing, 5), INT32_MIN + 5);
}

// ---------------------------------------------------------------- material name table

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

// ---------------------------------------------------------------- material library

TEST(MtlParse, EveryKeywordAndTheDefaults)
{
    std::string folder = folder_make();
    std::string path = folder + "/all.mtl";
    file_write(path,
               "# a library\n"
               "\n"
               "Kd 9 9 9\n" // before any newmtl: dropped
               "newmtl   red extra\n"
               "Ka 1\n"
               "Kd 0.5 0.25 0.125\n"
               "Ks 1 2 3\n"
               "Kt 4 5 6\n"
               "Ke 7 8 9\n"
               "\tNs 96.5\n"
               "Ni 1.45\n"
               "illum 2\n"
               "Pr 0.5\n" // not a keyword of this reader
               "Kdx 1 1 1\n"
               "map_Ka a.png\n"
               "map_Kd  -s 1 1 1 tex.png \r\n"
               "map_Ks s.png\n"
               "map_Ns n.png\n"
               "bump b1.png\n"
               "map_bump b2.png\n"
               "disp d.png\n"
               "map_d alpha.png\n"
               "newmtl blue\n");
    obj_material* materials = nullptr;
    uint64_t count = 99;
    name_table table;
    name_table_create(10, &table);
    ASSERT_EQ(mtl_parse(&materials, &count, path.c_str(), &table), parse_ok);
    ASSERT_EQ(count, 2u);
    const obj_material& red = materials[0];
    EXPECT_STREQ(red.name, "red");
    EXPECT_EQ(red.ambient[0], 1.0f);
    EXPECT_EQ(red.ambient[1], 0.0f);
    EXPECT_EQ(red.ambient[2], 0.0f);
    EXPECT_EQ(red.diffuse[0], 0.5f);
    EXPECT_EQ(red.diffuse[1], 0.25f);
    EXPECT_EQ(red.diffuse[2], 0.125f);
    EXPECT_EQ(red.specular[2], 3.0f);
    EXPECT_EQ(red.transmittance[0], 4.0f);
    EXPECT_EQ(red.emission[1], 8.0f);
    EXPECT_EQ(red.shininess, 96.5f);
    double ni = 0;
    ASSERT_TRUE(number("1.45", &ni));
    EXPECT_EQ(float_bits(red.refraction_index), float_bits(float(ni)));
    EXPECT_EQ(red.illum, 2);
    EXPECT_EQ(red.dissolve, 1.0f);
    EXPECT_STREQ(red.ambient_map, "a.png");
    EXPECT_STREQ(red.diffuse_map, " -s 1 1 1 tex.png "); // options and blanks kept, CR LF cut
    EXPECT_STREQ(red.specular_map, "s.png");
    EXPECT_STREQ(red.shininess_map, "n.png");
    EXPECT_STREQ(red.bump_map, "b2.png"); // bump and map_bump set one field
    EXPECT_STREQ(red.displacement_map, "d.png");
    EXPECT_STREQ(red.alpha_map, "alpha.png");

    const obj_material& blue = materials[1];
    EXPECT_STREQ(blue.name, "blue");
    EXPECT_EQ(blue.diffuse[0], 0.0f);
    EXPECT_EQ(blue.shininess, 1.0f);
    EXPECT_EQ(blue.refraction_index, 1.0f);
    EXPECT_EQ(blue.dissolve, 1.0f);
    EXPECT_EQ(blue.illum, 0);
    EXPECT_EQ(blue.diffuse_map, nullptr);
    EXPECT_EQ(blue.bump_map, nullptr);

    EXPECT_EQ(name_table_get("red", &table), 0);
    EXPECT_EQ(name_table_get("blue", &table), 1);
    name_table_free(&table);
    obj_materials_free(materials, count);
    folder_remove(folder);
}

TEST(MtlParse, TransparencyDissolveNamesAndLongLines)
{
    std::string folder = folder_make();
    std::string path = folder + "/more.mtl";
    std::string long_name(10000, 'n');
    file_write(path, "newmtl glass\r\n"
                     "Tr 0.25\r\n"
                     "newmtl fog\n"
                     "Tr 0.25\n"
                     "d 0.5\n"
                     "newmtl same\n"
                     "illum 1\n"
                     "newmtl same\n"
                     "illum 3\n"
                     "newmtl\n" // no blank after the keyword: not a statement
                     "newmtl \t\n"
                     "newmtl " + long_name + "\n"
                     "map_Kd " + std::string(9000, 'x') + "\n"
                     "newmtl last"); // no line end
    obj_material* materials = nullptr;
    uint64_t count = 0;
    name_table table;
    name_table_create(10, &table);
    ASSERT_EQ(mtl_parse(&materials, &count, path.c_str(), &table), parse_ok);
    ASSERT_EQ(count, 7u);
    EXPECT_STREQ(materials[0].name, "glass"); // the CR is white space, not part of the word
    EXPECT_EQ(materials[0].dissolve, 0.75f);
    EXPECT_EQ(materials[1].dissolve, 0.5f);
    // two materials of one name: both kept, the table maps it to the later one
    EXPECT_STREQ(materials[2].name, "same");
    EXPECT_STREQ(materials[3].name, "same");
    EXPECT_EQ(materials[2].illum, 1);
    EXPECT_EQ(materials[3].illum, 3);
    EXPECT_EQ(name_table_get("same", &table), 3);
    // newmtl without a word: an empty name
    EXPECT_STREQ(materials[4].name, "");
    // names and maps of any length are kept whole
    EXPECT_EQ(std::string(materials[5].name), long_name);
    EXPECT_EQ(std::string(materials[5].diffuse_map), std::string(9000, 'x'));
    EXPECT_STREQ(materials[6].name, "last");
    EXPECT_EQ(name_table_get("last", &table), 6);
    name_table_free(&table);
    obj_materials_free(materials, count);

    // without a table nothing is recorded; without a newmtl there is no array
    file_write(path, "# nothing\nKd 1 1 1\nmap_Kd x.png\n");
    materials = reinterpret_cast<obj_material*>(&count);
    ASSERT_EQ(mtl_parse(&materials, &count, path.c_str(), nullptr), parse_ok);
    EXPECT_EQ(materials, nullptr);
    EXPECT_EQ(count, 0u);
    folder_remove(folder);
}

TEST(MtlParse, MissingFileAndMissingArguments)
{
    obj_material* materials = reinterpret_cast<obj_material*>(0x1);
    uint64_t count = 5;
    testing::internal::CaptureStderr();
    EXPECT_EQ(mtl_parse(&materials, &count, "/nonexistent-subdiv-test/x.mtl", nullptr),
              parse_error_file);
    std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message, "OBJ: Error reading file '/nonexistent-subdiv-test/x.mtl': "
                       "No such file or directory (2)\n");
    EXPECT_EQ(materials, nullptr);
    EXPECT_EQ(count, 0u);

    // a folder opens but cannot be read
    testing::internal::CaptureStderr();
    EXPECT_EQ(mtl_parse(&materials, &count, "/tmp", nullptr), parse_error_file);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "OBJ: Error reading file '/tmp': Is a directory (21)\n");

    count = 5;
    EXPECT_EQ(mtl_parse(nullptr, &count, "x.mtl", nullptr), parse_error_invalid);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(mtl_parse(&materials, nullptr, "x.mtl", nullptr), parse_error_invalid);
}

// ---------------------------------------------------------------- OBJ parser

TEST(ObjParse, StatementsWithAndWithoutBlanks)
{
    parsed p = parse_text("v 1 2\n"
                          "v 1 2 3 4\n"
                          "v\t-1.5   2e1\t 3\n"
                          "v1 2 3\n"
                          "vp 1 2\n"
                          "s 1\n"
                          "l 1 2\n"
                          "   \n"
                          "  # v 9 9 9\n"
                          "  v 7 8 9 # trailing comment\n"
                          "vt 0.5\n"
                          "vn 0 0 1\n"
                          "vt 0.25 0.75 1\n");
    ASSERT_EQ(p.result, parse_ok);
    EXPECT_EQ(p.attribs.vertex_count, 4u);
    EXPECT_EQ(positions_of(p), (std::vector<float>{1, 2, 0, 1, 2, 3, -1.5f, 20, 3, 7, 8, 9}));
    ASSERT_EQ(p.attribs.texcoord_count, 2u);
    EXPECT_EQ(std::vector<float>(p.attribs.texcoords, p.attribs.texcoords + 4),
              (std::vector<float>{0.5f, 0, 0.25f, 0.75f}));
    ASSERT_EQ(p.attribs.normal_count, 1u);
    EXPECT_EQ(p.attribs.normals[2], 1.0f);
    EXPECT_EQ(p.attribs.face_count, 0u);
    EXPECT_EQ(p.attribs.indices, nullptr); // empty arrays are null
    EXPECT_EQ(p.n_shapes, 0u);
    EXPECT_EQ(p.materials, nullptr);
    parsed_free(&p);
}

TEST(ObjParse, FaceCornersResolveAgainstTheStatementsBeforeThem)
{
    parsed p = parse_text("v 0 0 0\nv 1 0 0\nv 0 1 0\n"
                          "f 1 2 3\n"
                          "f -3 -2 -1\n"
                          "f 0 1 2\n"
                          "vt 0 0\nvt 1 0\nvt 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 0 1\n"
                          "f 1/1/1 2/2/2 3/3/3\n"
                          "v 0 0 1\n"
                          "f -1//-1 -2/-3 1/1/\n"
                          "f 1 2 3 4\n");
    ASSERT_EQ(p.result, parse_ok);
    EXPECT_EQ(face_sizes_of(p), (std::vector<int32_t>{3, 3, 3, 3, 3, 4}));
    EXPECT_EQ(position_indices_of(p),
              (std::vector<int32_t>{0, 1, 2, 0, 1, 2, 0, 0, 1, 0, 1, 2, 3, 2, 0, 0, 1, 2, 3}));
    const corner_index* c = p.attribs.indices;
    EXPECT_EQ(c[0].texcoord_index, INT32_MIN); // no texture statements read yet
    EXPECT_EQ(c[0].normal_index, INT32_MIN);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(c[9 + i].texcoord_index, i);
        EXPECT_EQ(c[9 + i].normal_index, i);
    }
    EXPECT_EQ(c[12].texcoord_index, INT32_MIN + 3);
    EXPECT_EQ(c[12].normal_index, 2);
    EXPECT_EQ(c[13].texcoord_index, 0);
    EXPECT_EQ(c[13].normal_index, INT32_MIN + 3);
    EXPECT_EQ(c[14].texcoord_index, 0);
    EXPECT_EQ(c[14].normal_index, 0); // "1/1/": an empty part reads 0
    EXPECT_EQ(face_materials_of(p), (std::vector<int32_t>(6, -1)));
    parsed_free(&p);

    // a face statement without corners is a face of size 0
    p = parse_text("f\nf \n");
    ASSERT_EQ(p.result, parse_ok);
    EXPECT_EQ(p.attribs.face_count, 1u); // "f" alone lacks its blank: not a statement
    EXPECT_EQ(p.attribs.face_sizes[0], 0);
    EXPECT_EQ(p.attribs.index_count, 0u);
    parsed_free(&p);
}

TEST(ObjParse, TriangulationMakesFans)
{
    parsed p = parse_text("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 2 0\n"
                          "f 1 2 3 4 5\n"
                          "f 1 2\n"
                          "f 1 2 3\n",
                          parse_triangulate | 0x10);
    ASSERT_EQ(p.result, parse_ok);
    EXPECT_EQ(face_sizes_of(p), (std::vector<int32_t>{3, 3, 3, 3}));
    EXPECT_EQ(position_indices_of(p), (std::vector<int32_t>{0, 1, 2, 0, 2, 3, 0, 3, 4, 0, 1, 2}));
    // shapes count face statements, the two-corner one included
    ASSERT_EQ(p.n_shapes, 1u);
    EXPECT_EQ(p.shapes[0].face_count, 3u);
    parsed_free(&p);

    // the same text without triangulation
    p = parse_text("f 1 2 3 4 5\nf 1 2\n", 0);
    EXPECT_EQ(face_sizes_of(p), (std::vector<int32_t>{5, 2}));
    parsed_free(&p);
}

TEST(ObjParse, LineEndsCrLfAndLoneCrGiveTheSameData)
{
    const std::string lines[] = {"v 0 0 0", "v 1 0.5 0", "v 0 1 0.25 ", "vt 0.5 0.5",
                                 "g  left", "f 1/1 2/1 3/1", "f -1 -2 -3 ", "o obj",
                                 "f 3 2 1"};
    std::string lf, crlf, cr;
    for (const std::string& line : lines) {
        lf += line + "\n";
        crlf += line + "\r\n";
        cr += line + "\r";
    }
    parsed a = parse_text(lf), b = parse_text(crlf), c = parse_text(cr);
    for (parsed* p : {&a, &b, &c}) {
        ASSERT_EQ(p->result, parse_ok);
        ASSERT_EQ(p->attribs.vertex_count, 3u);
        ASSERT_EQ(p->attribs.index_count, 9u);
        ASSERT_EQ(p->attribs.face_count, 3u);
        EXPECT_EQ(std::memcmp(p->attribs.positions, a.attribs.positions, 9 * sizeof(float)), 0);
        EXPECT_EQ(std::memcmp(p->attribs.indices, a.attribs.indices, 9 * sizeof(corner_index)), 0);
        EXPECT_EQ(face_sizes_of(*p), face_sizes_of(a));
        ASSERT_EQ(p->n_shapes, 2u);
    }
    EXPECT_STREQ(a.shapes[0].name, " left");
    EXPECT_STREQ(a.shapes[1].name, "obj");
    // group and object names keep the CR of a CR LF line
    EXPECT_STREQ(b.shapes[0].name, " left\r");
    EXPECT_STREQ(b.shapes[1].name, "obj\r");
    EXPECT_STREQ(c.shapes[0].name, " left");
    for (parsed* p : {&a, &b, &c}) parsed_free(p);

    // a CR as the very last character stays in its line
    parsed d = parse_text("v 1 2 3\rg x\r");
    ASSERT_EQ(d.result, parse_ok);
    EXPECT_EQ(positions_of(d), (std::vector<float>{1, 2, 3}));
    parsed_free(&d);
}

TEST(ObjParse, TextsWithAndWithoutAFinalLineEnd)
{
    parsed p = parse_text("v 1 2 3");
    ASSERT_EQ(p.result, parse_ok);
    EXPECT_EQ(positions_of(p), (std::vector<float>{1, 2, 3}));
    parsed_free(&p);
    p = parse_text("v 1 2 3\n\n");
    ASSERT_EQ(p.result, parse_ok);
    EXPECT_EQ(p.attribs.vertex_count, 1u);
    parsed_free(&p);
    p = parse_text("f 1 2 3");
    EXPECT_EQ(position_indices_of(p), (std::vector<int32_t>{0, 1, 2}));
    parsed_free(&p);
    // a NUL inside the text ends a line
    p = parse_text(std::string("v 1 2 3\0v 4 5 6", 15));
    ASSERT_EQ(p.result, parse_ok);
    EXPECT_EQ(positions_of(p), (std::vector<float>{1, 2, 3, 4, 5, 6}));
    parsed_free(&p);
}

TEST(ObjParse, ShapesFromGroupsAndObjects)
{
    parsed p = parse_text("v 0 0 0\nv 1 0 0\nv 0 1 0\n"
                          "g a\nf 1 2 3\nf 1 2 3\ng b\ng c\nf 1 2 3\no\n");
    ASSERT_EQ(p.result, parse_ok);
    ASSERT_EQ(p.n_shapes, 2u);
    EXPECT_STREQ(p.shapes[0].name, "a");
    EXPECT_EQ(p.shapes[0].first_face, 0u);
    EXPECT_EQ(p.shapes[0].face_count, 2u);
    EXPECT_STREQ(p.shapes[1].name, "c");
    EXPECT_EQ(p.shapes[1].first_face, 2u);
    EXPECT_EQ(p.shapes[1].face_count, 1u);
    parsed_free(&p);

    p = parse_text("f 1 2 3\nf 1 2 3\n");
    ASSERT_EQ(p.n_shapes, 1u);
    EXPECT_EQ(p.shapes[0].name, nullptr);
    EXPECT_EQ(p.shapes[0].first_face, 0u);
    EXPECT_EQ(p.shapes[0].face_count, 2u);
    parsed_free(&p);

    // faces before the first group, an empty object name, an object after a group
    p = parse_text("f 1 2 3\ng \nf 1 2 3\no thing\nf 1 2 3\nf 1 2 3\n");
    ASSERT_EQ(p.n_shapes, 3u);
    EXPECT_EQ(p.shapes[0].name, nullptr);
    EXPECT_EQ(p.shapes[1].name, nullptr);
    EXPECT_EQ(p.shapes[1].first_face, 1u);
    EXPECT_STREQ(p.shapes[2].name, "thing");
    EXPECT_EQ(p.shapes[2].first_face, 2u);
    EXPECT_EQ(p.shapes[2].face_count, 2u);
    parsed_free(&p);
}

TEST(ObjParse, LinesOfAnyLength)
{
    std::string blanks(100000, ' ');
    std::string name(100000, 'g');
    std::string text = "v" + blanks + "1 2 3\n" + "g " + name + "\n" + "f 1" + blanks + "1 1" +
                       blanks + "\r\n" + "v 4 5 " + std::string(100000, '6') + "\n";
    parsed p = parse_text(text);
    ASSERT_EQ(p.result, parse_ok);
    ASSERT_EQ(p.attribs.vertex_count, 2u);
    EXPECT_EQ(p.attribs.positions[0], 1.0f);
    EXPECT_EQ(p.attribs.positions[2], 3.0f);
    EXPECT_TRUE(std::isinf(p.attribs.positions[5]));
    EXPECT_EQ(face_sizes_of(p), (std::vector<int32_t>{3}));
    ASSERT_EQ(p.n_shapes, 1u);
    EXPECT_EQ(std::string(p.shapes[0].name), name);
    parsed_free(&p);
}

TEST(ObjParse, TooManyCornersIsRefusedWithTheLine)
{
    std::string corners15, corners16;
    for (int i = 1; i <= 15; ++i) {
        corners15 += ' ';
        corners15 += std::to_string(i);
    }
    corners16 = corners15;
    corners16 += " 16";
    parsed p = parse_text("v 0 0 0\nf" + corners15 + "\n");
    ASSERT_EQ(p.result, parse_ok);
    EXPECT_EQ(face_sizes_of(p), (std::vector<int32_t>{15}));
    parsed_free(&p);

    testing::internal::CaptureStderr();
    p = parse_text("v 0 0 0\r\n\r\nf" + corners16 + "\r\nf 1 2 3\r\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "OBJ: line 3: face with 16 corners, at most 15 are supported\n");
    EXPECT_EQ(p.result, parse_error_face);
    EXPECT_EQ(p.attribs.positions, nullptr);
    EXPECT_EQ(p.attribs.vertex_count, 0u);
    EXPECT_EQ(p.shapes, nullptr);
    EXPECT_EQ(p.materials, nullptr);
    parsed_free(&p);

    // five corners is the most when triangulating
    p = parse_text("f 1 2 3 4 5\n", parse_triangulate);
    EXPECT_EQ(p.result, parse_ok);
    parsed_free(&p);
    testing::internal::CaptureStderr();
    p = parse_text("f 1 2 3 4 5 6\n", parse_triangulate);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "OBJ: line 1: face with 6 corners, at most 5 are supported\n");
    EXPECT_EQ(p.result, parse_error_face);
    parsed_free(&p);

    // the line parser stores nothing beyond its record
    line_record record;
    std::string line = "f" + corners16 + corners16;
    EXPECT_EQ(obj_parse_line(&record, line.c_str(), line.size(), false), parse_error_face);
    EXPECT_EQ(record.kind, kind_face);
    EXPECT_EQ(record.corner_count, 0u);
}

// parse_int wraps, so an index beyond 32 bits would name another vertex:
// 4294967297 would be 1. Face statements with such an index are refused.
TEST(ObjParse, FaceIndicesOutsideThirtyTwoBitsAreRefusedWithTheLine)
{
    const std::string vertices = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    // the edges of the range, in every part of a corner, signs and zeros
    for (const char* face : {"f 2147483647 1 2", "f -2147483648 1 2", "f 1/2147483647 2 3",
                             "f 1 2 +0000000000003", "f -000000000001 1 2"}) {
        parsed p = parse_text(vertices + face + "\n");
        EXPECT_EQ(p.result, parse_ok) << face;
        parsed_free(&p);
    }
    struct refused {
        const char* face;
        const char* shown; // the index as the message gives it
    } cases[] = {
        {"f 2147483648 1 2", "2147483648"},
        {"f 1 4294967297 2", "4294967297"},
        {"f 1 2 -2147483649", "-2147483649"},
        {"f 1/99999999999/1 2 3", "99999999999"},
        {"f 1//+2147483648 2 3", "+2147483648"},
        {"f 1 2 3/1/123456789012345678901234567890", "123456789012345678901234..."},
    };
    for (const refused& c : cases) {
        testing::internal::CaptureStderr();
        parsed p = parse_text(vertices + "\r\n" + c.face + "\r\n");
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("OBJ: line 5: face index ") + c.shown +
                      " is outside the 32-bit range\n");
        EXPECT_EQ(p.result, parse_error_index) << c.face;
        EXPECT_EQ(p.attribs.positions, nullptr);
        EXPECT_EQ(p.shapes, nullptr);
        parsed_free(&p);

        line_record record;
        const char* line = c.face;
        EXPECT_EQ(obj_parse_line(&record, line, std::strlen(line), false), parse_error_index);
        EXPECT_EQ(record.corner_count, 0u);
    }
    // parse_corner itself wraps, as parse_int does
    const char* cursor = "4294967297/2";
    EXPECT_EQ(parse_corner(&cursor).position_index, 1);
}

// The messages of the faults that fail a parse name the text when given a name.
TEST(ObjParse, FaultMessagesNameTheFile)
{
    std::string corners16;
    for (int i = 1; i <= 16; ++i) corners16 += " 1";
    obj_attribs attribs;
    obj_shape* shapes = nullptr;
    obj_material* materials = nullptr;
    uint64_t n_shapes = 0, n_materials = 0;
    struct named {
        std::string text;
        int result;
        const char* message;
    } cases[] = {
        {"v 0 0 0\nf" + corners16 + "\n", parse_error_face,
         "OBJ: dir/m.obj: line 2: face with 16 corners, at most 15 are supported\n"},
        {"f 1 2 3\nf 1 2 -4294967296\n", parse_error_index,
         "OBJ: dir/m.obj: line 2: face index -4294967296 is outside the 32-bit range\n"},
    };
    for (const named& c : cases) {
        testing::internal::CaptureStderr();
        int result = obj_parse(&attribs, &shapes, &n_shapes, &materials, &n_materials,
                               c.text.c_str(), c.text.size(), 0, nullptr, "dir/m.obj");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(result, c.result);
    }
}

TEST(ObjParse, ParseLineKindsAndNames)
{
    line_record record;
    const char* line = "usemtl  steel \r";
    EXPECT_EQ(obj_parse_line(&record, line, std::strlen(line), false), 1);
    EXPECT_EQ(record.kind, kind_use_material);
    EXPECT_EQ(std::string(record.material_name, record.material_name_length), "steel \r");
    EXPECT_EQ(record.material_name, line + 8); // points into the text

    line = "mtllib lib.mtl";
    EXPECT_EQ(obj_parse_line(&record, line, std::strlen(line), false), 1);
    EXPECT_EQ(record.kind, kind_material_library);
    EXPECT_EQ(std::string(record.library_name, record.library_name_length), "lib.mtl");

    line = "o ";
    EXPECT_EQ(obj_parse_line(&record, line, 2, false), 1);
    EXPECT_EQ(record.kind, kind_object);
    EXPECT_EQ(record.object_name_length, 0u);

    for (const char* other : {"", "   ", "# f 1 2 3", "usemtlx a", "mtllib", "vx 1", "x"}) {
        EXPECT_EQ(obj_parse_line(&record, other, std::strlen(other), false), 0) << other;
        EXPECT_EQ(record.kind, kind_empty) << other;
    }

    // the face corners stay as written
    line = "f 1/2 -1//4";
    EXPECT_EQ(obj_parse_line(&record, line, std::strlen(line), false), 1);
    ASSERT_EQ(record.corner_count, 2u);
    EXPECT_EQ(record.face_count, 1u);
    EXPECT_EQ(record.face_sizes[0], 2);
    EXPECT_EQ(record.face_corners[1].position_index, -1);
    EXPECT_EQ(record.face_corners[1].normal_index, 4);
}

TEST(ObjParse, InvalidArgumentsTouchNothing)
{
    obj_attribs attribs;
    std::memset(&attribs, 0x5A, sizeof attribs);
    obj_shape* shapes = reinterpret_cast<obj_shape*>(0x1);
    obj_material* materials = reinterpret_cast<obj_material*>(0x1);
    uint64_t n_shapes = 7, n_materials = 7;
    const char* text = "v 1 2 3\n";
    EXPECT_EQ(obj_parse(&attribs, &shapes, &n_shapes, &materials, &n_materials, text, 0, 0,
                        nullptr, nullptr),
              parse_error_invalid);
    EXPECT_EQ(obj_parse(nullptr, &shapes, &n_shapes, &materials, &n_materials, text, 8, 0,
                        nullptr, nullptr),
              parse_error_invalid);
    EXPECT_EQ(obj_parse(&attribs, nullptr, &n_shapes, &materials, &n_materials, text, 8, 0,
                        nullptr, nullptr),
              parse_error_invalid);
    EXPECT_EQ(obj_parse(&attribs, &shapes, &n_shapes, &materials, nullptr, text, 8, 0,
                        nullptr, nullptr),
              parse_error_invalid);
    EXPECT_EQ(obj_parse(&attribs, &shapes, &n_shapes, &materials, &n_materials, nullptr, 8, 0,
                        nullptr, nullptr),
              parse_error_invalid);
    EXPECT_EQ(attribs.vertex_count, 0x5A5A5A5Au);
    EXPECT_EQ(shapes, reinterpret_cast<obj_shape*>(0x1));
    EXPECT_EQ(n_shapes, 7u);
    EXPECT_EQ(n_materials, 7u);
}

TEST(ObjParse, MaterialsFromTheLastLibraryInTheObjFolder)
{
    std::string folder = folder_make();
    file_write(folder + "/first.mtl", "newmtl red\nnewmtl blue\n");
    file_write(folder + "/second.mtl", "newmtl blue\nnewmtl green\n");
    // a CR LF file, a relative library name with trailing blanks
    std::string text = "mtllib first.mtl\r\n"
                       "f 1 2 3\r\n"
                       "usemtl green \r\n"
                       "f 1 2 3\r\n"
                       "usemtl red\r\n"
                       "f 1 2 3\r\n"
                       "usemtl\r\n"
                       "f 1 2 3\r\n"
                       "usemtl blue\r\n"
                       "f 1 2 3\r\n"
                       "mtllib   second.mtl \t\r\n";
    testing::internal::CaptureStderr();
    parsed p = parse_text(text, 0, folder.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(p.result, parse_ok);
    ASSERT_EQ(p.n_materials, 2u);
    EXPECT_STREQ(p.materials[0].name, "blue");
    EXPECT_STREQ(p.materials[1].name, "green");
    // red is not in the second library; an empty usemtl keeps the material
    EXPECT_EQ(face_materials_of(p), (std::vector<int32_t>{-1, 1, -1, -1, 0}));
    parsed_free(&p);

    // a base folder given with its slash; an absolute name ignores it
    std::string with_slash = folder + "/";
    p = parse_text("mtllib first.mtl\nusemtl blue\nf 1 2 3\n", 0, with_slash.c_str());
    EXPECT_EQ(face_materials_of(p), (std::vector<int32_t>{1}));
    parsed_free(&p);
    p = parse_text("mtllib " + folder + "/second.mtl\nusemtl blue\nf 1 2 3\n", 0, "/nonexistent");
    EXPECT_EQ(face_materials_of(p), (std::vector<int32_t>{0}));
    parsed_free(&p);
    folder_remove(folder);
}

TEST(ObjParse, MissingLibraryIsReportedAndIsNoFailure)
{
    testing::internal::CaptureStderr();
    parsed p = parse_text("mtllib missing.mtl\nusemtl red\nf 1 2 3\n", 0, "/nonexistent-subdiv-test");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "OBJ: Error reading file '/nonexistent-subdiv-test/missing.mtl': "
              "No such file or directory (2)\n"
              "OBJ: Failed to parse material file '/nonexistent-subdiv-test/missing.mtl': -3\n");
    ASSERT_EQ(p.result, parse_ok);
    EXPECT_EQ(p.materials, nullptr);
    EXPECT_EQ(p.n_materials, 0u);
    EXPECT_EQ(face_materials_of(p), (std::vector<int32_t>{-1}));
    parsed_free(&p);

    // an mtllib of blanks names nothing: no library is opened
    testing::internal::CaptureStderr();
    p = parse_text("mtllib  \r\nf 1 2 3\r\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(p.result, parse_ok);
    parsed_free(&p);
}
