// CellSearch's driver of the preparation, the order of the rows after the
// scan, and the plain search's entry point.

#include "cell_list.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <utility>
#include <variant>
#include <vector>

#include "cell_list_search.hpp"

namespace kestrix::vicinal::detail {

CellSearch::Stage CellSearch::prepare() {
    Preparation found = prepare_search(in_, cutoff_, arena_);
    // The one place a search too large for memory is refused: as a failed
    // allocation, which the binding raises as MemoryError.
    if (std::holds_alternative<TooLarge>(found)) throw std::bad_alloc();
    if (auto* error = std::get_if<SearchError>(&found)) {
        error_ = std::move(*error);
        return Stage::kError;
    }
    auto* ready = std::get_if<Prepared>(&found);
    if (!ready) return Stage::kEmpty;
    cell_ = ready->cell;
    atoms_ = ready->atoms;
    binning_ = ready->binning;
    cell_binning_ = ready->cell_binning;
    order_ = ready->order;
    bins_.build(arena_, atoms_.position, binning_.shift, binning_.coord, atoms_.finite, atoms_.count,
                binning_.grid.bins);
    return Stage::kReady;
}

namespace {

/// Sorts the rows of each atom i by key(row), a tuple of four int64; rows with
/// equal keys keep their order.
template <class Key>
void sort_rows_of_each_atom(PairList& rows, Key key) {
    using Tuple = std::array<i64, 4>;
    std::vector<Tuple> keys;
    std::vector<std::size_t> order;
    std::vector<i64> ints;
    std::vector<double> reals;
    for (std::size_t begin = 0, end; begin < rows.size(); begin = end) {
        for (end = begin + 1; end < rows.size() && rows.i[end] == rows.i[begin];) ++end;
        std::size_t m = end - begin;
        keys.resize(m);
        order.resize(m);
        for (std::size_t r = 0; r < m; ++r) {
            keys[r] = key(begin + r);
            order[r] = r;
        }
        if (std::is_sorted(keys.begin(), keys.end())) continue;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t x, std::size_t y) { return keys[x] < keys[y]; });
        auto permute = [&](auto* data, std::size_t width, auto& scratch) {
            scratch.assign(data + width * begin, data + width * end);
            for (std::size_t r = 0; r < m; ++r)
                for (std::size_t x = 0; x < width; ++x)
                    data[width * (begin + r) + x] = scratch[width * order[r] + x];
        };
        permute(rows.j.data(), 1, ints);
        permute(rows.S.data(), 3, ints);
        permute(rows.d.data(), 1, reals);
        permute(rows.D.data(), 3, reals);
    }
}

}  // namespace

void order_rows(PairList& rows, RowOrder order, const Binning& cell_grid) {
    if (order == RowOrder::kShift) {
        sort_rows_of_each_atom(rows, [&](std::size_t r) {
            return std::array<i64, 4>{rows.S[3 * r], rows.S[3 * r + 1], rows.S[3 * r + 2], rows.j[r]};
        });
        return;
    }
    // The cell grid's offset of each row: its bin's offset o from atom i's bin,
    // with S = (shift_i + q) - shift_j and c_i + o = q·n + c_j on every axis.
    // A row beyond the grid's reach, which its scan would have missed, takes
    // its place by the same key.
    auto offset = [&](std::size_t r, int k) {
        auto i = static_cast<std::size_t>(rows.i[r]), j = static_cast<std::size_t>(rows.j[r]);
        i128 q = static_cast<i128>(rows.S[3 * r + k]) - cell_grid.shift[3 * i + k] + cell_grid.shift[3 * j + k];
        i128 o = q * static_cast<i128>(cell_grid.grid.bins[k]) + static_cast<i128>(cell_grid.coord[3 * j + k]) -
                 static_cast<i128>(cell_grid.coord[3 * i + k]);
        constexpr i128 kMax = std::numeric_limits<i64>::max();
        return static_cast<i64>(std::clamp(o, -kMax, kMax));
    };
    sort_rows_of_each_atom(rows, [&](std::size_t r) {
        return std::array<i64, 4>{offset(r, 2), offset(r, 1), offset(r, 0), rows.j[r]};
    });
}

/// A rough guess of the row count from the atoms' density, so that the lists
/// are reserved once (address space only: pages are backed when written)
/// instead of growing through copies and small pages.
u64 estimate_rows(const Atoms& atoms, const Grid& grid, const std::array<bool, 3>& pbc, double cutoff) {
    double volume;
    if (pbc[0] && pbc[1] && pbc[2]) {
        volume = grid.volume;
    } else {
        double lo[3], hi[3];
        for (int x = 0; x < 3; ++x) {
            lo[x] = std::numeric_limits<double>::infinity();
            hi[x] = -lo[x];
        }
        for (std::size_t a = 0; a < atoms.count; ++a)
            if (atoms.finite[a])
                for (int x = 0; x < 3; ++x) {
                    lo[x] = std::min(lo[x], atoms.position[3 * a + x]);
                    hi[x] = std::max(hi[x], atoms.position[3 * a + x]);
                }
        volume = 1.0;
        for (int x = 0; x < 3; ++x) volume *= std::max(hi[x] - lo[x], cutoff);
    }
    double nf = static_cast<double>(atoms.finite_count);
    double per_atom = nf / volume * (4.0 / 3.0 * 3.141592653589793 * cutoff * cutoff * cutoff);
    double rows = nf * per_atom * 2.0;
    if (!(rows >= 0.0)) return 0;
    return rows >= 1e18 ? u64{1} << 60 : static_cast<u64>(rows);
}

}  // namespace kestrix::vicinal::detail

namespace kestrix::vicinal {

using detail::CellSearch;
using detail::KeepAll;

SearchResult build_neighbor_list(const SearchInput& in, double cutoff) {
    CellSearch search(in, cutoff);
    switch (search.prepare()) {
        case CellSearch::Stage::kError: return search.error();
        case CellSearch::Stage::kEmpty: return PairList{};
        case CellSearch::Stage::kReady: break;
    }
    KeepAll keep;
    return search.scan(keep);
}

}  // namespace kestrix::vicinal
