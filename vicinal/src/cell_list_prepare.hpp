#pragma once
// Everything a search does before its scan, as one function from the input to
// a result: nothing to find, an error, too large for memory, or the binned
// atoms ready to scan. Private to cell_list*.cpp.

#include <variant>

#include "cell_list.hpp"
#include "cell_list_grid.hpp"

namespace kestrix::vicinal::detail {

/// The most rows a result may have: more can never fit in physical memory.
u64 row_limit();

/// How the rows of one atom are ordered after the scan: as scanned, by the
/// cell grid's offsets when the atoms were binned in a frame in its stead, or
/// by (S, j) where the cell grid is degenerate.
enum class RowOrder { kScanned, kCellGrid, kShift };

/// A search ready to scan.
struct Prepared {
    Cell cell{};
    Atoms atoms;
    Binning binning;
    Binning cell_binning;  // the cell grid's, kept to order the rows under kCellGrid
    RowOrder order = RowOrder::kScanned;
};

/// No row can exist: no atoms, no finite atom, a cutoff that admits no
/// distance, or a cell that is not finite.
struct NothingToFind {};
/// The result, or the work to find it, cannot fit in memory.
struct TooLarge {};

using Preparation = std::variant<NothingToFind, SearchError, TooLarge, Prepared>;

/// Throws InternalFailure for too small a cell or positions; the arrays of
/// the result live in `arena`.
Preparation prepare_search(const SearchInput& in, double cutoff, Arena& arena);

}  // namespace kestrix::vicinal::detail
