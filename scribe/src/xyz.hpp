#pragma once
// XYZ atom lines: a symbol and three Cartesian coordinates per atom. Plain C++:
// lines come in as UTF-8 views, results go out as owned buffers.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kestrix/buffer.hpp"
#include "kestrix/views.hpp"
#include "line_source.hpp"
#include "text_buffer.hpp"

namespace kestrix::scribe {

/// Appends to `out` the symbol form of `field` (valid UTF-8, not empty): the
/// full Unicode 17.0 lowercase mapping with the final-sigma rule, then the
/// full uppercase mapping of the first character.
void normalize_symbol(std::string_view field, std::string& out);

/// Distinct symbols, each stored once, and which one each line carries.
struct SymbolTable {
    std::string text;               ///< the distinct symbols, concatenated
    std::vector<std::size_t> ends;  ///< end of distinct symbol k within text
    OwnedBuffer<std::uint32_t> ids; ///< per line: index of its distinct symbol

    std::size_t distinct() const noexcept { return ends.size(); }
    std::string_view symbol(std::size_t k) const noexcept {
        std::size_t begin = k ? ends[k - 1] : 0;
        return std::string_view(text).substr(begin, ends[k] - begin);
    }
};

/// A parsed XYZ block: N symbols and N x 3 positions in row-major order.
struct XyzBlock {
    SymbolTable symbols;
    OwnedBuffer<double> positions;
};

/// Parses one atom line per item of `lines`; the first failing line decides.
std::variant<XyzBlock, ParseError> parse_xyz_block(LineSource& lines);
inline std::variant<XyzBlock, ParseError> parse_xyz_block(std::span<const std::string_view> lines) {
    SpanLines source(lines);
    return parse_xyz_block(source);
}

/// Appends the XYZ atom lines of `symbols` (written unchanged) and columns 0..2
/// of `positions`, whose rows must number symbols.size(). Rows with fewer than
/// three columns are an internal failure. Calls `poll` between blocks of rows.
void format_xyz_block(TextBuffer& out, std::span<const std::string_view> symbols,
                      Strided2D<double> positions, Poll poll = {});

}  // namespace kestrix::scribe
