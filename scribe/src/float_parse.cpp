// Decimal text to double, correctly rounded: the 192-bit scaling by powers of
// five, the quick roads for up to 19 significant digits, and the library's
// conversion for the rest.

#include "float_parse.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace kestrix::scribe {
namespace {

using detail::is_digit;
using detail::kPow5;
using detail::kPow5MaxExactQ;
using detail::kPow5MaxQ;
using detail::kPow5MinQ;
using detail::Pow5Entry;
using detail::u128;

constexpr char lower_ascii(char c) noexcept { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

// Case-insensitive match of the whole `text` against lowercase `word`.
bool equals_nocase(std::string_view text, std::string_view word) noexcept {
    if (text.size() != word.size()) return false;
    for (std::size_t k = 0; k < text.size(); ++k)
        if (lower_ascii(text[k]) != word[k]) return false;
    return true;
}

}  // namespace

// With T = floor(5^q 2^-e) in [2^127, 2^128), the 192-bit product P = w * T
// (w shifted to its top bit) lies at most 2^64 below the exact product, and the
// value is P * 2^(e + q - lz). Rounding to 53 bits is decided unless the bits
// below the significand sit within that distance under one half.
bool detail::scale_pow10(std::uint64_t w, std::int64_t q, double& out) noexcept {
    if (q < kPow5MinQ || q > kPow5MaxQ) return false;
    const Pow5Entry& t = kPow5[q - kPow5MinQ];
    int lz = std::countl_zero(w);
    w <<= lz;
    bool exact = q >= 0 && q <= kPow5MaxExactQ;

    u128 b = u128(w) * t.hi;  // the top 128 bits of P, before the carry from w * lo
    std::uint64_t hi = std::uint64_t(b >> 64);
    std::uint64_t mid = std::uint64_t(b);
    std::uint64_t lo = 0;
    int shift = 10 + int(hi >> 63);  // bits of hi below the 53-bit significand
    std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
    std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if ((hi & mask) == half - 1 || (hi & mask) == half) {
        // Near one half: the low product and its carry matter.
        u128 a = u128(w) * t.lo;
        lo = std::uint64_t(a);
        u128 mid_sum = u128(mid) + std::uint64_t(a >> 64);
        mid = std::uint64_t(mid_sum);
        hi += std::uint64_t(mid_sum >> 64);
        shift = 10 + int(hi >> 63);
        mask = (std::uint64_t{1} << shift) - 1;
        half = std::uint64_t{1} << (shift - 1);
    } else {
        // Far from one half the carry cannot change the rounding (a carry out
        // of all-ones low bits lands on the value that rounding up gives).
        mid = lo = 1;
    }
    std::uint64_t mantissa = hi >> shift;  // 53 bits
    std::uint64_t rest = hi & mask;
    std::int64_t exponent = 180 + shift + t.exponent + q - lz;

    // Below one half but within 2^64 of it, an inexact P decides nothing.
    if (rest == half - 1 && mid == ~std::uint64_t{0} && !exact) return false;
    // Round up above one half; at exactly one half, to even when P is exact
    // (a tie), else up (the exact product lies above P). Without branches:
    // the direction is as good as random.
    bool above = rest > half || (rest == half && (mid | lo) != 0);
    bool tie_up = rest == half && (mid | lo) == 0 && (!exact || (mantissa & 1) != 0);
    mantissa += std::uint64_t(above | tie_up);
    std::uint64_t carry = mantissa >> 53;  // 1 when rounding up overflowed into bit 53
    mantissa >>= carry;
    exponent += std::int64_t(carry);
    if (exponent < -1022 || exponent > 1023) return false;
    std::uint64_t bits =
        (std::uint64_t(exponent + 1023) << 52) | (mantissa & ((std::uint64_t{1} << 52) - 1));
    out = std::bit_cast<double>(bits);
    return true;
}

namespace {

// The correctly rounded conversion of a grammar-checked unsigned decimal,
// when quick arithmetic suffices. `w` holds the first (up to 19) significant
// digits, `q` the decimal exponent of its last digit, `truncated` whether
// nonzero digits were left out of w.
bool quick_decimal(std::uint64_t w, std::int64_t q, bool truncated, double& out) noexcept {
    if (!truncated) {
        // Clinger: both w and 10^|q| are exact doubles, so one rounding.
        if (w <= (std::uint64_t{1} << 53) && q >= -22 && q <= 22) {
            double v = double(w);
            out = q < 0 ? v / detail::kExactPow10[-q] : v * detail::kExactPow10[q];
            return true;
        }
        return detail::scale_pow10(w, q, out);
    }
    // The exact value lies strictly between w and w + 1 at this exponent; when
    // both ends round alike, so does everything between them.
    double low, high;
    if (!detail::scale_pow10(w, q, low) || !detail::scale_pow10(w + 1, q, high) || high != low)
        return false;
    out = low;
    return true;
}

// The library's correctly rounded conversion, for what quick_decimal declines.
// It reports a result that rounds to zero or overflows as out of range without
// storing it; `magnitude` (the decimal exponent of the leading digit, roughly)
// tells which one it was.
double library_decimal(std::string_view text, std::int64_t magnitude) noexcept {
    double v = 0.0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec == std::errc::result_out_of_range)
        return magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return v;
}

constexpr std::int64_t kExponentCap = 65536;

// The unsigned value of a grammar-checked decimal with any number of digits:
// the mantissa text [begin, end), the exponent as counted, and the whole
// unsigned text [begin, text_end).
double long_decimal(const char* begin, const char* end, const char* text_end,
                    std::int64_t exponent, bool capped) {
    std::uint64_t w = 0;
    int taken = 0;           // significant digits in w (at most 19)
    std::int64_t scale = 0;  // decimal exponent of w's last digit, before `exponent`
    bool truncated = false;
    bool fraction = false;
    for (const char* p = begin; p != end; ++p) {
        if (*p == '.') {
            fraction = true;
            continue;
        }
        unsigned d = unsigned(*p - '0');
        if (taken == 0 && d == 0) {
            if (fraction) --scale;  // a leading zero after the point
        } else if (taken < 19) {
            w = w * 10 + d;
            ++taken;
            if (fraction) --scale;
        } else {
            if (!fraction) ++scale;
            if (d != 0) truncated = true;
        }
    }
    if (w == 0) return 0.0;
    std::int64_t q = exponent + scale;
    if (double v; quick_decimal(w, q, truncated, v)) return v;

    // Decimal exponent of the leading digit: positive for what overflows,
    // very negative for what underflows.
    std::int64_t magnitude = q + taken - 1;
    if (!capped) return library_decimal(std::string_view(begin, std::size_t(text_end - begin)), magnitude);
    // The exponent as counted differs from the one written. Far outside the
    // range of doubles the answer is plain; near it, spell the exponent out.
    if (magnitude > 400) return std::numeric_limits<double>::infinity();
    if (magnitude < -400) return 0.0;
    std::string text(begin, end);
    text += 'e';
    text += std::to_string(exponent);
    return library_decimal(text, magnitude);
}

}  // namespace

bool detail::parse_float_general(std::string_view field, double& value) {
    const char* p = field.data();
    const char* end = p + field.size();
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end) return false;
    auto sign = [negative, &value](double v) {
        value = negative ? -v : v;
        return true;
    };

    if (!is_digit(*p) && *p != '.') {
        std::string_view word(p, std::size_t(end - p));
        if (equals_nocase(word, "inf") || equals_nocase(word, "infinity"))
            return sign(std::numeric_limits<double>::infinity());
        if (equals_nocase(word, "nan")) return sign(std::numeric_limits<double>::quiet_NaN());
        return false;
    }

    // Digits accumulate into w, wrapping if there are too many; counted first,
    // they decide below whether w can be trusted.
    const char* mantissa_begin = p;
    std::uint64_t w = 0;
    while (p != end && is_digit(*p)) w = w * 10 + unsigned(*p++ - '0');
    std::int64_t digits = p - mantissa_begin;
    std::int64_t fraction_digits = 0;
    if (p != end && *p == '.') {
        const char* fraction_begin = ++p;
        std::uint64_t chunk;
        while (end - p >= 8 && (std::memcpy(&chunk, p, 8), detail::is_eight_digits(chunk))) {
            w = w * 100000000 + detail::parse_eight_digits(chunk);
            p += 8;
        }
        while (p != end && is_digit(*p)) w = w * 10 + unsigned(*p++ - '0');
        fraction_digits = p - fraction_begin;
        digits += fraction_digits;
    }
    if (digits == 0) return false;
    const char* mantissa_end = p;

    std::int64_t exponent = 0;
    bool capped = false;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exp_negative = false;
        if (p != end && (*p == '+' || *p == '-')) {
            exp_negative = *p == '-';
            ++p;
        }
        if (p == end || !is_digit(*p)) return false;
        while (p != end && is_digit(*p)) {
            if (exponent < kExponentCap) {
                exponent = exponent * 10 + (*p - '0');
            } else {
                capped = true;  // consumed, no longer counted
            }
            ++p;
        }
        if (exp_negative) exponent = -exponent;
    }
    if (p != end) return false;

    if (digits > 19) {
        // Leading zeros carry no digits of the value.
        const char* s = mantissa_begin;
        for (; s != mantissa_end && (*s == '0' || *s == '.'); ++s) digits -= *s == '0';
        if (digits > 19) return sign(long_decimal(mantissa_begin, mantissa_end, end, exponent, capped));
    }
    if (w == 0) return sign(0.0);
    if (double v; quick_decimal(w, exponent - fraction_digits, false, v)) return sign(v);
    return sign(long_decimal(mantissa_begin, mantissa_end, end, exponent, capped));
}

}  // namespace kestrix::scribe
