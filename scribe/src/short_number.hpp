#pragma once
// The usual number field, [sign] digits '.' digits with at most 19 digits,
// read from one 16-byte load that ends with the field: the field scanner's
// quick road, ahead of parse_float_field.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <emmintrin.h>
#include <string_view>

#include "digits.hpp"
#include "float_parse.hpp"
#include "pow10.hpp"

namespace kestrix::scribe::detail {

/// The eight bytes from p, or those up to `line_end` followed by zero bytes (a
/// zero byte is neither a digit nor a point).
[[gnu::always_inline]] inline std::uint64_t word_within(const char* p, const char* line_end) noexcept {
    if (line_end - p >= 8) [[likely]]
        return load8(p);
    std::uint64_t word = 0;
    std::memcpy(&word, p, std::size_t(line_end - p));
    return word;
}

/// Reads `field`, a non-empty view into the line [line_begin, line_end), into
/// `value` when it is the usual field; false for anything else, which
/// parse_float_field reads. Reads the 16 bytes that end the field, and for a
/// longer field its first word too; the line's bounds are never crossed.
[[gnu::always_inline]] inline bool read_short_number(std::string_view field, const char* line_begin,
                                                     const char* line_end, double& value) noexcept {
    const char* p = field.data();
    const char* end = p + field.size();
    unsigned c = static_cast<unsigned char>(*p);
    bool negative = c == '-';
    p += negative | (c == '+');
    std::ptrdiff_t size = end - p;  // after the sign
    std::ptrdiff_t reach = end - line_begin;
    __m128i raw;
    if (reach >= 16) [[likely]] {
        raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
    } else if (line_end - line_begin >= 16 && size > 0) {
        // The line's first 16 bytes, moved up so that the field ends the vector.
        std::uint64_t lo = load8(line_begin), hi = load8(line_begin + 8);
        u128 bytes = (u128(hi) << 64 | lo) << (8 * (16 - reach));
        raw = _mm_set_epi64x(std::int64_t(bytes >> 64), std::int64_t(bytes));
    } else {
        return false;
    }
    std::uint64_t mantissa;
    unsigned digits;  // after the point
    double v;
    if (size <= 16) {
        int point = point_decimal(raw, unsigned(16 - size), mantissa);
        if (point < 0) return false;
        digits = unsigned(15 - point);
        v = double(mantissa) / kExactPow10[digits];  // at most 15 digits: one rounding
    } else {
        // The point lies inside the last 16 bytes or just before them.
        unsigned points = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(raw, _mm_set1_epi8('.'))));
        const char* point;
        if (points != 0) {
            point = end - 16 + std::countr_zero(points);
        } else if (end[-17] == '.') {
            point = end - 17;
        } else {
            return false;
        }
        digits = unsigned(end - point - 1);
        std::uint64_t low;
        if (!trailing_digits(raw, digits, low)) return false;
        unsigned whole = unsigned(point - p);
        if (whole > 3 || whole + digits > 19) return false;
        // Up to three digits before the point, moved to the top of three
        // bytes behind ASCII zeros; each byte less '0' must be 0 to 9.
        std::uint64_t head =
            (word_within(p, line_end) << (8 * (3 - whole)) | (0x303030 >> (8 * whole))) & 0xFFFFFF;
        std::uint64_t d = head - 0x303030;
        if (((d + 0x767676) | d) & 0x808080) return false;
        std::uint64_t integer = ((d & 0xFF) * 10 + ((d >> 8) & 0xFF)) * 10 + (d >> 16);
        mantissa = integer * kPow10[digits] + low;
        if (!scale_pow10_short(mantissa, -int(digits), v)) return false;
    }
    // The sign by its bit: no branch on data that follows no pattern.
    value = std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) | (std::uint64_t(negative) << 63));
    return true;
}

}  // namespace kestrix::scribe::detail
