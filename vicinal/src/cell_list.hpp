#pragma once
// Cell-list neighbour search and its element-pair and per-atom-radius variants.
// Pure computation: reads borrowed strided views, returns owned buffers or an
// error text, and never touches a Python object.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "kestrix/buffer.hpp"
#include "kestrix/poll.hpp"
#include "kestrix/views.hpp"

namespace kestrix::vicinal {

/// The full neighbour list: P rows ordered by ascending i, each buffer sized exactly.
struct PairList {
    OwnedBuffer<std::int64_t> i;  ///< P first atoms
    OwnedBuffer<std::int64_t> j;  ///< P neighbour atoms
    OwnedBuffer<double> d;        ///< P distances
    OwnedBuffer<double> D;        ///< P x 3 distance vectors, row-major
    OwnedBuffer<std::int64_t> S;  ///< P x 3 cell shifts, row-major
    std::size_t size() const noexcept { return i.size(); }
};

/// A search that cannot give its list: the text, and the Python class it is
/// raised as.
struct SearchError {
    enum class Kind { kValue, kOverflow };
    Kind kind;
    std::string message;
};

/// A PairList, or why there is none.
using SearchResult = std::variant<PairList, SearchError>;

/// What every search takes besides its cutoffs.
struct SearchInput {
    std::array<bool, 3> pbc;     ///< per cell row: periodic or open
    Strided2D<double> cell;      ///< top-left 3x3 block read; rows are lattice vectors
    Strided2D<double> positions; ///< N rows; columns 0..2 read
    bool self_interaction;       ///< list the zero-shift pair of an atom with itself
    bool use_scaled_positions;   ///< positions are fractional
    std::uint64_t max_nbins;     ///< cap on the total number of bins
    Poll poll;
};

/// Scalar cutoff. Throws InternalFailure for too small a cell or positions,
/// std::bad_alloc when the result cannot fit in memory. Where the cell's own
/// grid is degenerate (a periodic height that is 0, infinite or NaN, or a
/// reach of 2^63 or more), the atoms are binned across the periodic rows
/// instead and the rows of each atom come ordered by (S, j).
SearchResult build_neighbor_list(const SearchInput& in, double cutoff);

/// Cutoffs per pair of atomic numbers, (zi_keys[k], zj_keys[k]) -> cutoff_vals[k], symmetric.
SearchResult build_neighbor_list_dict(const SearchInput& in, Strided1D<std::int64_t> numbers,
                                      std::span<const std::int64_t> zi_keys,
                                      std::span<const std::int64_t> zj_keys,
                                      std::span<const double> cutoff_vals);

/// Per-atom radii: neighbours when d < radii[i] + radii[j].
SearchResult build_neighbor_list_radii(const SearchInput& in, Strided1D<double> radii);

}  // namespace kestrix::vicinal
