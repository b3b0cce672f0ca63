// The material library reader.
#include "mtl_parse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "error.h"
#include "obj_scan.h"
#include "storage.h"

namespace subdiv {

// ---------------------------------------------------------------- memory and strings

// The largest material library read: a library is a few kilobytes of
// names and colours; a larger file is not read whole into memory.
constexpr uint64_t mtl_max_bytes = uint64_t(64) << 20;

// Reads the material library at path, which must be a regular file of at
// most mtl_max_bytes, into a new storage block with a NUL after its bytes.
// Opening never waits (a FIFO is refused, not read). Returns subdiv_ok, or
// subdiv_error_read with the reason in *error, or subdiv_error_memory.
static subdiv_status mtl_read_file(const char* path, char** text, uint64_t* length,
                                   subdiv_error* error)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        const int reason = errno;
        if (fd >= 0) close(fd);
        return error_set(error, subdiv_error_read, {}, "cannot read the material library '%s': %s",
                         path, std::strerror(reason));
    }
    if (!S_ISREG(info.st_mode) || uint64_t(info.st_size) > mtl_max_bytes) {
        close(fd);
        return error_set(error, subdiv_error_read, {},
                         S_ISREG(info.st_mode)
                             ? "the material library '%s' is larger than 64 MiB"
                             : "the material library '%s' is not a regular file",
                         path);
    }
    // the size read is at most the size found, whatever the file does meanwhile
    const uint64_t size = uint64_t(info.st_size);
    char* block = static_cast<char*>(mem_alloc(size + 1));
    if (!block) {
        close(fd);
        return error_memory(error, mem_refused_size());
    }
    uint64_t used = 0;
    while (used < size) {
        ssize_t n = read(fd, block + used, size - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int reason = errno;
            mem_free(block);
            close(fd);
            return error_set(error, subdiv_error_read, {},
                             "cannot read the material library '%s': %s", path,
                             std::strerror(reason));
        }
        if (n == 0) break;
        used += uint64_t(n);
    }
    close(fd);
    block[used] = '\0';
    *text = block;
    *length = used;
    return subdiv_ok;
}

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

// Replaces *field by a copy of the text from the cursor to the line's CR, LF
// or NUL; false, *field null, when memory is refused.
static bool material_map_set(char** field, const char* cursor)
{
    const char* end = cursor;
    while (!is_line_end_char(*end)) ++end;
    std::free(*field);
    *field = text_copy(cursor, uint64_t(end - cursor));
    return *field != nullptr;
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

subdiv_status mtl_parse(obj_material** materials, uint64_t* num_materials, const char* path,
                        name_table* material_table, subdiv_error* error)
{
    CHECK(materials != nullptr && num_materials != nullptr && path != nullptr,
          "mtl_parse: no record or path");
    *materials = nullptr;
    *num_materials = 0;

    // read the whole library
    char* text = nullptr;
    uint64_t length = 0;
    const subdiv_status status = mtl_read_file(path, &text, &length, error);
    if (status != subdiv_ok) return status;
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
    if (capacity > 0) {
        array = static_cast<obj_material*>(mem_alloc(capacity * sizeof(obj_material)));
        if (!array) {
            mem_free(text);
            return error_memory(error, mem_refused_size());
        }
    }

    // statements, line by line; values before the first newmtl are dropped
    obj_material material;
    material_defaults(&material);
    bool started = false, allocated = true;
    uint64_t count = 0;
    for (const char* line = text; line < text_end && allocated;) {
        const char* cursor = line;
        switch (mtl_statement(&cursor)) {
        case mtl_newmtl: {
            material_finish(&material, started, array, &count, capacity);
            started = true;
            material_defaults(&material);
            uint64_t n = 0;
            const char* word = line_word(cursor, &n);
            material.name = text_copy(word, n);
            allocated = material.name &&
                        (!material_table ||
                         name_table_set(material.name, int32_t(count), material_table));
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
        case mtl_ambient_map: allocated = material_map_set(&material.ambient_map, cursor); break;
        case mtl_diffuse_map: allocated = material_map_set(&material.diffuse_map, cursor); break;
        case mtl_specular_map:
            allocated = material_map_set(&material.specular_map, cursor);
            break;
        case mtl_shininess_map:
            allocated = material_map_set(&material.shininess_map, cursor);
            break;
        case mtl_bump_map:
        case mtl_bump: allocated = material_map_set(&material.bump_map, cursor); break;
        case mtl_alpha_map: allocated = material_map_set(&material.alpha_map, cursor); break;
        case mtl_displacement_map:
            allocated = material_map_set(&material.displacement_map, cursor);
            break;
        case mtl_none: break;
        }
        const void* feed = std::memchr(line, '\n', uint64_t(text_end - line));
        line = feed ? static_cast<const char*>(feed) + 1 : text_end;
    }
    if (!allocated) {
        material_strings_free(&material);
        obj_materials_free(array, count);
        mem_free(text);
        return error_memory(error, mem_refused_size());
    }
    material_finish(&material, started, array, &count, capacity);
    CHECK(count == capacity, "material library: %llu materials read, %llu counted",
          (unsigned long long)count, (unsigned long long)capacity);

    mem_free(text);
    *materials = array;
    *num_materials = count;
    return subdiv_ok;
}

void obj_materials_free(obj_material* materials, uint64_t count)
{
    if (!materials) return;
    for (uint64_t i = 0; i < count; ++i) material_strings_free(&materials[i]);
    mem_free(materials);
}

} // namespace subdiv
