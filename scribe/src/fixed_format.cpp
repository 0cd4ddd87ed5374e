// Fixed notation in integer arithmetic: the scaled value from one 128-bit
// product for the decimal counts the writers use, a general road for other
// counts, and the library's exact conversion for huge magnitudes.

#include "fixed_format.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "pow10.hpp"
#include "utf8_text.hpp"

namespace kestrix::scribe {
namespace {

using detail::kPow10;
using detail::kPow5Small;
using u128 = unsigned __int128;

constexpr std::uint64_t kSpaces = 0x2020202020202020;

unsigned decimal_length(std::uint64_t v) noexcept {
    unsigned n = 1;
    while (n < 20 && v >= kPow10[n]) ++n;
    return n;
}

// The eight ASCII digits of v < 10^8 as a little-endian word, first digit in
// the lowest byte: the digits are split in SIMD-within-a-register lanes
// (4 + 4, then 2 + 2, then 1 + 1) by multiplications by reciprocals.
std::uint64_t eight_digits(std::uint32_t v) noexcept {
    std::uint64_t x = (v / 10000) | (std::uint64_t(v % 10000) << 32);
    std::uint64_t hundreds = ((x * 10486) >> 20) & 0x0000007F0000007F;  // lane / 100
    std::uint64_t y = hundreds | ((x - hundreds * 100) << 16);
    std::uint64_t tens = ((y * 103) >> 10) & 0x000F000F000F000F;  // lane / 10
    return (tens | ((y - tens * 10) << 8)) | 0x3030303030303030;
}

void store8(char* p, std::uint64_t word) noexcept { std::memcpy(p, &word, 8); }

// Writes the last n (1 to 8) digits of v < 10^8 at p; the 8 - n bytes after
// them are overwritten with junk (the caller writes there afterwards or
// leaves them beyond its text).
void put_digits(char* p, std::uint32_t v, unsigned n) noexcept {
    store8(p, eight_digits(v) >> (8 * (8 - n)));
}

// Writes n digits of v (zero-filled on the left) at p; may write junk up to 8
// bytes past the end.
void put_long_digits(char* p, std::uint64_t v, unsigned n) noexcept {
    // Chunks of 8 from the right, computed first, written left to right.
    std::uint32_t chunks[3];
    unsigned count = 0;
    while (n > 8) {
        chunks[count++] = std::uint32_t(v % 100000000);
        v /= 100000000;
        n -= 8;
    }
    put_digits(p, std::uint32_t(v), n);
    p += n;
    while (count) {
        store8(p, eight_digits(chunks[--count]));
        p += 8;
    }
}

constexpr unsigned kQuickMaxDecimals = 19;

// Writes v < 10^8 in decimal at p (at most 8 bytes written, junk past the digits).
void put_short(char* p, std::uint32_t v, unsigned len) noexcept {
    if (len == 1) {
        *p = char('0' + v);
    } else if (len == 2) {
        p[0] = char('0' + v / 10);
        p[1] = char('0' + v % 10);
    } else {
        put_digits(p, v, len);
    }
}

// product / 2^shift rounded to nearest, ties to even (0 < shift < 128).
[[gnu::always_inline]] inline u128 shift_round_even(u128 product, int shift) noexcept {
    u128 quotient = product >> shift;
    u128 remainder = product - (quotient << shift);
    u128 half = u128(1) << (shift - 1);
    return quotient + (remainder > half || (remainder == half && (quotient & 1) != 0));
}

// Writes `pad` spaces, the sign and the whole_len digits of `whole`, then the
// point; returns where the decimals go. Each piece is stored in whole words,
// left to right; a word's junk past its piece is overwritten by the next piece
// or lies beyond the text.
[[gnu::always_inline]] inline char* put_fixed_head(char* p, std::size_t pad, bool negative,
                                                   std::uint64_t whole, unsigned whole_len) noexcept {
    for (std::size_t k = 0; k < pad; k += 8) store8(p + k, kSpaces);
    p += pad;
    *p = '-';
    p += negative;
    if (whole_len <= 8) {
        put_short(p, std::uint32_t(whole), whole_len);
    } else {
        put_long_digits(p, whole, whole_len);
    }
    p += whole_len;
    *p = '.';
    return p + 1;
}

// Fixed notation for every double and decimal count up to kQuickMaxDecimals,
// in integer arithmetic, for magnitudes below 2^63.
void format_fixed_general(TextBuffer& out, double value, unsigned decimals, unsigned width) {
    bool negative = std::signbit(value);
    double magnitude = std::fabs(value);

    if (decimals <= kQuickMaxDecimals && magnitude < 9223372036854775808.0) {
        // The integer part is exact, and so is the fraction m * 2^e2; times
        // 10^d it is m * 5^d * 2^(e2 + d), an integer shifted right, rounded to
        // nearest with ties to even in 128-bit arithmetic.
        std::uint64_t whole = std::uint64_t(std::int64_t(magnitude));
        double fraction = magnitude - double(whole);
        std::uint64_t digits = 0;
        if (fraction != 0.0) {
            std::uint64_t bits = std::bit_cast<std::uint64_t>(fraction);
            int biased = int(bits >> 52);
            std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
            int e2 = biased == 0 ? -1074 : biased - 1075;
            if (biased != 0) m |= std::uint64_t{1} << 52;
            int shift = -(e2 + int(decimals));  // > 0 since the fraction is below 1
            if (shift < 128) {
                digits = std::uint64_t(shift_round_even(u128(m) * kPow5Small[decimals], shift));
            }  // else below 2^-127 / 10^d: it rounds to zero
            if (digits == kPow10[decimals]) {
                digits = 0;
                ++whole;
            }
        }
        unsigned whole_len = decimal_length(whole);
        std::size_t len = std::size_t(negative) + whole_len + 1 + decimals;
        std::size_t pad = len < width ? width - len : 0;
        char* p = put_fixed_head(out.prepare(pad + len + kWriteSlack), pad, negative, whole, whole_len);
        put_long_digits(p, digits, decimals);
        out.commit(pad + len);
        return;
    }

    // Large magnitudes and many decimals: the library's exact fixed notation.
    std::size_t room = std::size_t(decimals) + 330;  // sign, 309 digits, point
    char* at = out.prepare(room > width ? room : width);
    char* p = at;
    if (negative) *p++ = '-';
    auto r = std::to_chars(p, at + room, magnitude, std::chars_format::fixed, int(decimals));
    std::size_t len = std::size_t(r.ptr - at);
    if (len < width) {
        std::size_t pad = width - len;
        std::memmove(at + pad, at, len);
        std::memset(at, ' ', pad);
        len = width;
    }
    out.commit(len);
}

// The decimal counts that the writers use, with D known at compile time: the
// whole scaled value n = round(|x| 10^D) from one 128-bit product when it fits
// 63 bits (|x| below about 9.2e18 / 10^D), else the general road.
template <unsigned D>
[[gnu::always_inline]] inline void format_fixed_n(TextBuffer& out, double value, unsigned width) {
    static_assert(D >= 1 && D <= 16);
    std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    int biased = int((bits >> 52) & 0x7FF);
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    int e2 = biased == 0 ? -1074 : biased - 1075;
    if (biased != 0) m |= std::uint64_t{1} << 52;
    int shift = -(e2 + int(D));
    if (biased == 0x7FF || shift <= 0) return format_fixed_general(out, value, D, width);
    std::uint64_t n = 0;
    if (shift < 64) {
        // The usual magnitudes (from about 2^-11 up): 64-bit halves suffice.
        u128 product = u128(m) * kPow5Small[D];
        std::uint64_t hi = std::uint64_t(product >> 64), lo = std::uint64_t(product);
        if ((hi >> shift) != 0) return format_fixed_general(out, value, D, width);
        std::uint64_t quotient = (lo >> shift) | (hi << 1 << (63 - shift));
        if ((quotient >> 63) != 0) return format_fixed_general(out, value, D, width);
        std::uint64_t remainder = lo & ((std::uint64_t{1} << shift) - 1);
        std::uint64_t half = std::uint64_t{1} << (shift - 1);
        n = quotient + (remainder > half || (remainder == half && (quotient & 1) != 0));
    } else if (shift < 128) {
        u128 rounded = shift_round_even(u128(m) * kPow5Small[D], shift);
        if ((rounded >> 63) != 0) return format_fixed_general(out, value, D, width);
        n = std::uint64_t(rounded);
    }  // else below 2^-127 / 10^D: it rounds to zero
    bool negative = (bits >> 63) != 0;
    constexpr std::uint64_t kScale = kPow10[D];
    std::uint64_t whole = n / kScale;
    std::uint64_t fraction = n - whole * kScale;

    unsigned whole_len = whole < 10 ? 1 : decimal_length(whole);
    std::size_t len = std::size_t(negative) + whole_len + 1 + D;
    std::size_t pad = len < width ? width - len : 0;
    char* p = put_fixed_head(out.prepare(pad + len + kWriteSlack), pad, negative, whole, whole_len);
    if constexpr (D <= 8) {
        put_digits(p, std::uint32_t(fraction), D);
    } else {
        put_digits(p, std::uint32_t(fraction / 100000000), D - 8);
        store8(p + (D - 8), eight_digits(std::uint32_t(fraction % 100000000)));
    }
    out.commit(pad + len);
}

}  // namespace

void format_fixed(TextBuffer& out, double value, unsigned decimals, unsigned width) {
    if (std::isnan(value)) {
        append_padded_text(out, "NaN", width, Align::Right);
        return;
    }
    if (std::isinf(value)) {
        append_padded_text(out, value < 0 ? "-inf" : "inf", width, Align::Right);
        return;
    }
    switch (decimals) {
    case 8:
        return format_fixed_n<8>(out, value, width);
    case 15:
        return format_fixed_n<15>(out, value, width);
    case 16:
        return format_fixed_n<16>(out, value, width);
    default:
        return format_fixed_general(out, value, decimals, width);
    }
}

void append_padded_integer(TextBuffer& out, std::uint64_t value, unsigned width) {
    unsigned len = decimal_length(value);
    unsigned pad = len < width ? width - len : 0;
    char* p = out.prepare(pad + len + kWriteSlack);
    std::memset(p, ' ', pad);
    put_long_digits(p + pad, value, len);
    out.commit(pad + len);
}

}  // namespace kestrix::scribe
