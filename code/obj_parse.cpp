// The OBJ reader.
//
// Bottom-up: line splitting and continued lines, the statement parser, the
// counts and names of a text, and last the entry point obj_parse, which reads
// a text in two passes: one that counts what every line holds, and, once
// every array is allocated at its size, one that fills them.
#include "obj_parse.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "error.h"
#include "name_table.h"
#include "options.h"
#include "parallel.h"
#include "storage.h"

namespace subdiv {

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

// The offsets of the line ends that continued lines joined to the next line:
// grown as they are found, rarely needed.
struct line_joins {
    uint64_t* at;  // count entries, ascending
    uint64_t count;
    uint64_t room;
};

// Joins the line from start to *end to the lines that follow while it ends
// in a backslash: the backslash, the CR of a CR LF end and the line end
// become blanks, and each joined line end is recorded in *joins. *end moves
// to the end of the joined line. A backslash at the end of the text is only
// blanked. Returns false when memory is refused.
static bool line_join_continued(char* text, uint64_t start, uint64_t* end, uint64_t length,
                                line_joins* joins)
{
    for (;;) {
        uint64_t e = *end;
        // the backslash before the line end (and before the CR of CR LF)
        uint64_t before = e;
        if (before > start && text[before - 1] == '\r' && (e == length || text[e] == '\n'))
            before -= 1;
        if (before == start || text[before - 1] != '\\') return true;
        for (uint64_t i = before - 1; i < e; ++i) text[i] = ' ';
        if (e >= length) return true;
        text[e] = ' ';
        if (joins->count == joins->room) {
            const uint64_t room = joins->room ? 2 * joins->room : 64;
            auto* at = static_cast<uint64_t*>(mem_alloc(room * 8));
            if (!at) return false;
            if (joins->count) std::memcpy(at, joins->at, joins->count * 8);
            mem_free(joins->at);
            joins->at = at;
            joins->room = room;
        }
        joins->at[joins->count++] = e;
        *end = line_end_find(text, e + 1, length);
    }
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
    case 't':
        if (is_blank(p[1])) kind = kind_tag, n = 1;
        break;
    default: break;
    }
    if (kind != kind_empty) *cursor = p + n + 1;
    return kind;
}

// The number of corner tokens of a face statement from p to the line end at
// end.
static inline uint64_t face_corner_tokens(const char* p, const char* end)
{
    uint64_t n = 0;
    skip_blanks(&p);
    while (p < end && !is_line_end_char(*p)) {
        p += token_length(p);
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

// Records the token of n characters at token as the fault of *record and
// returns fault.
static int line_fault_set(line_record* record, line_fault fault, const char* token, uint64_t n)
{
    record->fault = token;
    record->fault_length = n;
    return fault;
}

// Reads the coordinates of a "v", "vn" or "vt" statement from p to the line
// end into out: at least need and at most take of them; further tokens are
// passed over. keyword names the statement in faults.
static int line_coordinates(line_record* record, const char* p, const char* end, float* out,
                            int need, int take, const char* keyword)
{
    int n = 0;
    for (; n < take; ++n) {
        skip_blanks(&p);
        if (p >= end || is_line_end_char(*p)) break;
        const uint64_t length = token_length(p);
        double value = 0.0;
        if (!parse_number(p, p + length, &value)) return line_fault_set(record, fault_number, p, length);
        const float coordinate = float(value);
        if (!std::isfinite(coordinate)) return line_fault_set(record, fault_number, p, length);
        out[n] = coordinate;
        p += length;
    }
    if (n < need) {
        record->fault_count = uint64_t(n);
        return line_fault_set(record, fault_too_few, keyword, std::strlen(keyword));
    }
    return 1;
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
    case kind_empty:
    case kind_tag: return 0;
    case kind_vertex: return line_coordinates(record, p, end, record->position, 3, 3, "v");
    case kind_normal: return line_coordinates(record, p, end, record->normal, 3, 3, "vn");
    case kind_texcoord:
        record->texcoord[1] = 0.0f;
        return line_coordinates(record, p, end, record->texcoord, 1, 2, "vt");
    case kind_face: {
        const uint64_t limit = face_corner_limit(triangulate);
        record->corner_count = 0;
        record->face_count = 0;
        corner_written corners[OBJ_MAX_FACES_PER_F_LINE - 1];
        uint64_t n = 0;
        skip_blanks(&p);
        for (; p < end && !is_line_end_char(*p); ++n) {
            if (n == limit) {
                // too many corners: the message gives them all
                record->fault_count = n + face_corner_tokens(p, end);
                return line_fault_set(record, fault_corner_count, line, length);
            }
            const char* token = p;
            const corner_result result = parse_corner(&p, &corners[n]);
            if (result != corner_ok)
                return line_fault_set(record,
                                      result == corner_malformed ? fault_corner_form
                                                                 : fault_corner_range,
                                      token, uint64_t(p - token));
            // blanks and the CR of a CR LF line; never past the line end
            while (p < end && (is_blank(*p) || *p == '\r')) ++p;
        }
        face_yield(n, triangulate, &record->corner_count, &record->face_count);
        if (!triangulate) {
            std::memcpy(record->face_corners, corners, n * sizeof(corner_written));
            record->face_sizes[0] = int32_t(n);
        } else {
            // fan from corner 0: (c0, c(k-1), ck) for k = 2 .. n - 1
            for (uint64_t k = 2; k < n; ++k) {
                corner_written* triangle = &record->face_corners[3 * (k - 2)];
                triangle[0] = corners[0];
                triangle[1] = corners[k - 1];
                triangle[2] = corners[k];
                record->face_sizes[k - 2] = 3;
            }
        }
        return 1;
    }
    case kind_group:
        record->group_name = p;
        record->group_name_length = uint64_t(end - p);
        return 1;
    case kind_object:
        record->object_name = p;
        record->object_name_length = uint64_t(end - p);
        return 1;
    case kind_use_material:
        skip_blanks(&p);
        record->material_name = p;
        record->material_name_length = uint64_t(end - p);
        return 1;
    case kind_material_library:
        skip_blanks(&p);
        record->library_name = p;
        record->library_name_length = uint64_t(end - p);
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------- counts and names

// The length of the name of n characters at text without its trailing
// blanks and CRs.
static uint64_t name_trimmed_length(const char* text, uint64_t n)
{
    while (n > 0 && (is_blank(text[n - 1]) || text[n - 1] == '\r')) --n;
    return n;
}

// The path of a library named by n characters at name: the name itself when
// it is absolute or base_dir is null or empty, else base_dir/name. malloc'd
// (mem_alloc_text); null when memory is refused.
static char* library_path(const char* base_dir, const char* name, uint64_t n)
{
    if (!base_dir || base_dir[0] == '\0' || name[0] == '/') return text_copy(name, n);
    uint64_t dir_length = std::strlen(base_dir);
    bool slash = base_dir[dir_length - 1] != '/';
    uint64_t total = dir_length + (slash ? 1 : 0) + n;
    char* path = static_cast<char*>(mem_alloc_text(total + 1));
    if (!path) return nullptr;
    std::memcpy(path, base_dir, dir_length);
    if (slash) path[dir_length] = '/';
    std::memcpy(path + dir_length + (slash ? 1 : 0), name, n);
    path[total] = '\0';
    return path;
}

// An array block of n elements of the given size into *block, or null for
// none; false when memory is refused.
template <typename T>
static bool array_alloc(T** block, uint64_t n, uint64_t element_size)
{
    *block = n == 0 ? nullptr : static_cast<T*>(mem_alloc(n * element_size));
    return n == 0 || *block;
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
    uint64_t library_line;    // its line, from 1
};

// Emits the pending shape when face statements were seen since it began.
// Returns false, emitting none, when memory is refused.
static bool shape_emit(obj_shape* shapes, uint64_t capacity, uint64_t* n_shapes, const char* name,
                       uint64_t name_length, uint64_t first_face, uint64_t face_statements)
{
    if (face_statements == first_face) return true;
    CHECK(*n_shapes < capacity, "more than %llu shapes", (unsigned long long)capacity);
    char* copy = nullptr;
    if (name && name_length > 0 && !(copy = text_copy(name, name_length))) return false;
    obj_shape* shape = &shapes[(*n_shapes)++];
    shape->name = copy;
    shape->first_face = uint32_t(first_face);
    shape->face_count = uint32_t(face_statements - first_face);
    return true;
}

// ---------------------------------------------------------------- usemtl names

// The distinct names of the usemtl statements in order of first use, whole
// names compared (the material table's hash alone would merge two names of
// one hash): the names, NUL-ended, in one growing block, and an
// open-addressing table of (hash, index) over them.
struct usemtl_table {
    char* text;         // the names, each ended by NUL
    uint64_t used;      // bytes of text used
    uint64_t room;      // bytes of text allocated
    uint64_t* offsets;  // count entries: where each name starts in text
    uint64_t* slots;    // capacity entries: 0 for empty, else index + 1 << 32 | hash
    uint64_t capacity;  // a power of two, at least twice count
    uint32_t count;
};

static void usemtl_table_free(usemtl_table* t)
{
    mem_free(t->text);
    mem_free(t->offsets);
    mem_free(t->slots);
    *t = usemtl_table{};
}

// Places every name in the table's slots, which are empty.
static void usemtl_table_rehash(usemtl_table* t)
{
    std::memset(t->slots, 0, t->capacity * 8);
    for (uint32_t i = 0; i < t->count; ++i) {
        const uint32_t hash = name_hash(t->text + t->offsets[i]);
        uint64_t slot = hash & (t->capacity - 1);
        while (t->slots[slot]) slot = (slot + 1) & (t->capacity - 1);
        t->slots[slot] = (uint64_t(i) + 1) << 32 | hash;
    }
}

// Gives the table room for one more name of n characters: larger blocks for
// the text, the offsets and the slots (at most half full) where they are
// full, all allocated before any moves. False, the table as it was, when
// memory is refused.
static bool usemtl_table_room(usemtl_table* t, uint64_t n)
{
    const uint64_t room = t->used + n + 1 > t->room ? 2 * (t->room + n + 1) : t->room;
    // a power of two (or 0) of offsets fills their block: room for twice as many
    const bool more_offsets = (t->count & (t->count - 1)) == 0;
    const uint64_t capacity = 2 * (uint64_t(t->count) + 1) > t->capacity
                                  ? (t->capacity ? 2 * t->capacity : 16)
                                  : t->capacity;
    char* text = room > t->room ? static_cast<char*>(mem_alloc(room)) : t->text;
    uint64_t* offsets = more_offsets
                            ? static_cast<uint64_t*>(mem_alloc((2 * uint64_t(t->count) + 1) * 8))
                            : t->offsets;
    uint64_t* slots = capacity > t->capacity ? static_cast<uint64_t*>(mem_alloc(capacity * 8))
                                             : t->slots;
    if (!text || !offsets || !slots) {
        if (text != t->text) mem_free(text);
        if (offsets != t->offsets) mem_free(offsets);
        if (slots != t->slots) mem_free(slots);
        return false;
    }
    if (text != t->text) {
        if (t->used) std::memcpy(text, t->text, t->used);
        mem_free(t->text);
        t->text = text;
        t->room = room;
    }
    if (offsets != t->offsets) {
        if (t->count) std::memcpy(offsets, t->offsets, t->count * 8);
        mem_free(t->offsets);
        t->offsets = offsets;
    }
    if (slots != t->slots) {
        mem_free(t->slots);
        t->slots = slots;
        t->capacity = capacity;
        usemtl_table_rehash(t);
    }
    return true;
}

// The index of the n-character name at text, or -1 when it is not in the
// table. Reads the table only.
static int32_t usemtl_table_find(const usemtl_table* t, const char* text, uint64_t n)
{
    const uint32_t hash = name_hash_span(text, n);
    for (uint64_t slot = t->capacity ? hash & (t->capacity - 1) : 0; t->capacity;
         slot = (slot + 1) & (t->capacity - 1)) {
        const uint64_t entry = t->slots[slot];
        if (entry == 0) break;
        const uint32_t index = uint32_t(entry >> 32) - 1;
        const char* name = t->text + t->offsets[index];
        if (uint32_t(entry) == hash && std::strlen(name) == n && std::memcmp(name, text, n) == 0)
            return int32_t(index);
    }
    return -1;
}

// The index of the n-character name at text, added when new; -1 when memory
// is refused.
static int32_t usemtl_table_index(usemtl_table* t, const char* text, uint64_t n)
{
    const int32_t found = usemtl_table_find(t, text, n);
    if (found >= 0) return found;
    // a new name: its text, its offset, its slot
    if (!usemtl_table_room(t, n)) return -1;
    const uint32_t hash = name_hash_span(text, n);
    std::memcpy(t->text + t->used, text, n);
    t->text[t->used + n] = '\0';
    t->offsets[t->count] = t->used;
    t->used += n + 1;
    t->count += 1;
    uint64_t slot = hash & (t->capacity - 1);
    while (t->slots[slot]) slot = (slot + 1) & (t->capacity - 1);
    t->slots[slot] = uint64_t(t->count) << 32 | hash;
    return int32_t(t->count - 1);
}

// ---------------------------------------------------------------- faults

// The token of corner k of the face statement that is the line at line (of
// length characters): its start, and its length in *n.
static const char* face_corner_token(const char* line, uint64_t length, uint64_t k, uint64_t* n)
{
    const char* p = line;
    const char* end = line + length;
    line_statement(&p);
    skip_blanks(&p);
    for (uint64_t i = 0; i < k && p < end; ++i) {
        p += token_length(p);
        while (p < end && (is_blank(*p) || *p == '\r')) ++p;
    }
    *n = token_length(p);
    return p;
}

// Fills *error with the fault that obj_parse_line found in line line_number
// of the text name.
static subdiv_status line_fault_report(const line_record* record, int fault, const char* name,
                                       uint64_t line_number, uint64_t face, subdiv_error* error)
{
    char token[32];
    error_token(record->fault, record->fault_length, token);
    const error_place place = {line_number, record->kind == kind_face ? face : 0, {}};
    const unsigned long long line = line_number;
    switch (fault) {
    case fault_corner_count:
        return error_set(error, subdiv_error_syntax, place,
                         "%s: line %llu: face with %llu corners; at most %d are supported", name,
                         line, (unsigned long long)record->fault_count,
                         OBJ_MAX_FACES_PER_F_LINE - 1);
    case fault_corner_range:
        return error_set(error, subdiv_error_syntax, place,
                         "%s: line %llu: face corner '%s' has an index outside the 32-bit range",
                         name, line, token);
    case fault_corner_form:
        return error_set(error, subdiv_error_syntax, place,
                         "%s: line %llu: face corner '%s' is not of the form v, v/vt, v//vn or "
                         "v/vt/vn with whole numbers",
                         name, line, token);
    case fault_number: {
        double value = 0.0;
        const bool number = parse_number(record->fault, record->fault + record->fault_length, &value);
        return error_set(error, subdiv_error_syntax, place,
                         number ? "%s: line %llu: coordinate '%s' does not read as a finite 32-bit "
                                  "float"
                                : "%s: line %llu: coordinate '%s' is not a decimal number",
                         name, line, token);
    }
    case fault_too_few:
        return error_set(error, subdiv_error_syntax, place,
                         "%s: line %llu: '%s' statement with %llu coordinates; %s needed", name,
                         line, token, (unsigned long long)record->fault_count,
                         record->kind == kind_texcoord ? "at least 1 is" : "3 are");
    }
    CHECK(false, "obj_parse: unknown line fault %d", fault);
    return subdiv_error_syntax;
}

// What a face index of each part names, for the messages.
static const char* const part_names[3] = {"vertex", "texture coordinate", "normal"};
static const char* const part_names_plural[3] = {"vertices", "texture coordinates", "normals"};

// Fills *error for index i of part `part` (0 position, 1 texture, 2 normal)
// of corner k of the face statement at line, which names none of the n
// elements of its kind read before it.
static subdiv_status face_index_report(const char* line, uint64_t length, uint64_t k, int part,
                                       int64_t i, uint64_t n, const char* name,
                                       uint64_t line_number, uint64_t face, subdiv_error* error)
{
    uint64_t token_n = 0;
    const char* token_start = face_corner_token(line, length, k, &token_n);
    char token[32];
    error_token(token_start, token_n, token);
    const unsigned long long line_n = line_number;
    if (i == 0)
        return error_set(error, subdiv_error_syntax, {line_number, face, {}},
                         "%s: line %llu: face corner '%s': index 0 names no %s (indices count "
                         "from 1, or back from -1)",
                         name, line_n, token, part_names[part]);
    if (i > 0)
        return error_set(error, subdiv_error_syntax,
                         {line_number, face, {part == 0 ? uint64_t(i) : 0}},
                         "%s: line %llu: face corner '%s' names %s %lld, but only %llu %s come "
                         "before it",
                         name, line_n, token, part_names[part], (long long)i, (unsigned long long)n,
                         part_names_plural[part]);
    return error_set(error, subdiv_error_syntax, {line_number, face, {}},
                     "%s: line %llu: face corner '%s' counts back %lld %s, but only %llu come "
                     "before it",
                     name, line_n, token, -(long long)i, part_names_plural[part],
                     (unsigned long long)n);
}

// A face index, in a part the job does not use, that names nothing: where
// it stands, for the one warning of a text.
struct unused_index {
    uint64_t line_start;  // offset of the face statement's line in the text
    uint64_t line_length;
    uint64_t line_number; // from 1
    uint64_t corner;      // the corner as written, from 0
    int64_t index;        // as written
    uint64_t before;      // elements of its kind before the face
    int part;             // 1 texture coordinate, 2 normal; 0 when none was found
};

// Warns, through the options, of the index *u, which names none of the
// `total` elements of its kind in the text: the job goes on without them.
static void unused_index_warn(const char* text, const unused_index* u, uint64_t total,
                              const char* name, const subdiv_options* options)
{
    uint64_t token_n = 0;
    const char* token_start = face_corner_token(text + u->line_start, u->line_length, u->corner,
                                                &token_n);
    char token[32];
    error_token(token_start, token_n, token);
    const unsigned long long line = u->line_number, before = u->before;
    const char* const kind = part_names[u->part];
    const char* const kinds = part_names_plural[u->part];
    if (u->index == 0)
        warning_report(options,
                       "%s: line %llu: face corner '%s': index 0 names no %s; %s are not used",
                       name, line, token, kind, kinds);
    else if (u->index > 0 && uint64_t(u->index) > total)
        warning_report(options,
                       "%s: line %llu: face corner '%s' names %s %lld, but the file has %llu %s; "
                       "%s are not used",
                       name, line, token, kind, (long long)u->index, (unsigned long long)total,
                       kinds, kinds);
    else if (u->index > 0)
        warning_report(options,
                       "%s: line %llu: face corner '%s' names %s %lld, but only %llu %s come "
                       "before it; %s are not used",
                       name, line, token, kind, (long long)u->index, before, kinds, kinds);
    else
        warning_report(options,
                       "%s: line %llu: face corner '%s' counts back %lld %s, but only %llu come "
                       "before it; %s are not used",
                       name, line, token, -(long long)u->index, kinds, before, kinds);
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
    mem_free(attribs->face_usemtl);
    mem_free(attribs->usemtl_names);
    mem_free(attribs->library_name);
    obj_tag_set_free(&attribs->tags);
    obj_attribs_init(attribs);
}

void obj_shapes_free(obj_shape* shapes, uint64_t n_shapes)
{
    if (!shapes) return;
    for (uint64_t i = 0; i < n_shapes; ++i) std::free(shapes[i].name);
    mem_free(shapes);
}

// Reads the material library named in the text into *materials, filling the
// table with its names; a library that cannot be read leaves no materials
// and gives a warning. Returns false, no materials, when memory is refused.
static bool obj_parse_library(const obj_counts* counts, const char* base_dir, const char* name,
                              const subdiv_options* options, obj_material** materials,
                              uint64_t* n_materials, name_table* material_table)
{
    if (!counts->library || counts->library_length == 0) return true;
    char* path = library_path(base_dir, counts->library, counts->library_length);
    if (!path) return false;
    subdiv_error reason;
    const subdiv_status status = mtl_parse(materials, n_materials, path, material_table, &reason);
    if (status != subdiv_ok && status != subdiv_error_memory)
        warning_report(options, "%s: line %llu: %s; materials are left out", name,
                       (unsigned long long)counts->library_line, reason.message);
    std::free(path);
    return status != subdiv_error_memory;
}

// The fill pass runs in ranges of lines that start at least this many bytes
// apart, each on any thread: the counting pass notes where each range
// starts and what comes before it.
static const uint64_t fill_range_bytes = uint64_t(1) << 18;

// Where a range of the fill pass starts: its first line and the counts of
// everything before it.
struct fill_start {
    uint64_t offset;      // of the range's first line in the text
    uint64_t line_number; // of that line, from 1
    uint64_t vertices, normals, texcoords, corners, faces;
    uint64_t joins;       // continued-line ends before the range
    const char* usemtl;   // the name of the last usemtl statement with one before the range,
    uint64_t usemtl_length; // trailing blanks cut; null for none
};

// A "g" or "o" statement: the name it gives and the face statements before it.
struct shape_mark {
    const char* name;
    uint64_t name_length;
    uint64_t face_statements;
};

// Appends *item to the growing block *array of *count items of size bytes;
// false, the list as it was, when memory is refused.
template <typename T>
static bool list_append(T** array, uint64_t* count, const T& item)
{
    if ((*count & (*count - 1)) == 0) { // a power of two (or 0): room for twice as many
        auto* larger = static_cast<T*>(mem_alloc((2 * *count + 1) * sizeof(T)));
        if (!larger) return false;
        if (*count) std::memcpy(static_cast<void*>(larger), *array, *count * sizeof(T));
        mem_free(*array);
        *array = larger;
    }
    (*array)[(*count)++] = item;
    return true;
}

namespace {

// What every range of the fill pass reads, and what each one reports.
struct fill_job {
    obj_attribs* attribs;
    const char* text;
    uint64_t length;
    bool triangulate;
    const char* name;
    const line_joins* joins;
    const name_table* materials;
    const usemtl_table* usemtl;
    const fill_start* starts;
    uint64_t n_ranges;
    uint32_t used_parts;   // a bit per corner part whose indices must name something
    subdiv_status* status; // per range
    subdiv_error* errors;  // per range
    unused_index* unused;  // per range: its first index of an unused part that names nothing
};

} // namespace

// Fills the arrays from the lines of range r: parses each line and appends
// its values where the counts before it say; face indices resolve against
// the statements before the face. Stops at the range's first fault, which
// it reports in the range's error; notes its first index of an unused part
// that names nothing.
static void fill_range(void* context, uint64_t r, uint32_t)
{
    const auto* job = static_cast<const fill_job*>(context);
    obj_attribs* attribs = job->attribs;
    const char* const text = job->text;
    const uint64_t length = job->length;
    const fill_start* first = &job->starts[r];
    const uint64_t stop = r + 1 < job->n_ranges ? job->starts[r + 1].offset : length + 1;
    subdiv_error* const error = &job->errors[r];
    unused_index* const unused = &job->unused[r];
    unused->part = 0;
    subdiv_status status = subdiv_ok;
    uint64_t n_vertices = first->vertices, n_normals = first->normals;
    uint64_t n_texcoords = first->texcoords, n_corners = first->corners, n_faces = first->faces;
    int32_t material = -1, usemtl_index = -1;
    if (first->usemtl) {
        const name_table_slot* slot =
            name_table_find(name_hash_span(first->usemtl, first->usemtl_length), job->materials);
        material = slot ? slot->value : -1;
        usemtl_index = usemtl_table_find(job->usemtl, first->usemtl, first->usemtl_length);
    }
    uint64_t next_join = first->joins;
    line_record record;
    for (uint64_t start = first->offset, line_number = first->line_number; start < stop;) {
        const uint64_t end = line_end_find(text, start, length);
        const int result = obj_parse_line(&record, text + start, end - start, job->triangulate);
        if (result < 0) {
            status = line_fault_report(&record, result, job->name, line_number, n_faces + 1, error);
            break;
        }
        if (result == 1) {
            switch (record.kind) {
            case kind_vertex:
                std::memcpy(attribs->positions + 3 * n_vertices, record.position, 3 * sizeof(float));
                n_vertices += 1;
                break;
            case kind_normal:
                std::memcpy(attribs->normals + 3 * n_normals, record.normal, 3 * sizeof(float));
                n_normals += 1;
                break;
            case kind_texcoord:
                std::memcpy(attribs->texcoords + 2 * n_texcoords, record.texcoord, 2 * sizeof(float));
                n_texcoords += 1;
                break;
            case kind_face: {
                CHECK(n_corners + record.corner_count <= attribs->index_count &&
                          n_faces + record.face_count <= attribs->face_count,
                      "OBJ: more face corners or faces than counted");
                // every index of a used part must name an element read before
                // the face; one of another part that names none is noted
                const uint64_t n_before[3] = {n_vertices, n_texcoords, n_normals};
                for (uint64_t i = 0; i < record.corner_count; ++i) {
                    const corner_written& c = record.face_corners[i];
                    const uint32_t unnamed =
                        resolve_corner(&c, n_before, &attribs->indices[n_corners++]);
                    if (__builtin_expect(unnamed == 0, 1)) continue;
                    // the first part at fault: one that is used, else any
                    const uint32_t used = unnamed & job->used_parts;
                    const int part = __builtin_ctz(used ? used : unnamed);
                    const int64_t given[3] = {c.position_index, c.texcoord_index, c.normal_index};
                    // the corner as written: triangulation repeats corners
                    const uint64_t k = job->triangulate ? (i % 3 == 0 ? 0 : i / 3 + i % 3) : i;
                    if (used) {
                        status = face_index_report(text + start, end - start, k, part, given[part],
                                                   n_before[part], job->name, line_number,
                                                   n_faces + 1, error);
                        break;
                    }
                    if (unused->part == 0)
                        *unused = unused_index{start,      end - start,  line_number,   k,
                                               given[part], n_before[part], part};
                }
                for (uint64_t i = 0; i < record.face_count; ++i) {
                    attribs->face_sizes[n_faces] = record.face_sizes[i];
                    attribs->face_materials[n_faces] = material;
                    attribs->face_usemtl[n_faces] = usemtl_index;
                    n_faces += 1;
                }
                break;
            }
            case kind_use_material: {
                uint64_t n = name_trimmed_length(record.material_name, record.material_name_length);
                if (n > 0) {
                    const name_table_slot* slot =
                        name_table_find(name_hash_span(record.material_name, n), job->materials);
                    material = slot ? slot->value : -1;
                    usemtl_index = usemtl_table_find(job->usemtl, record.material_name, n);
                }
                break;
            }
            case kind_group:
            case kind_object:
            case kind_material_library:
            case kind_tag:
            case kind_empty: break;
            }
        }
        if (status != subdiv_ok || end >= length) break;
        // the line number of the next line counts the lines joined into this one
        uint64_t joined = 0;
        while (next_join < job->joins->count && job->joins->at[next_join] < end) ++next_join, ++joined;
        start = end + 1;
        line_number += 1 + joined;
    }
    job->status[r] = status;
    if (status != subdiv_ok) return;
    // the range ends where the next one starts
    const fill_start* next = r + 1 < job->n_ranges ? &job->starts[r + 1] : nullptr;
    CHECK(!next || (n_vertices == next->vertices && n_normals == next->normals &&
                    n_texcoords == next->texcoords && n_corners == next->corners &&
                    n_faces == next->faces),
          "OBJ: the fill pass found other counts than the counting pass");
    CHECK(next || (n_vertices == attribs->vertex_count && n_normals == attribs->normal_count &&
                   n_texcoords == attribs->texcoord_count && n_corners == attribs->index_count &&
                   n_faces == attribs->face_count),
          "OBJ: the fill pass found other counts than the counting pass");
}

// ---------------------------------------------------------------- counting pass
//
// The counting pass splits the text into lines, joins continued lines and
// recognises every statement; face statements are counted token by token
// without reading numbers. The usemtl names are numbered in order of first
// use, the shapes' statements noted, and the fill pass's ranges marked with
// what comes before them. On several threads the text is counted in chunks
// of whole lines, each noting its range starts and the statements that
// depend on those before them (names, libraries, materials, tags), which are
// then taken in order on the calling thread; a chunk with more of them than
// it first has room for notes them again with room for all. A text with a
// continued line is counted again line after line.

// What the counting pass finds, and the lists it makes.
struct count_state {
    obj_counts counts;
    line_joins joins;
    usemtl_table usemtl;
    shape_mark* marks;
    uint64_t n_marks;
    fill_start* starts;
    uint64_t n_ranges;
    const char* last_usemtl; // the last usemtl name so far, trailing blanks cut
    uint64_t last_usemtl_length;
    obj_tag_line* tag_lines;
    uint64_t n_tag_lines;
};

// Starts a fill range at the line at start; false when memory is refused.
static bool count_range_start(count_state* c, uint64_t start, uint64_t line_number)
{
    const obj_counts& n = c->counts;
    return list_append(&c->starts, &c->n_ranges,
                       fill_start{start, line_number, n.vertices, n.normals, n.texcoords,
                                  n.corners, n.faces, c->joins.count, c->last_usemtl,
                                  c->last_usemtl_length});
}

// Counts a line of the statements that need none before them (an element,
// a face whose corners' tokens, with `corners`, are counted from p to
// line_end, an empty line); false, nothing counted, for any other.
__attribute__((always_inline)) static inline bool
count_plain(obj_counts* counts, line_kind kind, const char* p, const char* line_end,
            bool triangulate, bool corners = true)
{
    switch (kind) {
    case kind_vertex: counts->vertices += 1; return true;
    case kind_normal: counts->normals += 1; return true;
    case kind_texcoord: counts->texcoords += 1; return true;
    case kind_face: {
        uint64_t n_corners = 0, n_faces = 0;
        if (corners) face_yield(face_corner_tokens(p, line_end), triangulate, &n_corners, &n_faces);
        counts->corners += n_corners;
        counts->faces += n_faces;
        counts->face_statements += 1;
        return true;
    }
    case kind_empty: return true;
    default: return false;
    }
}

// Counts the line from start to end, whose statement is kind, one that
// count_plain does not count; false when memory is refused.
static bool count_line(count_state* c, line_kind kind, const char* text, uint64_t start,
                       uint64_t end, uint64_t line_number, bool triangulate)
{
    obj_counts& counts = c->counts;
    line_record record;
    switch (kind) {
    case kind_group:
    case kind_object:
        counts.names += 1;
        obj_parse_line(&record, text + start, end - start, triangulate);
        if (record.kind == kind_group)
            return list_append(&c->marks, &c->n_marks,
                               shape_mark{record.group_name, record.group_name_length,
                                          counts.face_statements});
        return list_append(&c->marks, &c->n_marks,
                           shape_mark{record.object_name, record.object_name_length,
                                      counts.face_statements});
    case kind_material_library:
        obj_parse_line(&record, text + start, end - start, triangulate);
        counts.library = record.library_name;
        counts.library_length = name_trimmed_length(record.library_name, record.library_name_length);
        counts.library_line = line_number;
        return true;
    case kind_use_material: {
        obj_parse_line(&record, text + start, end - start, triangulate);
        const uint64_t n = name_trimmed_length(record.material_name, record.material_name_length);
        if (n == 0) return true;
        c->last_usemtl = record.material_name;
        c->last_usemtl_length = n;
        return usemtl_table_index(&c->usemtl, record.material_name, n) >= 0;
    }
    case kind_tag:
        return list_append(&c->tag_lines, &c->n_tag_lines, obj_tag_line{start, end, line_number});
    default: return true;
    }
}

// The text line after line; false when memory is refused.
static bool count_serial(count_state* c, char* text, uint64_t length, bool triangulate)
{
    for (uint64_t start = 0, line_number = 1, range_offset = 0;;) {
        if (start == 0 || start - range_offset >= fill_range_bytes) {
            range_offset = start;
            if (!count_range_start(c, start, line_number)) return false;
        }
        uint64_t end = line_end_find(text, start, length);
        const uint64_t joined_before = c->joins.count;
        if (!line_join_continued(text, start, &end, length, &c->joins)) return false;
        const char* p = text + start;
        const line_kind kind = line_statement(&p);
        if (!count_plain(&c->counts, kind, p, text + end, triangulate) &&
            !count_line(c, kind, text, start, end, line_number, triangulate))
            return false;
        if (end >= length) return true;
        start = end + 1;
        line_number += 1 + (c->joins.count - joined_before);
    }
}

// A statement other than a tag that a chunk leaves to the calling thread:
// its line and the face statements of the chunk before it.
struct chunk_line {
    uint64_t start, end, line, face_statements;
    line_kind kind;
};

// A range start in a chunk, with the chunk's counts before it.
struct chunk_range {
    uint64_t start, line;
    obj_counts counts;
};

// Sets the elements, faces and face statements of *counts to those of before
// and local together.
static void counts_add(obj_counts* counts, const obj_counts& before, const obj_counts& local)
{
    counts->vertices = before.vertices + local.vertices;
    counts->normals = before.normals + local.normals;
    counts->texcoords = before.texcoords + local.texcoords;
    counts->corners = before.corners + local.corners;
    counts->faces = before.faces + local.faces;
    counts->face_statements = before.face_statements + local.face_statements;
}

// The statements and tags a chunk notes on its first count; one with more
// notes them all on a second.
constexpr uint64_t chunk_first_room = 64;

// Lines of text that one thread counts: those that start in [begin, end).
struct count_chunk {
    uint64_t begin, end;
    uint64_t line_base; // the number of its first line (second count)
    obj_counts counts;  // of the chunk alone; names and the library not counted
    uint64_t lines;
    chunk_line* named;  // the statements of the calling thread, as room allows
    uint64_t n_named, named_room;
    obj_tag_line* tags; // the tag lines (lines in the chunk on the first count)
    uint64_t n_tags, tags_room;
    chunk_range* ranges;
    uint64_t n_ranges, ranges_room;
    bool continued; // a continued line: the text is counted line after line
    bool again;     // more statements or tags than room: counted a second time
};

struct count_job {
    const char* text;
    uint64_t length;
    bool triangulate;
    count_chunk* chunks;
    const uint64_t* order; // the chunks to count, or null for all in order
    bool second;           // the second count: the notes alone, with their file lines
};

// True when the line from start to end continues on the next one: it ends
// in a backslash, before the CR of a CR LF end.
static inline bool line_continues(const char* text, uint64_t start, uint64_t end, uint64_t length)
{
    uint64_t before = end;
    if (before > start && text[before - 1] == '\r' && (end == length || text[end] == '\n'))
        before -= 1;
    return before > start && text[before - 1] == '\\';
}

// Counts a chunk's lines and notes their statements and tags as far as it
// has room, counting all; stops at a continued line. The second count notes
// them alone, all of them.
static void count_chunk_lines(void* context, uint64_t i, uint32_t)
{
    const auto* job = static_cast<const count_job*>(context);
    count_chunk* k = &job->chunks[job->order ? job->order[i] : i];
    const char* const text = job->text;
    const uint64_t length = job->length;
    const bool second = job->second;
    obj_counts counts;
    std::memset(&counts, 0, sizeof counts);
    uint64_t n_named = 0, n_tags = 0, line = 0;
    for (uint64_t start = k->begin, range_offset = k->begin;; ++line) {
        const uint64_t end = line_end_find(text, start, length);
        if (!second && line_continues(text, start, end, length)) {
            k->continued = true;
            return;
        }
        if (!second && (start == k->begin || start - range_offset >= fill_range_bytes)) {
            range_offset = start;
            CHECK(k->n_ranges < k->ranges_room, "OBJ: no room for a chunk's ranges");
            k->ranges[k->n_ranges++] = {start, line, counts};
        }
        const char* p = text + start;
        const line_kind kind = line_statement(&p);
        if (count_plain(&counts, kind, p, text + end, job->triangulate, !second)) {
            // counted
        } else if (kind == kind_tag) {
            if (n_tags < k->tags_room) k->tags[n_tags] = {start, end, k->line_base + line};
            n_tags += 1;
        } else {
            if (n_named < k->named_room)
                k->named[n_named] = {start, end, line, counts.face_statements, kind};
            n_named += 1;
        }
        if (end >= length || end + 1 >= k->end) break;
        start = end + 1;
    }
    k->n_named = n_named;
    k->n_tags = n_tags;
    if (second) return;
    k->counts = counts;
    k->lines = line + 1;
}

// Chunks of about this many bytes, at least, go to the threads.
static const uint64_t count_chunk_bytes = uint64_t(1) << 21;

// The chunks' findings in order into *c, their tags into the n_tags entries
// of c->tag_lines where the second count left them not; false when memory is
// refused.
static bool count_merge(count_state* c, const count_chunk* chunks, uint64_t n_chunks,
                        const char* text, bool triangulate)
{
    obj_counts& counts = c->counts;
    uint64_t n_tags = 0;
    for (uint64_t i = 0; i < n_chunks; ++i) {
        const count_chunk* k = &chunks[i];
        const obj_counts before = counts;
        uint64_t r = 0, j = 0;
        // the range starts and the statements by offset; a range starts
        // before its first line is counted
        while (r < k->n_ranges || j < k->n_named) {
            if (r < k->n_ranges && (j == k->n_named || k->ranges[r].start <= k->named[j].start)) {
                const chunk_range& range = k->ranges[r++];
                counts_add(&counts, before, range.counts);
                if (!count_range_start(c, range.start, k->line_base + range.line)) return false;
                continue;
            }
            const chunk_line& named = k->named[j++];
            counts.face_statements = before.face_statements + named.face_statements;
            if (!count_line(c, named.kind, text, named.start, named.end, k->line_base + named.line,
                            triangulate))
                return false;
        }
        counts_add(&counts, before, k->counts);
        // tags noted on the first count have their lines in the chunk
        if (!k->again)
            for (uint64_t t = 0; t < k->n_tags; ++t)
                c->tag_lines[n_tags + t] = {k->tags[t].offset, k->tags[t].end,
                                            k->line_base + k->tags[t].line};
        n_tags += k->n_tags;
    }
    c->n_tag_lines = n_tags;
    return true;
}

// Counts the text into *c (cleared by the caller), in chunks on up to
// `threads` threads when it is large enough; false when memory is refused.
static bool count_text(count_state* c, char* text, uint64_t length, bool triangulate,
                       uint32_t threads)
{
    const uint64_t most_chunks = length / count_chunk_bytes;
    if (threads < 2 || most_chunks < 2) return count_serial(c, text, length, triangulate);
    const uint64_t wanted = 4 * uint64_t(threads);
    const uint64_t n_wanted = wanted < most_chunks ? wanted : most_chunks;
    auto* chunks = static_cast<count_chunk*>(mem_alloc(n_wanted * sizeof(count_chunk)));
    auto* again = static_cast<uint64_t*>(mem_alloc(n_wanted * 8));
    auto* named = static_cast<chunk_line*>(mem_alloc(n_wanted * chunk_first_room * sizeof(chunk_line)));
    auto* tags = static_cast<obj_tag_line*>(mem_alloc(n_wanted * chunk_first_room * sizeof(obj_tag_line)));
    const uint64_t ranges_room = length / fill_range_bytes + 2 * n_wanted + 2;
    auto* ranges = static_cast<chunk_range*>(mem_alloc(ranges_room * sizeof(chunk_range)));
    uint64_t n_chunks = 0;
    bool refused = !chunks || !again || !named || !tags || !ranges, continued = false;
    // chunks that start after a line feed, about length / n_wanted apart
    for (uint64_t i = 0, begin = 0, used_ranges = 0; !refused && begin < length; ++i) {
        uint64_t end = length + 1;
        if (i + 1 < n_wanted) {
            const uint64_t from = (i + 1) * (length / n_wanted) > begin
                                      ? (i + 1) * (length / n_wanted)
                                      : begin;
            const void* feed = std::memchr(text + from, '\n', length - from);
            if (feed) end = uint64_t(static_cast<const char*>(feed) - text) + 1;
        }
        count_chunk* k = &chunks[n_chunks];
        std::memset(k, 0, sizeof *k);
        k->begin = begin;
        k->end = end;
        k->named = named + n_chunks * chunk_first_room;
        k->tags = tags + n_chunks * chunk_first_room;
        k->named_room = k->tags_room = chunk_first_room;
        k->ranges = ranges + used_ranges;
        k->ranges_room = (end - begin) / fill_range_bytes + 2;
        used_ranges += k->ranges_room;
        CHECK(used_ranges <= ranges_room, "OBJ: no room for the chunks' ranges");
        n_chunks += 1;
        begin = end;
    }
    count_job job = {text, length, triangulate, chunks, nullptr, false};
    if (!refused) parallel_for(threads, n_chunks, count_chunk_lines, &job);
    for (uint64_t i = 0; i < n_chunks; ++i) continued = continued || chunks[i].continued;
    // the tags go where the file's list has them; chunks that noted not all
    // their statements or tags count again with room for all
    uint64_t n_again = 0, n_tags = 0, line_base = 1;
    for (uint64_t i = 0; !refused && !continued && i < n_chunks; ++i) {
        count_chunk* k = &chunks[i];
        k->line_base = line_base;
        line_base += k->lines;
        const bool named_full = k->n_named > k->named_room;
        k->again = named_full || k->n_tags > k->tags_room;
        if (k->again) again[n_again++] = i;
        if (named_full) {
            k->named = static_cast<chunk_line*>(mem_alloc(k->n_named * sizeof(chunk_line)));
            k->named_room = k->n_named;
            refused = !k->named;
        }
        n_tags += k->n_tags;
    }
    if (!refused && !continued && n_tags > 0) {
        c->tag_lines = static_cast<obj_tag_line*>(mem_alloc(n_tags * sizeof(obj_tag_line)));
        refused = !c->tag_lines;
    }
    if (!refused && !continued && n_again > 0) {
        // the second count writes the tags where they go, with their lines
        for (uint64_t i = 0, at = 0; i < n_chunks; at += chunks[i++].n_tags)
            if (chunks[i].again) {
                chunks[i].tags = c->tag_lines + at;
                chunks[i].tags_room = chunks[i].n_tags;
            }
        job.order = again;
        job.second = true;
        parallel_for(threads, n_again, count_chunk_lines, &job);
    }
    if (!refused && !continued) refused = !count_merge(c, chunks, n_chunks, text, triangulate);
    for (uint64_t i = 0; i < n_chunks; ++i)
        if (chunks[i].named_room > chunk_first_room) mem_free(chunks[i].named);
    mem_free(chunks);
    mem_free(again);
    mem_free(named);
    mem_free(tags);
    mem_free(ranges);
    if (refused) return false;
    if (!continued) return true;
    mem_release(&c->tag_lines);
    return count_serial(c, text, length, triangulate);
}

subdiv_status obj_parse(obj_attribs* attribs, obj_shape** shapes, uint64_t* n_shapes,
                        obj_material** materials, uint64_t* n_materials, char* text,
                        uint64_t length, uint32_t flags, const char* base_dir, const char* name,
                        const subdiv_options* options, subdiv_error* error)
{
    CHECK(attribs && shapes && n_shapes && materials && n_materials && text && name,
          "obj_parse: no record, text or name");
    CHECK(text[length] == '\0', "obj_parse: the text of %llu bytes does not end in a NUL",
          (unsigned long long)length);
    obj_attribs_init(attribs);
    *shapes = nullptr;
    *n_shapes = 0;
    *materials = nullptr;
    *n_materials = 0;
    const bool triangulate = (flags & parse_triangulate) != 0;

    // Counting pass: the counts, the lists, and where the fill's ranges start
    count_state c;
    std::memset(&c, 0, sizeof c);
    const bool counted = count_text(&c, text, length, triangulate, options_threads(options));
    obj_counts& counts = c.counts;
    line_joins& joins = c.joins;
    usemtl_table& usemtl = c.usemtl;
    shape_mark*& marks = c.marks;
    const uint64_t n_marks = c.n_marks;
    fill_start*& starts = c.starts;
    const uint64_t n_ranges = c.n_ranges;
    obj_tag_line*& tag_lines = c.tag_lines;
    const uint64_t n_tag_lines = c.n_tag_lines;
    if (!counted) {
        mem_free(joins.at);
        mem_free(marks);
        mem_free(starts);
        mem_free(tag_lines);
        usemtl_table_free(&usemtl);
        return error_memory_in(error, name, mem_refused_size());
    }

    // Limits: 32-bit counts, and arrays that this machine can hold
    const uint64_t limit32 = UINT32_MAX;
    subdiv_status status = subdiv_ok;
    if (counts.vertices > limit32 || counts.normals > limit32 || counts.texcoords > limit32 ||
        counts.corners > limit32 || counts.faces > limit32 || counts.face_statements > limit32)
        status = error_set(error, subdiv_error_limit, {},
                           "%s: too large: %llu vertices, %llu normals, %llu texture coordinates, "
                           "%llu face corners and %llu faces; at most 4294967295 of each are "
                           "supported",
                           name, (unsigned long long)counts.vertices,
                           (unsigned long long)counts.normals, (unsigned long long)counts.texcoords,
                           (unsigned long long)counts.corners, (unsigned long long)counts.faces);
    const uint64_t array_bytes = 12 * counts.vertices + 12 * counts.normals +
                                 8 * counts.texcoords + 12 * counts.corners + 8 * counts.faces +
                                 sizeof(obj_shape) * (counts.names + 1);
    if (status == subdiv_ok && array_bytes > mem_physical())
        status = error_set(error, subdiv_error_limit, {},
                           "%s: the %llu vertices and %llu face corners need %llu bytes, more than "
                           "this machine's memory",
                           name, (unsigned long long)counts.vertices,
                           (unsigned long long)counts.corners, (unsigned long long)array_bytes);
    if (status != subdiv_ok) {
        mem_free(tag_lines);
        mem_free(joins.at);
        mem_free(marks);
        mem_free(starts);
        usemtl_table_free(&usemtl);
        return status;
    }

    // Material library: the last "mtllib" statement, opened in base_dir
    name_table material_table;
    bool allocated = name_table_create(10, &material_table) &&
                     obj_parse_library(&counts, base_dir, name, options, materials, n_materials,
                                       &material_table);

    // Allocation: every output once, at its exact size
    attribs->vertex_count = uint32_t(counts.vertices);
    attribs->normal_count = uint32_t(counts.normals);
    attribs->texcoord_count = uint32_t(counts.texcoords);
    attribs->index_count = uint32_t(counts.corners);
    attribs->face_count = uint32_t(counts.faces);
    allocated = allocated && array_alloc(&attribs->positions, 3 * counts.vertices, sizeof(float)) &&
                array_alloc(&attribs->normals, 3 * counts.normals, sizeof(float)) &&
                array_alloc(&attribs->texcoords, 2 * counts.texcoords, sizeof(float)) &&
                array_alloc(&attribs->indices, counts.corners, sizeof(corner_index)) &&
                array_alloc(&attribs->face_sizes, counts.faces, sizeof(int32_t)) &&
                array_alloc(&attribs->face_materials, counts.faces, sizeof(int32_t)) &&
                array_alloc(&attribs->face_usemtl, counts.faces, sizeof(int32_t)) &&
                array_alloc(&attribs->library_name,
                            counts.library_length > 0 ? counts.library_length + 1 : 0, 1);
    if (allocated && attribs->library_name) {
        std::memcpy(attribs->library_name, counts.library, counts.library_length);
        attribs->library_name[counts.library_length] = '\0';
    }

    // Fill pass: every range parses its lines again, in place, and appends
    // their values; the first range with a fault names it
    const uint32_t used_parts = (flags & parse_texcoords_unused) ? 1u : 3u;
    fill_job job = {attribs, text, length, triangulate, name, &joins, &material_table, &usemtl,
                    starts, n_ranges, used_parts, nullptr, nullptr, nullptr};
    if (allocated) {
        job.status = static_cast<subdiv_status*>(mem_alloc(n_ranges * sizeof(subdiv_status)));
        job.errors = static_cast<subdiv_error*>(mem_alloc(n_ranges * sizeof(subdiv_error)));
        job.unused = static_cast<unused_index*>(mem_alloc(n_ranges * sizeof(unused_index)));
        allocated = job.status && job.errors && job.unused;
    }
    if (allocated) parallel_for(options_threads(options), n_ranges, fill_range, &job);
    else status = error_memory_in(error, name, mem_refused_size());
    for (uint64_t r = 0; allocated && r < n_ranges && status == subdiv_ok; ++r) {
        status = job.status[r];
        if (status != subdiv_ok && error) *error = job.errors[r];
    }
    // the first index of an unused part that names nothing, once per text
    for (uint64_t r = 0; allocated && r < n_ranges && status == subdiv_ok; ++r) {
        const unused_index* u = &job.unused[r];
        if (u->part == 0) continue;
        unused_index_warn(text, u, u->part == 1 ? counts.texcoords : counts.normals, name, options);
        break;
    }
    mem_free(job.status);
    mem_free(job.errors);
    mem_free(job.unused);
    mem_free(starts);
    mem_free(joins.at);
    // the tags, whose vertices count over the whole file, once the rest reads
    if (status == subdiv_ok && n_tag_lines > 0)
        status = obj_tags_parse(name, text, tag_lines, n_tag_lines, counts.vertices, options,
                                options_threads(options), &attribs->tags, error);
    mem_free(tag_lines);
    name_table_free(&material_table);
    // the usemtl names go out in their block; the table goes
    attribs->usemtl_names = usemtl.text;
    attribs->usemtl_count = usemtl.count;
    usemtl.text = nullptr;
    usemtl_table_free(&usemtl);
    if (status != subdiv_ok) {
        mem_free(marks);
        obj_materials_free(*materials, *n_materials);
        *materials = nullptr;
        *n_materials = 0;
        obj_attribs_free(attribs);
        return status;
    }

    // Shapes: each "g" or "o" statement ends the shape before it
    const uint64_t shape_capacity = counts.names + 1;
    obj_shape* shape_array = static_cast<obj_shape*>(mem_alloc(shape_capacity * sizeof(obj_shape)));
    uint64_t shape_count = 0, shape_first = 0;
    const char* shape_name = nullptr;
    uint64_t shape_name_length = 0;
    allocated = shape_array != nullptr;
    for (uint64_t k = 0; allocated && k < n_marks; ++k) {
        allocated = shape_emit(shape_array, shape_capacity, &shape_count, shape_name,
                               shape_name_length, shape_first, marks[k].face_statements);
        shape_first = marks[k].face_statements;
        shape_name = marks[k].name;
        shape_name_length = marks[k].name_length;
    }
    allocated = allocated && shape_emit(shape_array, shape_capacity, &shape_count, shape_name,
                                        shape_name_length, shape_first, counts.face_statements);
    mem_free(marks);
    if (!allocated) {
        obj_shapes_free(shape_array, shape_count);
        obj_materials_free(*materials, *n_materials);
        *materials = nullptr;
        *n_materials = 0;
        obj_attribs_free(attribs);
        return error_memory_in(error, name, mem_refused_size());
    }

    // Hand out the results
    *shapes = shape_array;
    *n_shapes = shape_count;
    return subdiv_ok;
}

} // namespace subdiv
