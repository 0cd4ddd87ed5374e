#pragma once
// Minkowski reduction of a three-dimensional lattice basis. Pure computation:
// reads a borrowed strided view of the 3x3 cell and returns owned buffers.
//
// There is no tolerance anywhere: every comparison is exact, every integer
// operation on the operation matrix wraps modulo 2^64, and the loop limits end
// silently with the current state. Results are defined to the bit by the order
// of the floating-point operations, so none of them may be regrouped.

#include <cstddef>
#include <cstdint>

#include "kestrix/buffer.hpp"
#include "kestrix/views.hpp"

namespace kestrix::lattica {

/// Cap on the iterations of each Gauss step, on the updates of each
/// closest-vector search and on the outer iterations of one reduction.
inline constexpr std::uint64_t ITERATION_LIMIT = 100000;
/// Slots of the history of (hu, hv) pairs kept by one Gauss step.
inline constexpr std::size_t GAUSS_HISTORY_LEN = 60;
/// Slots of the history of operation matrices kept by one reduction.
inline constexpr std::size_t FULL_HISTORY_LEN = 3960;

/// The reduced basis and the unimodular operation that produces it.
struct Reduction {
    OwnedBuffer<double> rcell;      ///< 9 values, rows R0, R1, R2, row-major
    OwnedBuffer<std::int64_t> op;   ///< 9 values, row-major; rcell = op . cell
};

/// Reduces the basis whose rows are cell's three rows; `cell` must be 3x3.
/// Throws InternalFailure when a candidate key is NaN (non-finite or singular
/// input), std::bad_alloc when memory runs out.
Reduction minkowski_reduce(const Strided2D<double>& cell);

}  // namespace kestrix::lattica
