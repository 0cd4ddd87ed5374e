// The steps that turn a cell and positions into binned atoms: the cell's
// geometry, the atoms' Cartesian positions, the grid's bin counts and reaches,
// and each atom's bin and whole-period shift, on the cell's own grid or on a
// frame across its periodic rows.

#include "cell_list_grid.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "kestrix/saturate.hpp"

namespace kestrix::vicinal::detail {

CellGeometry cell_geometry(const Cell& c) {
    CellGeometry g;
    g.cross = {cross(c[1], c[2]), cross(c[2], c[0]), cross(c[0], c[1])};
    g.det = dot(c[0], g.cross[0]);
    g.volume = std::fabs(g.det);
    for (int k = 0; k < 3; ++k) g.height[k] = g.volume / std::sqrt(dot(g.cross[k], g.cross[k]));
    return g;
}

Atoms place_atoms(Arena& arena, const SearchInput& in, const Cell& c) {
    Atoms atoms;
    const std::size_t n = static_cast<std::size_t>(in.positions.rows);
    atoms.count = n;
    atoms.position = arena.alloc<double>(3 * n);
    atoms.finite = arena.alloc<std::uint8_t>(n);
    const auto& pos = in.positions;
    for (std::size_t a = 0; a < n; ++a) {
        auto row = static_cast<std::ptrdiff_t>(a);
        double* p = &atoms.position[3 * a];
        if (in.use_scaled_positions) {
            double s[3];
            for (int k = 0; k < 3; ++k) s[k] = pos(row, k);
            for (int x = 0; x < 3; ++x)
                p[x] = ((0.0 + s[0] * c[0][x]) + s[1] * c[1][x]) + s[2] * c[2][x];
        } else {
            for (int x = 0; x < 3; ++x) p[x] = pos(row, x);
        }
        // An atom with a non-finite coordinate has a NaN or infinite D in every
        // row, so it can never be listed.
        bool ok = std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
        atoms.finite[a] = ok;
        atoms.finite_count += ok;
    }
    return atoms;
}

void size_grid(Grid& grid, const SearchInput& in, double cutoff, u64 margin) {
    grid.bin_length = cutoff > 3.0 ? cutoff : 3.0;
    u64* bins = grid.bins;
    for (int k = 0; k < 3; ++k) bins[k] = std::max<u64>(saturating_u64(grid.height[k] / grid.bin_length), 1);
    // A cap of 0 can never be met; it is read as 1.
    u64 cap = in.max_nbins == 0 ? 1 : in.max_nbins;
    for (;;) {
        unsigned __int128 prod = static_cast<unsigned __int128>(bins[0]) * bins[1], total;
        bool over = __builtin_mul_overflow(prod, static_cast<unsigned __int128>(bins[2]), &total);
        if (!over && total <= cap) break;
        for (int k = 0; k < 3; ++k) bins[k] = std::max<u64>(bins[k] / 2, 1);
    }
    for (int k = 0; k < 3; ++k) {
        u64 reach = saturating_u64(std::ceil((static_cast<double>(bins[k]) * grid.bin_length) / grid.height[k]));
        reach = reach < ~u64{0} - margin ? reach + margin : ~u64{0};
        if (!in.pbc[k] && bins[k] == 1) reach = 0;
        grid.reach[k] = reach;
    }
}

bool grid_is_regular(const Grid& grid, const std::array<bool, 3>& pbc) {
    for (int k = 0; k < 3; ++k)
        if (pbc[k] && !(grid.height[k] > 0.0 && std::isfinite(grid.height[k]) && grid.reach[k] < kTopBit))
            return false;
    return true;
}

/// With a volume not tiny beside the rows' lengths, the heights hold to a few
/// ulps and the rounding of T stays below 10^-5 of |T|; |T| is at least
/// |S_k|·h_k on every axis, so 2^62 heights beyond the cutoff leave no such row.
bool self_images_fit_surely(const Grid& grid, const Cell& cell, const std::array<bool, 3>& pbc,
                            double cutoff) {
    if (!grid_is_regular(grid, pbc)) return false;
    double lengths = 1.0;
    for (const auto& row : cell)
        lengths *= 1.7320508075688772 *
                   std::max({std::fabs(row[0]), std::fabs(row[1]), std::fabs(row[2])});
    if (!(lengths > 0.0 && std::isfinite(lengths) && grid.volume >= 0x1p-30 * lengths)) return false;
    for (int k = 0; k < 3; ++k)
        if (pbc[k] && !(grid.height[k] * 0x1p62 > cutoff)) return false;
    return true;
}

/// An infinite height from a zero cross product, with scaled input that
/// spreads the atoms along it all the same.
bool open_axis_unscanned(const Binning& binning, const Atoms& atoms, const std::array<bool, 3>& pbc) {
    const Grid& grid = binning.grid;
    for (int k = 0; k < 3; ++k) {
        if (pbc[k] || grid.bins[k] == 1 || grid.reach[k] != 0) continue;
        bool seen = false;
        u64 first = 0;
        for (std::size_t a = 0; a < atoms.count; ++a) {
            if (!atoms.finite[a]) continue;
            u64 c = binning.coord[3 * a + k];
            if (seen && c != first) return true;
            first = c;
            seen = true;
        }
    }
    return false;
}

namespace {

/// Whether S = shift_i + q - shift_j fits in int64 for shifts `span` apart and
/// every quotient q the scan can use on axis k.
bool shift_span_fits(const Grid& grid, i128 span, int k) {
    // An axis with a reach of 2^63 or more is scanned within windows of
    // quotients below kExtendedLimit, or not at all.
    i128 q = grid.reach[k] >= kTopBit ? static_cast<i128>(kExtendedLimit)
                                      : static_cast<i128>(grid.reach[k] / grid.bins[k]) + 2;
    return span + q < static_cast<i128>(kTopBit);
}

/// bin_atoms() for atoms more than 2^62 periods out: shifts from the exact
/// floor of n·s, moved by the middle of their range.
template <class Scaled>
bool rebase_shifts(Binning& binning, const Atoms& atoms, const std::array<bool, 3>& pbc, Scaled& scaled) {
    constexpr double kFar = 0x1p120;
    const u64* bins = binning.grid.bins;
    std::vector<i128> wide(3 * atoms.count, 0);
    i128 lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    bool first = true;
    for (std::size_t a = 0; a < atoms.count; ++a) {
        if (!atoms.finite[a]) continue;
        double s[3];
        scaled(a, s);
        for (int k = 0; k < 3; ++k) {
            if (!pbc[k]) continue;
            double f = std::floor(static_cast<double>(bins[k]) * s[k]);
            if (!(std::fabs(f) < kFar)) return false;
            i128 v = static_cast<i128>(f), nk = static_cast<i128>(bins[k]);
            i128 q = floor_div(v, nk);
            wide[3 * a + k] = q;
            binning.coord[3 * a + k] = static_cast<u64>(v - nk * q);
            lo[k] = first ? q : std::min(lo[k], q);
            hi[k] = first ? q : std::max(hi[k], q);
        }
        first = false;
    }
    for (int k = 0; k < 3; ++k) {
        if (!pbc[k]) continue;
        if (!shift_span_fits(binning.grid, hi[k] - lo[k], k)) return false;
        i128 middle = lo[k] + (hi[k] - lo[k]) / 2;
        for (std::size_t a = 0; a < atoms.count; ++a)
            binning.shift[3 * a + k] = atoms.finite[a] ? static_cast<i64>(wide[3 * a + k] - middle) : 0;
    }
    return true;
}

/// Bins every atom from its scaled coordinates, scaled(a, s): the bin
/// coordinates and, on periodic axes, the whole periods removed. Shifts are
/// moved by a common amount per axis when they would not fit in int64 (S is a
/// difference of shifts, so no row changes); false when the atoms lie too many
/// periods apart for every S to fit.
template <class Scaled>
bool bin_atoms(Binning& binning, const Atoms& atoms, const std::array<bool, 3>& pbc, Scaled&& scaled) {
    constexpr double kSafe = 0x1p62;  // beyond, v may saturate and S overflow
    const u64* bins = binning.grid.bins;
    i64* shift = binning.shift;
    u64* coord = binning.coord;
    i64 lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    bool first = true, wide = false;
    for (std::size_t a = 0; a < atoms.count; ++a) {
        double s[3];
        scaled(a, s);
        for (int k = 0; k < 3; ++k) {
            double f = std::floor(static_cast<double>(bins[k]) * s[k]);
            i64 v = saturating_i64(f);
            i128 nk = static_cast<i128>(bins[k]);
            if (pbc[k]) {
                i128 q = floor_div(v, nk);
                shift[3 * a + k] = static_cast<i64>(q);
                coord[3 * a + k] = static_cast<u64>(static_cast<i128>(v) - nk * q);
                wide |= atoms.finite[a] && !(std::fabs(f) < kSafe);
            } else {
                shift[3 * a + k] = 0;
                coord[3 * a + k] = v < 0 ? 0 : static_cast<u64>(std::min<i128>(v, nk - 1));
            }
        }
        if (!atoms.finite[a]) continue;
        for (int k = 0; k < 3; ++k) {
            i64 q = shift[3 * a + k];
            lo[k] = first ? q : std::min(lo[k], q);
            hi[k] = first ? q : std::max(hi[k], q);
        }
        first = false;
    }
    if (wide) return rebase_shifts(binning, atoms, pbc, scaled);
    for (int k = 0; k < 3; ++k)
        if (pbc[k] && !shift_span_fits(binning.grid, static_cast<i128>(hi[k]) - lo[k], k)) return false;
    return true;
}

}  // namespace

/// Scaled coordinates of the cell grid: the input rows, or computed from the
/// Cartesian ones through the inverse cell.
bool bin_in_cell_grid(Binning& binning, const Atoms& atoms, const CellGeometry& geometry,
                      const SearchInput& in) {
    if (in.use_scaled_positions) {
        const auto& pos = in.positions;
        return bin_atoms(binning, atoms, in.pbc, [&](std::size_t a, double s[3]) {
            for (int k = 0; k < 3; ++k) s[k] = pos(static_cast<std::ptrdiff_t>(a), k);
        });
    }
    double inv = 1.0 / geometry.det;
    double inv_cols[3][3];
    for (int k = 0; k < 3; ++k)
        for (int x = 0; x < 3; ++x) inv_cols[k][x] = geometry.cross[k][x] * inv;
    return bin_atoms(binning, atoms, in.pbc, [&](std::size_t a, double s[3]) {
        const double* p = &atoms.position[3 * a];
        for (int k = 0; k < 3; ++k) {
            const double* X = inv_cols[k];
            s[k] = (p[0] * X[0] + p[1] * X[1]) + p[2] * X[2];
        }
    });
}

/// A margin of two offsets covers the rounding of the frame's coordinates.
bool bin_in_frame(Binning& binning, const Atoms& atoms, const BinFrame& frame,
                  const SearchInput& in, double cutoff) {
    Grid& grid = binning.grid;
    for (int k = 0; k < 3; ++k) grid.height[k] = frame.height[k];
    size_grid(grid, in, cutoff, 2);
    if (in.pbc[0] && in.pbc[1] && in.pbc[2]) grid.volume = frame.volume;
    return bin_atoms(binning, atoms, in.pbc, [&](std::size_t a, double s[3]) {
        for (int k = 0; k < 3; ++k) s[k] = frame.coordinate(&atoms.position[3 * a], k);
    });
}

}  // namespace kestrix::vicinal::detail
