// Shortest round-trip text of floats, with integer arithmetic only.
//
// A positive finite float is v = m * 2^e with m below 2^24. strtof reads a
// decimal back as v when the decimal lies strictly between the midpoints from
// v to its two neighbours, or on one of them when m is even (ties round to the
// even mantissa). In units of 2^(e-2) v is 4m and the midpoints are 4m - 2 and
// 4m + 2; below a power of two whose lower neighbour is half as far, the lower
// midpoint is 4m - 1.
//
// The shortest decimal is c * 10^q for the largest q whose grid has a point in
// that interval; all such points have the same digit count, and the one
// nearest v wins. The search starts on the grid 10^q0, q0 = floor(log10 of
// 2^(e-2)): there the interval is 3 to 40 units wide, so it always holds grid
// points, and every bound is below 2^31. Whole digits are then dropped while
// the interval still holds a point of the next coarser grid.
//
// The bounds in units of 10^q0 are x * 2^(e-2) / 10^q0 for integers x below
// 2^27. They come from a product with a 128-bit table entry: for q0 <= 0 the
// entry is 10^-q0 exactly, times a power of two; for q0 > 0 it is 2^r / 5^q0
// rounded up, which overshoots each quotient the search takes (numerators
// below 2^99) by less than 1 / 5^q0: too little to change its integer part,
// as a fraction with denominator 5^q0 is at most 1 - 1 / 5^q0. Whether a
// quotient is a whole number is decided apart, from the powers of two and
// five in x.
#include "float_text.h"

#include <cstdint>
#include <cstring>

namespace subdiv {

// ---------------------------------------------------------------- scales

// 10^-q is (high * 2^64 + low) / 2^shift: exact for q <= 0, rounded up for
// q > 0; high always has its top bit set.
struct scale {
    uint64_t high, low;
    int shift;
};

// The grids q0 that floats reach: e - 2 runs from -151 to 102.
static const int min_e2 = -151, max_e2 = 102;
static const int min_q = -46, max_q = 30;

struct scale_table {
    scale at[max_q - min_q + 1];
};

static constexpr int bit_length(unsigned __int128 v)
{
    int n = 0;
    for (; v != 0; v >>= 1) ++n;
    return n;
}

static constexpr unsigned __int128 power_of_5(int n)
{
    unsigned __int128 p = 1;
    for (int i = 0; i < n; ++i) p *= 5;
    return p;
}

static constexpr scale_table make_scales()
{
    scale_table table{};
    for (int q = min_q; q <= max_q; ++q) {
        unsigned __int128 entry;
        int shift;
        if (q <= 0) {
            // 10^-q = 5^-q * 2^-q: the power of five moved up to bit 127
            unsigned __int128 five = power_of_5(-q);
            int up = 128 - bit_length(five);
            entry = five << up;
            shift = up + q;
        } else {
            // 2^r / 5^q by long division, r chosen for a 128-bit quotient;
            // the remainder is never 0, so rounding up adds 1
            unsigned __int128 five = power_of_5(q);
            int r = 127 + bit_length(five);
            unsigned __int128 quotient = 0, remainder = 1;
            for (int i = 0; i < r; ++i) {
                remainder <<= 1;
                quotient <<= 1;
                if (remainder >= five) {
                    remainder -= five;
                    quotient |= 1;
                }
            }
            entry = quotient + 1;
            shift = r + q;
        }
        table.at[q - min_q] = {uint64_t(entry >> 64), uint64_t(entry), shift};
    }
    return table;
}

static constexpr scale_table scales = make_scales();

// floor(e2 * log10(2)): the grid where the search starts.
static constexpr int start_grid(int e2)
{
    return (e2 * 78913) >> 18;
}

// Checks, for every exponent a float reaches, what the search relies on:
// 10^q0 <= 2^e2 < 10^(q0 + 1), the grid lies in the table, each entry has
// its top bit set and the product's shift is from 64 to 127.
static constexpr bool scales_fit()
{
    for (int e2 = min_e2; e2 <= max_e2; ++e2) {
        int q0 = start_grid(e2);
        if (q0 < min_q || q0 > max_q) return false;
        if (e2 >= 0) {
            unsigned __int128 two = (unsigned __int128)1 << e2;
            unsigned __int128 ten = power_of_5(q0) << q0;
            if (ten > two || two >= ten * 10) return false;
        } else {
            // 10^(j-1) < 2^k <= 10^j for k = -e2, j = -q0, both sides
            // divided by 2^(j-1) to stay within 128 bits
            int k = -e2, j = -q0;
            unsigned __int128 two = (unsigned __int128)1 << (k - j + 1);
            if (power_of_5(j - 1) >= two || power_of_5(j) * 2 < two) return false;
        }
        const scale& s = scales.at[q0 - min_q];
        if ((s.high >> 63) == 0 || s.shift - e2 < 64 || s.shift - e2 > 127) return false;
    }
    return true;
}
static_assert(scales_fit(), "the scale table does not cover every float exponent");

// floor(x * 2^e2 / 10^q0) for the entry s of q0 and x below 2^27: the 192-bit
// product x * entry taken down by shift = s->shift - e2 (64 to 127) bits.
static inline uint32_t scaled_floor(uint32_t x, const scale* s, int shift)
{
    unsigned __int128 high = (unsigned __int128)x * s->high;
    unsigned __int128 low = (unsigned __int128)x * s->low;
    return uint32_t((high + uint64_t(low >> 64)) >> (shift - 64));
}

// Whether x * 2^e2 / 10^q0 is a whole number, for x > 0.
static inline bool scaled_is_whole(uint32_t x, int e2, int q0)
{
    // q0 < 0: x * 5^-q0 / 2^(q0 - e2), whole when 2^(q0 - e2) divides x
    if (e2 < 0) return __builtin_ctz(x) >= q0 - e2;
    // q0 >= 0: x * 2^(e2 - q0) / 5^q0, whole when 5^q0 divides x
    for (int i = 0; i < q0; ++i) {
        if (x % 5 != 0) return false;
        x /= 5;
    }
    return true;
}

// ---------------------------------------------------------------- digits

// A decimal digits * 10^exponent.
struct decimal {
    uint32_t digits;
    int exponent;
};

// The shortest decimal that reads back as m * 2^e (0 < m < 2^24); lower_closer
// when the float below lies half as far as the float above.
static decimal shortest_decimal(uint32_t m, int e, bool lower_closer)
{
    int e2 = e - 2;
    int q0 = start_grid(e2);
    const scale* s = &scales.at[q0 - min_q];
    int shift = s->shift - e2;
    bool closed = (m & 1) == 0;
    uint32_t upper = 4 * m + 2, lower = 4 * m - 2 + lower_closer;

    // the grid points in the interval: the integers from low to high, an end
    // that falls on a point included for even m only. The parity of m follows
    // no pattern in real data: & instead of && keeps branches off it.
    uint32_t high = scaled_floor(upper, s, shift) - (!closed & scaled_is_whole(upper, e2, q0));
    uint32_t low = scaled_floor(lower, s, shift) + 1 - (closed & scaled_is_whole(lower, e2, q0));

    // v itself: whole part, last dropped digit (5 for a half) and whether
    // anything below that digit is not zero
    uint32_t twice = scaled_floor(8 * m, s, shift);
    uint32_t whole = twice >> 1;
    uint32_t dropped = (twice & 1) * 5;
    bool below = !scaled_is_whole(8 * m, e2, q0);

    // coarsen the grid while the interval holds one of its points
    int q = q0;
    while (high / 10 >= (low + 9) / 10) {
        high /= 10;
        low = (low + 9) / 10;
        below |= dropped != 0;
        dropped = whole % 10;
        whole /= 10;
        ++q;
    }

    // the point nearest v, ties to even. The interval reaches at least as far
    // above v as below, so that point never lies past the upper end; past the
    // lower end it may, below a power of two, and then the lowest point wins.
    uint32_t c = whole + ((dropped > 5) | ((dropped == 5) & (below | (whole & 1))));
    return {c < low ? low : c, q};
}

static const uint32_t powers_of_10[] = {1,      10,      100,      1000,     10000,
                                        100000, 1000000, 10000000, 100000000};

// Number of decimal digits of v, 0 < v < 10^9.
static inline int digit_count(uint32_t v)
{
    int n = 1;
    for (int i = 1; i < 9; ++i) n += v >= powers_of_10[i];
    return n;
}

// The eight decimal digits of v < 10^8 in ASCII, leading zeros included, the
// first digit in the lowest byte: the four-digit halves, their two-digit
// quarters and the single digits are split in parallel lanes of one word.
// x * 5243 >> 19 is x / 100 for x < 10^4, x * 103 >> 10 is x / 10 for x < 100.
static inline uint64_t eight_digits(uint32_t v)
{
    uint64_t halves = (v / 10000) | (uint64_t(v % 10000) << 32);
    uint64_t hundreds = ((halves * 5243) >> 19) & 0x0000007F0000007Full;
    uint64_t quarters = hundreds | ((halves - hundreds * 100) << 16);
    uint64_t tens = ((quarters * 103) >> 10) & 0x000F000F000F000Full;
    return (tens | ((quarters - tens * 10) << 8)) + 0x3030303030303030ull;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the digit words are stored with their lowest byte first");

// Writes c * 10^q (c without trailing zeros) in the notation of the header;
// returns the length. Stores up to 22 bytes from out.
static int write_decimal(uint32_t c, int q, char* out)
{
    int n = digit_count(c);
    int x = q + n - 1; // decimal exponent of the first digit

    // the digits padded with zeros to sixteen: d1 .. dn 0 0 ...
    char digits[16];
    uint32_t padded = c * powers_of_10[9 - n];
    uint32_t first = padded / 100000000;
    uint64_t rest = eight_digits(padded - first * 100000000);
    digits[0] = char('0' + first);
    std::memcpy(digits + 1, &rest, 8);
    std::memcpy(digits + 9, "0000000", 7);

    if (x < -5 || x > 15) {
        // d1[.d2..dn]e[-]x
        out[0] = digits[0];
        int length = 1;
        if (n > 1) {
            out[1] = '.';
            std::memcpy(out + 2, digits + 1, 8);
            length = n + 1;
        }
        out[length++] = 'e';
        if (x < 0) {
            out[length++] = '-';
            x = -x;
        }
        if (x >= 10) {
            out[length++] = char('0' + x / 10);
            x %= 10;
        }
        out[length++] = char('0' + x);
        return length;
    }
    if (x < 0) {
        // 0.0..0d1..dn with -x - 1 zeros after the point
        std::memcpy(out, "0.000000", 8);
        std::memcpy(out + 1 - x, digits, 16);
        return 1 - x + n;
    }
    // whole digits d1..d(x+1), zeros included; then the fraction, if any
    std::memcpy(out, digits, 16);
    if (x + 1 >= n) return x + 1;
    out[x + 1] = '.';
    std::memcpy(out + x + 2, digits + x + 1, 8);
    return n + 1;
}

int format_shortest(float value, char* out)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    // the sign, kept for -0 and -nan too
    out[0] = '-';
    int length = int(bits >> 31);
    char* p = out + length;
    uint32_t biased = (bits >> 23) & 0xFF;
    uint32_t fraction = bits & 0x7FFFFF;
    if (biased == 0xFF) {
        std::memcpy(p, fraction ? "nan" : "inf", 3);
        return length + 3;
    }
    if (biased == 0 && fraction == 0) {
        *p = '0';
        return length + 1;
    }

    // |value| = m * 2^e; a zero fraction above the smallest normal exponent
    // means a power of two whose lower neighbour is half as far
    uint32_t m = biased ? fraction | 0x800000 : fraction;
    int e = biased ? int(biased) - 150 : -149;
    decimal d = shortest_decimal(m, e, fraction == 0 && biased > 1);
    return length + write_decimal(d.digits, d.exponent, p);
}

} // namespace subdiv
