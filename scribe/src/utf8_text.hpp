#pragma once
// UTF-8 text as Python strs need it: code points counted, the widest one
// bounded, narrowed to one byte or widened to two or four bytes a character;
// and text padded to a width in code points.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "text_buffer.hpp"

namespace kestrix::scribe {

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
