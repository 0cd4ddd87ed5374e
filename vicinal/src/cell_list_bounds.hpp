#pragma once
// Rigorous bounds for the cell-list search: which lattice shifts can still give
// a row (so that hopeless offsets are never scanned), and how many rows a
// search must produce at least (so that a hopeless result fails before it
// fills memory). Every bound covers the rounding of the search's own
// floating-point formulas; when it cannot be made sound it is not given.

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrix::vicinal::detail {

/// The 3x3 cell block, rows are lattice vectors.
using Cell = std::array<std::array<double, 3>, 3>;

/// The translation t = S·cell of a cell shift S, in the one order of rounding
/// that the search and its overflow witness must share.
inline void translation(const Cell& cell, const double s[3], double t[3]) noexcept {
    for (int x = 0; x < 3; ++x) t[x] = (s[0] * cell[0][x] + s[1] * cell[1][x]) + s[2] * cell[2][x];
}

/// Bounds, per periodic axis, the bin-shift quotient q that any row of atom i can
/// use: with z_a = atom_shift(a) - p(a)·Y (Y a verified right inverse of the
/// periodic rows), a row (i, j, S) needs q in z_j - z_i ± rho.
class ShiftWindow {
public:
    /// Prepares the bounds from the finite atoms' Cartesian positions p (3 per atom)
    /// and bin shifts; `finite[a]` marks atoms that can be in a row. Returns false
    /// (and stays unusable) when no sound bound exists.
    bool prepare(const Cell& cell, const std::array<bool, 3>& pbc, double cutoff,
                 const double* p, const std::int64_t* shift, const std::uint8_t* finite,
                 std::size_t n_atoms, const std::array<bool, 3>& axes);
    bool usable() const noexcept { return usable_; }
    /// Real bounds [lo, hi] on q along `axis` for rows of atom a; false when the
    /// atom's own values are too large to bound.
    bool q_bounds(const double* p_a, const std::int64_t* shift_a, int axis, double& lo,
                  double& hi) const noexcept;

private:
    bool zeta(const double* p_a, const std::int64_t* shift_a, int axis, double& value,
              double& err) const noexcept;

    bool usable_ = false;
    std::array<bool, 3> axes_{};
    std::array<std::array<double, 3>, 3> y_cols_{};  // column of Y per cell axis
    std::array<double, 3> rho_{};
    std::array<double, 3> zeta_min_{};
    std::array<double, 3> zeta_max_{};
};

/// A lower bound on the rows (i, i, S != 0) that every atom with finite
/// coordinates has, counting only shifts with |S_k| <= q_max[k] on the periodic
/// axes (those the search visits). 0 when nothing sound can be said.
double self_image_rows(const Cell& cell, const std::array<bool, 3>& pbc, double cutoff,
                       const std::array<double, 3>& q_max);

/// Whether every finite atom has a row (i, i, S) with a component of S beyond
/// int64: a periodic lattice vector so short that 2^63 of it fit in the cutoff.
bool self_image_beyond_int64(const Cell& cell, const std::array<bool, 3>& pbc, double cutoff);

}  // namespace kestrix::vicinal::detail
