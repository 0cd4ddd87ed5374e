#pragma once
// The whole scanner: the Item visits of cell_list_scan_bins.hpp and, for a
// grid of one bin, the sweep of a centre atom's whole offset box. There S = o,
// and T = (o0·c0 + o1·c1) + o2·c2 is built from per-axis terms kept in Lanes:
// one offset each, tested four at a time against every entry of the bin.

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

#include "cell_list_scan.hpp"
#include "cell_list_scan_bins.hpp"
#include "cell_list_scan_kernels.hpp"

namespace kestrix::vicinal::detail {

/// The terms o·c[k] of the sweep's translations per axis k and coordinate,
/// for up to kLanes consecutive offsets of each axis.
class LaneTable {
public:
    static constexpr u64 kLanes = 64;

    explicit LaneTable(const Cell& cell) : cell_(cell) {}

    double term(int k, i64 o, int x) const { return static_cast<double>(o) * cell_[k][x]; }
    const double* lane(int k, int x) const { return lanes_[k][x]; }
    double at(int k, int x, u64 l) const { return lanes_[k][x][l]; }

    /// The lanes of axis k: offsets first .. first + len - 1 (len <= kLanes),
    /// zero up to the next multiple of four.
    void fill(int k, i64 first, u64 len) {
        for (u64 l = 0; l < len; ++l) {
            i64 o = static_cast<i64>(static_cast<u64>(first) + l);
            for (int x = 0; x < 3; ++x) lanes_[k][x][l] = term(k, o, x);
        }
        for (u64 l = len; l % 4 != 0; ++l)
            for (int x = 0; x < 3; ++x) lanes_[k][x][l] = 0.0;
    }

    /// The reach test of the lanes of axis k for the box [box_lo, box_hi], the
    /// other terms in [inner_lo, inner_hi] and `outer`.
    ReachTest reach_test(int k, u64 lanes, const double* box_lo, const double* box_hi, const double inner_lo[3],
                         const double inner_hi[3], const double outer[3], double cutoff2) const {
        ReachTest t{{lanes_[k][0], lanes_[k][1], lanes_[k][2]}, lanes, {}, {}, {}, box_lo, box_hi, cutoff2};
        for (int x = 0; x < 3; ++x) {
            t.inner_lo[x] = inner_lo[x];
            t.inner_hi[x] = inner_hi[x];
            t.outer[x] = outer[x];
        }
        return t;
    }

    /// Both ends of term(k, ·, x) over the offsets lo..hi: each term is
    /// monotone in its offset.
    void range(int k, i64 lo, i64 hi, double tlo[3], double thi[3]) const {
        for (int x = 0; x < 3; ++x) {
            double u = term(k, lo, x), v = term(k, hi, x);
            tlo[x] = u < v ? u : v;
            thi[x] = u < v ? v : u;
        }
    }

private:
    const Cell& cell_;
    double lanes_[3][3][kLanes];
};

/// The bin of a one-bin grid relative to the centre atom, with the range of
/// the translation terms of each axis over the atom's offset box.
struct SweepBox {
    double lo[3], hi[3];          // the bin's box relative to the atom
    double term_lo[3][3], term_hi[3][3];  // per axis k and coordinate
    u64 width[3];                 // offsets per axis

    /// Whether the box stays out of reach for every T = (t0 + t1) + a2 with
    /// t0, t1 in the given ranges: the rounded sums are monotone, so the
    /// corners bound every rounded D.
    bool out_of_reach(const double t0lo[3], const double t0hi[3], const double t1lo[3], const double t1hi[3],
                      const double a2[3], double cutoff2) const {
        double m[3];
        for (int x = 0; x < 3; ++x) {
            double l = lo[x] + ((t0lo[x] + t1lo[x]) + a2[x]);
            double h = hi[x] + ((t0hi[x] + t1hi[x]) + a2[x]);
            m[x] = (l > 0.0 ? l : 0.0) + (h < 0.0 ? -h : 0.0);
        }
        return (m[0] * m[0] + m[1] * m[1]) + m[2] * m[2] >= cutoff2;
    }
};

/// The lowest set bit of a non-zero mask, cleared there.
inline unsigned take_lowest(u64& mask) {
    const unsigned bit = static_cast<unsigned>(__builtin_ctzll(mask));
    mask &= mask - 1;
    return bit;
}

template <class Keep, class Kernels>
class Scanner : public BinVisits<Keep, Kernels> {
    using Base = BinVisits<Keep, Kernels>;
    using Base::bins_, Base::check_row_limit, Base::centre_entry_, Base::keep_, Base::kNoEntry, Base::rows_,
        Base::searched_, Base::setup_, Base::sink_, Base::visit_;

public:
    using Base::add_work;

    /// The most atoms a one-bin grid may hold for sweep_atom().
    static constexpr std::size_t kSweepAtoms = 16;

    Scanner(const ScanSetup& setup, const Bins& bins, Keep& keep, RowSink& sink)
        : Base(setup, bins, keep, sink), lanes_(setup.cell) {}

    /// The whole offset box lo..hi of the current atom when the grid is one bin
    /// and `it` is all of it: at most kSweepAtoms atoms with the atom's own
    /// shift, so that S = q = o. Planes, rows and blocks of offsets whose
    /// translations all keep the bin's box out of reach are skipped.
    void sweep_atom(const Item& it, const i64 lo[3], const i64 hi[3]) {
        const std::size_t m = it.end - it.start;
        const double* col[3] = {bins_.x, bins_.y, bins_.z};
        double delta[3][kSweepAtoms];
        SweepBox box;
        for (int x = 0; x < 3; ++x) {
            for (std::size_t k = 0; k < m; ++k) delta[x][k] = col[x][it.start + k] - visit_.centre[x];
            box.lo[x] = it.lo[x] - visit_.centre[x];
            box.hi[x] = it.hi[x] - visit_.centre[x];
        }
        bool fits = true;
        for (int k = 0; k < 3; ++k) {
            lanes_.range(k, lo[k], hi[k], box.term_lo[k], box.term_hi[k]);
            box.width[k] = static_cast<u64>(hi[k]) - static_cast<u64>(lo[k]) + 1;
            fits = fits && box.width[k] <= LaneTable::kLanes;
        }
        const std::size_t self_entry = centre_entry_ - it.start;
        SweepRow r{{lanes_.lane(0, 0), lanes_.lane(0, 1), lanes_.lane(0, 2)}, 0, ~u64{0}, {}, {},
                   {delta[0], delta[1], delta[2]}, m, visit_.cutoff2};
        if (!fits) {
            sweep_atom_wide(r, it, lo, hi, box);
            return;
        }
        const u64* width = box.width;
        for (int k = 0; k < 3; ++k) lanes_.fill(k, lo[k], width[k]);
        r.lanes = width[0];
        double inner_lo[3], inner_hi[3];
        const double zero[3] = {0.0, 0.0, 0.0};
        for (int x = 0; x < 3; ++x) {
            inner_lo[x] = box.term_lo[0][x] + box.term_lo[1][x];
            inner_hi[x] = box.term_hi[0][x] + box.term_hi[1][x];
        }
        u64 planes = Kernels::reach_mask(reach_test(2, width[2], box, inner_lo, inner_hi, zero));
        add_work(width[2]);
        while (planes) {
            const unsigned plane = take_lowest(planes);
            const i64 o2 = static_cast<i64>(static_cast<u64>(lo[2]) + plane);
            for (int x = 0; x < 3; ++x) r.plane_term[x] = lanes_.at(2, x, plane);
            u64 rows = Kernels::reach_mask(
                reach_test(1, width[1], box, box.term_lo[0], box.term_hi[0], r.plane_term));
            add_work(width[1]);
            while (rows) {
                const unsigned row = take_lowest(rows);
                const i64 o1 = static_cast<i64>(static_cast<u64>(lo[1]) + row);
                for (int x = 0; x < 3; ++x) r.row_term[x] = lanes_.at(1, x, row);
                if (m >= kTrimEntries) {
                    // Enough entries per offset that testing the box per offset pays.
                    r.live = Kernels::reach_mask(
                        reach_test(0, width[0], box, r.row_term, r.row_term, r.plane_term));
                }
                sweep_lanes(r, it, lo[0], o1, o2, self_row(o1, o2) ? self_entry : kNoEntry);
                add_work(width[0] * (m + 1));
            }
        }
    }

private:
    static constexpr std::size_t kTrimEntries = 4;

    bool self_row(i64 o1, i64 o2) const { return !setup_.self_interaction && o1 == 0 && o2 == 0; }

    ReachTest reach_test(int k, u64 lanes, const SweepBox& box, const double inner_lo[3],
                         const double inner_hi[3], const double outer[3]) const {
        return lanes_.reach_test(k, lanes, box.lo, box.hi, inner_lo, inner_hi, outer, visit_.cutoff2);
    }

    /// sweep_atom() when an offset range is wider than kLanes: plane by plane and
    /// row by row, each row in stretches of kLanes offsets.
    void sweep_atom_wide(SweepRow& r, const Item& it, const i64 lo[3], const i64 hi[3], const SweepBox& box) {
        constexpr u64 kLanes = LaneTable::kLanes;
        const std::size_t m = it.end - it.start;
        const std::size_t self_entry = centre_entry_ - it.start;
        const u64 width0 = box.width[0];
        for (i64 o2 = lo[2];; ++o2) {
            for (int x = 0; x < 3; ++x) r.plane_term[x] = lanes_.term(2, o2, x);
            if (!box.out_of_reach(box.term_lo[0], box.term_hi[0], box.term_lo[1], box.term_hi[1], r.plane_term,
                                  visit_.cutoff2)) {
                for (i64 o1 = lo[1];; ++o1) {
                    for (int x = 0; x < 3; ++x) r.row_term[x] = lanes_.term(1, o1, x);
                    for (u64 first = 0;; first += kLanes) {
                        u64 len = width0 - first < kLanes ? width0 - first : kLanes;
                        i64 o0 = static_cast<i64>(static_cast<u64>(lo[0]) + first);
                        i64 o0_last = static_cast<i64>(static_cast<u64>(o0) + (len - 1));
                        double slo[3], shi[3];
                        lanes_.range(0, o0, o0_last, slo, shi);
                        if (!box.out_of_reach(slo, shi, r.row_term, r.row_term, r.plane_term, visit_.cutoff2)) {
                            lanes_.fill(0, o0, len);
                            r.lanes = len;
                            sweep_lanes(r, it, o0, o1, o2, self_row(o1, o2) ? self_entry : kNoEntry);
                            add_work(len * (m + 1));
                        } else {
                            add_work(1);
                        }
                        if (width0 - first <= kLanes) break;
                    }
                    if (o1 == hi[1]) break;
                }
            } else {
                add_work(1);
            }
            if (o2 == hi[2]) break;
        }
    }

    /// One row's lanes through the sweep kernel, writing its rows; lane l is the
    /// offset o0 + l. `self_entry` is the atom's own entry when this row holds
    /// S = 0 (and self pairs are not listed), else kNoEntry.
    void sweep_lanes(const SweepRow& r, const Item& it, i64 o0, i64 o1, i64 o2, std::size_t self_entry) {
        // The lane whose S is zero, when there is one in reach.
        u64 self_lane = self_entry == kNoEntry ? ~u64{0} : u64{0} - static_cast<u64>(o0);
        auto emit = [&](std::size_t g, u64 mask, const SweepBlock& b) {
            if (self_lane - g < 4) mask &= ~(u64{1} << (16 * (self_lane - g) + self_entry));
            if (!mask) return;
            sink_.reserve(rows_ + 64);
            // Locals, so that the row count and cursors stay in registers.
            const RowCursor w = sink_.cursor();
            const i64 i = visit_.atom;
            const i64* idx = bins_.idx + it.start;
            const u64 s0 = static_cast<u64>(o0) + g;
            u64 n = rows_, found = 0;
            while (mask) {
                const unsigned bit = static_cast<unsigned>(__builtin_ctzll(mask));
                mask &= mask - 1;
                const unsigned l = bit >> 4, k = bit & 15, at = 4 * k + l;
                const double d = _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(b.d2[at])));
                const i64 j = idx[k];
                if (!keeps(keep_, found, i, it.start + k, j, d)) continue;
                w.put(n++, i, j, d, b.dx[at], b.dy[at], b.dz[at], static_cast<i64>(s0 + l), o1, o2);
            }
            rows_ = n;
            searched_ += found;
        };
        Kernels::sweep_lanes(r, emit);
        check_row_limit();
    }

    LaneTable lanes_;
};

}  // namespace kestrix::vicinal::detail
