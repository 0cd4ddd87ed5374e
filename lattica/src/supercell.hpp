#pragma once
// Supercell positions: every primitive position shifted by every lattice point.
// Pure computation: reads borrowed strided views, returns an owned buffer.

#include "kestrix/buffer.hpp"
#include "kestrix/views.hpp"

namespace kestrix::lattica {

/// The N_prim x N_super rows prim[a] + lattice[l] (3 values each, row-major),
/// row l * N_prim + a when `cell_major`, else a * N_super + l. Only columns
/// 0..2 are read; fewer than 3 columns in a non-empty pair of inputs, or a
/// result too large to represent, is an internal failure.
OwnedBuffer<double> make_supercell_positions(const Strided2D<double>& prim,
                                             const Strided2D<double>& lattice,
                                             bool cell_major);

}  // namespace kestrix::lattica
