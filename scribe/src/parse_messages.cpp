// The ValueError texts of the three parsers.

#include "parse_messages.hpp"

#include <string>

#include "float_parse.hpp"
#include "kestrix/binding.hpp"

namespace kestrix::scribe {

using binding::raise_value_error;

namespace {

std::string quoted_failure(const ParseError& e, std::string_view line, const char* before,
                           const char* after) {
    std::string m = before;
    m += e.field(line);
    m += after;
    m += std::to_string(e.line);
    m += ": ";
    m += kInvalidFloatLiteral;
    return m;
}

}  // namespace

[[noreturn]] void raise_xyz_error(const ParseError& e, std::string_view line) {
    std::string i = std::to_string(e.line);
    switch (e.kind) {
    case ParseFailure::EmptyLine:
        raise_value_error("XYZ: empty line at atom index " + i);
    case ParseFailure::MissingField:
        raise_value_error("XYZ: not enough position fields on atom line " + i);
    default:
        raise_value_error(quoted_failure(e, line, "XYZ: cannot parse coordinate '", "' on line "));
    }
}

[[noreturn]] void raise_poscar_error(const ParseError& e, std::string_view line) {
    std::string i = std::to_string(e.line);
    switch (e.kind) {
    case ParseFailure::BadFlag:
        raise_value_error("POSCAR: expected selective dynamics flag 'T' or 'F', got '" +
                          std::string(e.field(line)) + "' on atom line " + i);
    case ParseFailure::BadNumber:
        raise_value_error(
            quoted_failure(e, line, "POSCAR: cannot parse coordinate '", "' on atom line "));
    default:
        raise_value_error("POSCAR: not enough fields on atom line " + i + " (need 3 coordinates)");
    }
}

[[noreturn]] void raise_xdatcar_error(const ParseError& e, std::string_view line) {
    if (e.kind == ParseFailure::BadNumber)
        raise_value_error(quoted_failure(e, line, "XDATCAR: cannot parse '", "' on line "));
    raise_value_error("XDATCAR: not enough fields on coordinate line " + std::to_string(e.line));
}

}  // namespace kestrix::scribe
