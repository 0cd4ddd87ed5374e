#include "text.hpp"

#include <algorithm>
#include <bit>
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
    std::int64_t exponent = 180 + shift + t.e + q - lz;

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

// ---------------------------------------------------------------- output

TextBuffer::~TextBuffer() {
    if (!storage_ && cap_) kestrix::detail::block_free(data_, cap_);
}

void TextBuffer::reallocate(std::size_t capacity) {
    if (storage_) {
        data_ = storage_->reallocate(size_, capacity);  // may give more than asked
    } else {
        data_ = static_cast<char*>(cap_ ? kestrix::detail::block_resize(data_, cap_, capacity)
                                        : kestrix::detail::block_allocate(capacity, false));
    }
    cap_ = capacity;
}

void TextBuffer::reserve_rows(std::size_t rows, std::size_t per_row, std::size_t extra) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(rows, per_row, &bytes) ||
        __builtin_add_overflow(bytes, extra, &bytes) || bytes > PTRDIFF_MAX)
        throw std::bad_alloc();
    reserve(bytes);
}

void TextBuffer::grow(std::size_t bytes) {
    if (bytes > PTRDIFF_MAX - size_) throw std::bad_alloc();
    std::size_t need = size_ + bytes;
    // Half again as much, for speed only: where memory lacks that, smaller
    // steps (still geometric, so that rows do not each move the text), then
    // just what the text needs. A text that fits in memory gets made.
    for (std::size_t step : {cap_ / 2, cap_ / 8, cap_ / 64}) {
        if (need >= cap_ + step) break;
        try {
            reallocate(cap_ + step);
            return;
        } catch (const std::bad_alloc&) {
        }
    }
    reallocate(need);
}

void TextBuffer::append(std::string_view text) {
    if (text.empty()) return;
    std::memcpy(prepare(text.size()), text.data(), text.size());
    size_ += text.size();
}

namespace {

using detail::kPow10U64;

constexpr std::uint64_t kPow5U64[20] = {
    1ull,           5ull,           25ull,          125ull,           625ull,
    3125ull,        15625ull,       78125ull,       390625ull,        1953125ull,
    9765625ull,     48828125ull,    244140625ull,   1220703125ull,    6103515625ull,
    30517578125ull, 152587890625ull, 762939453125ull, 3814697265625ull, 19073486328125ull};

constexpr std::uint64_t kSpaces = 0x2020202020202020;

unsigned decimal_length(std::uint64_t v) noexcept {
    unsigned n = 1;
    while (n < 20 && v >= kPow10U64[n]) ++n;
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
                digits = std::uint64_t(shift_round_even(u128(m) * kPow5U64[decimals], shift));
            }  // else below 2^-127 / 10^d: it rounds to zero
            if (digits == kPow10U64[decimals]) {
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
        u128 product = u128(m) * kPow5U64[D];
        std::uint64_t hi = std::uint64_t(product >> 64), lo = std::uint64_t(product);
        if ((hi >> shift) != 0) return format_fixed_general(out, value, D, width);
        std::uint64_t quotient = (lo >> shift) | (hi << 1 << (63 - shift));
        if ((quotient >> 63) != 0) return format_fixed_general(out, value, D, width);
        std::uint64_t remainder = lo & ((std::uint64_t{1} << shift) - 1);
        std::uint64_t half = std::uint64_t{1} << (shift - 1);
        n = quotient + (remainder > half || (remainder == half && (quotient & 1) != 0));
    } else if (shift < 128) {
        u128 rounded = shift_round_even(u128(m) * kPow5U64[D], shift);
        if ((rounded >> 63) != 0) return format_fixed_general(out, value, D, width);
        n = std::uint64_t(rounded);
    }  // else below 2^-127 / 10^D: it rounds to zero
    bool negative = (bits >> 63) != 0;
    constexpr std::uint64_t kScale = kPow10U64[D];
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

std::size_t count_code_points(std::string_view utf8) noexcept {
    std::size_t n = 0;
    for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

char32_t widest_char_bound(std::span<const std::string_view> texts) noexcept {
    // Most texts are ASCII: a byte-wise scan that stops at the first other
    // byte is the cheapest for symbols of a byte or two.
    std::size_t k = 0;
    auto ascii = [](std::string_view t) {
        for (char c : t)
            if (static_cast<unsigned char>(c) >= 0x80) return false;
        return true;
    };
    while (k < texts.size() && ascii(texts[k])) ++k;
    if (k == texts.size()) return 0x7F;
    unsigned char top = 0;
    for (std::string_view t : texts.subspan(k))
        for (char c : t) top = std::max(top, static_cast<unsigned char>(c));
    // A lead byte tells its character's range (C2 and C3 lead U+0080 to U+00FF,
    // F0 and above the planes past the first); continuation bytes, 80 to BF,
    // lie below every lead byte of a non-ASCII character.
    return top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
}

namespace {

// Writes the code points of valid UTF-8 [in, end) to `out`, one Unit each, and
// returns the end of what was written. `out` may be `in` itself when Unit is a
// byte and no code point is of more than two bytes: every one read is then
// written in at most the bytes it took, after it was read.
template <class Unit>
Unit* decode_utf8_units(const unsigned char* in, const unsigned char* end, Unit* out) noexcept {
    constexpr std::uint64_t kHighBits = 0x8080808080808080;
    while (in != end) {
        // Runs of ASCII: 16 bytes at a time where units are wider than a byte,
        // widened by interleaving with zeros; then a word at a time.
        if constexpr (sizeof(Unit) > 1) {
            const __m128i zero = _mm_setzero_si128();
            while (end - in >= 16) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
                if (_mm_movemask_epi8(v) != 0) break;
                __m128i halves[2] = {_mm_unpacklo_epi8(v, zero), _mm_unpackhi_epi8(v, zero)};
                auto* to = reinterpret_cast<__m128i*>(out);
                for (int h = 0; h < 2; ++h) {
                    if constexpr (sizeof(Unit) == 2) {
                        _mm_storeu_si128(to + h, halves[h]);
                    } else {
                        _mm_storeu_si128(to + 2 * h, _mm_unpacklo_epi16(halves[h], zero));
                        _mm_storeu_si128(to + 2 * h + 1, _mm_unpackhi_epi16(halves[h], zero));
                    }
                }
                in += 16;
                out += 16;
            }
        }
        std::uint64_t w;
        while (end - in >= 8 && (std::memcpy(&w, in, 8), (w & kHighBits) == 0)) {
            if constexpr (sizeof(Unit) == 1) {
                std::memcpy(out, &w, 8);
            } else {
                for (int k = 0; k < 8; ++k) out[k] = Unit(in[k]);
            }
            in += 8;
            out += 8;
        }
        if (in == end) break;
        unsigned char lead = *in;
        if (lead < 0x80) {
            *out++ = Unit(lead);
            ++in;
            continue;
        }
        unsigned len = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = lead & (0x7F >> len);
        for (unsigned k = 1; k < len; ++k) c = (c << 6) | (in[k] & 0x3F);
        *out++ = Unit(c);
        in += len;
    }
    return out;
}

const unsigned char* bytes(const char* p) noexcept { return reinterpret_cast<const unsigned char*>(p); }

}  // namespace

std::size_t narrow_utf8_in_place(char* text, std::size_t size) noexcept {
    auto out = reinterpret_cast<unsigned char*>(text);
    return static_cast<std::size_t>(decode_utf8_units(bytes(text), bytes(text) + size, out) - out);
}

void widen_utf8(std::string_view utf8, std::uint16_t* out) noexcept {
    decode_utf8_units(bytes(utf8.data()), bytes(utf8.data()) + utf8.size(), out);
}

void widen_utf8(std::string_view utf8, std::uint32_t* out) noexcept {
    decode_utf8_units(bytes(utf8.data()), bytes(utf8.data()) + utf8.size(), out);
}

void append_padded_text(TextBuffer& out, std::string_view text, unsigned width, Align align) {
    if (align == Align::Left && width == 2 && text.size() == 1 &&
        static_cast<unsigned char>(text[0]) < 0x80) {
        // The usual one-letter symbol.
        char* p = out.prepare(2);
        p[0] = text[0];
        p[1] = ' ';
        out.commit(2);
        return;
    }
    std::size_t chars = count_code_points(text);
    std::size_t pad = chars < width ? width - chars : 0;
    char* p = out.prepare(pad + text.size());
    if (align == Align::Right) {
        std::memset(p, ' ', pad);
        std::memcpy(p + pad, text.data(), text.size());
    } else {
        std::memcpy(p, text.data(), text.size());
        std::memset(p + text.size(), ' ', pad);
    }
    out.commit(pad + text.size());
}

}  // namespace kestrix::scribe
