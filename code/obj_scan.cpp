// Token scanners of OBJ and material library text.
#include "obj_scan.h"

#include <cfloat>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "storage.h"

namespace subdiv {

// ---------------------------------------------------------------- names

char* text_copy(const char* text, uint64_t n)
{
    const void* nul = std::memchr(text, 0, n);
    if (nul) n = uint64_t(static_cast<const char*>(nul) - text);
    char* copy = static_cast<char*>(mem_alloc_text(n + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, text, n);
    copy[n] = '\0';
    return copy;
}

// ---------------------------------------------------------------- numbers

// The powers that parse_number multiplies by, each built by repeated
// multiplication exactly as the number grammar defines them; past the end of
// a table the value has reached its limit (0 or infinity) and stays there.
// The tables are built by the compiler: no code runs to make them before
// main has tested the processor.
constexpr int number_powers_size = 512;

struct number_powers {
    double tenth[number_powers_size]; // 1.0 multiplied by 0.1 k times (0 from k = 324 on)
    double five[number_powers_size];  // 1.0 multiplied by 5.0 k times (infinity from k = 442 on)
    double ten[number_powers_size];   // 1.0 multiplied by 10.0 k times (infinity from k = 309 on)
};

// x × m rounded as at run time, where a product beyond the largest double is
// infinity (which a constant expression may not compute by overflowing).
constexpr double number_power_step(double x, double m)
{
    return x > DBL_MAX / m ? std::numeric_limits<double>::infinity() : x * m;
}

constexpr number_powers number_powers_make()
{
    number_powers powers = {};
    double tenth = 1.0, five = 1.0, ten = 1.0;
    for (int k = 0; k < number_powers_size; ++k) {
        powers.tenth[k] = tenth;
        powers.five[k] = five;
        powers.ten[k] = ten;
        tenth = tenth * 0.1;
        five = number_power_step(five, 5.0);
        ten = number_power_step(ten, 10.0);
    }
    return powers;
}

constexpr number_powers g_powers = number_powers_make();
static_assert(g_powers.tenth[number_powers_size - 1] == 0.0 &&
                  g_powers.five[number_powers_size - 1] == std::numeric_limits<double>::infinity() &&
                  g_powers.ten[number_powers_size - 1] == std::numeric_limits<double>::infinity(),
              "the number powers reach their limits within the tables");

// 2^e as a double for e >= 0 (exact up to 1023, infinity above).
static inline double power_of_two(int64_t e)
{
    if (e > 1023) return std::numeric_limits<double>::infinity();
    uint64_t bits = uint64_t(1023 + e) << 52;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Exponent digits stop growing the exponent here: far beyond every power
// table, so saturating changes no value.
constexpr uint32_t exponent_saturation = 100000000;

bool parse_number(const char* start, const char* end, double* out)
{
    if (!(start < end)) return false;
    const char* p = start;

    // sign
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }

    // integer part: mantissa = mantissa * 10 + d. The first 15 digits stay
    // below 2^53, where that recurrence in doubles is exact, so they are summed
    // as an integer; further digits take the double recurrence itself. No
    // integer digits give 0.
    const char* digits = p;
    const char* exact_end = end - p > 15 ? p + 15 : end;
    uint64_t whole = 0;
    while (p < exact_end && is_digit(*p)) whole = whole * 10 + uint64_t(*p++ - '0');
    double mantissa = double(whole);
    while (p < end && is_digit(*p)) mantissa = mantissa * 10.0 + double(*p++ - '0');
    bool any_digit = p != digits;

    // fraction: the k-th digit adds d * 0.1^k, the power built by repeated
    // multiplication, the sum rounded at every digit
    if (p < end && *p == '.') {
        ++p;
        int64_t k = 1;
        const char* fraction = p;
        while (p < end && is_digit(*p)) {
            double scale = k < number_powers_size ? g_powers.tenth[k] : 0.0;
            mantissa += double(*p - '0') * scale;
            ++p;
            ++k;
        }
        any_digit = any_digit || p != fraction;
    }
    if (!any_digit) return false;

    // exponent: marker, optional sign, at least one digit
    int64_t exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exponent_negative = false;
        if (p < end && (*p == '+' || *p == '-')) {
            exponent_negative = *p == '-';
            ++p;
        }
        const char* exponent_digits = p;
        uint32_t e = 0;
        for (; p < end && is_digit(*p); ++p)
            if (e < exponent_saturation) e = e * 10u + uint32_t(*p - '0');
        if (p == exponent_digits) return false;
        exponent = exponent_negative ? -int64_t(e) : int64_t(e);
    }
    if (p != end) return false;

    // sign x mantissa x 10^exponent: times 5^e, then times 2^e, for e > 0;
    // divided by 10^|e| for e < 0
    double value = negative ? -1.0 * mantissa : mantissa;
    if (exponent > 0) {
        double five = exponent < number_powers_size ? g_powers.five[exponent]
                                                    : g_powers.five[number_powers_size - 1];
        value = value * five;
        value = value * power_of_two(exponent);
    } else if (exponent < 0) {
        int64_t magnitude = -exponent;
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

} // namespace subdiv
