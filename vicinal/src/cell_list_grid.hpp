#pragma once
// The values a search is prepared from, and the functions that build them: the
// cell's geometry, the atoms' Cartesian positions, a bin grid, the atoms binned
// on it, and the offsets each atom can reach there. Private to cell_list*.cpp.

#include <array>
#include <cstddef>
#include <cstdint>

#include "cell_list.hpp"
#include "cell_list_bounds.hpp"
#include "cell_list_lattice.hpp"
#include "cell_list_scan.hpp"
#include "kestrix/vec3.hpp"

namespace kestrix::vicinal::detail {

inline constexpr u64 kTopBit = u64{1} << 63;
// Offsets, shifts and quotients of an extended reach stay below this, so that
// their sums never wrap.
inline constexpr i64 kExtendedLimit = i64{1} << 61;

/// Whether a search's result, or the work to find it, can fit in memory. The
/// steps that decide it say so with this value; only CellSearch::prepare()
/// turns kTooLarge into an error.
enum class Fit : bool { kFits, kTooLarge };

/// Floor division of integers (toward negative infinity), b > 0.
inline i128 floor_div(i128 a, i128 b) {
    i128 q = a / b;
    if (a % b != 0 && ((a < 0) != (b < 0))) --q;
    return q;
}

/// The cell's row cross products (bc, ca, ab), its determinant, and the
/// distances between opposite faces.
struct CellGeometry {
    std::array<Vec, 3> cross{};
    double det = 0.0;
    double volume = 0.0;
    double height[3] = {};
};
CellGeometry cell_geometry(const Cell& cell);

/// The atoms as the search reads them: Cartesian positions, 3 per atom, and
/// which atoms have finite coordinates (no other can be in a row).
struct Atoms {
    std::size_t count = 0;
    double* position = nullptr;
    std::uint8_t* finite = nullptr;
    std::size_t finite_count = 0;
};
Atoms place_atoms(Arena& arena, const SearchInput& in, const Cell& cell);

/// A bin grid: per axis the height it divides, the bin count and the reach in
/// bins; `volume` is that of the periodic cell, for the row estimate.
struct Grid {
    double height[3] = {};
    double bin_length = 3.0;
    double volume = 0.0;
    u64 bins[3] = {1, 1, 1};
    u64 reach[3] = {0, 0, 0};
};

/// Bin counts and reaches from grid.height; `margin` more offsets on every
/// axis that is scanned beyond offset 0.
void size_grid(Grid& grid, const SearchInput& in, double cutoff, u64 margin);

/// Whether every periodic axis has a finite, positive height and a reach below
/// 2^63: the grid the search is defined on.
bool grid_is_regular(const Grid& grid, const std::array<bool, 3>& pbc);

/// Whether no row (i, i, S) can have a shift beyond int64, from the cell grid alone.
bool self_images_fit_surely(const Grid& grid, const Cell& cell, const std::array<bool, 3>& pbc,
                            double cutoff);

/// The atoms binned on a grid, and the windows that narrow the quotients of
/// its long-reach axes.
struct Binning {
    Grid grid;
    i64* shift = nullptr;  // 3 per atom: the whole periods removed
    u64* coord = nullptr;  // 3 per atom: the bin
    ShiftWindow window;
    std::array<bool, 3> windowed{};
    std::array<bool, 3> extended{};  // a reach of 2^63 or more
};

/// Bins the atoms by the cell's scaled coordinates; false when they lie too
/// many periods apart for every shift to fit in int64.
bool bin_in_cell_grid(Binning& binning, const Atoms& atoms, const CellGeometry& geometry,
                      const SearchInput& in);

/// Sizes binning.grid on `frame` (its other fields as the cell grid left
/// them) and bins the atoms there; false as bin_in_cell_grid().
bool bin_in_frame(Binning& binning, const Atoms& atoms, const BinFrame& frame,
                  const SearchInput& in, double cutoff);

/// Whether atoms lie in different bins of an open axis that the grid never
/// scans across.
bool open_axis_unscanned(const Binning& binning, const Atoms& atoms, const std::array<bool, 3>& pbc);

/// Sets the windows of the long-reach axes. kTooLarge where an axis reaches
/// 2^63 bins or more and no provably small set of shifts bounds every atom's
/// offsets there.
Fit prepare_windows(Binning& binning, const Atoms& atoms, const Cell& cell,
                    const std::array<bool, 3>& pbc, double cutoff);

/// The offsets of one atom that can give rows: none, a box, or too many to
/// scan (only on an extended axis, which prepare_windows() has ruled out).
enum class Reach { kNone, kBox, kTooLarge };
Reach atom_reach(const Binning& binning, const Atoms& atoms, const std::array<bool, 3>& pbc,
                 std::size_t a, i64 lo[3], i64 hi[3]);

/// The offsets the scan would visit, summed over the atoms.
double planned_offsets(const Binning& binning, const Atoms& atoms, const std::array<bool, 3>& pbc);

/// Calls f(base, e_first, e_last, q, o) for the offset rows of a centre bin with
/// coordinates c and offsets lo..hi on a grid of `bins`, in emission order: o2
/// slowest, then o1, then along axis 0 the runs of bins e0, e0 + 1, ... that end
/// where the grid wraps and q0 steps up. o holds (o0 of the run's first bin,
/// o1, o2). Stops early when f returns false.
template <class F>
void each_row(const u64 bins[3], const u64* c, const i64 lo[3], const i64 hi[3], F&& f) {
    u64 e_start[3];
    i64 q_start[3];
    for (int k = 0; k < 3; ++k) {
        i128 t = static_cast<i128>(c[k]) + lo[k];
        i128 q = floor_div(t, static_cast<i128>(bins[k]));
        q_start[k] = static_cast<i64>(q);
        e_start[k] = static_cast<u64>(t - q * static_cast<i128>(bins[k]));
    }
    const u64 n0 = bins[0];
    const u64 count0 = static_cast<u64>(static_cast<i128>(hi[0]) - lo[0]) + 1;
    u64 e2 = e_start[2];
    i64 q[3], o[3];
    q[2] = q_start[2];
    for (o[2] = lo[2];; ++o[2]) {
        u64 e1 = e_start[1];
        q[1] = q_start[1];
        for (o[1] = lo[1];; ++o[1]) {
            u64 base = n0 * (e1 + bins[1] * e2);
            u64 e0 = e_start[0], left = count0;
            o[0] = lo[0];
            q[0] = q_start[0];
            for (;;) {
                u64 len = std::min(left, n0 - e0);
                if (!f(base, e0, e0 + len - 1, static_cast<const i64*>(q), static_cast<const i64*>(o)))
                    return;
                left -= len;
                if (left == 0) break;
                o[0] += static_cast<i64>(len);
                e0 = 0;
                ++q[0];
            }
            if (o[1] == hi[1]) break;
            if (++e1 == bins[1]) {
                e1 = 0;
                ++q[1];
            }
        }
        if (o[2] == hi[2]) break;
        if (++e2 == bins[2]) {
            e2 = 0;
            ++q[2];
        }
    }
}

}  // namespace kestrix::vicinal::detail
