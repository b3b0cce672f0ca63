// PLY import.
//
// The header gives the elements and their properties; before anything of
// the mesh is allocated, each element's count is checked against the bytes
// the data has (every record takes at least its fixed values and its lists'
// counts in binary, two characters a value in ascii). A first pass then
// finds where every element starts, stepping over binary records of a fixed
// size whole and reading the others record by record: the faces' corner
// counts (and texcoord lengths) are checked and summed on the way, which
// sizes the record. A second pass reads the vertices and faces into it.
//
// The reading code is written once for the three encodings, as templates
// on the encoding: ascii values are tokens separated by blanks or line ends
// (records are not held to lines), binary values are read at their size
// and, in big-endian data, byte-swapped.
#include "ply_import.h"

#include <cmath>
#include <cstring>

#include "check.h"
#include "error.h"
#include "geom.h"
#include "obj_scan.h"
#include "ply_header.h"
#include "storage.h"

namespace subdiv {

namespace {

// What reading a value or a record gave.
enum value_result : int32_t {
    value_ok,
    value_end,     // the data ends before it
    value_bad,     // ascii: a token that is not a value of its type (the cursor is at it)
    value_refused, // a value that the mesh cannot take; the error record says why
    value_pass     // (a property's reader) not read here: skip it
};

// Where reading is in the data after the header.
struct cursor {
    const char* p;
    const char* end;
};

// The place that messages name: the file, the element and its record.
struct record_place {
    const char* file;
    const ply_element* element;
    uint64_t record; // from 1
};

// What the reader takes from the header.
struct ply_plan {
    const ply_header* header;
    const ply_element* vertex;
    const ply_element* face;
    int64_t x, y, z;           // properties of the vertex element
    int64_t u, v;              // per-vertex texture coordinates, or -1 when not read
    int64_t corners;           // the face element's vertex_indices list
    int64_t texcoord;          // the face element's texcoord list, or -1 when not read
    const char** starts;       // where each element's records start, and where the last ends
};

// What the first pass finds out about the faces.
struct face_counts {
    uint64_t n_corners;
    int face_size; // 3 or 4 when every face has it, else 0
};

} // namespace

// ---------------------------------------------------------------- values

static inline uint16_t swap16(uint16_t v) { return __builtin_bswap16(v); }
static inline uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }
static inline uint64_t swap64(uint64_t v) { return __builtin_bswap64(v); }

// The integer of an integer type at p.
template <bool big_endian>
static inline int64_t binary_integer(const char* p, ply_type type)
{
    switch (type) {
    case ply_int8: return int8_t(p[0]);
    case ply_uint8: return uint8_t(p[0]);
    case ply_int16:
    case ply_uint16: {
        uint16_t bits;
        std::memcpy(&bits, p, 2);
        if (big_endian) bits = swap16(bits);
        return type == ply_int16 ? int64_t(int16_t(bits)) : int64_t(bits);
    }
    default: {
        uint32_t bits;
        std::memcpy(&bits, p, 4);
        if (big_endian) bits = swap32(bits);
        return type == ply_int32 ? int64_t(int32_t(bits)) : int64_t(bits);
    }
    }
}

// The value at p as a double (exact for every type).
template <bool big_endian>
static inline double binary_real(const char* p, ply_type type)
{
    if (type == ply_float32) {
        uint32_t bits;
        std::memcpy(&bits, p, 4);
        if (big_endian) bits = swap32(bits);
        float value;
        std::memcpy(&value, &bits, 4);
        return double(value);
    }
    if (type == ply_float64) {
        uint64_t bits;
        std::memcpy(&bits, p, 8);
        if (big_endian) bits = swap64(bits);
        double value;
        std::memcpy(&value, &bits, 8);
        return value;
    }
    return double(binary_integer<big_endian>(p, type));
}

static inline bool ascii_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The next token: false at the end of the data.
static inline bool ascii_token(cursor* c, const char** start, const char** end)
{
    const char* p = c->p;
    while (p < c->end && ascii_space(*p)) ++p;
    c->p = p;
    if (p == c->end) return false;
    *start = p;
    while (p < c->end && !ascii_space(*p)) ++p;
    *end = p;
    return true;
}

// The smallest and largest values of an integer type.
static void integer_range(ply_type type, int64_t* low, int64_t* high)
{
    static const int64_t lows[] = {-128, 0, -32768, 0, INT32_MIN, 0};
    static const int64_t highs[] = {127, 255, 32767, 65535, INT32_MAX, UINT32_MAX};
    *low = lows[type];
    *high = highs[type];
}

// An ascii token as an integer of the type: a sign and decimal digits
// within the type's range.
static value_result ascii_integer(cursor* c, ply_type type, int64_t* out)
{
    const char *start, *end;
    if (!ascii_token(c, &start, &end)) return value_end;
    const char* p = start;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (p == end) return value_bad;
    int64_t low, high;
    integer_range(type, &low, &high);
    int64_t value = 0;
    for (; p < end; ++p) {
        const unsigned digit = unsigned((unsigned char)*p) - '0';
        if (digit > 9) return value_bad;
        value = value * 10 + int64_t(digit);
        if (value > high + 1) return value_bad; // stays far below overflow
    }
    value = negative ? -value : value;
    if (value < low || value > high) return value_bad;
    *out = value;
    c->p = end;
    return value_ok;
}

// An ascii token as a value of the type: an integer for integer types, a
// decimal number (as OBJ coordinates are read) for float and double.
static value_result ascii_real(cursor* c, ply_type type, double* out)
{
    if (ply_type_is_integer(type)) {
        int64_t value = 0;
        const value_result result = ascii_integer(c, type, &value);
        *out = double(value);
        return result;
    }
    const char *start, *end;
    if (!ascii_token(c, &start, &end)) return value_end;
    if (!parse_number(start, end, out)) return value_bad;
    c->p = end;
    return value_ok;
}

// One value of the type as an integer or a real, from binary or ascii.
template <bool big_endian>
static inline void binary_value(const char* p, ply_type type, int64_t* out)
{
    *out = binary_integer<big_endian>(p, type);
}

template <bool big_endian>
static inline void binary_value(const char* p, ply_type type, double* out)
{
    *out = binary_real<big_endian>(p, type);
}

static inline value_result ascii_value(cursor* c, ply_type type, int64_t* out)
{
    return ascii_integer(c, type, out);
}

static inline value_result ascii_value(cursor* c, ply_type type, double* out)
{
    return ascii_real(c, type, out);
}

// Reads n values of the type into out, as integers (int64_t) or reals
// (double).
template <int E, typename T>
static inline value_result read_values(cursor* c, ply_type type, uint64_t n, T* out)
{
    if constexpr (E == ply_ascii) {
        for (uint64_t i = 0; i < n; ++i) {
            const value_result result = ascii_value(c, type, &out[i]);
            if (result != value_ok) return result;
        }
        return value_ok;
    } else {
        const uint64_t size = uint64_t(ply_type_size(type));
        if (uint64_t(c->end - c->p) / size < n) return value_end;
        for (uint64_t i = 0; i < n; ++i)
            binary_value<E == ply_binary_big_endian>(c->p + i * size, type, &out[i]);
        c->p += n * size;
        return value_ok;
    }
}

// Steps over n values of the type (ascii: n tokens, not read).
template <int E>
static inline value_result skip_values(cursor* c, ply_type type, uint64_t n)
{
    if constexpr (E == ply_ascii) {
        const char *start, *end;
        for (uint64_t i = 0; i < n; ++i) {
            if (!ascii_token(c, &start, &end)) return value_end;
            c->p = end;
        }
        return value_ok;
    } else {
        const uint64_t size = uint64_t(ply_type_size(type));
        if (uint64_t(c->end - c->p) / size < n) return value_end;
        c->p += n * size;
        return value_ok;
    }
}

// ---------------------------------------------------------------- records

static const ply_property* element_property(const ply_header* h, const ply_element* e, int64_t i)
{
    return &h->properties[e->first_property + uint64_t(i)];
}

// Fills *error for a record that failed with result (value_end or
// value_bad) at a value of the type of property (null: at no property in
// particular).
static subdiv_status record_refuse(const record_place* place, const ply_property* property,
                                   ply_type type, value_result result, const cursor* c,
                                   subdiv_error* error)
{
    const ply_element* e = place->element;
    char element_name[32], property_name[32];
    error_token(e->name, e->name_length, element_name);
    if (property) error_token(property->name, property->name_length, property_name);
    const bool face = ply_name_is(e->name, e->name_length, "face");
    const error_place where = {0, face ? place->record : 0, {}};
    if (result == value_end)
        return error_set(error, subdiv_error_syntax, where,
                         "%s: %s %llu: the file ends inside the record%s%s", place->file,
                         element_name, (unsigned long long)place->record,
                         property ? ", at property " : "", property ? property_name : "");
    const char *start = c->p, *end = c->p;
    while (end < c->end && !ascii_space(*end)) ++end;
    char token[32];
    error_token(start, uint64_t(end - start), token);
    return error_set(error, subdiv_error_syntax, where,
                     "%s: %s %llu: property %s: '%s' is not a value of type %s", place->file,
                     element_name, (unsigned long long)place->record, property_name, token,
                     ply_type_name(type));
}

// Reads one record of the place's element: for property i (a scalar, or a
// list after its count), take(i, cursor, count) reads it and returns
// value_ok, a failure, or value_pass to have it stepped over. Returns true,
// or false with *error filled.
template <int E, typename Take>
static inline bool record_read(cursor* c, const ply_header* h, const record_place* place,
                               Take&& take, subdiv_error* error)
{
    const ply_element* e = place->element;
    for (uint64_t i = 0; i < e->n_properties; ++i) {
        const ply_property* property = &h->properties[e->first_property + i];
        uint64_t count = 1;
        if (property->list) {
            int64_t n = 0;
            const value_result result = read_values<E>(c, property->count_type, 1, &n);
            if (result != value_ok) {
                record_refuse(place, property, property->count_type, result, c, error);
                return false;
            }
            if (n < 0) {
                char element_name[32], property_name[32];
                error_set(error, subdiv_error_syntax, {}, "%s: %s %llu: list %s has a count of %lld",
                          place->file, error_token(e->name, e->name_length, element_name),
                          (unsigned long long)place->record,
                          error_token(property->name, property->name_length, property_name),
                          (long long)n);
                return false;
            }
            count = uint64_t(n);
        }
        value_result result = take(i, c, count);
        if (result == value_pass) result = skip_values<E>(c, property->type, count);
        if (result == value_refused) return false;
        if (result != value_ok) {
            record_refuse(place, property, property->type, result, c, error);
            return false;
        }
    }
    return true;
}

// The bytes of a binary record of the element when it has no lists, else 0.
static uint64_t fixed_record_size(const ply_header* h, const ply_element* e)
{
    uint64_t size = 0;
    for (uint64_t i = 0; i < e->n_properties; ++i) {
        const ply_property* property = element_property(h, e, int64_t(i));
        if (property->list) return 0;
        size += uint64_t(ply_type_size(property->type));
    }
    return size;
}

// The fewest bytes a record of the element takes: binary, its scalars and
// its lists' counts; ascii, two characters per scalar and count.
static uint64_t least_record_size(const ply_header* h, const ply_element* e)
{
    uint64_t size = 0;
    for (uint64_t i = 0; i < e->n_properties; ++i) {
        const ply_property* property = element_property(h, e, int64_t(i));
        const ply_type type = property->list ? property->count_type : property->type;
        size += h->encoding == ply_ascii ? 2 : uint64_t(ply_type_size(type));
    }
    return size;
}

// ---------------------------------------------------------------- the plan

// The property of the element named word, or -1.
static int64_t property_find(const ply_header* h, const ply_element* e, const char* word)
{
    for (uint64_t i = 0; i < e->n_properties; ++i) {
        const ply_property* property = element_property(h, e, int64_t(i));
        if (ply_name_is(property->name, property->name_length, word)) return int64_t(i);
    }
    return -1;
}

// The element of the header named word, or null; refuses two of them.
static subdiv_status element_find(const char* name, const ply_header* h, const char* word,
                                  const ply_element** found, subdiv_error* error)
{
    *found = nullptr;
    for (uint64_t i = 0; i < h->n_elements; ++i) {
        if (!ply_name_is(h->elements[i].name, h->elements[i].name_length, word)) continue;
        if (*found)
            return error_set(error, subdiv_error_syntax, {},
                             "%s: the PLY header declares the element %s twice", name, word);
        *found = &h->elements[i];
    }
    return subdiv_ok;
}

// Fills *plan from the header: the vertex and face elements and the
// properties read from them; texture coordinates only when uv (per face
// when the faces have them, else per vertex).
static subdiv_status plan_make(const char* name, const ply_header* h, bool uv, ply_plan* plan,
                               subdiv_error* error)
{
    *plan = ply_plan{};
    plan->header = h;
    plan->u = plan->v = plan->texcoord = -1;
    // every list's count must be an integer to know the record's length
    for (uint64_t e = 0; e < h->n_elements; ++e) {
        const ply_element* element = &h->elements[e];
        for (uint64_t i = 0; i < element->n_properties; ++i) {
            const ply_property* property = element_property(h, element, int64_t(i));
            if (!property->list || ply_type_is_integer(property->count_type)) continue;
            char element_name[32], property_name[32];
            return error_set(error, subdiv_error_syntax, {},
                             "%s: element %s: list %s has a count of type %s; a count needs an "
                             "integer type",
                             name, error_token(element->name, element->name_length, element_name),
                             error_token(property->name, property->name_length, property_name),
                             ply_type_name(property->count_type));
        }
    }
    subdiv_status status = element_find(name, h, "vertex", &plan->vertex, error);
    if (status == subdiv_ok) status = element_find(name, h, "face", &plan->face, error);
    if (status != subdiv_ok) return status;
    if (!plan->face || plan->face->count == 0)
        return error_set(error, subdiv_error_mesh, {}, "%s: the file has no faces", name);
    if (!plan->vertex)
        return error_set(error, subdiv_error_syntax, {}, "%s: the PLY header declares no element vertex",
                         name);

    int64_t* const axes[3] = {&plan->x, &plan->y, &plan->z};
    const char* const axis_names[3] = {"x", "y", "z"};
    for (int a = 0; a < 3; ++a) {
        *axes[a] = property_find(h, plan->vertex, axis_names[a]);
        if (*axes[a] < 0)
            return error_set(error, subdiv_error_syntax, {},
                             "%s: the element vertex has no property %s", name, axis_names[a]);
        if (element_property(h, plan->vertex, *axes[a])->list)
            return error_set(error, subdiv_error_syntax, {},
                             "%s: the vertex property %s is a list, not a number", name,
                             axis_names[a]);
    }

    plan->corners = property_find(h, plan->face, "vertex_indices");
    if (plan->corners < 0) plan->corners = property_find(h, plan->face, "vertex_index");
    if (plan->corners < 0 || !element_property(h, plan->face, plan->corners)->list)
        return error_set(error, subdiv_error_syntax, {},
                         "%s: the element face has no list property vertex_indices", name);
    const ply_property* corners = element_property(h, plan->face, plan->corners);
    if (!ply_type_is_integer(corners->type))
        return error_set(error, subdiv_error_syntax, {},
                         "%s: the face list %s holds values of type %s; vertex indices need an "
                         "integer type",
                         name, ply_name_is(corners->name, corners->name_length, "vertex_index")
                                   ? "vertex_index"
                                   : "vertex_indices",
                         ply_type_name(corners->type));
    if (!uv) return subdiv_ok;

    const int64_t texcoord = property_find(h, plan->face, "texcoord");
    if (texcoord >= 0 && element_property(h, plan->face, texcoord)->list) {
        plan->texcoord = texcoord;
        return subdiv_ok;
    }
    static const char* const pairs[3][2] = {{"s", "t"}, {"u", "v"}, {"texture_u", "texture_v"}};
    for (const auto& pair : pairs) {
        const int64_t u = property_find(h, plan->vertex, pair[0]);
        const int64_t v = property_find(h, plan->vertex, pair[1]);
        if (u < 0 || v < 0 || element_property(h, plan->vertex, u)->list ||
            element_property(h, plan->vertex, v)->list)
            continue;
        plan->u = u;
        plan->v = v;
        return subdiv_ok;
    }
    return subdiv_ok;
}

// Refuses element counts that the data after the header cannot hold, each
// record taking at least least_record_size bytes: decided from the header
// alone, before anything is allocated.
static subdiv_status counts_check(const char* name, const ply_header* h, uint64_t data_length,
                                  subdiv_error* error)
{
    // the last ascii value needs no separator after it
    uint64_t left = data_length + (h->encoding == ply_ascii ? 1 : 0);
    for (uint64_t e = 0; e < h->n_elements; ++e) {
        const ply_element* element = &h->elements[e];
        const uint64_t least = least_record_size(h, element);
        if (least == 0) continue;
        if (element->count > left / least) {
            char element_name[32];
            return error_set(error, subdiv_error_syntax, {},
                             "%s: the PLY header declares %llu records of element %s, but the "
                             "file's %llu bytes of data hold at most %llu",
                             name, (unsigned long long)element->count,
                             error_token(element->name, element->name_length, element_name),
                             (unsigned long long)data_length, (unsigned long long)(left / least));
        }
        left -= element->count * least;
    }
    return subdiv_ok;
}

// ---------------------------------------------------------------- the first pass

// Checks the corner count of face f (from 0), and the texcoord length when
// read: returns value_ok or value_refused with *error filled.
static value_result face_check(const char* name, uint64_t f, uint64_t n, int64_t texcoord_values,
                               subdiv_error* error)
{
    const error_place place = {0, f + 1, {}};
    if (n < 3) {
        error_set(error, subdiv_error_mesh, place,
                  "%s: face %llu has %llu corners; a face needs at least 3", name,
                  (unsigned long long)(f + 1), (unsigned long long)n);
        return value_refused;
    }
    if (n > 15) {
        error_set(error, subdiv_error_syntax, place,
                  "%s: face %llu has %llu corners; at most 15 are supported", name,
                  (unsigned long long)(f + 1), (unsigned long long)n);
        return value_refused;
    }
    if (texcoord_values >= 0 && uint64_t(texcoord_values) != 2 * n) {
        error_set(error, subdiv_error_syntax, place,
                  "%s: face %llu: texcoord has %lld values for %llu corners; it needs two per "
                  "corner",
                  name, (unsigned long long)(f + 1), (long long)texcoord_values,
                  (unsigned long long)n);
        return value_refused;
    }
    return value_ok;
}

// Whether the face records are binary, a uchar count and 32-bit indices and
// nothing else: the common layout, which the loops of plain_faces_walk and
// plain_faces_read read without the general record reader.
static bool faces_plain(const ply_plan* plan)
{
    const ply_header* h = plan->header;
    if (h->encoding == ply_ascii || plan->face->n_properties != 1 || plan->texcoord >= 0)
        return false;
    const ply_property* property = element_property(h, plan->face, plan->corners);
    return property->count_type == ply_uint8 &&
           (property->type == ply_int32 || property->type == ply_uint32);
}

// The first pass over plain face records (faces_plain): as elements_walk.
static subdiv_status plain_faces_walk(const char* name, const ply_plan* plan, cursor* c,
                                      face_counts* counts, subdiv_error* error)
{
    const ply_element* element = plan->face;
    const char* p = c->p;
    const char* const end = c->end;
    uint64_t n_corners = 0;
    uint32_t sizes = 0; // a bit per face size met
    uint64_t f = 0;
    // faces of the size of the first, the common case, are records of one
    // size whose counts are checked apart from each other; the record
    // walk below takes over from the first that differs
    const uint64_t first = p < end ? uint8_t(*p) : 0;
    const uint64_t stride = 1 + 4 * first;
    if (first >= 3 && first <= 15 && element->count <= uint64_t(end - p) / stride) {
        while (f < element->count && uint8_t(p[f * stride]) == first) ++f;
        p += f * stride;
        n_corners = f * first;
        sizes = f > 0 ? uint32_t(1) << first : 0;
    }
    for (; f < element->count; ++f) {
        const uint64_t n = p < end ? uint8_t(*p) : 0;
        if (p == end || uint64_t(end - p - 1) / 4 < n) {
            record_place place = {name, element, f + 1};
            return record_refuse(&place, element_property(plan->header, element, plan->corners),
                                 ply_int32, value_end, c, error);
        }
        if (n < 3 || n > 15) return face_check(name, f, n, -1, error), error->status;
        p += 1 + 4 * n;
        n_corners += n;
        sizes |= uint32_t(1) << n;
    }
    c->p = p;
    counts->n_corners = n_corners;
    counts->face_size = sizes == 1u << 3 ? 3 : sizes == 1u << 4 ? 4 : 0;
    return subdiv_ok;
}

// Finds where every element starts and steps over it, reading the faces'
// counts into *counts; then refuses data after the last element.
template <int E>
static subdiv_status elements_walk(const char* name, ply_plan* plan, cursor* c,
                                   face_counts* counts, subdiv_error* error)
{
    const ply_header* h = plan->header;
    *counts = face_counts{0, -1};
    for (uint64_t e = 0; e < h->n_elements; ++e) {
        const ply_element* element = &h->elements[e];
        plan->starts[e] = c->p;
        if (element->n_properties == 0) continue;
        const uint64_t fixed = E == ply_ascii ? 0 : fixed_record_size(h, element);
        if (fixed > 0) {
            const uint64_t whole = uint64_t(c->end - c->p) / fixed;
            if (element->count > whole) {
                record_place place = {name, element, whole + 1};
                return record_refuse(&place, nullptr, ply_uint8, value_end, c, error);
            }
            c->p += element->count * fixed;
            continue;
        }
        const bool face = element == plan->face;
        if (face && faces_plain(plan)) {
            const subdiv_status status = plain_faces_walk(name, plan, c, counts, error);
            if (status != subdiv_ok) return status;
            continue;
        }
        record_place place = {name, element, 0};
        for (uint64_t r = 0; r < element->count; ++r) {
            place.record = r + 1;
            uint64_t n = 0;
            int64_t texcoord_values = -1;
            auto take = [&](uint64_t i, cursor*, uint64_t count) {
                if (face && int64_t(i) == plan->texcoord) texcoord_values = int64_t(count);
                if (!face || int64_t(i) != plan->corners) return value_pass;
                // refused before its items are stepped over
                n = count;
                return face_check(name, r, n, -1, error) == value_ok ? value_pass : value_refused;
            };
            if (!record_read<E>(c, h, &place, take, error)) return error->status;
            if (!face) continue;
            if (face_check(name, r, n, texcoord_values, error) != value_ok) return error->status;
            counts->n_corners += n;
            const int size = n == 3 || n == 4 ? int(n) : 0;
            counts->face_size = r == 0 ? size : counts->face_size == size ? size : 0;
        }
    }
    plan->starts[h->n_elements] = c->p;
    if constexpr (E == ply_ascii) {
        const char *start, *end;
        if (ascii_token(c, &start, &end)) {
            char token[32];
            return error_set(error, subdiv_error_syntax, {},
                             "%s: text after the last element of the PLY data: '%s'", name,
                             error_token(start, uint64_t(end - start), token));
        }
    } else if (c->p != c->end) {
        return error_set(error, subdiv_error_syntax, {},
                         "%s: %llu bytes of data after the last element", name,
                         (unsigned long long)(c->end - c->p));
    }
    return subdiv_ok;
}

// ---------------------------------------------------------------- the second pass

// A coordinate as a float: value_ok, or value_refused naming what it is.
static value_result coordinate_take(double value, float* out, const record_place* place,
                                    const char* what, subdiv_error* error)
{
    const float coordinate = float(value);
    if (std::isfinite(coordinate)) {
        *out = coordinate;
        return value_ok;
    }
    const ply_element* e = place->element;
    const bool face = ply_name_is(e->name, e->name_length, "face");
    char element_name[32];
    error_token(e->name, e->name_length, element_name);
    if (std::isfinite(value))
        error_set(error, subdiv_error_syntax, {0, face ? place->record : 0, {}},
                  "%s: %s %llu: %s (%g) does not fit a 32-bit float", place->file, element_name,
                  (unsigned long long)place->record, what, value);
    else
        error_set(error, subdiv_error_syntax, {0, face ? place->record : 0, {}},
                  "%s: %s %llu: %s is not finite", place->file, element_name,
                  (unsigned long long)place->record, what);
    return value_refused;
}

// The vertices into g: positions, and with per-vertex texture coordinates
// those, one per vertex.
template <int E>
static subdiv_status vertices_read(const char* name, const ply_plan* plan, geom* g,
                                   subdiv_error* error)
{
    const ply_header* h = plan->header;
    const ply_element* element = plan->vertex;
    const uint64_t index = uint64_t(element - h->elements);
    cursor c = {plan->starts[index], plan->starts[index + 1]};
    const int64_t wanted[5] = {plan->x, plan->y, plan->z, plan->u, plan->v};
    float* const out[5] = {g->x, g->y, g->z, g->tex_u, g->tex_v};
    static const char* const what[5] = {"coordinate x", "coordinate y", "coordinate z",
                                        "texture coordinate u", "texture coordinate v"};
    const int n_wanted = plan->u >= 0 ? 5 : 3;
    record_place place = {name, element, 0};

    const uint64_t fixed = E == ply_ascii ? 0 : fixed_record_size(h, element);
    if (fixed > 0) {
        // records of one size: each value at its offset
        uint64_t offset[5];
        ply_type type[5];
        for (int k = 0; k < n_wanted; ++k) {
            offset[k] = 0;
            for (int64_t i = 0; i < wanted[k]; ++i)
                offset[k] += uint64_t(ply_type_size(element_property(h, element, i)->type));
            type[k] = element_property(h, element, wanted[k])->type;
        }
        const char* record = c.p;
        bool all_float = true;
        for (int k = 0; k < n_wanted; ++k) all_float = all_float && type[k] == ply_float32;
        if (all_float) {
            // floats copied as they are, non-finite ones marked and sought after
            uint32_t non_finite = 0;
            for (uint64_t r = 0; r < element->count; ++r, record += fixed)
                for (int k = 0; k < n_wanted; ++k) {
                    uint32_t bits;
                    std::memcpy(&bits, record + offset[k], 4);
                    if (E == ply_binary_big_endian) bits = swap32(bits);
                    non_finite |= uint32_t((bits & 0x7F800000u) == 0x7F800000u);
                    std::memcpy(&out[k][r], &bits, 4);
                }
            if (__builtin_expect(non_finite == 0, 1)) return subdiv_ok;
            record = c.p; // read again below to name the first
        }
        for (uint64_t r = 0; r < element->count; ++r, record += fixed) {
            for (int k = 0; k < n_wanted; ++k) {
                const double value =
                    binary_real<E == ply_binary_big_endian>(record + offset[k], type[k]);
                const float coordinate = float(value);
                if (__builtin_expect(std::isfinite(coordinate), 1)) {
                    out[k][r] = coordinate;
                    continue;
                }
                place.record = r + 1;
                coordinate_take(value, &out[k][r], &place, what[k], error);
                return error->status;
            }
        }
        return subdiv_ok;
    }
    for (uint64_t r = 0; r < element->count; ++r) {
        place.record = r + 1;
        auto take = [&](uint64_t i, cursor* at, uint64_t) {
            for (int k = 0; k < n_wanted; ++k) {
                if (int64_t(i) != wanted[k]) continue;
                double value = 0.0;
                const value_result result =
                    read_values<E>(at, element_property(h, element, wanted[k])->type, 1, &value);
                if (result != value_ok) return result;
                return coordinate_take(value, &out[k][r], &place, what[k], error);
            }
            return value_pass;
        };
        if (!record_read<E>(&c, h, &place, take, error)) return error->status;
    }
    return subdiv_ok;
}

namespace {

// Texture coordinates of face corners made one where the vertex and the
// bits of u and v agree: an open-addressed table of the coordinates made so
// far (their number + 1, 0 for an empty slot).
struct texcoord_table {
    uint64_t* slots;
    uint64_t mask;
    uint64_t* vertex; // per texture coordinate: its vertex
    float* u;
    float* v;
    uint64_t count;
};

} // namespace

static inline uint32_t float_bits(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return bits;
}

// The texture coordinate of the vertex with u and v: the one made before,
// or a new one.
static uint64_t texcoord_find(texcoord_table* t, uint64_t vertex, float u, float v)
{
    const uint32_t u_bits = float_bits(u), v_bits = float_bits(v);
    uint64_t hash = (vertex * 0x9E3779B97F4A7C15ull) ^ (uint64_t(u_bits) << 32 | v_bits);
    hash ^= hash >> 31;
    hash *= 0xBF58476D1CE4E5B9ull;
    hash ^= hash >> 29;
    for (uint64_t i = hash & t->mask;; i = (i + 1) & t->mask) {
        const uint64_t slot = t->slots[i];
        if (slot == 0) {
            const uint64_t made = t->count++;
            t->slots[i] = made + 1;
            t->vertex[made] = vertex;
            t->u[made] = u;
            t->v[made] = v;
            return made;
        }
        const uint64_t k = slot - 1;
        if (t->vertex[k] == vertex && float_bits(t->u[k]) == u_bits &&
            float_bits(t->v[k]) == v_bits)
            return k;
    }
}

// The second pass over plain face records (faces_plain): as faces_read.
template <bool big_endian>
static subdiv_status plain_faces_read(const char* name, const ply_plan* plan, geom* g,
                                      subdiv_error* error)
{
    const ply_header* h = plan->header;
    const ply_element* element = plan->face;
    const char* p = plan->starts[uint64_t(element - h->elements)];
    const bool signed_indices = element_property(h, element, plan->corners)->type == ply_int32;
    const int face_size = geom_face_size(g);
    uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
    const uint64_t n_vertices = g->n_vertices;
    if (face_size && !g->corner_texcoord) {
        // faces of one size: records of one size, read four corners at a time
        const uint64_t stride = 1 + 4 * uint64_t(face_size);
        uint64_t beyond = 0;
        for (uint64_t f = 0; f < element->count; ++f) {
            const char* record = p + f * stride + 1;
            for (int k = 0; k < face_size; ++k) {
                uint32_t bits;
                std::memcpy(&bits, record + 4 * k, 4);
                if (big_endian) bits = swap32(bits);
                const uint64_t v = signed_indices ? uint64_t(int64_t(int32_t(bits))) : uint64_t(bits);
                beyond |= v >= n_vertices;
                corner[k][f] = v;
            }
        }
        if (__builtin_expect(beyond == 0, 1)) return subdiv_ok;
        // read again below to name the first index out of range
    }
    uint64_t next_corner = 0;
    for (uint64_t f = 0; f < element->count; ++f) {
        const uint64_t n = uint8_t(*p++); // 3 to 15, as the first pass found
        uint64_t indices[15];
        uint64_t any_beyond = 0;
        for (uint64_t k = 0; k < n; ++k, p += 4) {
            uint32_t bits;
            std::memcpy(&bits, p, 4);
            if (big_endian) bits = swap32(bits);
            // a negative int is beyond every vertex
            indices[k] = signed_indices ? uint64_t(int64_t(int32_t(bits))) : uint64_t(bits);
            any_beyond |= indices[k] >= n_vertices;
        }
        if (__builtin_expect(any_beyond != 0, 0)) {
            uint64_t k = 0;
            while (indices[k] < n_vertices) ++k;
            return error_set(error, subdiv_error_syntax, {0, f + 1, {}},
                             "%s: face %llu: vertex index %lld is out of range (the file has "
                             "%llu vertices)",
                             name, (unsigned long long)(f + 1), (long long)indices[k],
                             (unsigned long long)n_vertices);
        }
        if (face_size) {
            for (uint64_t k = 0; k < n; ++k) corner[k][f] = indices[k];
        } else {
            g->face_start[f] = next_corner;
            for (uint64_t k = 0; k < n; ++k) g->corners[next_corner + k] = indices[k];
        }
        if (g->corner_texcoord) // one per vertex
            for (uint64_t k = 0; k < n; ++k) g->corner_texcoord[next_corner + k] = indices[k];
        next_corner += n;
    }
    return subdiv_ok;
}

// The faces into g: the corners of each, checked against the vertex count,
// and their texture coordinates (table: per face, else null).
template <int E>
static subdiv_status faces_read(const char* name, const ply_plan* plan, geom* g,
                                texcoord_table* table, subdiv_error* error)
{
    const ply_header* h = plan->header;
    const ply_element* element = plan->face;
    const uint64_t index = uint64_t(element - h->elements);
    cursor c = {plan->starts[index], plan->starts[index + 1]};
    const int n = geom_face_size(g);
    uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
    const uint64_t n_vertices = g->n_vertices;
    const bool vertex_texcoords = plan->u >= 0;
    record_place place = {name, element, 0};
    uint64_t next_corner = 0;
    for (uint64_t f = 0; f < element->count; ++f) {
        place.record = f + 1;
        int64_t indices[15];
        double texcoords[30];
        uint64_t size = 0;
        auto take = [&](uint64_t i, cursor* at, uint64_t count) {
            const ply_property* property = element_property(h, element, int64_t(i));
            if (int64_t(i) == plan->corners) {
                CHECK(count >= 3 && count <= 15, "ply_import: a face of %llu corners passed",
                      (unsigned long long)count);
                size = count;
                return read_values<E>(at, property->type, count, indices);
            }
            if (int64_t(i) == plan->texcoord) return read_values<E>(at, property->type, count, texcoords);
            return value_pass;
        };
        if (!record_read<E>(&c, h, &place, take, error)) return error->status;
        if (!n) g->face_start[f] = next_corner;
        for (uint64_t k = 0; k < size; ++k) {
            if (__builtin_expect(uint64_t(indices[k]) >= n_vertices, 0))
                return error_set(error, subdiv_error_syntax, {0, f + 1, {}},
                                 "%s: face %llu: vertex index %lld is out of range (the file has "
                                 "%llu vertices)",
                                 name, (unsigned long long)(f + 1), (long long)indices[k],
                                 (unsigned long long)n_vertices);
            if (n)
                corner[k][f] = uint64_t(indices[k]);
            else
                g->corners[next_corner + k] = uint64_t(indices[k]);
        }
        if (vertex_texcoords)
            for (uint64_t k = 0; k < size; ++k)
                g->corner_texcoord[next_corner + k] = uint64_t(indices[k]);
        if (table) {
            for (uint64_t k = 0; k < size; ++k) {
                float uv[2] = {0.0f, 0.0f};
                for (int a = 0; a < 2; ++a)
                    if (coordinate_take(texcoords[2 * k + a], &uv[a], &place,
                                        a ? "texcoord v" : "texcoord u", error) != value_ok)
                        return error->status;
                g->corner_texcoord[next_corner + k] =
                    texcoord_find(table, uint64_t(indices[k]), uv[0], uv[1]);
            }
        }
        next_corner += size;
    }
    return subdiv_ok;
}

// ---------------------------------------------------------------- the import

// The passes of one encoding, after the header and the plan: the walk, the
// record's allocation, the vertices and the faces.
template <int E>
static subdiv_status import_data(const char* name, ply_plan* plan, const char* data,
                                 const char* data_end, const subdiv_options* options, geom* g,
                                 subdiv_error* error)
{
    cursor c = {data, data_end};
    face_counts counts;
    subdiv_status status = elements_walk<E>(name, plan, &c, &counts, error);
    if (status != subdiv_ok) return status;

    const bool per_face = plan->texcoord >= 0, per_vertex = plan->u >= 0;
    if (options && options->uv && !per_face && !per_vertex)
        warning_report(options, "%s: the file gives no texture coordinates; the output has none",
                       name);
    // per face, at most one texture coordinate per corner
    const uint64_t n_texcoords = per_face ? counts.n_corners : per_vertex ? plan->vertex->count : 0;
    status = geom_alloc_caller(g, plan->vertex->count, plan->face->count, counts.face_size,
                               counts.n_corners, n_texcoords, error);
    if (status != subdiv_ok) return status;
    if (per_face || per_vertex) g->n_texcoords = per_vertex ? plan->vertex->count : 0;

    status = vertices_read<E>(name, plan, g, error);
    texcoord_table table = {};
    if (status == subdiv_ok && per_face) {
        uint64_t n_slots = 16;
        while (n_slots < 2 * counts.n_corners) n_slots *= 2;
        table.slots = static_cast<uint64_t*>(mem_alloc(n_slots * 8));
        table.vertex = static_cast<uint64_t*>(mem_alloc(counts.n_corners * 8));
        if (!table.slots || !table.vertex) {
            status = error_memory(error, table.slots ? counts.n_corners * 8 : n_slots * 8);
        } else {
            std::memset(table.slots, 0, n_slots * 8);
            table.mask = n_slots - 1;
            table.u = g->tex_u;
            table.v = g->tex_v;
        }
    }
    if (status == subdiv_ok && faces_plain(plan))
        status = plain_faces_read<E == ply_binary_big_endian>(name, plan, g, error);
    else if (status == subdiv_ok)
        status = faces_read<E>(name, plan, g, per_face ? &table : nullptr, error);
    if (per_face) g->n_texcoords = table.count;
    mem_free(table.slots);
    mem_free(table.vertex);
    if (status != subdiv_ok) geom_release(g);
    return status;
}

subdiv_status ply_import_block(const char* name, char* text, uint64_t length,
                               const subdiv_options* options, geom* g, subdiv_error* error)
{
    *g = geom{};
    ply_header header;
    subdiv_status status = ply_header_parse(name, text, length, &header, error);
    ply_plan plan = {};
    if (status == subdiv_ok) status = plan_make(name, &header, options && options->uv, &plan, error);
    if (status == subdiv_ok) status = counts_check(name, &header, length - header.length, error);
    if (status == subdiv_ok) {
        const uint64_t bytes = (header.n_elements + 1) * sizeof(const char*);
        plan.starts = static_cast<const char**>(mem_alloc(bytes));
        if (!plan.starts) status = error_memory(error, bytes);
    }
    if (status == subdiv_ok) {
        const char* data = text + header.length;
        const char* data_end = text + length;
        switch (header.encoding) {
        case ply_ascii:
            status = import_data<ply_ascii>(name, &plan, data, data_end, options, g, error);
            break;
        case ply_binary_little_endian:
            status = import_data<ply_binary_little_endian>(name, &plan, data, data_end, options, g,
                                                           error);
            break;
        case ply_binary_big_endian:
            status = import_data<ply_binary_big_endian>(name, &plan, data, data_end, options, g,
                                                        error);
            break;
        }
    }
    mem_free(plan.starts);
    ply_header_free(&header);
    mem_free(text);
    return status;
}

} // namespace subdiv
