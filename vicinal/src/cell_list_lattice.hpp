#pragma once
// The periodic lattice of a cell, seen apart from its open axes: whether the
// periodic rows are linearly dependent (exactly, on the float64 values), and a
// frame to bin atoms in when the cell's own grid is degenerate.

#include <array>
#include <cstddef>
#include <cstdint>

#include "cell_list_bounds.hpp"

namespace kestrix::vicinal::detail {

/// Whether the periodic rows of `cell` are linearly dependent in exact
/// arithmetic: a zero row, two rows with a zero cross product, or three rows
/// with a zero determinant. No tolerance: nearly dependent rows are independent.
bool periodic_rows_dependent(const Cell& cell, const std::array<bool, 3>& pbc);

/// Coordinates to bin atoms by, s_k = (p·dual[k] - origin[k])·scale[k]. On a
/// periodic axis s_k counts periods of cell row k, as the cell's own scaled
/// coordinates do; an open axis is replaced by a direction across the periodic
/// rows, with s_k in [0, 1] over the given atoms. `height` is the distance
/// between the faces of each axis, `volume` that of the periodic cell when
/// every axis is periodic.
struct BinFrame {
    double dual[3][3];
    double origin[3];
    double scale[3];
    double height[3];
    double volume;

    double coordinate(const double* p, int k) const noexcept {
        const double* y = dual[k];
        return (((p[0] * y[0] + p[1] * y[1]) + p[2] * y[2]) - origin[k]) * scale[k];
    }
};

/// The frame for periodic rows that are linearly independent, scaled by powers
/// of two inside so that no intermediate overflows or underflows; false when
/// no finite frame exists. `finite[a]` marks the atoms that count.
bool make_bin_frame(const Cell& cell, const std::array<bool, 3>& pbc, const double* p,
                    const std::uint8_t* finite, std::size_t n_atoms, BinFrame& frame);

}  // namespace kestrix::vicinal::detail
