// Decimal text of the OBJ numbers without printf: indices as "%lld" and
// coordinates as printf's "%f" prints a float widened to double.
//
// A coordinate's value times 10^6 is an exact binary fraction, rounded to an
// integer with integer arithmetic, ties to even (glibc's rounding in the
// default rounding mode).
#pragma once

#include <cstdint>
#include <cstring>

#if !SUBDIV_SCALAR
#include <immintrin.h>
#endif

namespace subdiv {

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

#if !SUBDIV_SCALAR
// eight_digits of four values below 10^8, one per 64-bit lane, step by step
// as eight_digits: the products stay below the bits of their lane, so the
// narrower lanes give the same bits.
inline __m256i eight_digits_avx2(__m256i v)
{
    // v / 10000 as (v × ⌈2^40 / 10^4⌉) >> 40, exact below 10^8
    const __m256i high4 = _mm256_srli_epi64(_mm256_mul_epu32(v, _mm256_set1_epi64x(109951163)), 40);
    const __m256i low4 = _mm256_sub_epi64(v, _mm256_mul_epu32(high4, _mm256_set1_epi64x(10000)));
    const __m256i halves = _mm256_or_si256(high4, _mm256_slli_epi64(low4, 32));
    const __m256i high = _mm256_and_si256(
        _mm256_srli_epi32(_mm256_mullo_epi32(halves, _mm256_set1_epi32(5243)), 19),
        _mm256_set1_epi32(0x7F));
    const __m256i quarters = _mm256_or_si256(
        high, _mm256_slli_epi32(
                  _mm256_sub_epi32(halves, _mm256_mullo_epi32(high, _mm256_set1_epi32(100))), 16));
    const __m256i tens = _mm256_and_si256(
        _mm256_srli_epi16(_mm256_mullo_epi16(quarters, _mm256_set1_epi16(103)), 10),
        _mm256_set1_epi16(0xF));
    return _mm256_or_si256(
        tens, _mm256_slli_epi16(
                  _mm256_sub_epi16(quarters, _mm256_mullo_epi16(tens, _mm256_set1_epi16(10))), 8));
}
#endif

// The text "d.dddddd" of |value| with six decimals when it is that short (a
// finite value that rounds below 10, the common case of coordinates near
// the origin), as format_float writes it after the sign: eight characters,
// the first in the lowest byte. Returns false, leaving *text alone, for any
// other value.
inline bool f6_short(float value, uint64_t* text)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint32_t biased = (bits >> 23) & 0xFF;
    if (biased >= 150) return false; // a whole number, an infinity or a NaN
    const uint64_t m = biased ? ((bits & 0x7FFFFF) | 0x800000) : (bits & 0x7FFFFF);
    const int shift = biased ? (150 - int(biased) < 63 ? 150 - int(biased) : 63) : 63;
    const uint64_t scaled = m * 1000000;
    const uint64_t odd = (scaled >> shift) & 1;
    const uint64_t micros = (scaled + (uint64_t(1) << (shift - 1)) - 1 + odd) >> shift;
    if (micros >= 10000000) return false;
    const uint64_t digits = eight_digits(micros) + ascii_zeros;
    *text = ((digits >> 8) & 0xFF) | uint64_t('.') << 8 | digits >> 16 << 16;
    return true;
}

// f6_short of four values at once: text[k] for value k when bit k of the
// result is set.
inline unsigned f6_short4(const float* values, uint64_t* text)
{
#if SUBDIV_SCALAR
    unsigned found = 0;
    for (int k = 0; k < 4; ++k) found |= unsigned(f6_short(values[k], &text[k])) << k;
    return found;
#else
    // every step as f6_short and eight_digits, lane by lane: the products
    // stay below the bits of their lane, so narrower lanes give the same bits
    const __m256i bits = _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values)));
    const __m256i biased = _mm256_and_si256(_mm256_srli_epi64(bits, 23), _mm256_set1_epi64x(0xFF));
    const __m256i normal = _mm256_cmpgt_epi64(biased, _mm256_setzero_si256());
    const __m256i m = _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(0x7FFFFF)),
                                      _mm256_and_si256(normal, _mm256_set1_epi64x(0x800000)));
    // 150 - biased for normal values, 149 for subnormal ones; at most 63
    __m256i shift = _mm256_sub_epi64(_mm256_set1_epi64x(150),
                                     _mm256_blendv_epi8(_mm256_set1_epi64x(1), biased, normal));
    shift = _mm256_blendv_epi8(shift, _mm256_set1_epi64x(63),
                               _mm256_cmpgt_epi64(shift, _mm256_set1_epi64x(63)));
    const __m256i scaled = _mm256_mul_epu32(m, _mm256_set1_epi64x(1000000));
    const __m256i one = _mm256_set1_epi64x(1);
    const __m256i odd = _mm256_and_si256(_mm256_srlv_epi64(scaled, shift), one);
    const __m256i half_less = _mm256_sub_epi64(_mm256_sllv_epi64(one, _mm256_sub_epi64(shift, one)), one);
    const __m256i micros =
        _mm256_srlv_epi64(_mm256_add_epi64(_mm256_add_epi64(scaled, half_less), odd), shift);
    const __m256i fast = _mm256_and_si256(
        _mm256_cmpgt_epi64(_mm256_set1_epi64x(150), biased),
        _mm256_cmpgt_epi64(_mm256_set1_epi64x(10000000), micros));
    const __m256i digits = _mm256_add_epi64(eight_digits_avx2(micros), _mm256_set1_epi64x(int64_t(ascii_zeros)));
    const __m256i words = _mm256_or_si256(
        _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi64(digits, 8), _mm256_set1_epi64x(0xFF)),
                        _mm256_set1_epi64x(int64_t('.') << 8)),
        _mm256_slli_epi64(_mm256_srli_epi64(digits, 16), 16));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(text), words);
    return unsigned(_mm256_movemask_pd(_mm256_castsi256_pd(fast)));
#endif
}

// Writes the text printf's "%f" gives for double(value) (six decimals, "inf",
// "-nan", up to 47 characters) to out without a NUL; returns its length.
int format_f6(float value, char* out);

} // namespace subdiv
