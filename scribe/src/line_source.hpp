#pragma once
// Where parsers take their lines from (LineSource, a chunk at a time), the
// loop that walks them, and how a parser reports the line that stopped it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

namespace kestrix::scribe {

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

/// The lines of a span, in one chunk.
class SpanLines final : public LineSource {
public:
    explicit SpanLines(std::span<const std::string_view> lines) noexcept : lines_(lines) {}
    std::size_t size() const noexcept override { return lines_.size(); }
    std::span<const std::string_view> next() override { return std::exchange(lines_, {}); }

private:
    std::span<const std::string_view> lines_;
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
inline constexpr std::size_t kPrefetchLines = 24;

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

}  // namespace kestrix::scribe
