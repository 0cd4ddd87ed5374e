#pragma once
// Reading runs of ASCII digits several at a time: eight in a 64-bit word, or
// up to sixteen in an SSE2 vector, with or without one decimal point among
// them. No bounds are checked here: callers load the bytes.

#include <bit>
#include <cstdint>
#include <cstring>
#include <emmintrin.h>

namespace kestrix::scribe::detail {

constexpr bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') <= 9u; }

inline std::uint64_t load8(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

/// Whether all eight bytes of a little-endian word are ASCII digits.
constexpr bool is_eight_digits(std::uint64_t v) noexcept {
    return ((v & 0xF0F0F0F0F0F0F0F0) | (((v + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) ==
           0x3333333333333333;
}

/// The value of eight ASCII digits in a little-endian word, first digit first.
constexpr std::uint32_t parse_eight_digits(std::uint64_t v) noexcept {
    v -= 0x3030303030303030;
    v = v * 10 + (v >> 8);  // adjacent digits into pairs
    v = (((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
         (((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >>
        32;
    return static_cast<std::uint32_t>(v);
}

/// Byte k set to 0xFF for k below n (0 to 16), for picking bytes of a vector.
inline constexpr unsigned char kLowBytes[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                0,    0,    0,    0,    0,    0,    0,    0,
                                                0,    0,    0,    0,    0,    0,    0,    0};

/// The 16-digit value of 16 bytes that are ASCII digits less '0' (0 to 9).
[[gnu::always_inline]] inline std::uint64_t sixteen_digits(__m128i v) noexcept {
    // Pairs of digits, then fours, then eights, by multiply-adds of 16-bit lanes.
    __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi8(v, _mm_setzero_si128()), _mm_set1_epi32(0x0001000A));
    __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi8(v, _mm_setzero_si128()), _mm_set1_epi32(0x0001000A));
    __m128i fours = _mm_madd_epi16(_mm_packs_epi32(lo, hi), _mm_set1_epi32(0x00010064));
    __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_set1_epi32(0x00012710));
    std::uint64_t both = std::uint64_t(_mm_cvtsi128_si64(eights));
    return (both & 0xFFFFFFFF) * 100000000 + (both >> 32);
}

/// The 16 bytes from byte k (0 to 16) of kLowBytes: those below 16 - k set.
inline __m128i bytes_below(unsigned n) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLowBytes + 16 - n));
}

/// Whether every byte of v (a digit less '0' where it is one) is 0 to 9.
inline bool all_digits(__m128i v) noexcept {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(9)), v)) == 0xFFFF;
}

/// The value of the last n (0 to 16) of 16 bytes, which must be ASCII digits;
/// false if one is not. The bytes before them are ignored.
[[gnu::always_inline]] inline bool trailing_digits(__m128i raw, unsigned n, std::uint64_t& value) noexcept {
    __m128i v = _mm_andnot_si128(bytes_below(16 - n), _mm_sub_epi8(raw, _mm_set1_epi8('0')));
    if (!all_digits(v)) return false;
    value = sixteen_digits(v);
    return true;
}

/// Reads a decimal that fills 16 bytes from byte s on: digits, one '.' at
/// byte d, digits. Sets `value` to all its digits as one integer (the point
/// removed) and returns d, or returns -1 if the bytes are not of that form or
/// hold no digit. The bytes before s are ignored.
[[gnu::always_inline]] inline int point_decimal(__m128i raw, unsigned s, std::uint64_t& value) noexcept {
    unsigned points = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(raw, _mm_set1_epi8('.')))) >> s << s;
    if (points == 0 || (points & (points - 1)) != 0 || s == 15) return -1;
    unsigned d = unsigned(std::countr_zero(points));
    __m128i v = _mm_sub_epi8(raw, _mm_set1_epi8('0'));
    // The digits before the point move up by one byte, onto it.
    __m128i before = _mm_and_si128(v, bytes_below(d));
    __m128i after = _mm_andnot_si128(bytes_below(d + 1), v);
    __m128i joined = _mm_or_si128(_mm_slli_si128(before, 1), after);
    joined = _mm_andnot_si128(bytes_below(s + 1), joined);
    if (!all_digits(joined)) return -1;
    value = sixteen_digits(joined);
    return int(d);
}

}  // namespace kestrix::scribe::detail
