// Decimal text of the OBJ numbers without printf: indices as "%lld" and
// coordinates as printf's "%f" prints a float widened to double.
//
// A coordinate's value times 10^6 is an exact binary fraction, rounded to an
// integer with integer arithmetic, ties to even (glibc's rounding in the
// default rounding mode).
#pragma once

#include <cstdint>
#include <cstring>

// "00" "01" ... "99": two decimal digits per lookup.
inline constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Number of decimal digits of v (1 for 0).
inline int decimal_length(uint64_t v)
{
    int n = 1;
    for (;;) {
        if (v < 10) return n;
        if (v < 100) return n + 1;
        if (v < 1000) return n + 2;
        if (v < 10000) return n + 3;
        v /= 10000;
        n += 4;
    }
}

// Writes the decimal digits of v to out; returns their count (at most 20).
inline int format_u64(uint64_t v, char* out)
{
    int length = decimal_length(v);
    char* p = out + length;
    while (v >= 100) {
        uint64_t rest = v / 100;
        p -= 2;
        std::memcpy(p, digit_pairs + 2 * (v - rest * 100), 2);
        v = rest;
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, digit_pairs + 2 * v, 2);
    } else {
        *--p = char('0' + v);
    }
    return length;
}

// The eight decimal digits of v < 10^8, leading zeros included, one digit
// value (0-9) per byte, the first digit in the lowest byte: both four-digit
// halves, then their two-digit quarters, then the single digits are split in
// parallel lanes of one 64-bit word. x * 5243 >> 19 is x / 100 for x < 10^4,
// and x * 103 >> 10 is x / 10 for x < 100.
inline uint64_t eight_digits(uint64_t v)
{
    uint64_t halves = (v / 10000) | ((v % 10000) << 32);
    uint64_t high = ((halves * 5243) >> 19) & 0x0000007F0000007Full;
    uint64_t quarters = high | ((halves - high * 100) << 16);
    uint64_t tens = ((quarters * 103) >> 10) & 0x000F000F000F000Full;
    return tens | ((quarters - tens * 10) << 8);
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the digit words are stored with their lowest byte first");

inline constexpr uint64_t ascii_zeros = 0x3030303030303030ull;

// Writes v < 10^8 without leading zeros; returns the length. Always stores
// eight bytes: those past the length are scratch that later text overwrites.
inline int format_below_1e8(uint64_t v, char* out)
{
    uint64_t digits = eight_digits(v);
    // the leading zero digits are the zero bytes at the low end; 0 keeps one
    int zeros = __builtin_ctzll(digits | (uint64_t(1) << 56)) / 8;
    digits = (digits + ascii_zeros) >> (8 * zeros);
    std::memcpy(out, &digits, 8);
    return 8 - zeros;
}

// Writes v as printf's "%lld" does; returns the length (at most 20). May
// store up to eight bytes from out whatever the length.
inline int format_i64(int64_t v, char* out)
{
    if (uint64_t(v) < 100000000) return format_below_1e8(uint64_t(v), out);
    if (v >= 0) return format_u64(uint64_t(v), out);
    *out = '-';
    return 1 + format_u64(0 - uint64_t(v), out + 1);
}

// Writes the decimal digits of v (below 2^128: at most 39 digits); returns
// their count. Only integers of 2^64 and above take the slow digit loop.
inline int format_u128(unsigned __int128 v, char* out)
{
    if (uint64_t(v >> 64) == 0) return format_u64(uint64_t(v), out);
    char digits[40];
    char* p = digits + sizeof digits;
    while (v != 0) {
        *--p = char('0' + unsigned(v % 10));
        v /= 10;
    }
    int length = int(digits + sizeof digits - p);
    std::memcpy(out, p, size_t(length));
    return length;
}

// format_f6 inlined for the formatting loops. Stores up to eight bytes past
// the returned length.
inline int format_float(float value, char* out)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    // glibc signs -0, -nan and negatives that round to 0
    *out = '-';
    char* p = out + (bits >> 31);
    uint32_t biased = (bits >> 23) & 0xFF;
    uint32_t mantissa = bits & 0x7FFFFF;
    if (biased == 0xFF) {
        std::memcpy(p, mantissa ? "nan" : "inf", 3);
        return int(p + 3 - out);
    }

    // |value| = m * 2^e exactly, m below 2^24
    uint64_t m = biased ? (mantissa | 0x800000) : mantissa;
    int e = biased ? int(biased) - 150 : -149;
    if (e >= 0) {
        // a whole number, up to 39 digits for the largest floats
        p += format_u128((unsigned __int128)m << e, p);
        std::memcpy(p, ".000000", 7);
        return int(p + 7 - out);
    }

    // |value| * 10^6 = scaled / 2^shift, rounded to the nearest integer with
    // ties to even by adding half - 1, plus 1 when the quotient is odd, before
    // the shift. scaled is below 2^44, so every shift from 46 on gives 0: a
    // shift beyond 63 is taken as 63.
    int shift = -e < 63 ? -e : 63;
    uint64_t scaled = m * 1000000;
    uint64_t odd = (scaled >> shift) & 1;
    uint64_t micros = (scaled + (uint64_t(1) << (shift - 1)) - 1 + odd) >> shift;

    // below 10 (the common case of coordinates near the origin): the eight
    // digits of micros are a leading zero, the whole digit and the six
    // decimals; the point goes in place of the leading zero's byte
    if (micros < 10000000) {
        const uint64_t digits = eight_digits(micros) + ascii_zeros;
        const uint64_t text = ((digits >> 8) & 0xFF) | uint64_t('.') << 8 | digits >> 16 << 16;
        std::memcpy(p, &text, 8);
        return int(p + 8 - out);
    }

    // whole part (at most 2^23, seven digits), then the point and the six
    // decimals in one eight-byte store: "." d1..d6 and a scratch zero byte
    uint64_t whole = micros / 1000000;
    uint64_t decimals = micros - whole * 1000000;
    p += format_below_1e8(whole, p);
    uint64_t point_decimals = ((eight_digits(decimals) + ascii_zeros) >> 16 << 8) | '.';
    std::memcpy(p, &point_decimals, 8);
    return int(p + 7 - out);
}

// Writes the text printf's "%f" gives for double(value) (six decimals, "inf",
// "-nan", up to 47 characters) to out without a NUL; returns its length.
int format_f6(float value, char* out);
