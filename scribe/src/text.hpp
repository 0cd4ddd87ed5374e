#pragma once
// Text rules shared by the XYZ, POSCAR and XDATCAR blocks: cutting a line into
// fields, the number grammar, fixed-point output and padding. Plain C++, no
// Python: fields are views into lines that the caller keeps alive.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <emmintrin.h>
#include <string_view>

#include "kestrix/buffer.hpp"

namespace kestrix::scribe {

/// The one failure text of parse_float_field.
inline constexpr std::string_view kInvalidFloatLiteral = "invalid float literal";

/// Space, tab, line feed, form feed and carriage return; nothing else.
constexpr bool is_separator(unsigned char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

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
/// field boundaries found from it by counting zero bits.
class FieldScanner {
public:
    explicit FieldScanner(std::string_view line) noexcept
        : line_(line.data()), size_(static_cast<std::ptrdiff_t>(line.size())) {}

    /// Sets `field` to the next field and returns true, or returns false once
    /// the line is exhausted (and ever after).
    bool next(std::string_view& field) noexcept {
        // The first byte that is not a separator.
        std::uint64_t starts;
        while ((starts = ~mask_ & from(pos_)) == 0) {
            if (!load_next()) return false;
        }
        unsigned start = static_cast<unsigned>(__builtin_ctzll(starts));
        const char* first = line_ + block_ + start;
        // The first separator after it; the line's end counts as one.
        std::uint64_t ends;
        while ((ends = mask_ & from(start)) == 0) {
            if (!load_next()) {
                field = std::string_view(first, static_cast<std::size_t>(line_ + size_ - first));
                return true;
            }
            start = 0;
        }
        unsigned stop = static_cast<unsigned>(__builtin_ctzll(ends));
        pos_ = stop + 1;  // continue after that separator
        const char* last = line_ + block_ + stop;
        field = std::string_view(first, static_cast<std::size_t>(last - first));
        return true;
    }

private:
    static std::uint64_t from(unsigned k) noexcept { return k < 64 ? ~std::uint64_t{0} << k : 0; }

    // Moves to the next block and computes its mask; bits past the end of the
    // line are set, as if the line went on with separators. False at the end.
    bool load_next() noexcept {
        std::ptrdiff_t next = block_ + 64;
        if (next >= size_) {
            block_ = size_;  // stays finished
            mask_ = ~std::uint64_t{0};
            pos_ = 64;
            return false;
        }
        block_ = next;
        pos_ = 0;
        const char* p = line_ + next;
        std::ptrdiff_t left = size_ - next;
        std::uint64_t mask = 0;
        for (int k = 0; k < 4; ++k, p += 16, left -= 16) {
            std::uint64_t part;
            if (left >= 16) {
                part = detail::separator_mask(p);
            } else if (left > 0 && size_ >= 16) {
                // The line's last 16 bytes, never past its end, shifted into place.
                unsigned shift = static_cast<unsigned>(16 - left);
                part = (detail::separator_mask(line_ + size_ - 16) >> shift) | (0xFFFFu << left);
                part &= 0xFFFF;
            } else if (left > 0) {
                char tail[16];
                std::memset(tail, ' ', 16);
                std::memcpy(tail, p, static_cast<std::size_t>(left));  // never read past the line
                part = detail::separator_mask(tail);
            } else {
                part = 0xFFFF;
            }
            mask |= part << (16 * k);
        }
        mask_ = mask;
        return true;
    }

    const char* line_;
    std::ptrdiff_t size_;
    std::ptrdiff_t block_ = -64;  // offset of the current block; before the first load: -64
    std::uint64_t mask_ = ~std::uint64_t{0};
    unsigned pos_ = 64;  // next bit of the block to examine
};

/// Asks for the first bytes of line k ahead of their use: each line is a
/// separate heap object, so their reads are a stream of cache misses otherwise.
inline void prefetch_line(std::span<const std::string_view> lines, std::size_t k) noexcept {
    if (k < lines.size()) {
        __builtin_prefetch(lines[k].data());
        __builtin_prefetch(lines[k].data() + 64);
    }
}

/// How many lines ahead the parsers prefetch.
inline constexpr std::size_t kPrefetchLines = 8;

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

/// A ParseError for `field`, a view into `line`.
inline ParseError field_error(ParseFailure kind, std::size_t line_index, std::string_view line,
                              std::string_view field) noexcept {
    return ParseError{kind, line_index, static_cast<std::size_t>(field.data() - line.data()),
                      field.size()};
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

}  // namespace kestrix::scribe
