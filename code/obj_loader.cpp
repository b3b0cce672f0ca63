// Wavefront OBJ reader.
//
// Bottom-up: memory and strings, character classes, token scanners, the
// material name table, the material library reader, line splitting and the
// statement parser, and last the entry point obj_parse.
#include "obj_loader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "check.h"
#include "storage.h"

// ---------------------------------------------------------------- memory and strings

// A malloc'd NUL-terminated copy of the n characters at text, cut short at
// the first NUL among them.
static char* string_copy(const char* text, uint64_t n)
{
    const void* nul = std::memchr(text, 0, n);
    if (nul) n = uint64_t(static_cast<const char*>(nul) - text);
    char* copy = static_cast<char*>(std::malloc(n + 1));
    CHECK(copy != nullptr, "out of memory: cannot copy a name of %llu bytes", (unsigned long long)n);
    std::memcpy(copy, text, n);
    copy[n] = '\0';
    return copy;
}

// Reads the rest of an open file into a new storage block with a NUL after the
// bytes read. Returns false, with errno from the failed read, on a read error.
static bool file_read_all(std::FILE* file, char** text, uint64_t* length)
{
    uint64_t capacity = uint64_t(1) << 16;
    uint64_t used = 0;
    char* buffer = static_cast<char*>(mem_alloc(capacity + 1));
    for (;;) {
        uint64_t wanted = capacity - used;
        uint64_t got = std::fread(buffer + used, 1, wanted, file);
        used += got;
        if (got < wanted) {
            if (std::ferror(file)) {
                int error = errno;
                mem_free(buffer);
                errno = error;
                return false;
            }
            break; // end of file
        }
        // full: double the buffer (library files are small; this is not a hot path)
        char* larger = static_cast<char*>(mem_alloc(2 * capacity + 1));
        std::memcpy(larger, buffer, used);
        mem_free(buffer);
        buffer = larger;
        capacity *= 2;
    }
    buffer[used] = '\0';
    *text = buffer;
    *length = used;
    return true;
}

// ---------------------------------------------------------------- character classes

static inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

static inline bool is_digit(char c) { return (unsigned char)(c - '0') < 10; }

// NUL, LF or CR: the characters that can end a line of an OBJ text.
static inline bool is_line_end_char(char c) { return c == '\0' || c == '\n' || c == '\r'; }

// NUL, space, tab, CR or LF: the characters that end a token.
static inline bool is_token_end(char c)
{
    const uint64_t ends = (uint64_t(1) << 0) | (uint64_t(1) << '\t') | (uint64_t(1) << '\n') |
                          (uint64_t(1) << '\r') | (uint64_t(1) << ' ');
    unsigned char u = (unsigned char)c;
    return u <= ' ' && ((ends >> u) & 1);
}

// The delimiters of a face corner: the token ends and "/".
static inline bool is_corner_end(char c) { return c == '/' || is_token_end(c); }

// White space of a "%s" word: space, tab, LF, vertical tab, form feed, CR.
static inline bool is_word_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// ---------------------------------------------------------------- token scanners

void skip_blanks(const char** cursor)
{
    const char* p = *cursor;
    while (is_blank(*p)) ++p;
    *cursor = p;
}

// The number of characters up to the first NUL, space, tab, CR or LF.
static inline uint64_t token_length(const char* text)
{
    const char* p = text;
    while (!is_token_end(*p)) ++p;
    return uint64_t(p - text);
}

// The powers that parse_number multiplies by, each built by repeated
// multiplication exactly as the number grammar defines them; past the end of
// a table the value has reached its limit (0 or infinity) and stays there.
constexpr int number_powers_size = 512;

struct number_powers {
    double tenth[number_powers_size]; // 1.0 multiplied by 0.1 k times (0 from k = 324 on)
    double five[number_powers_size];  // 1.0 multiplied by 5.0 k times (infinity from k = 442 on)
    double ten[number_powers_size];   // 1.0 multiplied by 10.0 k times (infinity from k = 309 on)
};

static number_powers number_powers_make()
{
    number_powers powers;
    double tenth = 1.0, five = 1.0, ten = 1.0;
    for (int k = 0; k < number_powers_size; ++k) {
        powers.tenth[k] = tenth;
        powers.five[k] = five;
        powers.ten[k] = ten;
        tenth = tenth * 0.1;
        five = five * 5.0;
        ten = ten * 10.0;
    }
    // the limits are reached inside the tables
    const double infinity = std::numeric_limits<double>::infinity();
    CHECK(powers.tenth[number_powers_size - 1] == 0.0 &&
              powers.five[number_powers_size - 1] == infinity &&
              powers.ten[number_powers_size - 1] == infinity,
          "number powers do not reach their limits within %d entries", number_powers_size);
    return powers;
}

static const number_powers g_powers = number_powers_make();

// 2^e as a double for e >= 0 (exact up to 1023, infinity above).
static inline double power_of_two(int64_t e)
{
    if (e > 1023) return std::numeric_limits<double>::infinity();
    uint64_t bits = uint64_t(1023 + e) << 52;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool parse_number(const char* start, const char* end, double* out)
{
    if (!(start < end)) return false;
    const char* p = start;

    // sign, or a first digit
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    } else if (!is_digit(*p)) {
        return false;
    }

    // integer part: mantissa = mantissa * 10 + d. The first 15 digits stay
    // below 2^53, where that recurrence in doubles is exact, so they are summed
    // as an integer; further digits take the double recurrence itself
    const char* digits = p;
    const char* exact_end = end - p > 15 ? p + 15 : end;
    uint64_t whole = 0;
    while (p < exact_end && is_digit(*p)) whole = whole * 10 + uint64_t(*p++ - '0');
    double mantissa = double(whole);
    while (p < end && is_digit(*p)) mantissa = mantissa * 10.0 + double(*p++ - '0');
    if (p == digits) return false;

    // fraction: the k-th digit adds d * 0.1^k, the power built by repeated
    // multiplication, the sum rounded at every digit
    bool has_exponent = false;
    if (p < end && *p == '.') {
        ++p;
        int64_t k = 1;
        while (p < end && is_digit(*p)) {
            double scale = k < number_powers_size ? g_powers.tenth[k] : 0.0;
            mantissa += double(*p - '0') * scale;
            ++p;
            ++k;
        }
        has_exponent = p < end && (*p == 'e' || *p == 'E');
    } else if (p < end) {
        has_exponent = *p == 'e' || *p == 'E';
    }

    // exponent: marker, optional sign, at least one digit (wrapping 32-bit)
    int32_t exponent = 0;
    if (has_exponent) {
        ++p;
        bool exponent_negative = false;
        if (p < end && (*p == '+' || *p == '-')) {
            exponent_negative = *p == '-';
            ++p;
        } else if (!(p < end && is_digit(*p))) {
            return false;
        }
        const char* exponent_digits = p;
        uint32_t e = 0;
        while (p < end && is_digit(*p)) e = e * 10u + uint32_t(*p++ - '0');
        if (p == exponent_digits) return false;
        if (exponent_negative) e = 0u - e;
        exponent = int32_t(e);
    }

    // sign x mantissa x 10^exponent: times 5^e, then times 2^e, for e > 0;
    // divided by 10^|e| for e < 0
    double value = negative ? -1.0 * mantissa : mantissa;
    if (exponent > 0) {
        double five = exponent < number_powers_size ? g_powers.five[exponent]
                                                    : g_powers.five[number_powers_size - 1];
        value = value * five;
        value = value * power_of_two(exponent);
    } else if (exponent < 0) {
        int64_t magnitude = -int64_t(exponent);
        double ten = magnitude < number_powers_size ? g_powers.ten[magnitude]
                                                    : g_powers.ten[number_powers_size - 1];
        value = value / ten;
    }
    *out = value;
    return true;
}

float parse_float(const char** cursor)
{
    skip_blanks(cursor);
    const char* start = *cursor;
    const char* end = start + token_length(start);
    double value = 0.0;
    parse_number(start, end, &value);
    *cursor = end;
    return float(value);
}

void parse_float2(const char** cursor, float* a, float* b)
{
    *a = parse_float(cursor);
    *b = parse_float(cursor);
}

void parse_float3(const char** cursor, float* a, float* b, float* c)
{
    *a = parse_float(cursor);
    *b = parse_float(cursor);
    *c = parse_float(cursor);
}

int32_t parse_int(const char* text)
{
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    uint32_t value = 0; // wraps on overflow
    while (is_digit(*text)) value = value * 10u + uint32_t(*text++ - '0');
    return int32_t(negative ? 0u - value : value);
}

int32_t parse_int_token(const char** cursor)
{
    skip_blanks(cursor);
    int32_t value = parse_int(*cursor);
    *cursor += token_length(*cursor);
    return value;
}

// The first corner delimiter at or after p.
static inline const char* corner_end(const char* p)
{
    while (!is_corner_end(*p)) ++p;
    return p;
}

// True when the index at text (parse_int's form: optional sign, digits) lies
// outside the 32-bit range, where parse_int would wrap it to another index.
static bool index_out_of_range(const char* text)
{
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-') ++text;
    const uint64_t limit = negative ? uint64_t(1) << 31 : (uint64_t(1) << 31) - 1;
    uint64_t value = 0;
    for (; is_digit(*text); ++text) {
        value = value * 10 + uint64_t(*text - '0');
        if (value > limit) return true;
    }
    return false;
}

// The end of the index part of a corner that starts at part. A part of ten or
// more characters may lie outside the 32-bit range: then, unless one is
// already recorded, its start goes to *out_of_range.
static inline const char* index_part_end(const char* part, const char** out_of_range)
{
    const char* end = corner_end(part);
    if (end - part >= 10 && !*out_of_range && index_out_of_range(part)) *out_of_range = part;
    return end;
}

// Moves the cursor over one face corner exactly as parse_corner does and, when
// out is not null, reads its indices into *out. Counting corners without
// reading their numbers takes the same path through the text. An index
// outside the 32-bit range is recorded in *out_of_range (see index_part_end).
static inline void corner_scan(const char** cursor, corner_index* out, const char** out_of_range)
{
    const char* p = *cursor;
    corner_index corner = {index_missing, index_missing, index_missing};
    if (out) corner.position_index = parse_int(p);
    p = index_part_end(p, out_of_range);
    if (*p == '/') {
        ++p;
        if (*p == '/') { // v//vn
            ++p;
            if (out) corner.normal_index = parse_int(p);
            p = index_part_end(p, out_of_range);
        } else { // v/vt or v/vt/vn
            if (out) corner.texcoord_index = parse_int(p);
            p = index_part_end(p, out_of_range);
            if (*p == '/') {
                ++p;
                if (out) corner.normal_index = parse_int(p);
                p = index_part_end(p, out_of_range);
            }
        }
    }
    *cursor = p;
    if (out) *out = corner;
}

corner_index parse_corner(const char** cursor)
{
    corner_index corner;
    const char* out_of_range = nullptr; // parse_corner wraps such indices, as parse_int does
    corner_scan(cursor, &corner, &out_of_range);
    return corner;
}

int32_t resolve_index(int32_t i, uint64_t n)
{
    if (i > 0) return i - 1;
    if (i == 0) return 0;
    return int32_t(uint32_t(n) + uint32_t(i));
}

// ---------------------------------------------------------------- material name table

uint32_t name_hash(const char* text)
{
    uint32_t hash = 5381;
    for (; *text; ++text) hash = hash * 33u + (unsigned char)*text;
    return hash;
}

// name_hash of the n characters at text (which hold no NUL).
static uint32_t name_hash_span(const char* text, uint64_t n)
{
    uint32_t hash = 5381;
    for (uint64_t i = 0; i < n; ++i) hash = hash * 33u + (unsigned char)text[i];
    return hash;
}

// A zero-filled slot array of the given capacity.
static name_table_slot* name_table_slots_alloc(uint64_t capacity)
{
    CHECK(capacity <= (uint64_t(1) << 40), "name table of %llu slots is too large",
          (unsigned long long)capacity);
    auto* slots = static_cast<name_table_slot*>(mem_alloc(capacity * sizeof(name_table_slot)));
    std::memset(slots, 0, capacity * sizeof(name_table_slot));
    return slots;
}

void name_table_create(uint64_t capacity, name_table* table)
{
    CHECK(table != nullptr, "name_table_create: no table to set up");
    if (capacity == 0) capacity = 10;
    table->slots = name_table_slots_alloc(capacity);
    table->keys = static_cast<uint32_t*>(mem_alloc(capacity * sizeof(uint32_t)));
    table->capacity = capacity;
    table->count = 0;
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

void name_table_grow(uint64_t wanted_count, name_table* table)
{
    if (wanted_count <= table->capacity) return;
    uint64_t capacity = wanted_count >= 2 * table->capacity ? 2 * wanted_count : 2 * table->capacity;

    // place every recorded key, with its value, in a new slot array; should
    // the probes of one find no free slot, try again with twice the slots
    name_table new_hash_table;
    for (;;) {
        new_hash_table.slots = name_table_slots_alloc(capacity);
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
    std::memcpy(keys, table->keys, table->count * sizeof(uint32_t));
    mem_free(table->keys);
    mem_free(table->slots);
    table->keys = keys;
    table->slots = new_hash_table.slots;
    table->capacity = capacity;
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

void name_table_set(const char* name, int32_t value, name_table* table)
{
    uint32_t key = name_hash(name);
    name_table_slot* slot = name_table_find(key, table);
    if (slot) {
        slot->value = value;
        return;
    }
    name_table_grow(table->count + 1, table);
    // the probe sequence visits only part of the slots: when it finds none
    // free, double the table and try again
    while (name_table_add(key, value, table) != 0) name_table_grow(table->capacity + 1, table);
}

// ---------------------------------------------------------------- material library

enum mtl_keyword {
    mtl_none,
    mtl_newmtl,
    mtl_ambient,
    mtl_diffuse,
    mtl_specular,
    mtl_transmittance,
    mtl_emission,
    mtl_refraction_index,
    mtl_shininess,
    mtl_illum,
    mtl_dissolve,
    mtl_transparency,
    mtl_ambient_map,
    mtl_diffuse_map,
    mtl_specular_map,
    mtl_shininess_map,
    mtl_bump_map,
    mtl_alpha_map,
    mtl_bump,
    mtl_displacement_map,
};

struct mtl_keyword_entry {
    const char* word;
    mtl_keyword keyword;
};

static const mtl_keyword_entry mtl_keywords[] = {
    {"newmtl", mtl_newmtl},     {"Ka", mtl_ambient},           {"Kd", mtl_diffuse},
    {"Ks", mtl_specular},       {"Kt", mtl_transmittance},     {"Ke", mtl_emission},
    {"Ni", mtl_refraction_index}, {"Ns", mtl_shininess},       {"illum", mtl_illum},
    {"d", mtl_dissolve},        {"Tr", mtl_transparency},      {"map_Ka", mtl_ambient_map},
    {"map_Kd", mtl_diffuse_map}, {"map_Ks", mtl_specular_map}, {"map_Ns", mtl_shininess_map},
    {"map_bump", mtl_bump_map}, {"map_d", mtl_alpha_map},      {"bump", mtl_bump},
    {"disp", mtl_displacement_map},
};

// The statement of a library line: skips blanks, then matches a keyword that
// a space or tab follows and moves the cursor past both. mtl_none otherwise.
static mtl_keyword mtl_statement(const char** cursor)
{
    const char* p = *cursor;
    skip_blanks(&p);
    if (*p == '#') return mtl_none;
    for (const mtl_keyword_entry& entry : mtl_keywords) {
        uint64_t n = std::strlen(entry.word);
        if (std::strncmp(p, entry.word, n) == 0 && is_blank(p[n])) {
            *cursor = p + n + 1;
            return entry.keyword;
        }
    }
    return mtl_none;
}

static void material_defaults(obj_material* material)
{
    std::memset(material, 0, sizeof *material);
    material->shininess = 1.0f;
    material->refraction_index = 1.0f;
    material->dissolve = 1.0f;
}

static void material_strings_free(obj_material* material)
{
    std::free(material->name);
    std::free(material->ambient_map);
    std::free(material->diffuse_map);
    std::free(material->specular_map);
    std::free(material->shininess_map);
    std::free(material->bump_map);
    std::free(material->displacement_map);
    std::free(material->alpha_map);
}

// Ends the material being read: a started one (a "newmtl" was read) is
// appended to the array, whose count was taken beforehand; values read before
// any "newmtl" belong to no material and are dropped.
static void material_finish(obj_material* material, bool started, obj_material* array,
                            uint64_t* count, uint64_t capacity)
{
    if (!started) {
        material_strings_free(material);
        return;
    }
    CHECK(*count < capacity, "material library holds more than %llu materials",
          (unsigned long long)capacity);
    array[(*count)++] = *material;
}

// Replaces *field by a copy of the text from the cursor to the line's CR, LF or NUL.
static void material_map_set(char** field, const char* cursor)
{
    const char* end = cursor;
    while (!is_line_end_char(*end)) ++end;
    std::free(*field);
    *field = string_copy(cursor, uint64_t(end - cursor));
}

// The first white-space delimited word from the cursor to the line end
// (empty when there is none): its start and length.
static const char* line_word(const char* cursor, uint64_t* length)
{
    while (*cursor != '\n' && is_word_space(*cursor)) ++cursor;
    const char* end = cursor;
    while (*end != '\0' && !is_word_space(*end)) ++end;
    *length = uint64_t(end - cursor);
    return cursor;
}

int mtl_parse(obj_material** materials, uint64_t* num_materials, const char* path,
              name_table* material_table)
{
    if (!materials || !num_materials || !path) return parse_error_invalid;
    *materials = nullptr;
    *num_materials = 0;

    // read the whole library
    std::FILE* file = std::fopen(path, "r");
    char* text = nullptr;
    uint64_t length = 0;
    if (!file || !file_read_all(file, &text, &length)) {
        int error = errno;
        if (file) std::fclose(file);
        std::fprintf(stderr, "OBJ: Error reading file '%s': %s (%d)\n", path, std::strerror(error),
                     error);
        return parse_error_file;
    }
    std::fclose(file);
    const char* text_end = text + length;

    // count the materials, to allocate their array once
    uint64_t capacity = 0;
    for (const char* line = text; line < text_end;) {
        const char* cursor = line;
        if (mtl_statement(&cursor) == mtl_newmtl) ++capacity;
        const void* feed = std::memchr(line, '\n', uint64_t(text_end - line));
        line = feed ? static_cast<const char*>(feed) + 1 : text_end;
    }
    obj_material* array = nullptr;
    if (capacity > 0)
        array = static_cast<obj_material*>(mem_alloc(capacity * sizeof(obj_material)));

    // statements, line by line; values before the first newmtl are dropped
    obj_material material;
    material_defaults(&material);
    bool started = false;
    uint64_t count = 0;
    for (const char* line = text; line < text_end;) {
        const char* cursor = line;
        switch (mtl_statement(&cursor)) {
        case mtl_newmtl: {
            material_finish(&material, started, array, &count, capacity);
            started = true;
            material_defaults(&material);
            uint64_t n = 0;
            const char* word = line_word(cursor, &n);
            material.name = string_copy(word, n);
            if (material_table) name_table_set(material.name, int32_t(count), material_table);
            break;
        }
        case mtl_ambient:
            parse_float3(&cursor, &material.ambient[0], &material.ambient[1], &material.ambient[2]);
            break;
        case mtl_diffuse:
            parse_float3(&cursor, &material.diffuse[0], &material.diffuse[1], &material.diffuse[2]);
            break;
        case mtl_specular:
            parse_float3(&cursor, &material.specular[0], &material.specular[1],
                         &material.specular[2]);
            break;
        case mtl_transmittance:
            parse_float3(&cursor, &material.transmittance[0], &material.transmittance[1],
                         &material.transmittance[2]);
            break;
        case mtl_emission:
            parse_float3(&cursor, &material.emission[0], &material.emission[1],
                         &material.emission[2]);
            break;
        case mtl_refraction_index: material.refraction_index = parse_float(&cursor); break;
        case mtl_shininess: material.shininess = parse_float(&cursor); break;
        case mtl_illum: material.illum = parse_int_token(&cursor); break;
        case mtl_dissolve: material.dissolve = parse_float(&cursor); break;
        case mtl_transparency: material.dissolve = 1.0f - parse_float(&cursor); break;
        case mtl_ambient_map: material_map_set(&material.ambient_map, cursor); break;
        case mtl_diffuse_map: material_map_set(&material.diffuse_map, cursor); break;
        case mtl_specular_map: material_map_set(&material.specular_map, cursor); break;
        case mtl_shininess_map: material_map_set(&material.shininess_map, cursor); break;
        case mtl_bump_map:
        case mtl_bump: material_map_set(&material.bump_map, cursor); break;
        case mtl_alpha_map: material_map_set(&material.alpha_map, cursor); break;
        case mtl_displacement_map: material_map_set(&material.displacement_map, cursor); break;
        case mtl_none: break;
        }
        const void* feed = std::memchr(line, '\n', uint64_t(text_end - line));
        line = feed ? static_cast<const char*>(feed) + 1 : text_end;
    }
    material_finish(&material, started, array, &count, capacity);
    CHECK(count == capacity, "material library: %llu materials read, %llu counted",
          (unsigned long long)count, (unsigned long long)capacity);

    mem_free(text);
    *materials = array;
    *num_materials = count;
    return parse_ok;
}

void obj_materials_free(obj_material* materials, uint64_t count)
{
    if (!materials) return;
    for (uint64_t i = 0; i < count; ++i) material_strings_free(&materials[i]);
    mem_free(materials);
}

// ---------------------------------------------------------------- line splitting

// True when the character at i ends a line: NUL, LF, or a CR that is neither
// the last character of the text nor followed by LF. In a CR LF pair the CR
// stays the last character of its line.
static inline bool is_line_end(const char* text, uint64_t i, uint64_t length)
{
    char c = text[i];
    if (c == '\0' || c == '\n') return true;
    return c == '\r' && i + 1 < length && text[i + 1] != '\n';
}

// The offset of the line end that closes the line starting at `start`, or
// length for the last line of the text.
static inline uint64_t line_end_find(const char* text, uint64_t start, uint64_t length)
{
    uint64_t i = start;
    // eight characters at a time while none of them is below 14 (NUL, tab, LF, CR)
    const uint64_t ones = 0x0101010101010101ull;
    const uint64_t highs = 0x8080808080808080ull;
    while (i + 8 <= length) {
        uint64_t word;
        std::memcpy(&word, text + i, sizeof word);
        if (((word - 14 * ones) & ~word & highs) != 0) break;
        i += 8;
    }
    for (; i < length; ++i)
        if ((unsigned char)text[i] <= '\r' && is_line_end(text, i, length)) return i;
    return length;
}

// ---------------------------------------------------------------- statements

// The statement of an OBJ line: skips leading blanks and matches a keyword
// that a space or tab follows, moving the cursor past both. kind_empty, with
// the cursor unmoved, for an empty line, a comment or anything else.
static inline line_kind line_statement(const char** cursor)
{
    const char* p = *cursor;
    skip_blanks(&p);
    line_kind kind = kind_empty;
    int n = 0; // keyword length
    switch (p[0]) {
    case 'v':
        if (is_blank(p[1])) {
            kind = kind_vertex;
            n = 1;
        } else if (p[1] == 'n' && is_blank(p[2])) {
            kind = kind_normal;
            n = 2;
        } else if (p[1] == 't' && is_blank(p[2])) {
            kind = kind_texcoord;
            n = 2;
        }
        break;
    case 'f':
        if (is_blank(p[1])) kind = kind_face, n = 1;
        break;
    case 'g':
        if (is_blank(p[1])) kind = kind_group, n = 1;
        break;
    case 'o':
        if (is_blank(p[1])) kind = kind_object, n = 1;
        break;
    case 'u':
        if (std::strncmp(p, "usemtl", 6) == 0 && is_blank(p[6])) kind = kind_use_material, n = 6;
        break;
    case 'm':
        if (std::strncmp(p, "mtllib", 6) == 0 && is_blank(p[6])) kind = kind_material_library, n = 6;
        break;
    default: break;
    }
    if (kind != kind_empty) *cursor = p + n + 1;
    return kind;
}

// Moves over the corners of a face statement from the cursor to the line end
// at `end`: stores the first `room` corners in corners (when not null) and
// returns the number of corners the statement holds. *out_of_range is set to
// the first index outside the 32-bit range, or null.
static inline uint64_t face_scan(const char* p, const char* end, corner_index* corners,
                                 uint64_t room, const char** out_of_range)
{
    uint64_t n = 0;
    *out_of_range = nullptr;
    skip_blanks(&p);
    while (p < end && !is_line_end_char(*p)) {
        if (corners) {
            corner_index corner;
            corner_scan(&p, &corner, out_of_range);
            if (n < room) corners[n] = corner;
        } else {
            corner_scan(&p, nullptr, out_of_range);
        }
        ++n;
        // blanks and the CR of a CR LF line; never past the line end
        while (p < end && (is_blank(*p) || *p == '\r')) ++p;
    }
    return n;
}

// The most corners a face statement may have.
static inline uint64_t face_corner_limit(bool triangulate)
{
    return triangulate ? obj_max_fan_corners : OBJ_MAX_FACES_PER_F_LINE - 1;
}

// The corners and faces that a face statement of n corners yields: one face
// of n corners, or a fan of n - 2 triangles (none below three corners).
static inline void face_yield(uint64_t n, bool triangulate, uint64_t* corners, uint64_t* faces)
{
    if (!triangulate) {
        *corners = n;
        *faces = 1;
    } else {
        *faces = n >= 3 ? n - 2 : 0;
        *corners = 3 * *faces;
    }
}

int obj_parse_line(line_record* record, const char* line, uint64_t length, bool triangulate)
{
    CHECK(record != nullptr && line != nullptr, "obj_parse_line: no record or no line");
    CHECK(is_line_end_char(line[length]),
          "obj_parse_line: the line of %llu characters is not followed by a line end",
          (unsigned long long)length);
    const char* p = line;
    const char* end = line + length;
    record->kind = line_statement(&p);
    switch (record->kind) {
    case kind_empty: return 0;
    case kind_vertex:
        parse_float3(&p, &record->position[0], &record->position[1], &record->position[2]);
        break;
    case kind_normal:
        parse_float3(&p, &record->normal[0], &record->normal[1], &record->normal[2]);
        break;
    case kind_texcoord: parse_float2(&p, &record->texcoord[0], &record->texcoord[1]); break;
    case kind_face: {
        corner_index corners[OBJ_MAX_FACES_PER_F_LINE - 1];
        uint64_t limit = face_corner_limit(triangulate);
        const char* out_of_range = nullptr;
        uint64_t n = face_scan(p, end, corners, limit, &out_of_range);
        if (n > limit || out_of_range) {
            record->corner_count = 0;
            record->face_count = 0;
            return n > limit ? parse_error_face : parse_error_index;
        }
        face_yield(n, triangulate, &record->corner_count, &record->face_count);
        if (!triangulate) {
            std::memcpy(record->face_corners, corners, n * sizeof(corner_index));
            record->face_sizes[0] = int32_t(n);
        } else {
            // fan from corner 0: (c0, c(k-1), ck) for k = 2 .. n - 1
            for (uint64_t k = 2; k < n; ++k) {
                corner_index* triangle = &record->face_corners[3 * (k - 2)];
                triangle[0] = corners[0];
                triangle[1] = corners[k - 1];
                triangle[2] = corners[k];
                record->face_sizes[k - 2] = 3;
            }
        }
        break;
    }
    case kind_group:
        record->group_name = p;
        record->group_name_length = uint64_t(end - p);
        break;
    case kind_object:
        record->object_name = p;
        record->object_name_length = uint64_t(end - p);
        break;
    case kind_use_material:
        skip_blanks(&p);
        record->material_name = p;
        record->material_name_length = uint64_t(end - p);
        break;
    case kind_material_library:
        skip_blanks(&p);
        record->library_name = p;
        record->library_name_length = uint64_t(end - p);
        break;
    }
    return 1;
}

// The length of the name of n characters at text without its trailing
// blanks and CRs.
static uint64_t name_trimmed_length(const char* text, uint64_t n)
{
    while (n > 0 && (is_blank(text[n - 1]) || text[n - 1] == '\r')) --n;
    return n;
}

// The path of a library named by n characters at name: the name itself when
// it is absolute or base_dir is null or empty, else base_dir/name. malloc'd.
static char* library_path(const char* base_dir, const char* name, uint64_t n)
{
    if (!base_dir || base_dir[0] == '\0' || name[0] == '/') return string_copy(name, n);
    uint64_t dir_length = std::strlen(base_dir);
    bool slash = base_dir[dir_length - 1] != '/';
    uint64_t total = dir_length + (slash ? 1 : 0) + n;
    char* path = static_cast<char*>(std::malloc(total + 1));
    CHECK(path != nullptr, "out of memory: cannot copy a path of %llu bytes",
          (unsigned long long)total);
    std::memcpy(path, base_dir, dir_length);
    if (slash) path[dir_length] = '/';
    std::memcpy(path + dir_length + (slash ? 1 : 0), name, n);
    path[total] = '\0';
    return path;
}

// An array block of n elements of the given size, or null for none.
static void* array_alloc(uint64_t n, uint64_t element_size)
{
    if (n == 0) return nullptr;
    return mem_alloc(n * element_size);
}

// What the counting pass finds in a text.
struct obj_counts {
    uint64_t vertices;        // "v" statements
    uint64_t normals;         // "vn" statements
    uint64_t texcoords;       // "vt" statements
    uint64_t corners;         // face corners over all faces
    uint64_t faces;           // faces
    uint64_t face_statements; // "f" statements
    uint64_t names;           // "g" and "o" statements
    const char* library;      // name of the last "mtllib" statement, trailing blanks and CR cut
    uint64_t library_length;
};

// Emits the pending shape when face statements were seen since it began.
static void shape_emit(obj_shape* shapes, uint64_t capacity, uint64_t* n_shapes, const char* name,
                       uint64_t name_length, uint64_t first_face, uint64_t face_statements)
{
    if (face_statements == first_face) return;
    CHECK(*n_shapes < capacity, "more than %llu shapes", (unsigned long long)capacity);
    obj_shape* shape = &shapes[(*n_shapes)++];
    shape->name = name && name_length > 0 ? string_copy(name, name_length) : nullptr;
    shape->first_face = uint32_t(first_face);
    shape->face_count = uint32_t(face_statements - first_face);
}

// ---------------------------------------------------------------- entry point

void obj_attribs_init(obj_attribs* attribs)
{
    std::memset(attribs, 0, sizeof *attribs);
}

void obj_attribs_free(obj_attribs* attribs)
{
    if (!attribs) return;
    mem_free(attribs->positions);
    mem_free(attribs->normals);
    mem_free(attribs->texcoords);
    mem_free(attribs->indices);
    mem_free(attribs->face_sizes);
    mem_free(attribs->face_materials);
    obj_attribs_init(attribs);
}

void obj_shapes_free(obj_shape* shapes, uint64_t n_shapes)
{
    if (!shapes) return;
    for (uint64_t i = 0; i < n_shapes; ++i) std::free(shapes[i].name);
    mem_free(shapes);
}

int obj_parse(obj_attribs* attribs, obj_shape** shapes, uint64_t* n_shapes,
              obj_material** materials, uint64_t* n_materials, const char* text,
              uint64_t length, uint32_t flags, const char* base_dir, const char* name)
{
    if (!attribs || !shapes || !n_shapes || !materials || !n_materials || !text || length == 0)
        return parse_error_invalid;
    CHECK(text[length] == '\0', "obj_parse: the text of %llu bytes does not end in a NUL",
          (unsigned long long)length);
    obj_attribs_init(attribs);
    *shapes = nullptr;
    *n_shapes = 0;
    *materials = nullptr;
    *n_materials = 0;
    const bool triangulate = (flags & parse_triangulate) != 0;

    // Counting pass: split the text into lines and recognise every statement;
    // face statements are walked corner by corner without reading numbers
    obj_counts counts;
    std::memset(&counts, 0, sizeof counts);
    line_record record;
    for (uint64_t start = 0, line_number = 1;; ++line_number) {
        uint64_t end = line_end_find(text, start, length);
        const char* p = text + start;
        switch (line_statement(&p)) {
        case kind_vertex: counts.vertices += 1; break;
        case kind_normal: counts.normals += 1; break;
        case kind_texcoord: counts.texcoords += 1; break;
        case kind_face: {
            const char* out_of_range = nullptr;
            uint64_t n = face_scan(p, text + end, nullptr, 0, &out_of_range);
            uint64_t limit = face_corner_limit(triangulate);
            if (n > limit) {
                std::fprintf(stderr, "OBJ: %s%sline %llu: face with %llu corners, at most %llu are supported\n",
                             name ? name : "", name ? ": " : "", (unsigned long long)line_number,
                             (unsigned long long)n, (unsigned long long)limit);
                return parse_error_face;
            }
            if (out_of_range) {
                // the index as written, cut short when it is long
                int shown = int(corner_end(out_of_range) - out_of_range);
                std::fprintf(stderr,
                             "OBJ: %s%sline %llu: face index %.*s%s is outside the 32-bit range\n",
                             name ? name : "", name ? ": " : "", (unsigned long long)line_number,
                             shown > 24 ? 24 : shown, out_of_range, shown > 24 ? "..." : "");
                return parse_error_index;
            }
            uint64_t corners = 0, faces = 0;
            face_yield(n, triangulate, &corners, &faces);
            counts.corners += corners;
            counts.faces += faces;
            counts.face_statements += 1;
            break;
        }
        case kind_group:
        case kind_object: counts.names += 1; break;
        case kind_material_library:
            obj_parse_line(&record, text + start, end - start, triangulate);
            counts.library = record.library_name;
            counts.library_length = name_trimmed_length(record.library_name, record.library_name_length);
            break;
        case kind_use_material:
        case kind_empty: break;
        }
        if (end >= length) break;
        start = end + 1;
    }
    const uint64_t limit32 = UINT32_MAX;
    CHECK(counts.vertices <= limit32 && counts.normals <= limit32 && counts.texcoords <= limit32 &&
              counts.corners <= limit32 && counts.faces <= limit32 &&
              counts.face_statements <= limit32,
          "OBJ text too large: %llu vertices, %llu normals, %llu texture coordinates, %llu corners, "
          "%llu faces; at most 4294967295 of each are supported",
          (unsigned long long)counts.vertices, (unsigned long long)counts.normals,
          (unsigned long long)counts.texcoords, (unsigned long long)counts.corners,
          (unsigned long long)counts.faces);

    // Material library: the last "mtllib" statement, opened in base_dir
    name_table material_table;
    name_table_create(10, &material_table);
    if (counts.library && counts.library_length > 0) {
        char* path = library_path(base_dir, counts.library, counts.library_length);
        int result = mtl_parse(materials, n_materials, path, &material_table);
        if (result != parse_ok)
            std::fprintf(stderr, "OBJ: Failed to parse material file '%s': %d\n", path, result);
        std::free(path);
    }

    // Allocation: every output once, at its exact size
    attribs->vertex_count = uint32_t(counts.vertices);
    attribs->normal_count = uint32_t(counts.normals);
    attribs->texcoord_count = uint32_t(counts.texcoords);
    attribs->index_count = uint32_t(counts.corners);
    attribs->face_count = uint32_t(counts.faces);
    attribs->positions = static_cast<float*>(array_alloc(3 * counts.vertices, sizeof(float)));
    attribs->normals = static_cast<float*>(array_alloc(3 * counts.normals, sizeof(float)));
    attribs->texcoords = static_cast<float*>(array_alloc(2 * counts.texcoords, sizeof(float)));
    attribs->indices = static_cast<corner_index*>(array_alloc(counts.corners, sizeof(corner_index)));
    attribs->face_sizes = static_cast<int32_t*>(array_alloc(counts.faces, sizeof(int32_t)));
    attribs->face_materials = static_cast<int32_t*>(array_alloc(counts.faces, sizeof(int32_t)));
    const uint64_t shape_capacity = counts.names + 1;
    obj_shape* shape_array = static_cast<obj_shape*>(mem_alloc(shape_capacity * sizeof(obj_shape)));
    uint64_t shape_count = 0;

    // Fill pass: parse every line again, in place, and append its values;
    // relative indices count back from the statements read so far
    uint64_t n_vertices = 0, n_normals = 0, n_texcoords = 0, n_corners = 0, n_faces = 0;
    int32_t material = -1;
    uint64_t face_statements = 0, shape_first = 0; // shapes: face statements seen, pending start
    const char* shape_name = nullptr;
    uint64_t shape_name_length = 0;
    for (uint64_t start = 0;;) {
        uint64_t end = line_end_find(text, start, length);
        if (obj_parse_line(&record, text + start, end - start, triangulate) == 1) {
            switch (record.kind) {
            case kind_vertex:
                CHECK(n_vertices < counts.vertices, "OBJ: more vertices than counted");
                std::memcpy(attribs->positions + 3 * n_vertices, record.position, 3 * sizeof(float));
                n_vertices += 1;
                break;
            case kind_normal:
                CHECK(n_normals < counts.normals, "OBJ: more normals than counted");
                std::memcpy(attribs->normals + 3 * n_normals, record.normal, 3 * sizeof(float));
                n_normals += 1;
                break;
            case kind_texcoord:
                CHECK(n_texcoords < counts.texcoords, "OBJ: more texture coordinates than counted");
                std::memcpy(attribs->texcoords + 2 * n_texcoords, record.texcoord, 2 * sizeof(float));
                n_texcoords += 1;
                break;
            case kind_face:
                CHECK(n_corners + record.corner_count <= counts.corners &&
                          n_faces + record.face_count <= counts.faces,
                      "OBJ: more face corners or faces than counted");
                for (uint64_t i = 0; i < record.corner_count; ++i) {
                    const corner_index& c = record.face_corners[i];
                    corner_index& out = attribs->indices[n_corners++];
                    out.position_index = resolve_index(c.position_index, n_vertices);
                    out.texcoord_index = resolve_index(c.texcoord_index, n_texcoords);
                    out.normal_index = resolve_index(c.normal_index, n_normals);
                }
                for (uint64_t i = 0; i < record.face_count; ++i) {
                    attribs->face_sizes[n_faces] = record.face_sizes[i];
                    attribs->face_materials[n_faces] = material;
                    n_faces += 1;
                }
                face_statements += 1;
                break;
            case kind_group:
            case kind_object:
                shape_emit(shape_array, shape_capacity, &shape_count, shape_name, shape_name_length,
                           shape_first, face_statements);
                shape_first = face_statements;
                shape_name = record.kind == kind_group ? record.group_name : record.object_name;
                shape_name_length = record.kind == kind_group ? record.group_name_length
                                                              : record.object_name_length;
                break;
            case kind_use_material: {
                uint64_t n = name_trimmed_length(record.material_name, record.material_name_length);
                if (n > 0) {
                    const name_table_slot* slot =
                        name_table_find(name_hash_span(record.material_name, n), &material_table);
                    material = slot ? slot->value : -1;
                }
                break;
            }
            case kind_material_library:
            case kind_empty: break;
            }
        }
        if (end >= length) break;
        start = end + 1;
    }
    shape_emit(shape_array, shape_capacity, &shape_count, shape_name, shape_name_length, shape_first,
               face_statements);
    CHECK(n_vertices == counts.vertices && n_normals == counts.normals &&
              n_texcoords == counts.texcoords && n_corners == counts.corners &&
              n_faces == counts.faces,
          "OBJ: the fill pass found other counts than the counting pass");

    // Hand out the results
    name_table_free(&material_table);
    *shapes = shape_array;
    *n_shapes = shape_count;
    return parse_ok;
}
