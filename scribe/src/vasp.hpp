#pragma once
// VASP text blocks: the POSCAR/CONTCAR position block with optional
// selective-dynamics letters, and one XDATCAR configuration block. Plain C++:
// lines come in as UTF-8 views, results go out as owned buffers.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "kestrix/buffer.hpp"
#include "kestrix/views.hpp"
#include "line_source.hpp"
#include "text_buffer.hpp"

namespace kestrix::scribe {

/// A parsed POSCAR position block: N x 3 coordinates and, with selective
/// dynamics, N x 3 flags (true: the letter F, frozen), both row-major.
struct PoscarBlock {
    OwnedBuffer<double> positions;
    std::optional<OwnedBuffer<bool>> flags;
};

/// Parses one atom line per item of `lines`; with `selective`, up to three
/// T/F letters follow the coordinates. The first failing line decides.
std::variant<PoscarBlock, ParseError> parse_poscar_positions(LineSource& lines, bool selective);
inline std::variant<PoscarBlock, ParseError> parse_poscar_positions(
    std::span<const std::string_view> lines, bool selective) {
    SpanLines source(lines);
    return parse_poscar_positions(source, selective);
}

/// Appends the position block of columns 0..2 of `coord`, with the letters of
/// `flags` (of coord's shape, checked by the caller) when given. Calls `poll`
/// between blocks of rows.
void format_poscar_positions(TextBuffer& out, Strided2D<double> coord,
                             std::optional<Strided2D<bool>> flags, Poll poll = {});

/// Parses the N coordinate lines of one XDATCAR frame into N x 3 values.
std::variant<OwnedBuffer<double>, ParseError> parse_xdatcar_coords(LineSource& lines);
inline std::variant<OwnedBuffer<double>, ParseError> parse_xdatcar_coords(
    std::span<const std::string_view> lines) {
    SpanLines source(lines);
    return parse_xdatcar_coords(source);
}

/// Appends one XDATCAR configuration block: the header line with `index`,
/// then columns 0..2 of each row of `scaled_positions`. Calls `poll` between
/// blocks of rows.
void format_xdatcar_config(TextBuffer& out, Strided2D<double> scaled_positions,
                           std::uint64_t index, Poll poll = {});

}  // namespace kestrix::scribe
