#pragma once
// Text rules shared by the XYZ, POSCAR and XDATCAR blocks: cutting a line into
// fields, the number grammar, fixed-point output and padding. Plain C++, no
// Python: fields are views into lines that the caller keeps alive.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <emmintrin.h>
#include <span>
#include <string_view>
#include <utility>

#include "kestrix/buffer.hpp"
#include "kestrix/poll.hpp"

namespace kestrix::scribe {

/// The one failure text of parse_float_field.
inline constexpr std::string_view kInvalidFloatLiteral = "invalid float literal";

/// Space, tab, line feed, form feed and carriage return; nothing else.
constexpr bool is_separator(unsigned char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

/// Asks for the first bytes of line k ahead of their use: each line is a
/// separate heap object, so their reads are a stream of cache misses otherwise.
inline void prefetch_line(std::span<const std::string_view> lines, std::size_t k) noexcept {
    if (k < lines.size()) {
        __builtin_prefetch(lines[k].data());
        __builtin_prefetch(lines[k].data() + 64);
    }
}

/// How many lines ahead the parsers prefetch.
inline constexpr std::size_t kPrefetchLines = 24;

namespace detail {

constexpr bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') <= 9u; }

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

inline constexpr std::uint64_t kPow10Int[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

/// Powers of ten that doubles hold exactly.
inline constexpr double kExactPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                           1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

using u128 = unsigned __int128;

struct Pow5Entry {
    std::uint64_t hi;
    std::uint64_t lo;
    int e;
};
#include "pow5_tables.inc"

/// w * 10^q (w > 0) correctly rounded into `out`, when a 192-bit product
/// decides it and the result is a normal double; false otherwise.
bool scale_pow10(std::uint64_t w, std::int64_t q, double& out) noexcept;

/// parse_float_field for every field, however written.
bool parse_float_general(std::string_view field, double& value);

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
                w = w * detail::kPow10Int[r] + detail::parse_eight_digits(chunk);
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

namespace detail {

inline std::uint64_t load8(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

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
    std::uint64_t exponent = std::uint64_t(180 + 1022 + 10 + t.e + q - lz) + top + carry;
    out = std::bit_cast<double>((exponent << 52) + mantissa);
    return true;
}

inline constexpr std::uint64_t kPow10U64[20] = {1ull,
                                                10ull,
                                                100ull,
                                                1000ull,
                                                10000ull,
                                                100000ull,
                                                1000000ull,
                                                10000000ull,
                                                100000000ull,
                                                1000000000ull,
                                                10000000000ull,
                                                100000000000ull,
                                                1000000000000ull,
                                                10000000000000ull,
                                                100000000000000ull,
                                                1000000000000000ull,
                                                10000000000000000ull,
                                                100000000000000000ull,
                                                1000000000000000000ull,
                                                10000000000000000000ull};

}  // namespace detail

namespace detail {

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

}  // namespace detail

/// How a request for a number field ended.
enum class NumberField : std::uint8_t {
    Value,    ///< the next field, read as a number
    Missing,  ///< the line has no further field
    Invalid,  ///< the next field is no number of the grammar
};

namespace detail {
/// Bit k set when byte k of the 16 at p is a separator.
inline unsigned separator_mask(const char* p) noexcept {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i m = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))),
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                  _mm_cmpeq_epi8(v, _mm_set1_epi8('\f'))),
                     _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}
}  // namespace detail

/// Yields the fields of one line from left to right, each a view into the line.
/// Works on blocks of 64 bytes: one bit mask of the separators per block, and
/// field boundaries found from it by counting zero bits. Finding a field does
/// not wait for the reading of the one before, so that the numbers of a line
/// are read side by side rather than one after the other.
class FieldScanner {
public:
    explicit FieldScanner(std::string_view line) noexcept
        : line_(line.data()), end_(line.data() + line.size()) {}

    /// Sets `field` to the next field and returns true, or returns false once
    /// the line is exhausted (and ever after).
    [[gnu::always_inline]] bool next(std::string_view& field) noexcept {
        // The first byte that is not a separator.
        std::uint64_t starts = ~mask_ & open_;
        while (starts == 0) [[unlikely]] {
            if (!load_next()) return false;
            starts = ~mask_;
        }
        unsigned start = static_cast<unsigned>(std::countr_zero(starts));
        const char* first = line_ + block_ + start;
        // The first separator after it; the line's end counts as one.
        std::uint64_t ends = mask_ & (~std::uint64_t{0} << start);
        while (ends == 0) {
            if (!load_next()) {
                field = std::string_view(first, static_cast<std::size_t>(end_ - first));
                return true;
            }
            ends = mask_;
        }
        unsigned stop = static_cast<unsigned>(std::countr_zero(ends));
        open_ = ~std::uint64_t{0} << stop << 1;  // continue after that separator
        field = std::string_view(first, static_cast<std::size_t>(line_ + block_ + stop - first));
        return true;
    }

    /// Takes the next field and reads it as parse_float_field does, into
    /// `value`; `field` is set to the field.
    [[gnu::always_inline]] NumberField next_number(double& value, std::string_view& field) {
        if (!next(field)) [[unlikely]]
            return NumberField::Missing;
        if (quick_number(field, value)) [[likely]]
            return NumberField::Value;
        return parse_float_field(field, value) ? NumberField::Value : NumberField::Invalid;
    }

private:
    // Moves to the next block and computes its mask; bits past the end of the
    // line are set, as if the line went on with separators. False at the end.
    [[gnu::always_inline]] bool load_next() noexcept {
        std::ptrdiff_t next = block_ + 64;
        if (next >= end_ - line_) {
            block_ = end_ - line_;  // stays finished: nothing open
            mask_ = ~std::uint64_t{0};
            open_ = 0;
            return false;
        }
        block_ = next;
        open_ = ~std::uint64_t{0};
        const char* p = line_ + next;
        std::ptrdiff_t left = end_ - p;
        if (left >= 64) {
            mask_ = detail::separator_mask(p) | std::uint64_t(detail::separator_mask(p + 16)) << 16 |
                    std::uint64_t(detail::separator_mask(p + 32)) << 32 |
                    std::uint64_t(detail::separator_mask(p + 48)) << 48;
            return true;
        }
        std::uint64_t mask = ~std::uint64_t{0} << left;  // past the line's end
        std::ptrdiff_t whole = left & ~std::ptrdiff_t{15};
        for (std::ptrdiff_t k = 0; k < whole; k += 16) mask |= std::uint64_t(detail::separator_mask(p + k)) << k;
        if (std::ptrdiff_t rest = left - whole) {
            std::uint64_t part;
            if (end_ - line_ >= 16) {
                // The line's last 16 bytes, never past its end, shifted into place.
                part = detail::separator_mask(end_ - 16) >> (16 - rest);
            } else {
                char tail[16];
                std::memset(tail, ' ', 16);
                std::memcpy(tail, p + whole, static_cast<std::size_t>(rest));  // never read past the line
                part = detail::separator_mask(tail) & ((1u << rest) - 1);
            }
            mask |= part << whole;
        }
        mask_ = mask;
        return true;
    }

    // The eight bytes from p, or those up to the line's end followed by zero
    // bytes (a zero byte is neither a digit nor a point).
    [[gnu::always_inline]] std::uint64_t word_at(const char* p) const noexcept {
        if (end_ - p >= 8) [[likely]]
            return detail::load8(p);
        std::uint64_t w = 0;
        std::memcpy(&w, p, std::size_t(end_ - p));
        return w;
    }

    // The usual field, [sign] digits '.' digits with at most 19 digits;
    // false for anything else, which parse_float_field reads. Reads the 16
    // bytes that end the field, and for a longer field its first word too;
    // the line's bounds are never crossed.
    [[gnu::always_inline]] bool quick_number(std::string_view field, double& value) const noexcept {
        const char* p = field.data();
        const char* end = p + field.size();
        unsigned c = static_cast<unsigned char>(*p);
        bool negative = c == '-';
        p += negative | (c == '+');
        std::ptrdiff_t size = end - p;  // after the sign
        std::ptrdiff_t reach = end - line_;
        __m128i raw;
        if (reach >= 16) [[likely]] {
            raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
        } else if (end_ - line_ >= 16 && size > 0) {
            // The line's first 16 bytes, moved up so that the field ends the vector.
            std::uint64_t lo = detail::load8(line_), hi = detail::load8(line_ + 8);
            detail::u128 bytes = (detail::u128(hi) << 64 | lo) << (8 * (16 - reach));
            raw = _mm_set_epi64x(std::int64_t(bytes >> 64), std::int64_t(bytes));
        } else {
            return false;
        }
        std::uint64_t mantissa;
        unsigned digits;  // after the point
        double v;
        if (size <= 16) {
            int point = detail::point_decimal(raw, unsigned(16 - size), mantissa);
            if (point < 0) return false;
            digits = unsigned(15 - point);
            v = double(mantissa) / detail::kExactPow10[digits];  // at most 15 digits: one rounding
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
            if (!detail::trailing_digits(raw, digits, low)) return false;
            unsigned whole = unsigned(point - p);
            if (whole > 3 || whole + digits > 19) return false;
            // Up to three digits before the point, moved to the top of three
            // bytes behind ASCII zeros; each byte less '0' must be 0 to 9.
            std::uint64_t head = (word_at(p) << (8 * (3 - whole)) | (0x303030 >> (8 * whole))) & 0xFFFFFF;
            std::uint64_t d = head - 0x303030;
            if (((d + 0x767676) | d) & 0x808080) return false;
            std::uint64_t integer = ((d & 0xFF) * 10 + ((d >> 8) & 0xFF)) * 10 + (d >> 16);
            mantissa = integer * detail::kPow10U64[digits] + low;
            if (!detail::scale_pow10_short(mantissa, -int(digits), v)) return false;
        }
        // The sign by its bit: no branch on data that follows no pattern.
        value = std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) | (std::uint64_t(negative) << 63));
        return true;
    }

    const char* line_;
    const char* end_;
    std::ptrdiff_t block_ = -64;  // offset of the current block; before the first load: -64
    std::uint64_t mask_ = ~std::uint64_t{0};
    std::uint64_t open_ = 0;  // the bits of the block not yet examined
};

/// What made a parser stop: the kind, the 0-based line, and the offending field
/// as a position within that line (empty for the kinds without a field).
enum class ParseFailure : std::uint8_t {
    EmptyLine,     ///< no field at all where the first field is due
    MissingField,  ///< the line ran out of fields before a required one
    BadNumber,     ///< a field that parse_float_field refuses
    BadFlag,       ///< a selective-dynamics field other than T or F
};
struct ParseError {
    ParseFailure kind;
    std::size_t line;
    std::size_t field_offset = 0;
    std::size_t field_size = 0;

    /// The offending field within `text`, the line it was found in.
    std::string_view field(std::string_view text) const noexcept {
        return text.substr(field_offset, field_size);
    }
};

/// Where a parser takes its lines from: a chunk at a time, so that a caller can
/// make each chunk just ahead of its parse.
class LineSource {
public:
    /// How many lines there are in all.
    virtual std::size_t size() const noexcept = 0;
    /// The next lines, in order; empty once all were given. The views of a chunk
    /// are valid only until the next call: a source may drop the lines between
    /// chunks, so a parser keeps nothing of them.
    virtual std::span<const std::string_view> next() = 0;

protected:
    ~LineSource() = default;
};

/// Calls parse_line(i, line) for the lines of `source` in order, asking for the
/// lines a little ahead; stops, returning false, at the first line for which
/// parse_line returns false.
template <class ParseLine>
bool each_line(LineSource& source, ParseLine&& parse_line) {
    for (std::size_t first = 0;;) {
        std::span<const std::string_view> lines = source.next();
        if (lines.empty()) return true;
        for (std::size_t k = 0; k < lines.size(); ++k) {
            prefetch_line(lines, k + kPrefetchLines);
            if (!parse_line(first + k, lines[k])) [[unlikely]]
                return false;
        }
        first += lines.size();
    }
}

/// The lines of a span, in one chunk.
class SpanLines final : public LineSource {
public:
    explicit SpanLines(std::span<const std::string_view> lines) noexcept : lines_(lines) {}
    std::size_t size() const noexcept override { return lines_.size(); }
    std::span<const std::string_view> next() override { return std::exchange(lines_, {}); }

private:
    std::span<const std::string_view> lines_;
};

/// A ParseError for `field`, a view into `line`.
inline ParseError field_error(ParseFailure kind, std::size_t line_index, std::string_view line,
                              std::string_view field) noexcept {
    return ParseError{kind, line_index, static_cast<std::size_t>(field.data() - line.data()),
                      field.size()};
}

/// Reads the next three fields of line i as numbers into out[0..2]; false, with `error`
/// describing it, at the first field that is missing or not a number.
[[gnu::always_inline]] inline bool read_three_numbers(FieldScanner& scanner, std::size_t i,
                                                      std::string_view line, double* out,
                                                      ParseError& error) {
    std::string_view field;
    for (int k = 0; k < 3; ++k) {
        NumberField got = scanner.next_number(out[k], field);
        if (got == NumberField::Missing) [[unlikely]] {
            error = ParseError{ParseFailure::MissingField, i};
            return false;
        }
        if (got == NumberField::Invalid) [[unlikely]] {
            error = field_error(ParseFailure::BadNumber, i, line, field);
            return false;
        }
    }
    return true;
}

/// Where a TextBuffer keeps its bytes. Without one, a TextBuffer keeps them in
/// a native block; a caller may supply one that writes straight into the text's
/// final home instead.
class TextStorage {
public:
    /// A block of at least `capacity` bytes whose first `size` bytes are those
    /// of the current block (none at first); sets `capacity` to the block's
    /// actual size. Throws std::bad_alloc.
    virtual char* reallocate(std::size_t size, std::size_t& capacity) = 0;

protected:
    ~TextStorage() = default;
};

/// An output text that grows geometrically; writers reserve it once up front.
class TextBuffer {
public:
    TextBuffer() noexcept = default;
    explicit TextBuffer(TextStorage& storage) noexcept : storage_(&storage) {}
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer();

    /// Makes room for `bytes` bytes in all.
    void reserve(std::size_t bytes) {
        if (bytes > cap_) reallocate(bytes);
    }
    /// Makes room for `rows` rows of `per_row` bytes and `extra` bytes besides;
    /// std::bad_alloc when that many bytes cannot exist.
    void reserve_rows(std::size_t rows, std::size_t per_row, std::size_t extra);
    /// Room for `bytes` more bytes; returns where to write them (see commit).
    char* prepare(std::size_t bytes) {
        if (cap_ - size_ < bytes) grow(bytes);
        return data_ + size_;
    }
    /// Counts `bytes` written after prepare as part of the text.
    void commit(std::size_t bytes) noexcept { size_ += bytes; }
    void append(std::string_view text);
    void push_back(char c) {
        prepare(1)[0] = c;
        ++size_;
    }
    std::string_view view() const noexcept { return {data_ ? data_ : "", size_}; }
    std::size_t size() const noexcept { return size_; }

private:
    void grow(std::size_t bytes);
    void reallocate(std::size_t capacity);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
    TextStorage* storage_ = nullptr;  // null: a native block owned here
};

/// Rows that a writer formats between two polls: a few milliseconds at most,
/// even for rows of the longest numbers.
inline constexpr std::ptrdiff_t kRowsPerPoll = 4096;

/// Calls write_row(r) for the rows r = 0 .. rows - 1 in order, polling between
/// blocks of kRowsPerPoll rows.
template <class WriteRow>
void each_row(std::ptrdiff_t rows, Poll poll, WriteRow&& write_row) {
    for (std::ptrdiff_t first = 0; first < rows; first += kRowsPerPoll) {
        if (first > 0) poll();
        std::ptrdiff_t last = rows - first < kRowsPerPoll ? rows : first + kRowsPerPoll;
        for (std::ptrdiff_t r = first; r < last; ++r) write_row(r);
    }
}

/// Bytes past the end of a text that the number writers may fill with junk
/// (overwritten by what follows, or left beyond the text): writers reserve
/// this much beyond their estimate so that the estimate is never outgrown.
inline constexpr std::size_t kWriteSlack = 16;

/// Appends `value` in fixed notation with `decimals` digits after the point,
/// exactly rounded (ties to even), right-aligned with spaces to `width`.
void format_fixed(TextBuffer& out, double value, unsigned decimals, unsigned width);

/// Appends `value` in decimal, right-aligned with spaces to `width`; never cut.
void append_padded_integer(TextBuffer& out, std::uint64_t value, unsigned width);

enum class Align { Left, Right };

/// Appends UTF-8 `text` unchanged, padded with spaces to `width` code points.
void append_padded_text(TextBuffer& out, std::string_view text, unsigned width, Align align);

/// Number of code points in valid UTF-8 text.
std::size_t count_code_points(std::string_view utf8) noexcept;

/// The first of 0x7F, 0xFF, 0xFFFF and 0x10FFFF that no code point of the
/// valid UTF-8 `texts` exceeds: which of the fixed-width forms, one byte a
/// character (ASCII, then Latin-1), two or four, holds them all.
char32_t widest_char_bound(std::span<const std::string_view> texts) noexcept;

/// Rewrites valid UTF-8 whose code points are all below 0x100 as one byte a
/// code point, in place (never longer than the UTF-8); returns the new size.
std::size_t narrow_utf8_in_place(char* text, std::size_t size) noexcept;

/// Writes the code points of valid UTF-8 `utf8` to `out`, one unit each:
/// count_code_points(utf8) units, each wide enough for every code point.
void widen_utf8(std::string_view utf8, std::uint16_t* out) noexcept;
void widen_utf8(std::string_view utf8, std::uint32_t* out) noexcept;

}  // namespace kestrix::scribe
