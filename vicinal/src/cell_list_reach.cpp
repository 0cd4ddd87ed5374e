// The offsets each atom can reach on a binned grid: the windows that narrow
// the long-reach axes, one atom's offset box, and their total over the atoms.

#include <cmath>

#include "cell_list_grid.hpp"

namespace kestrix::vicinal::detail {
namespace {

constexpr double kTwo64 = 18446744073709551616.0;

}  // namespace

Fit prepare_windows(Binning& binning, const Atoms& atoms, const Cell& cell,
                    const std::array<bool, 3>& pbc, double cutoff) {
    const Grid& grid = binning.grid;
    bool any_extended = false;
    for (int k = 0; k < 3; ++k) {
        // Only a single-bin axis can have a long reach: n >= 2 means h >= 2·bin_length.
        binning.windowed[k] = pbc[k] && grid.bins[k] == 1 && grid.reach[k] > 2;
        binning.extended[k] = pbc[k] && grid.reach[k] >= kTopBit;
        if (binning.extended[k] && grid.bins[k] != 1) return Fit::kTooLarge;
        any_extended |= binning.extended[k];
    }
    if (!(binning.windowed[0] || binning.windowed[1] || binning.windowed[2])) return Fit::kFits;
    bool ok = binning.window.prepare(cell, pbc, cutoff, atoms.position, binning.shift, atoms.finite,
                                     atoms.count, binning.windowed);
    if (!any_extended) return Fit::kFits;
    // A reach of 2^63 or more: only a provably small set of shifts can be
    // listed; without that proof the list cannot be computed.
    if (!ok) return Fit::kTooLarge;
    for (std::size_t a = 0; a < atoms.count; ++a) {
        if (!atoms.finite[a]) continue;
        for (int k = 0; k < 3; ++k) {
            i64 s = binning.shift[3 * a + k];
            if (s > kExtendedLimit || s < -kExtendedLimit) return Fit::kTooLarge;
        }
    }
    // Every finite atom is scanned, so one whose window is missing or too wide
    // sinks the search whenever it comes: it is found here, before the scan.
    i64 lo[3], hi[3];
    for (std::size_t a = 0; a < atoms.count; ++a)
        if (atoms.finite[a] && atom_reach(binning, atoms, pbc, a, lo, hi) == Reach::kTooLarge)
            return Fit::kTooLarge;
    return Fit::kFits;
}

Reach atom_reach(const Binning& binning, const Atoms& atoms, const std::array<bool, 3>& pbc,
                 std::size_t a, i64 lo_out[3], i64 hi_out[3]) {
    const Grid& grid = binning.grid;
    for (int k = 0; k < 3; ++k) {
        i128 r = grid.reach[k], n = grid.bins[k], c = binning.coord[3 * a + k];
        i128 lo = -r, hi = r;
        if (!pbc[k]) {
            // Open axis: a wrapped bin has q != 0 and so S != 0 there.
            lo = std::max(lo, -c);
            hi = std::min(hi, n - 1 - c);
        } else if (binning.windowed[k]) {
            const bool extended = binning.extended[k];
            double qlo, qhi;
            bool ok = binning.window.q_bounds(&atoms.position[3 * a], &binning.shift[3 * a], k, qlo, qhi);
            // The same wrapped shift S recurs 2^64 quotients away; only a
            // window that cannot alias that way is used.
            if (ok && !extended)
                ok = qlo + kTwo64 > static_cast<double>(r) + 4.0 &&
                     qhi - kTwo64 < -static_cast<double>(r) - 4.0;
            if (ok && std::fabs(qlo) < 1e30 && std::fabs(qhi) < 1e30) {
                i128 ql = static_cast<i128>(std::ceil(qlo)), qh = static_cast<i128>(std::floor(qhi));
                lo = std::max(lo, ql * n - c);
                hi = std::min(hi, qh * n + n - 1 - c);
            } else if (extended) {
                return Reach::kTooLarge;
            }
            if (extended && lo <= hi && (lo < -kExtendedLimit || hi > kExtendedLimit))
                return Reach::kTooLarge;
        }
        if (lo > hi) return Reach::kNone;
        lo_out[k] = static_cast<i64>(lo);
        hi_out[k] = static_cast<i64>(hi);
    }
    return Reach::kBox;
}

double planned_offsets(const Binning& binning, const Atoms& atoms, const std::array<bool, 3>& pbc) {
    double total = 0.0;
    for (std::size_t a = 0; a < atoms.count; ++a) {
        i64 lo[3], hi[3];
        if (!atoms.finite[a] || atom_reach(binning, atoms, pbc, a, lo, hi) != Reach::kBox) continue;
        double box = 1.0;
        for (int k = 0; k < 3; ++k) box *= static_cast<double>(static_cast<i128>(hi[k]) - lo[k] + 1);
        total += box;
    }
    return total;
}

}  // namespace kestrix::vicinal::detail
