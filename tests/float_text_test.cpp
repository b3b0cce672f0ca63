// Shortest float text: exact texts of special and boundary values, and round
// trips through strtof, checked shortest and nearest, over millions of floats.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "float_text.h"

using namespace subdiv;

namespace {

float from_bits(uint32_t bits) { return std::bit_cast<float>(bits); }

bool reads_back(const std::string& text, float value)
{
    float back = std::strtof(text.c_str(), nullptr);
    return std::bit_cast<uint32_t>(back) == std::bit_cast<uint32_t>(value);
}

// The significant digits of a decimal text and the power of ten of the last
// one; keep_zeros keeps the trailing zeros of "%e" texts, which have a unit.
std::pair<std::string, int> digits_of(const std::string& text, bool keep_zeros = false)
{
    std::string digits;
    size_t end = text.find('e');
    int exponent = end == std::string::npos ? 0 : std::atoi(text.c_str() + end + 1);
    bool fraction = false;
    for (char ch : text.substr(0, end)) {
        bool digit = ch >= '0' && ch <= '9';
        fraction |= ch == '.';
        if (digit && (!digits.empty() || ch != '0')) digits += ch;
        exponent -= fraction && digit;
    }
    for (; !keep_zeros && !digits.empty() && digits.back() == '0'; digits.pop_back()) ++exponent;
    return {digits, exponent};
}

// The nearest text of n significant digits that reads back as positive value:
// its rounding or the rounding's neighbour across value; "" when neither does.
std::string nearest_reading_back(float value, int n)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*e", n - 1, double(value));
    if (reads_back(text, value)) return text;
    auto [digits, exponent] = digits_of(text, true);
    long long step = std::strtod(text, nullptr) > value ? -1 : 1;
    std::string other = std::to_string(std::stoll(digits) + step) + "e" + std::to_string(exponent);
    return reads_back(other, value) ? other : "";
}

// A positive digits * 10^exponent written as the header describes.
std::string notation(const std::string& digits, int exponent)
{
    int x = exponent + int(digits.size()) - 1;
    if (x < -5 || x > 15) {
        std::string point = digits.size() > 1 ? std::string(".").append(digits, 1) : "";
        return digits.substr(0, 1) + point + "e" + std::to_string(x);
    }
    if (x < 0) return std::string("0.").append(size_t(-x - 1), '0') + digits;
    if (exponent >= 0) return digits + std::string(size_t(exponent), '0');
    return digits.substr(0, size_t(x + 1)) + "." + digits.substr(size_t(x + 1));
}

std::string shortest(float value)
{
    char out[shortest_room];
    return std::string(out, size_t(format_shortest(value, out)));
}

// What is wrong with the text of a finite value ("" when nothing is): stores
// past shortest_room, another float read back, not nearest, not shortest, or
// not in the notation of the header.
std::string fault(float value)
{
    char out[shortest_room + 8];
    std::memset(out, '#', sizeof out);
    std::string text(out, size_t(format_shortest(value, out)));
    if (std::string(out + shortest_room, 8) != "########") return text + ": stores too far";
    if (!reads_back(text, value)) return text + ": reads back as another float";
    if (std::signbit(value)) return text.substr(1) == shortest(-value) ? fault(-value) : text;
    if (value == 0) return text == "0" ? "" : text;
    auto [digits, exponent] = digits_of(text);
    int n = int(digits.size());
    std::string nearest = nearest_reading_back(value, n);
    if (digits_of(nearest) != digits_of(text)) return text + ": not the nearest, " + nearest;
    if (n > 1 && !nearest_reading_back(value, n - 1).empty()) return text + ": not the shortest";
    if (text != notation(digits, exponent)) return text + " for " + notation(digits, exponent);
    return "";
}

// Counts the faults among count floats of bits first, first + step, ...
// (modulo 2^32), NaNs and infinities skipped; reports the first few.
int faults(uint32_t first, uint32_t count, uint32_t step = 1)
{
    int found = 0;
    for (uint32_t i = 0, bits = first; i < count; ++i, bits += step) {
        std::string problem = ((bits >> 23) & 0xFF) == 0xFF ? "" : fault(from_bits(bits));
        if (!problem.empty() && ++found <= 5) ADD_FAILURE() << std::hex << bits << " " << problem;
    }
    return found;
}

TEST(FloatText, SpecialAndBoundaryValuesGiveTheirTexts)
{
    const std::pair<float, const char*> cases[] = {
        {0.0f, "0"}, {-0.0f, "-0"}, {1.0f, "1"}, {0.1f, "0.1"}, {0.5f, "0.5"}, {100.0f, "100"},
        {-123.25f, "-123.25"}, {123456789.0f, "123456790"}, {0.33333334f, "0.33333334"},
        {1e15f, "1000000000000000"}, {1e16f, "1e16"}, {-1.00000005e15f, "-1000000050000000"},
        {1e-5f, "0.00001"}, {1.234e-5f, "0.00001234"}, {1e-6f, "1e-6"}, {-1.5e-7f, "-1.5e-7"},
        {from_bits(1), "1e-45"}, {from_bits(0x80000001), "-1e-45"},
        {from_bits(0x007FFFFF), "1.1754942e-38"}, {FLT_MIN, "1.1754944e-38"},
        {FLT_MAX, "3.4028235e38"}, {-FLT_MAX, "-3.4028235e38"},
        // powers of two with a lower neighbour half as far: 33554430 is the float
        // below 2^25; 1.2621774e-29, nearer 2^-96, lies past the lower midpoint
        {33554432.0f, "33554432"}, {std::ldexp(1.0f, -96), "1.2621775e-29"},
        {INFINITY, "inf"}, {-INFINITY, "-inf"}, {NAN, "nan"}, {-NAN, "-nan"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(shortest(value), text);
}

// The first and last 2048 floats of every exponent, subnormals and the
// largest floats included, and the 2^20 floats from 1 up, as in coordinates.
TEST(FloatText, EdgesOfEveryBinadeReadBackShortestAndNearest)
{
    for (uint32_t biased = 0; biased < 255; ++biased)
        EXPECT_EQ(faults(biased << 23, 2048) + faults((biased << 23) + 0x7FF800, 2048), 0);
    EXPECT_EQ(faults(0x3F800000, 1u << 20), 0);
}

// A million bit patterns spread over both signs and every exponent: steps of
// an odd constant near 2^32 / golden ratio visit distinct patterns.
TEST(FloatText, SpreadBitPatternsReadBackShortestAndNearest)
{
    EXPECT_EQ(faults(0x2545F491, 1000000, 0x9E3779B9), 0);
}

} // namespace
