// Parsing and formatting of the POSCAR position block and of one XDATCAR
// configuration.

#include "vasp.hpp"

#include <cstring>

#include "field_scanner.hpp"
#include "fixed_format.hpp"

namespace kestrix::scribe {
namespace {

// The coordinate columns a writer reads; a row too short is an internal failure.
void require_three_columns(Strided2D<double> a) {
    if (a.rows > 0 && a.cols < 3) panic(kIndexOutOfBounds);
}

}  // namespace

std::variant<PoscarBlock, ParseError> parse_poscar_positions(LineSource& source, bool selective) {
    std::size_t n = source.size();
    PoscarBlock block;
    block.positions = OwnedBuffer<double>::uninitialised(n * 3);
    bool* flags = nullptr;
    if (selective) {
        block.flags = OwnedBuffer<bool>::zeroed(n * 3);
        flags = block.flags->data();
    }
    double* out = block.positions.data();
    ParseError error{};
    bool ok = each_line(source, [&](std::size_t i, std::string_view line) {
        FieldScanner scanner(line);
        if (!read_three_numbers(scanner, i, line, out + 3 * i, error)) return false;
        if (!selective) return true;
        // Up to three letters; a line may carry fewer, the rest stay false.
        std::string_view field;
        for (int c = 0; c < 3 && scanner.next(field); ++c) {
            if (field == "F") {
                flags[3 * i + c] = true;
            } else if (field != "T") {
                error = field_error(ParseFailure::BadFlag, i, line, field);
                return false;
            }
        }
        return true;
    });
    if (!ok) return error;
    return block;
}

void format_poscar_positions(TextBuffer& out, Strided2D<double> coord,
                             std::optional<Strided2D<bool>> flags, Poll poll) {
    if (coord.rows == 0) return;
    require_three_columns(coord);
    out.reserve_rows(std::size_t(coord.rows), flags ? 73 : 61, kWriteSlack);
    each_row(coord.rows, poll, [&](std::ptrdiff_t r) {
        for (int k = 0; k < 3; ++k) {
            out.push_back(' ');
            format_fixed(out, coord(r, k), 16, 19);
        }
        if (flags) {
            char* p = out.prepare(12);
            for (int k = 0; k < 3; ++k) {
                std::memcpy(p + 4 * k, "   T", 4);
                if ((*flags)(r, k)) p[4 * k + 3] = 'F';
            }
            out.commit(12);
        }
        out.push_back('\n');
    });
}

std::variant<OwnedBuffer<double>, ParseError> parse_xdatcar_coords(LineSource& source) {
    std::size_t n = source.size();
    auto coords = OwnedBuffer<double>::uninitialised(n * 3);
    double* out = coords.data();
    ParseError error{};
    bool ok = each_line(source, [&](std::size_t i, std::string_view line) {
        FieldScanner scanner(line);
        return read_three_numbers(scanner, i, line, out + 3 * i, error);
    });
    if (!ok) return error;
    return coords;
}

void format_xdatcar_config(TextBuffer& out, Strided2D<double> scaled_positions,
                           std::uint64_t index, Poll poll) {
    out.reserve_rows(std::size_t(scaled_positions.rows), 40, 30 + kWriteSlack);
    out.append("Direct configuration=");
    append_padded_integer(out, index, 6);
    out.push_back('\n');
    require_three_columns(scaled_positions);
    each_row(scaled_positions.rows, poll, [&](std::ptrdiff_t r) {
        out.append("  ");
        for (int k = 0; k < 3; ++k) {
            if (k) out.push_back(' ');
            format_fixed(out, scaled_positions(r, k), 8, 11);
        }
        out.push_back('\n');
    });
}

}  // namespace kestrix::scribe
