#pragma once
// The cell-list search, private to cell_list*.cpp: CellSearch runs the steps
// before the scan (prepare_search()), then scans with a policy deciding which
// of the search's rows are kept, through the plans its PlanCache holds.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cell_list.hpp"
#include "cell_list_grid.hpp"
#include "cell_list_plan.hpp"
#include "cell_list_prepare.hpp"
#include "cell_list_scan.hpp"

namespace kestrix::vicinal::detail {

/// Keeps every row of the search.
/// A keep policy is called as keep(i, entry, j, d), entry being atom j's place
/// in the bin arrays (entry_atoms()), so that per-atom data can be laid out in
/// that order and read as the search reads the coordinates.
struct KeepAll {
    static constexpr bool kAll = true;
    bool operator()(i64, std::size_t, i64, double) { return true; }
};

/// Puts each atom's rows in the order `order` names (not kScanned); `cell_grid`
/// is the cell grid's binning, read under kCellGrid.
void order_rows(PairList& rows, RowOrder order, const Binning& cell_grid);

/// A rough guess of the row count from the atoms' density.
u64 estimate_rows(const Atoms& atoms, const Grid& grid, const std::array<bool, 3>& pbc, double cutoff);

/// One neighbour search: prepare() runs everything up to the scan, then scan()
/// with a keep policy produces the list.
class CellSearch : private PlanCache {
public:
    enum class Stage { kEmpty, kError, kReady };

    CellSearch(const SearchInput& in, double cutoff) : in_(in), cutoff_(cutoff) {}

    /// Everything before the scan; throws InternalFailure for internal
    /// failures and std::bad_alloc when the result cannot fit in memory.
    Stage prepare();
    const SearchError& error() const noexcept { return error_; }
    std::size_t atom_count() const noexcept { return atoms_.count; }
    /// The atom of every entry of the bin arrays (after prepare() gave kReady).
    const i64* entry_atoms() const noexcept { return bins_.idx; }
    std::size_t entry_count() const noexcept { return bins_.entry_count(); }

    template <class Keep>
    PairList scan(Keep& keep);

private:
    using Order = RowOrder;

    template <class F>
    void each_row(const u64* c, const i64 lo[3], const i64 hi[3], F&& f) const {
        detail::each_row(binning_.grid.bins, c, lo, hi, static_cast<F&&>(f));
    }
    bool atom_ranges(std::size_t a, i64 lo[3], i64 hi[3]) const {
        return atom_reach(binning_, atoms_, in_.pbc, a, lo, hi) == Reach::kBox;
    }
    void order_rows(PairList& rows) const { detail::order_rows(rows, order_, cell_binning_); }
    u64 estimate_rows() const { return detail::estimate_rows(atoms_, binning_.grid, in_.pbc, cutoff_); }
    void build_plan(std::size_t s) { PlanCache::build_plan(s, bins_, binning_, atoms_, in_.pbc); }
    template <class Keep>
    void scan_atom(std::size_t a, detail::Scanner<Keep>& scanner);
    /// Asks for the first lines of the neighbour entries that atom a will test.
    void prefetch_atom(std::size_t a) const { prefetch_plan(bins_.entry_slot(bins_.atom_entry(a)), bins_); }

    const SearchInput& in_;
    double cutoff_;
    SearchError error_;
    detail::Arena arena_;  // the arrays of the values below
    Cell cell_{};
    Atoms atoms_;
    Binning binning_;
    Binning cell_binning_;  // the cell grid's, to order the rows under Order::kCellGrid
    Order order_ = Order::kScanned;
    detail::Bins bins_;
};

/// Scans one atom: through its bin's plan, or row by row on its own.
template <class Keep>
void CellSearch::scan_atom(std::size_t a, detail::Scanner<Keep>& scanner) {
    detail::CentreAtom ca;
    ca.index = static_cast<i64>(a);
    ca.pos = bins_.atom_entry(a);
    if (!atom_ranges(a, ca.lo, ca.hi)) return;
    std::size_t s = bins_.entry_slot(ca.pos);
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
        const i64* own = &bins_.shift[3 * ca.pos];
        if (single_item_.kind == detail::Item::Kind::kRun && m <= detail::Scanner<Keep>::kSweepAtoms &&
            own[0] == single_item_.shift[0] && own[1] == single_item_.shift[1] &&
            own[2] == single_item_.shift[2]) {
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
        u64 work = detail::make_items(bins_, base, e_first, e_last, row_items_);
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
    detail::RowSink sink(row_limit());
    // Small guesses too: a result that outgrows a malloc block is copied.
    sink.reserve_guess(std::max<u64>(std::min(estimate_rows(), row_limit()), 256));
    detail::ScanSetup setup{cell_, cutoff_ * cutoff_, in_.self_interaction, in_.poll};
    detail::Scanner<Keep> scanner(setup, bins_, keep, sink);
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
    // Atoms in index order may jump across the grid: while one atom is scanned,
    // the neighbour entries of the next one are fetched.
    std::size_t a = 0;
    while (a < atoms_.count && !atoms_.finite[a]) ++a;
    while (a < atoms_.count) {
        std::size_t b = a + 1;
        while (b < atoms_.count && !atoms_.finite[b]) ++b;
        if (b < atoms_.count) prefetch_atom(b);
        scan_atom(a, scanner);
        a = b;
    }
    if constexpr (!Keep::kAll)
        if (keep.failed) return PairList{};
    PairList rows = std::move(sink).finish(scanner.rows());
    if (order_ != Order::kScanned) order_rows(rows);
    return rows;
}

}  // namespace kestrix::vicinal::detail
