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
    template <class Scan>
    void scan_atom(std::size_t a, Scan& scanner);
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

}  // namespace kestrix::vicinal::detail
