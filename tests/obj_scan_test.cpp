// Token scanners: numbers, integers, face corners and their indices.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "obj_scan.h"

using namespace subdiv;

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
    }
    double mantissa = 0.0;
    const char* digits = p;
    while (p < end && *p >= '0' && *p <= '9') mantissa = mantissa * 10.0 + double(*p++ - '0');
    if (p == digits && !(p + 1 < end && *p == '.' && p[1] >= '0' && p[1] <= '9')) return false;
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
    if (p != end) return false;
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

} // namespace

// The whole token must read as a number: forms without integer or fraction
// digits read as the others do, and any other text is refused, a valid
// prefix included, leaving the result alone.
TEST(ParseNumber, AcceptedAndRefusedForms)
{
    struct { const char* token; double value; } accepted[] = {
        {"1.5", 1.5}, {"-2", -2.0}, {"+3.", 3.0}, {"1e3", 1000.0}, {"1E+3", 1000.0},
        {"2.5e-1", 0.25}, {"007", 7.0}, {"-0", -0.0}, {"1e0", 1.0}, {".5", 0.5},
        {"-.5", -0.5}, {"5.", 5.0}, {".25e1", 2.5}, {"1.e2", 100.0},
    };
    for (const auto& c : accepted) {
        double value = 42.0;
        EXPECT_TRUE(number(c.token, &value)) << c.token;
        EXPECT_EQ(double_bits(value), double_bits(c.value)) << c.token << " read " << value;
    }
    for (const char* token : {"12abc", "7,5", "-1,5", "1.5.3", "-4-", "nan", "inf", "0x1p3", ".",
                              "-.", ".e5", "e5", "1e", "1e+", "1e-", "abc", "", "+", "-", "1.5e",
                              "3.e", "1ex", "1e+x", "1e5.0"}) {
        double value = 42.0;
        EXPECT_FALSE(number(token, &value)) << token;
        EXPECT_EQ(value, 42.0) << token;
    }
    // only [start, end) is read
    double value = 0.0;
    const char* text = "12345";
    EXPECT_TRUE(parse_number(text, text + 2, &value));
    EXPECT_EQ(value, 12.0);
}

TEST(ParseNumber, FractionDigitsAddScaledTenthsNotTheNearestDouble)
{
    // 0.3 reads as 3 * 0.1, one ulp above the double nearest to 0.3
    double value = 0.0;
    ASSERT_TRUE(number("0.3", &value));
    EXPECT_EQ(double_bits(value), double_bits(3.0 * 0.1));
    EXPECT_NE(double_bits(value), double_bits(0.3));
}

// Exponents beyond every table reach the limits; exponent digits saturate
// rather than wrap to small exponents.
TEST(ParseNumber, ExtremeExponents)
{
    struct { const char* token; double value; } cases[] = {
        {"1e400", INFINITY}, {"-1e400", -INFINITY}, {"1e-400", 0.0},
        {"2e4294967297", INFINITY}, {"2e4294967296", INFINITY}, {"1e99999999999999999999", INFINITY},
        {"1e-2147483648", 0.0}, {"3e-99999999999999999999", 0.0}, {"0e-500", 0.0},
    };
    for (const auto& c : cases) {
        double value = 42.0;
        ASSERT_TRUE(number(c.token, &value)) << c.token;
        EXPECT_EQ(double_bits(value), double_bits(c.value)) << c.token << " read " << value;
    }
    // 0 times an infinite power of five
    double value = 0.0;
    ASSERT_TRUE(number("0e500", &value));
    EXPECT_TRUE(std::isnan(value));
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
        // no integer digits needs fraction digits (".5")
        uint64_t n_whole = next(25);
        for (uint64_t k = 0; k < n_whole; ++k) token += char('0' + next(10));
        if (n_whole == 0 || next(4) != 0) {
            token += '.';
            uint64_t n_fraction = (n_whole == 0 ? 1 : 0) + next(25);
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
    EXPECT_EQ(b, 0.0f); // malformed: the lenient form reads 0
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

TEST(ParseCorner, FormsResultsAndWhereTheCursorStops)
{
    const int64_t none = index_not_given;
    struct {
        const char* text;
        corner_result result;
        corner_written corner;
        int stop; // the token's end
    } cases[] = {
        {"3", corner_ok, {3, none, none}, 1},
        {"3/4", corner_ok, {3, 4, none}, 3},
        {"3//5", corner_ok, {3, none, 5}, 4},
        {"3/4/5 ", corner_ok, {3, 4, 5}, 5},
        {"-1/-2/-3\r\n", corner_ok, {-1, -2, -3}, 8},
        {"+12\n", corner_ok, {12, none, none}, 3},
        {"0/-0", corner_ok, {0, 0, none}, 4},
        {"2147483647//-2147483647", corner_ok, {2147483647, none, -2147483647}, 23},
        {"2147483648/-2147483648", corner_ok, {2147483648, -2147483648, none}, 22},
        {"4294967295/4294967295/-4294967295", corner_ok, {4294967295, 4294967295, -4294967295}, 33},
        {"x", corner_malformed, {}, 1},
        {"/", corner_malformed, {}, 1},
        {"3/", corner_malformed, {}, 2},
        {"3//", corner_malformed, {}, 3},
        {"3/4/", corner_malformed, {}, 4},
        {"1/2/3/4", corner_malformed, {}, 7},
        {"1x\t", corner_malformed, {}, 2},
        {"-", corner_malformed, {}, 1},
        {"1/+", corner_malformed, {}, 3},
        {"4294967296", corner_out_of_range, {}, 10},
        {"-4294967296", corner_out_of_range, {}, 11},
        {"1//99999999999999999999", corner_out_of_range, {}, 23},
        {"1/4294967297/1", corner_out_of_range, {}, 14},
    };
    for (const auto& c : cases) {
        const char* cursor = c.text;
        corner_written corner = {7, 7, 7};
        EXPECT_EQ(parse_corner(&cursor, &corner), c.result) << c.text;
        EXPECT_EQ(cursor - c.text, c.stop) << c.text;
        const corner_written expected = c.result == corner_ok ? c.corner : corner_written{7, 7, 7};
        EXPECT_EQ(corner.position_index, expected.position_index) << c.text;
        EXPECT_EQ(corner.texcoord_index, expected.texcoord_index) << c.text;
        EXPECT_EQ(corner.normal_index, expected.normal_index) << c.text;
    }
}

TEST(ResolveIndex, NamesOnlyElementsReadBefore)
{
    const int64_t most = 4294967295; // the most elements of a kind, and the largest index
    struct { int64_t index; uint64_t count; bool names; uint32_t element; } cases[] = {
        {1, 1, true, 0}, {1, 1000, true, 0}, {8, 8, true, 7}, {-1, 8, true, 7}, {-8, 8, true, 0},
        {9, 8, false, 0}, {-9, 8, false, 0}, {0, 7, false, 0}, {1, 0, false, 0},
        {-1, 0, false, 0}, {index_not_given, 5, false, 0},
        // past 2^31 and up to 2^32 - 1, either way
        {2147483647, most, true, 2147483646}, {2147483648, most, true, 2147483647},
        {2147483649, most, true, 2147483648u}, {most, most, true, 4294967294u},
        {-2147483648, most, true, 2147483647}, {-2147483649, most, true, 2147483646},
        {-most, most, true, 0}, {-1, most, true, 4294967294u},
        {2147483649, 2147483648, false, 0}, {-2147483649, 2147483648, false, 0},
    };
    for (const auto& c : cases) {
        uint32_t element = 12345;
        EXPECT_EQ(resolve_index(c.index, c.count, &element), c.names) << c.index << " of " << c.count;
        EXPECT_EQ(element, c.names ? c.element : 12345u) << c.index << " of " << c.count;
    }
}

// A corner resolves each part on its own: elements past 2^31 keep every bit,
// and each part that names nothing is reported and resolves to none.
TEST(ResolveCorner, EveryPartOnItsOwn)
{
    const uint64_t most[3] = {4294967295, 4294967295, 4294967295}, few[3] = {4, 0, 2};
    const uint32_t none = index_missing;
    const struct {
        corner_written corner;
        const uint64_t* counts;
        uint32_t unnamed, out[3];
    } cases[] = {
        {{2147483648, -2147483648, 4294967295}, most, 0, {2147483647, 2147483647, 4294967294u}},
        {{4, index_not_given, -2}, few, 0, {3, none, 0}},
        {{5, index_not_given, index_not_given}, few, 1, {none, none, none}},
        {{-1, -1, 0}, few, 2 | 4, {3, none, none}},
    };
    for (const auto& c : cases) {
        corner_index out = {7, 7, 7};
        EXPECT_EQ(resolve_corner(&c.corner, c.counts, &out), c.unnamed) << c.corner.position_index;
        EXPECT_EQ(std::vector<uint32_t>({out.position_index, out.texcoord_index, out.normal_index}),
                  std::vector<uint32_t>(c.out, c.out + 3)) << c.corner.position_index;
    }
}
