#pragma once
// Numbers written as text: fixed notation, exactly rounded, and padded
// integers. Digits are stored a word at a time, so writers reserve
// kWriteSlack bytes beyond what they write.

#include <cstdint>

#include "text_buffer.hpp"

namespace kestrix::scribe {

/// Appends `value` in fixed notation with `decimals` digits after the point,
/// exactly rounded (ties to even), right-aligned with spaces to `width`.
void format_fixed(TextBuffer& out, double value, unsigned decimals, unsigned width);

/// Appends `value` in decimal, right-aligned with spaces to `width`; never cut.
void append_padded_integer(TextBuffer& out, std::uint64_t value, unsigned width);

}  // namespace kestrix::scribe
