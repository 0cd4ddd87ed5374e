#pragma once
// The ValueError texts of the three parsers, raised from a ParseError and the
// text of the line it names.

#include <string_view>

#include "line_source.hpp"

namespace kestrix::scribe {

[[noreturn]] void raise_xyz_error(const ParseError& e, std::string_view line);
[[noreturn]] void raise_poscar_error(const ParseError& e, std::string_view line);
[[noreturn]] void raise_xdatcar_error(const ParseError& e, std::string_view line);

}  // namespace kestrix::scribe
