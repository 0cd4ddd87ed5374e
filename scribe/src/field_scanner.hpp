#pragma once
// Cutting a line into its fields (separators found 64 bytes at a time), and
// reading the next fields of a line as numbers.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <emmintrin.h>
#include <string_view>

#include "float_parse.hpp"
#include "line_source.hpp"
#include "short_number.hpp"

namespace kestrix::scribe {

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
        if (detail::read_short_number(field, line_, end_, value)) [[likely]]
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

    const char* line_;
    const char* end_;
    std::ptrdiff_t block_ = -64;  // offset of the current block; before the first load: -64
    std::uint64_t mask_ = ~std::uint64_t{0};
    std::uint64_t open_ = 0;  // the bits of the block not yet examined
};

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

}  // namespace kestrix::scribe
