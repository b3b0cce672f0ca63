// Token scanners of OBJ and material library text: character classes,
// blanks, decimal numbers, integers and face corners.
//
// Scanners work on text that ends in a NUL and move a cursor (a pointer to the
// current character). A token ends at NUL, space, tab, CR or LF, so scanners
// stop at every line end of an OBJ text and can parse lines in place.
#pragma once

#include <cstdint>

namespace subdiv {

// ---------------------------------------------------------------- character classes

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

inline bool is_digit(char c) { return (unsigned char)(c - '0') < 10; }

// NUL, LF or CR: the characters that can end a line of an OBJ text.
inline bool is_line_end_char(char c) { return c == '\0' || c == '\n' || c == '\r'; }

// NUL, space, tab, CR or LF: the characters that end a token.
inline bool is_token_end(char c)
{
    const uint64_t ends = (uint64_t(1) << 0) | (uint64_t(1) << '\t') | (uint64_t(1) << '\n') |
                          (uint64_t(1) << '\r') | (uint64_t(1) << ' ');
    unsigned char u = (unsigned char)c;
    return u <= ' ' && ((ends >> u) & 1);
}

// White space of a "%s" word: space, tab, LF, vertical tab, form feed, CR.
inline bool is_word_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// ---------------------------------------------------------------- scanners

// A malloc'd NUL-terminated copy of the n characters at text, cut short at
// the first NUL among them (names and paths: a page-padded block per name
// would cost 4 KiB for every group of a file).
char* text_copy(const char* text, uint64_t n);

// Moves the cursor past spaces and tabs.
inline void skip_blanks(const char** cursor)
{
    const char* p = *cursor;
    while (is_blank(*p)) ++p;
    *cursor = p;
}

// The number of characters up to the first NUL, space, tab, CR or LF.
inline uint64_t token_length(const char* text)
{
    const char* p = text;
    while (!is_token_end(*p)) ++p;
    return uint64_t(p - text);
}

// Reads the whole token [start, end) as a decimal number: optional sign,
// digits with an optional point and fraction digits (".5" and "5." too, but
// not a lone point), optional exponent (e or E, optional sign, digits). The
// k-th fraction digit adds d × 0.1^k (0.1 multiplied k times), a positive
// exponent multiplies by 5^e then 2^e, a negative one divides by 10^|e| (10
// multiplied |e| times); exponent digits saturate. On success sets *out
// (which may be infinite or NaN for extreme exponents) and returns true; any
// other text, a valid prefix included ("12abc", "1.5.3"), returns false and
// leaves *out untouched.
bool parse_number(const char* start, const char* end, double* out);

// Skips blanks, reads one token with parse_number and leaves the cursor at
// the end of the token; a malformed or missing number reads as 0. The double
// is rounded to float. The lenient form, for material libraries.
float parse_float(const char** cursor);

// Two or three parse_float calls in order.
void parse_float2(const char** cursor, float* a, float* b);
void parse_float3(const char** cursor, float* a, float* b, float* c);

// Optional sign and decimal digits in wrapping 32-bit arithmetic; the first
// non-digit stops; no digits give 0. The text is not moved.
int32_t parse_int(const char* text);

// Skips blanks, parse_int, then moves the cursor to the end of the token.
int32_t parse_int_token(const char** cursor);

// ---------------------------------------------------------------- face corners

// One face corner as written: 1-based or relative (negative) indices within
// ±(2^32 − 1), or index_not_given for a part the corner does not give.
struct corner_written {
    int64_t position_index;
    int64_t texcoord_index;
    int64_t normal_index;
};

// The index of a corner part that is not written.
constexpr int64_t index_not_given = INT64_MIN;

// One face corner resolved: the 0-based element of each part, or
// index_missing for a part the corner does not give (or, for a part the job
// does not use, one that names nothing). A kind holds at most 2^32 − 1
// elements, so no element is index_missing.
struct corner_index {
    uint32_t position_index;
    uint32_t texcoord_index;
    uint32_t normal_index;
};
static_assert(sizeof(corner_index) == 12, "corner_index is three 32-bit indices");

constexpr uint32_t index_missing = UINT32_MAX;

// The largest index as written, either way: a kind holds at most this many
// elements.
constexpr uint64_t index_largest = UINT32_MAX;

// What parse_corner finds.
enum corner_result : int32_t {
    corner_ok = 0,
    corner_malformed = 1,    // not of the form v, v/vt, v//vn or v/vt/vn with whole numbers
    corner_out_of_range = 2, // an index beyond ±(2^32 − 1)
};

// Reads one index of a face corner at the cursor: an optional sign and at
// least one digit, within ±(2^32 − 1), into *out. Moves the cursor past the
// digits. Returns corner_malformed when there are none.
inline corner_result corner_index_part(const char** cursor, int64_t* out)
{
    const char* p = *cursor;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    const char* digits = p;
    uint64_t value = 0;
    bool too_large = false;
    for (; is_digit(*p); ++p) {
        value = value * 10 + uint64_t(*p - '0');
        if (value > index_largest) {
            too_large = true;
            value = index_largest; // saturate: the digits go on
        }
    }
    *cursor = p;
    if (p == digits) return corner_malformed;
    if (too_large) return corner_out_of_range;
    *out = negative ? -int64_t(value) : int64_t(value);
    return corner_ok;
}

// Reads the face corner token at the cursor, up to the next NUL, space, tab,
// CR or LF, into *out: v, v/vt, v//vn or v/vt/vn, each index an optional
// sign and at least one digit, and nothing else. Moves the cursor to the end
// of the token whatever the result; *out is set only for corner_ok.
inline corner_result parse_corner(const char** cursor, corner_written* out)
{
    const char* p = *cursor;
    corner_written corner = {index_not_given, index_not_given, index_not_given};

    // the position, then "/vt", "//vn" or "/vt/vn"; every part holds digits
    corner_result result = corner_index_part(&p, &corner.position_index);
    if (result == corner_ok && *p == '/') {
        ++p;
        if (*p == '/') {
            ++p;
            result = corner_index_part(&p, &corner.normal_index);
        } else {
            result = corner_index_part(&p, &corner.texcoord_index);
            if (result == corner_ok && *p == '/') {
                ++p;
                result = corner_index_part(&p, &corner.normal_index);
            }
        }
    }
    if (result == corner_ok && !is_token_end(*p)) result = corner_malformed;
    if (result != corner_ok) p += token_length(p);
    *cursor = p;
    if (result == corner_ok) *out = corner;
    return result;
}

// The 0-based element that index i names among the n (at most 2^32 − 1)
// elements of its kind read before the face: i − 1 for 0 < i <= n, n + i for
// −n <= i < 0. Returns false, leaving *out alone, when i names none (0,
// beyond n, before the first, or index_not_given).
inline bool resolve_index(int64_t i, uint64_t n, uint32_t* out)
{
    if (i > 0 && uint64_t(i) <= n) {
        *out = uint32_t(i - 1);
        return true;
    }
    if (i < 0 && i != index_not_given && uint64_t(0) - uint64_t(i) <= n) {
        *out = uint32_t(n - (uint64_t(0) - uint64_t(i)));
        return true;
    }
    return false;
}

// Resolves every part of the corner *c against the counts of positions,
// texture coordinates and normals read before its face (n_before[0..2]) into
// *out. Returns 0, or a bit per part (1 position, 2 texture coordinate, 4
// normal) that is written but names nothing; such a part resolves to
// index_missing, as does one not written.
inline uint32_t resolve_corner(const corner_written* c, const uint64_t n_before[3],
                               corner_index* out)
{
    const int64_t written[3] = {c->position_index, c->texcoord_index, c->normal_index};
    uint32_t resolved[3] = {index_missing, index_missing, index_missing};
    uint32_t unnamed = 0;
    for (int part = 0; part < 3; ++part)
        if (!resolve_index(written[part], n_before[part], &resolved[part]) &&
            (part == 0 || written[part] != index_not_given))
            unnamed |= 1u << part;
    *out = corner_index{resolved[0], resolved[1], resolved[2]};
    return unnamed;
}

} // namespace subdiv
