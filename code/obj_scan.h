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
// would cost 4 KiB for every group of a file), from mem_alloc_text: null
// when memory is refused.
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

// One face corner as written: 1-based or relative (negative) indices, or
// index_missing for a part the corner does not give.
struct corner_index {
    int32_t position_index;
    int32_t texcoord_index;
    int32_t normal_index;
};
static_assert(sizeof(corner_index) == 12, "corner_index is three 32-bit indices");

// The index of a corner part that is not given (the smallest 32-bit integer,
// which no index as written may be).
constexpr int32_t index_missing = INT32_MIN;

// What parse_corner finds.
enum corner_result : int32_t {
    corner_ok = 0,
    corner_malformed = 1,    // not of the form v, v/vt, v//vn or v/vt/vn with whole numbers
    corner_out_of_range = 2, // an index beyond ±(2^31 − 1)
};

// Reads one index of a face corner at the cursor: an optional sign and at
// least one digit, within ±(2^31 − 1), into *out. Moves the cursor past the
// digits. Returns corner_malformed when there are none.
inline corner_result corner_index_part(const char** cursor, int32_t* out)
{
    const char* p = *cursor;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    const char* digits = p;
    uint64_t value = 0;
    bool too_large = false;
    for (; is_digit(*p); ++p) {
        value = value * 10 + uint64_t(*p - '0');
        if (value > uint64_t(INT32_MAX)) {
            too_large = true;
            value = INT32_MAX; // saturate: the digits go on
        }
    }
    *cursor = p;
    if (p == digits) return corner_malformed;
    if (too_large) return corner_out_of_range;
    *out = negative ? -int32_t(value) : int32_t(value);
    return corner_ok;
}

// Reads the face corner token at the cursor, up to the next NUL, space, tab,
// CR or LF, into *out: v, v/vt, v//vn or v/vt/vn, each index an optional
// sign and at least one digit, and nothing else. Moves the cursor to the end
// of the token whatever the result; *out is set only for corner_ok.
inline corner_result parse_corner(const char** cursor, corner_index* out)
{
    const char* p = *cursor;
    corner_index corner = {index_missing, index_missing, index_missing};

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

// The 0-based element that index i names among the n elements of its kind
// read before the face: i − 1 for 0 < i <= n, n + i for −n <= i < 0. Returns
// false, leaving *out alone, when i names none (0, beyond n, or before the
// first).
inline bool resolve_index(int32_t i, uint64_t n, uint32_t* out)
{
    if (i > 0 && uint64_t(i) <= n) {
        *out = uint32_t(i - 1);
        return true;
    }
    if (i < 0 && i != index_missing && uint64_t(-int64_t(i)) <= n) {
        *out = uint32_t(n - uint64_t(-int64_t(i)));
        return true;
    }
    return false;
}

} // namespace subdiv
