#pragma once
// The scan of a centre atom against the Items of one offset row: runs of
// uniform bins tested whole, large runs and bins Chunk by Chunk behind the box
// tests, and mixed bins, whose entries each carry their own shift S.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>

#include "cell_list_scan.hpp"
#include "cell_list_scan_atom.hpp"
#include "cell_list_scan_kernels.hpp"

namespace kestrix::vicinal::detail {

/// Tests one atom at a time against lists of Items and writes its rows, in the
/// order the items are given, through the kernel set `Kernels`.
template <class Keep, class Kernels>
class BinVisits : public AtomScan {
public:
    BinVisits(const ScanSetup& setup, const Bins& bins, Keep& keep, RowSink& sink)
        : AtomScan(setup, bins, sink), keep_(keep) {}

    /// Rows the search found, kept or not.
    u64 search_rows() const noexcept { return Keep::kAll ? rows_ : searched_; }

    /// The items of one offset row of the current atom, all with quotients q.
    /// The item tests are inlined here: a call per item costs the short runs.
    void visit(const Item* items, std::size_t count, const i64 q[3]) {
        quotients_ = q;
        for (std::size_t k = 0; k < count; ++k) visit_item(items[k]);
        check_row_limit();
    }

protected:
    void check_row_limit() const {
        if (search_rows() > sink_.max_rows()) throw std::bad_alloc();
    }

    Keep& keep_;

private:
    // Runs shorter than this are tested whole; longer ones, and large bins,
    // chunk by chunk behind the box tests.
    static constexpr std::size_t kPruneRun = 64;
    static constexpr u64 kAhead = 64;  // rows between a prefetch and the write

    [[gnu::always_inline]] void visit_item(const Item& it) {
        switch (it.kind) {
            case Item::Kind::kRun:
            case Item::Kind::kLarge:
                use_shift(it.shift);
                if (it.end - it.start < kPruneRun) test_range(it.start, it.end - it.start);
                else visit_chunks(it.chunk_begin, it.chunk_end);
                return;
            case Item::Kind::kMixed:
                visit_mixed(*it.slot);
                return;
        }
    }

    /// The chunks [first, end) of bins with one shift: only those whose box is
    /// in reach are tested, consecutive ones together.
    void visit_chunks(std::size_t first, std::size_t end) {
        for (std::size_t c = first; c < end; c += 64) {
            std::size_t len = end - c < 64 ? end - c : 64;
            u64 live = Kernels::chunk_mask(bins_, c, len, visit_);
            while (live) {
                unsigned k = static_cast<unsigned>(__builtin_ctzll(live));
                u64 rest = ~(live >> k);
                unsigned run = rest ? static_cast<unsigned>(__builtin_ctzll(rest)) : 64 - k;
                const Bins::Chunk& a = bins_.chunk(c + k);
                const Bins::Chunk& b = bins_.chunk(c + k + run - 1);
                test_range(a.start, b.start + b.count - a.start);
                live = k + run >= 64 ? 0 : live & (~u64{0} << (k + run));
            }
        }
    }

    [[gnu::always_inline]] void test_range(std::size_t start, std::size_t count) {
        sink_.reserve(rows_ + count);
        if (rows_ + kAhead + 3 < sink_.capacity()) {
            // Rows are written in order: ask for the lines a few rows ahead.
            const RowCursor& w = sink_.cursor();
            const u64 ahead = rows_ + kAhead;
            __builtin_prefetch(w.first + ahead, 1);
            __builtin_prefetch(w.second + ahead, 1);
            __builtin_prefetch(w.length + ahead, 1);
            __builtin_prefetch(w.vector + 3 * ahead, 1);
            __builtin_prefetch(w.shift + 3 * ahead, 1);
            __builtin_prefetch(w.vector + 3 * ahead + 8, 1);
            __builtin_prefetch(w.shift + 3 * ahead + 8, 1);
        }
        std::size_t skip = visit_.skip_self ? centre_entry_ : kNoEntry;
        rows_ = Kernels::emit(bins_, start, count, visit_, skip, sink_.cursor(), rows_, keep_, searched_);
    }

    /// A bin whose atoms come from different periods: S differs per atom.
    void visit_mixed(const Bins::Slot& slot) {
        double tlo[3], thi[3];
        bool prune = shift_bounds(slot, tlo, thi);
        sink_.reserve(rows_ + slot.count);
        const RowCursor& w = sink_.cursor();
        for (std::size_t c = slot.chunk_begin; c < slot.chunk_end; ++c) {
            const Bins::Chunk& ch = bins_.chunk(c);
            if (prune && out_of_reach(ch.lo, ch.hi, visit_.centre, tlo, thi, visit_.cutoff2)) continue;
            for (std::size_t k = ch.start; k < ch.start + ch.count; ++k) {
                i64 s[3];
                neighbour_shift(&bins_.shift[3 * k], s);
                if (!setup_.self_interaction && k == centre_entry_ && s[0] == 0 && s[1] == 0 && s[2] == 0)
                    continue;
                double t[3];
                translations_.of(s, t);
                double dx = (bins_.x[k] - visit_.centre[0]) + t[0];
                double dy = (bins_.y[k] - visit_.centre[1]) + t[1];
                double dz = (bins_.z[k] - visit_.centre[2]) + t[2];
                double d2 = (dx * dx + dy * dy) + dz * dz;
                if (!(d2 < visit_.cutoff2)) continue;
                i64 j = bins_.idx[k];
                double d = std::sqrt(d2);
                if (!keeps(keep_, searched_, visit_.atom, k, j, d)) continue;
                w.put(rows_++, visit_.atom, j, d, dx, dy, dz, s[0], s[1], s[2]);
            }
        }
    }

    /// Bounds T over the shifts of a mixed bin; false when S may wrap there.
    bool shift_bounds(const Bins::Slot& slot, double tlo[3], double thi[3]) const {
        i64 lo[3], hi[3];
        for (int k = 0; k < 3; ++k) {
            i128 base = static_cast<i128>(centre_shift_[k]) + quotients_[k];
            i128 a = base - slot.shift_max[k], b = base - slot.shift_min[k];
            if (a < INT64_MIN || b > INT64_MAX) return false;
            lo[k] = static_cast<i64>(a);
            hi[k] = static_cast<i64>(b);
        }
        translations_.box(lo, hi, tlo, thi);
        return true;
    }
};

}  // namespace kestrix::vicinal::detail
