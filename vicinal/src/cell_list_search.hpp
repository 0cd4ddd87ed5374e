#pragma once
// The cell-list search itself, private to cell_list*.cpp: the steps before the
// scan (grid, positions, bins, the checks on the result's size), and the scan,
// which takes a policy deciding which of the search's rows are kept.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cell_list.hpp"
#include "cell_list_bounds.hpp"
#include "cell_list_lattice.hpp"
#include "cell_list_scan.hpp"

namespace kestrix::vicinal::detail {

/// Floor division of integers (toward negative infinity), b > 0.
inline i128 floor_div(i128 a, i128 b) {
    i128 q = a / b;
    if (a % b != 0 && ((a < 0) != (b < 0))) --q;
    return q;
}

/// The most rows a result may have: more can never fit in physical memory.
u64 row_limit();

/// Keeps every row of the search.
/// A keep policy is called as keep(i, entry, j, d), entry being atom j's place
/// in the bin arrays (entry_atoms()), so that per-atom data can be laid out in
/// that order and read as the search reads the coordinates.
struct KeepAll {
    static constexpr bool kAll = true;
    bool operator()(i64, std::size_t, i64, double) { return true; }
};

/// One neighbour search: prepare() runs everything up to the scan, then scan()
/// with a keep policy produces the list.
class CellSearch {
public:
    enum class Stage { kEmpty, kError, kReady };

    CellSearch(const SearchInput& in, double cutoff) : in_(in), cutoff_(cutoff) {}

    /// Everything before the scan; throws for internal failures and hopeless sizes.
    Stage prepare();
    const SearchError& error() const noexcept { return error_; }
    std::size_t atom_count() const noexcept { return n_atoms_; }
    /// The atom of every entry of the bin arrays (after prepare() gave kReady).
    const i64* entry_atoms() const noexcept { return bins_.idx; }
    std::size_t entry_count() const noexcept { return bins_.entry_count(); }

    template <class Keep>
    PairList scan(Keep& keep);

private:
    /// How the rows of one atom are ordered after the scan: as scanned, by the
    /// cell grid's offsets when the atoms were binned in a frame in its stead,
    /// or by (S, j) where the cell grid is degenerate.
    enum class Order { kScanned, kCellGrid, kShift };

    Stage fail(SearchError::Kind kind, std::string message);
    void build_grid();
    void size_grid(u64 margin);
    bool grid_is_regular() const;
    bool open_axis_unscanned() const;
    bool self_images_fit_surely() const;
    void place_atoms();
    template <class Scaled>
    bool bin_atoms(Scaled&& scaled);
    template <class Scaled>
    bool rebase_shifts(Scaled& scaled);
    bool shift_span_fits(i128 span, int k) const;
    bool bin_in_cell_grid();
    bool bin_in_frame();
    double planned_offsets() const;
    void try_frame_instead();
    void order_rows(PairList& rows) const;
    void check_result_size();
    void prepare_windows();
    template <class F>
    void each_row(const u64* c, const i64 lo[3], const i64 hi[3], F&& f) const;
    void build_plan(std::size_t s);
    u64 estimate_rows() const;
    template <class Scan>
    void scan_atom(std::size_t a, Scan& scanner);
    bool atom_ranges(std::size_t a, i64 lo[3], i64 hi[3]) const;
    void prefetch_atom(std::size_t a) const;

    const SearchInput& in_;
    double cutoff_;
    SearchError error_;
    Order order_ = Order::kScanned;
    detail::Arena arena_;  // the arrays below that are plain pointers
    std::size_t n_atoms_ = 0;

    Cell cell_{};
    double cross_[3][3] = {};
    double det_ = 0.0;
    double volume_ = 0.0;  // of the periodic cell, for the row estimate
    double h_[3] = {};
    double bin_length_ = 3.0;
    u64 n_[3] = {1, 1, 1};
    u64 r_[3] = {0, 0, 0};
    bool extended_[3] = {false, false, false};

    double* p_ = nullptr;  // 3 per atom, Cartesian
    i64* shift_ = nullptr;  // 3 per atom
    u64* coord_ = nullptr;  // 3 per atom
    std::uint8_t* finite_ = nullptr;
    std::size_t n_finite_ = 0;

    detail::Bins bins_;
    detail::ShiftWindow window_;
    std::array<bool, 3> windowed_{};

    /// One offset row of a centre bin: offsets (o0 of its first bin, o1, o2),
    /// quotients, its items and the work they stand for.
    struct Plan {
        i64 o[3];
        i64 q[3];
        std::size_t item_begin, item_end;
        u64 work;
    };
    static constexpr std::uint8_t kUnplanned = 0, kPlanned = 1, kOnTheFly = 2, kSingleBin = 3;
    detail::Item single_item_{};
    std::uint8_t* plan_state_ = nullptr;  // per slot
    std::size_t* plan_begin_ = nullptr;
    std::size_t* plan_end_ = nullptr;
    std::vector<Plan> plans_;
    std::vector<detail::Item> plan_items_;
    std::vector<detail::Item> row_items_;
    u64 empty_work_ = 0;

    BinFrame frame_{};
    /// A grid with its atoms binned: the cell grid is kept in cell_grid_ while
    /// a frame is tried, and to order the rows found there.
    struct GridState {
        double h[3], bin_length, volume;
        u64 n[3], r[3];
        i64* shift;
        u64* coord;
        std::array<bool, 3> windowed;
        bool extended[3];
        detail::ShiftWindow window;
    };
    GridState grid_state() const;
    void set_grid_state(const GridState& g);
    GridState cell_grid_{};
};

/// Calls f(base, e_first, e_last, q, o) for the offset rows of a centre bin with
/// coordinates c and offsets lo..hi, in emission order: o2 slowest, then o1, then
/// along axis 0 the runs of bins e0, e0 + 1, ... that end where the grid wraps
/// and q0 steps up. o holds (o0 of the run's first bin, o1, o2). Stops early
/// when f returns false.
template <class F>
void CellSearch::each_row(const u64* c, const i64 lo[3], const i64 hi[3], F&& f) const {
    u64 e_start[3];
    i64 q_start[3];
    for (int k = 0; k < 3; ++k) {
        i128 t = static_cast<i128>(c[k]) + lo[k];
        i128 q = floor_div(t, static_cast<i128>(n_[k]));
        q_start[k] = static_cast<i64>(q);
        e_start[k] = static_cast<u64>(t - q * static_cast<i128>(n_[k]));
    }
    const u64 n0 = n_[0];
    const u64 count0 = static_cast<u64>(static_cast<i128>(hi[0]) - lo[0]) + 1;
    u64 e2 = e_start[2];
    i64 q[3], o[3];
    q[2] = q_start[2];
    for (o[2] = lo[2];; ++o[2]) {
        u64 e1 = e_start[1];
        q[1] = q_start[1];
        for (o[1] = lo[1];; ++o[1]) {
            u64 base = n0 * (e1 + n_[1] * e2);
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
            if (++e1 == n_[1]) {
                e1 = 0;
                ++q[1];
            }
        }
        if (o[2] == hi[2]) break;
        if (++e2 == n_[2]) {
            e2 = 0;
            ++q[2];
        }
    }
}
/// Asks for the first lines of the neighbour entries that atom a will test,
/// when its bin's plan is known.
inline void CellSearch::prefetch_atom(std::size_t a) const {
    std::size_t s = bins_.entry_slot(bins_.atom_entry(a));
    if (plan_state_[s] != kPlanned) return;
    for (std::size_t p = plan_begin_[s]; p < plan_end_[s]; ++p) {
        const Plan& plan = plans_[p];
        for (std::size_t k = plan.item_begin; k < plan.item_end; ++k) {
            std::size_t at = plan_items_[k].start;
            __builtin_prefetch(bins_.x + at);
            __builtin_prefetch(bins_.y + at);
            __builtin_prefetch(bins_.z + at);
        }
    }
}

}  // namespace kestrix::vicinal::detail
