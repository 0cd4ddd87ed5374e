// The scan pass of the cell-list search: every atom in index order through the
// scanner, for each keep policy, on the one kernel set chosen per search. The
// scanner's headers are compiled here only, so that its hot kernels inline
// into this file's instances.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "cell_list_keep.hpp"
#include "cell_list_scan.hpp"
#include "cell_list_scan_kernels.hpp"
#include "cell_list_scan_sweep.hpp"
#include "cell_list_search.hpp"
#if !defined(KESTRIX_VICINAL_SCALAR_ONLY)
#include "cell_list_scan_avx2.hpp"
#endif

namespace kestrix::vicinal::detail {
namespace {

#if !defined(KESTRIX_VICINAL_SCALAR_ONLY)
bool cpu_has_avx2() noexcept {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

/// Calls f with the kernel set of this search: the AVX2 one where the
/// processor runs it, unless the build asks for the scalar kernels only (CI
/// compares both builds, bit for bit).
template <class F>
decltype(auto) with_kernels(F&& f) {
#if defined(KESTRIX_VICINAL_SCALAR_ONLY)
    return f(ScalarKernels{});
#else
    if (cpu_has_avx2()) return f(Avx2Kernels{});
    return f(ScalarKernels{});
#endif
}

}  // namespace

/// Scans one atom: through its bin's plan, or row by row on its own.
template <class Scan>
void CellSearch::scan_atom(std::size_t a, Scan& scanner) {
    CentreAtom ca;
    ca.index = static_cast<i64>(a);
    ca.entry = bins_.atom_entry(a);
    if (!atom_ranges(a, ca.lo, ca.hi)) return;
    std::size_t s = bins_.entry_slot(ca.entry);
    if (plan_state_[s] == kUnplanned) build_plan(s);
    scanner.begin_atom(ca);
    scanner.add_work(empty_work_);
    empty_work_ = 0;
    if (plan_state_[s] == kPlanned) {
        for (std::size_t p = plan_begin_[s]; p < plan_end_[s]; ++p) {
            const Plan& plan = plans_[p];
            bool outside = false;
            for (int k = 0; k < 3; ++k)
                outside |= binning_.windowed[k] && (plan.o[k] < ca.lo[k] || plan.o[k] > ca.hi[k]);
            if (outside) continue;
            scanner.visit(plan_items_.data() + plan.item_begin, plan.item_end - plan.item_begin, plan.q);
            scanner.add_work(plan.work);
        }
        return;
    }
    const u64* c = &binning_.coord[3 * a];
    if (plan_state_[s] == kSingleBin) {
        u64 m = single_item_.end - single_item_.start;
        // The bin holds the atom, so a uniform bin carries the atom's own shift
        // and S = o; the test states what sweep_atom() relies on.
        const i64* own = &bins_.shift[3 * ca.entry];
        if (single_item_.kind == Item::Kind::kRun && m <= Scan::kSweepAtoms && own[0] == single_item_.shift[0] &&
            own[1] == single_item_.shift[1] && own[2] == single_item_.shift[2]) {
            scanner.sweep_atom(single_item_, ca.lo, ca.hi);
            return;
        }
        u64 work = 1 + m;
        each_row(c, ca.lo, ca.hi, [&](u64, u64, u64, const i64* q, const i64*) {
            scanner.visit(&single_item_, 1, q);
            scanner.add_work(work);
            return true;
        });
        return;
    }
    each_row(c, ca.lo, ca.hi, [&](u64 base, u64 e_first, u64 e_last, const i64* q, const i64*) {
        row_items_.clear();
        u64 work = make_items(bins_, base, e_first, e_last, row_items_);
        if (!row_items_.empty()) scanner.visit(row_items_.data(), row_items_.size(), q);
        for (const auto& it : row_items_) work += it.end - it.start;
        scanner.add_work(work);
        return true;
    });
}

// One pass, atom by atom in index order: each atom's rows are appended in its
// offsets' order, which is the search's order, so the lists need no sort.
template <class Keep>
PairList CellSearch::scan(Keep& keep) {
    RowSink sink(row_limit());
    // Small guesses too: a result that outgrows a malloc block is copied.
    sink.reserve_guess(std::max<u64>(std::min(estimate_rows(), row_limit()), 256));
    ScanSetup setup{cell_, cutoff_ * cutoff_, in_.self_interaction, in_.poll};
    std::size_t slots = bins_.slot_count();
    plan_state_ = arena_.alloc_zeroed<std::uint8_t>(slots);
    static_assert(kUnplanned == 0);
    plan_begin_ = arena_.alloc_zeroed<std::size_t>(slots);
    plan_end_ = arena_.alloc_zeroed<std::size_t>(slots);
    // Room for every bin's plan when the reach is small, so that it never moves
    // (a one-bin grid has no plans).
    const u64 *reach = binning_.grid.reach, *bins = binning_.grid.bins;
    double width0 = 2.0 * static_cast<double>(reach[0]) + 1.0;
    double per_bin = (2.0 * static_cast<double>(reach[1]) + 1.0) * (2.0 * static_cast<double>(reach[2]) + 1.0) *
                     std::min(width0, std::ceil(width0 / static_cast<double>(bins[0])) + 1.0);
    if (per_bin * static_cast<double>(slots) <= 1e6 && !(bins[0] == 1 && bins[1] == 1 && bins[2] == 1)) {
        plans_.reserve(static_cast<std::size_t>(per_bin) * slots);
        plan_items_.reserve(plans_.capacity());
    }
    u64 rows = with_kernels([&](auto kernels) {
        Scanner<Keep, decltype(kernels)> scanner(setup, bins_, keep, sink);
        // Atoms in index order may jump across the grid: while one atom is
        // scanned, the neighbour entries of the next one are fetched.
        std::size_t a = 0;
        while (a < atoms_.count && !atoms_.finite[a]) ++a;
        while (a < atoms_.count) {
            std::size_t b = a + 1;
            while (b < atoms_.count && !atoms_.finite[b]) ++b;
            if (b < atoms_.count) prefetch_atom(b);
            scan_atom(a, scanner);
            a = b;
        }
        return scanner.rows();
    });
    if constexpr (!Keep::kAll)
        if (keep.failed) return PairList{};
    PairList list = std::move(sink).finish(rows);
    if (order_ != Order::kScanned) order_rows(list);
    return list;
}

template PairList CellSearch::scan(KeepAll&);
template PairList CellSearch::scan(KeepNone&);
template PairList CellSearch::scan(KeepRadii&);
template PairList CellSearch::scan(KeepPairs&);

}  // namespace kestrix::vicinal::detail
