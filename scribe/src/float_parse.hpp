#pragma once
// The number grammar of a field: a correctly rounded double from decimal
// text. The usual short fields take the inline road here; everything else
// (exponents, long mantissas, inf and nan) goes to parse_float_general.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "digits.hpp"
#include "pow10.hpp"

namespace kestrix::scribe {

/// The one failure text of parse_float_field.
inline constexpr std::string_view kInvalidFloatLiteral = "invalid float literal";

namespace detail {

using u128 = unsigned __int128;

struct Pow5Entry {
    std::uint64_t hi;
    std::uint64_t lo;
    int exponent;
};
#include "pow5_tables.inc"

/// w * 10^q (w > 0) correctly rounded into `out`, when a 192-bit product
/// decides it and the result is a normal double; false otherwise.
bool scale_pow10(std::uint64_t w, std::int64_t q, double& out) noexcept;

/// parse_float_field for every field, however written.
bool parse_float_general(std::string_view field, double& value);

/// scale_pow10 for w below 10^19 and q in [-16, -8], where the result is a
/// normal double: the 128-bit product w * hi alone decides unless the bits
/// below the significand lie next to one half; those rare cases go to
/// scale_pow10, and a zero w gives zero.
[[gnu::always_inline]] inline bool scale_pow10_short(std::uint64_t w, int q, double& out) noexcept {
    if (w == 0) {
        out = 0.0;
        return true;
    }
    const Pow5Entry& t = kPow5[q - kPow5MinQ];
    int lz = std::countl_zero(w);
    std::uint64_t hi = std::uint64_t((u128(w << lz) * t.hi) >> 64);
    // Bit 63 or 62 leads; shifted to lead at 63, the 53-bit significand is
    // the top bits and the 11 below decide the rounding (one half: 0x400;
    // with the shift the lowest of them is 0, so 0x3FE stands for half - 1).
    unsigned top = unsigned(hi >> 63);
    std::uint64_t normal = hi << (top ^ 1);
    std::uint64_t rest = normal & 0x7FF;
    if (rest - 0x3FE <= 2) [[unlikely]]
        return scale_pow10(w, q, out);
    std::uint64_t mantissa = (normal >> 11) + (rest > 0x400);
    std::uint64_t carry = mantissa >> 53;  // rounding up overflowed into bit 53
    mantissa >>= carry;
    // The biased exponent less one, added to the significand's leading bit.
    std::uint64_t exponent = std::uint64_t(180 + 1022 + 10 + t.exponent + q - lz) + top + carry;
    out = std::bit_cast<double>((exponent << 52) + mantissa);
    return true;
}

}  // namespace detail

/// Reads a whole field as a correctly rounded double into `value`; false when
/// the field is not a number of the grammar (the failure kInvalidFloatLiteral).
/// Throws std::bad_alloc only, for fields of tens of thousands of digits.
inline bool parse_float_field(std::string_view field, double& value) {
    // Inline road for the usual [-]digits[.digits] of at most 19 digits.
    const char* p = field.data();
    const char* end = p + field.size();
    bool negative = p != end && *p == '-';
    p += negative;
    const char* begin = p;
    std::uint64_t w = 0;
    while (p != end && detail::is_digit(*p)) w = w * 10 + unsigned(*p++ - '0');
    std::ptrdiff_t digits = p - begin;
    std::ptrdiff_t fraction = 0;
    if (p != end && *p == '.') {
        const char* fraction_begin = ++p;
        std::uint64_t chunk;
        if (end - p >= 8 && (std::memcpy(&chunk, p, 8), detail::is_eight_digits(chunk))) {
            w = w * 100000000 + detail::parse_eight_digits(chunk);
            p += 8;
        }
        if (std::ptrdiff_t r = end - p; r > 0 && r < 8 && end - field.data() >= 8) {
            // The last r bytes as one word: the 8 - r bytes before them (read
            // already) shifted out, '0's shifted in; all digits or nothing.
            std::memcpy(&chunk, end - 8, 8);
            chunk = (chunk >> (8 * (8 - r)) << (8 * (8 - r))) | (0x3030303030303030 >> (8 * r));
            if (detail::is_eight_digits(chunk)) {
                w = w * detail::kPow10[r] + detail::parse_eight_digits(chunk);
                p = end;
            }
        }
        while (p != end && detail::is_digit(*p)) w = w * 10 + unsigned(*p++ - '0');
        fraction = p - fraction_begin;
        digits += fraction;
    }
    if (p != end || digits <= 0 || digits > 19) return detail::parse_float_general(field, value);
    double v;
    if (w <= (std::uint64_t{1} << 53) && fraction <= 22) {
        v = double(w) / detail::kExactPow10[fraction];  // both exact: one rounding
    } else if (!detail::scale_pow10(w, -fraction, v)) {
        return detail::parse_float_general(field, value);
    }
    value = negative ? -v : v;
    return true;
}

}  // namespace kestrix::scribe
