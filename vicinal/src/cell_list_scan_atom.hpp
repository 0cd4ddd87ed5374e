#pragma once
// The scanner's state while it scans one centre atom: where the atom is, the
// Visit under way (shift S and translation T of the entries tested), the rows
// written and the work done so far. The translations T = S·cell are computed
// here, from a cache for the shifts nearly every Visit uses.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cell_list_scan.hpp"
#include "cell_list_scan_kernels.hpp"

namespace kestrix::vicinal::detail {

/// An atom about to be scanned, with the offsets that can give it rows.
struct CentreAtom {
    i64 index;
    std::size_t entry;  // in the bin arrays
    i64 lo[3], hi[3];
};

/// T = S·cell, rounded in one fixed order.
class Translations {
public:
    explicit Translations(const Cell& cell) : cell_(cell) {
        for (int s2 = -kCached; s2 <= kCached; ++s2)
            for (int s1 = -kCached; s1 <= kCached; ++s1)
                for (int s0 = -kCached; s0 <= kCached; ++s0) {
                    i64 s[3] = {s0, s1, s2};
                    compute(s, cache_[cache_index(s)]);
                }
    }

    void of(const i64 s[3], double t[3]) const {
        if (cached(s)) std::memcpy(t, cache_[cache_index(s)], 3 * sizeof(double));
        else compute(s, t);
    }

    /// The box of T over the shifts lo..hi. Each term S_k·cell[k][x] is monotone
    /// in S_k, in the direction of the sign of cell[k][x]; the rounded sums keep
    /// that order.
    void box(const i64 lo[3], const i64 hi[3], double tlo[3], double thi[3]) const {
        const Cell& c = cell_;
        for (int x = 0; x < 3; ++x) {
            double l[3], h[3];
            for (int k = 0; k < 3; ++k) {
                bool up = c[k][x] >= 0.0;
                l[k] = static_cast<double>(up ? lo[k] : hi[k]);
                h[k] = static_cast<double>(up ? hi[k] : lo[k]);
            }
            tlo[x] = (l[0] * c[0][x] + l[1] * c[1][x]) + l[2] * c[2][x];
            thi[x] = (h[0] * c[0][x] + h[1] * c[1][x]) + h[2] * c[2][x];
        }
    }

private:
    static constexpr int kCached = 1;  // |S_k| up to this come from the cache

    static int cache_index(const i64 s[3]) {
        return static_cast<int>((s[0] + kCached) +
                                (2 * kCached + 1) * ((s[1] + kCached) + (2 * kCached + 1) * (s[2] + kCached)));
    }
    static bool cached(const i64 s[3]) {
        return s[0] >= -kCached && s[0] <= kCached && s[1] >= -kCached && s[1] <= kCached &&
               s[2] >= -kCached && s[2] <= kCached;
    }
    void compute(const i64 s[3], double t[3]) const {
        const double shift[3] = {static_cast<double>(s[0]), static_cast<double>(s[1]), static_cast<double>(s[2])};
        translation(cell_, shift, t);
    }

    const Cell& cell_;
    double cache_[27][3];
};

/// One centre atom at a time: its Visit, and the rows and work it adds up to.
class AtomScan {
public:
    AtomScan(const ScanSetup& setup, const Bins& bins, RowSink& sink)
        : setup_(setup), bins_(bins), sink_(sink), translations_(setup.cell) {}

    /// Rows written so far (the search's rows when the policy keeps all).
    u64 rows() const noexcept { return rows_; }

    void begin_atom(const CentreAtom& ca) {
        visit_.atom = ca.index;
        centre_entry_ = ca.entry;
        visit_.centre[0] = bins_.x[ca.entry];
        visit_.centre[1] = bins_.y[ca.entry];
        visit_.centre[2] = bins_.z[ca.entry];
        for (int k = 0; k < 3; ++k) centre_shift_[k] = bins_.shift[3 * ca.entry + k];
        visit_.cutoff2 = setup_.cutoff2;
    }

    /// Accounts for work done outside visit() and polls every ~10^6 units.
    void add_work(u64 units) {
        work_ += units;
        if (work_ >= kPollEvery) {
            work_ = 0;
            setup_.poll();
        }
    }

protected:
    static constexpr std::size_t kNoEntry = ~std::size_t{0};

    /// S of a neighbour entry carrying `shift` in the current offset row. Two's
    /// complement wrap: the shift arithmetic overflows for atoms some 10^19
    /// periods away.
    void neighbour_shift(const i64 shift[3], i64 s[3]) const {
        for (int k = 0; k < 3; ++k)
            s[k] = static_cast<i64>(static_cast<u64>(centre_shift_[k]) + static_cast<u64>(quotients_[k]) -
                                    static_cast<u64>(shift[k]));
    }

    /// Sets S and T of the Visit for neighbours carrying `shift`.
    void use_shift(const i64 shift[3]) {
        neighbour_shift(shift, visit_.shift);
        translations_.of(visit_.shift, visit_.translation);
        visit_.skip_self = !setup_.self_interaction && visit_.shift[0] == 0 && visit_.shift[1] == 0 &&
                           visit_.shift[2] == 0;
    }

    const ScanSetup& setup_;
    const Bins& bins_;
    RowSink& sink_;
    Translations translations_;
    Visit visit_{};
    std::size_t centre_entry_ = 0;
    i64 centre_shift_[3] = {};
    const i64* quotients_ = nullptr;  // of the offset row being visited
    u64 rows_ = 0;
    u64 searched_ = 0;  // rows the search found, kept or not, when a policy filters
    u64 work_ = 0;

private:
    static constexpr u64 kPollEvery = u64{1} << 20;
};

}  // namespace kestrix::vicinal::detail
