"""Neighbour lists of a periodic crystal and of a molecule in open space."""

import numpy as np

from kestrix._vicinal import (
    primitive_neighbor_list_dict_rs,
    primitive_neighbor_list_radii_rs,
    primitive_neighbor_list_rs,
)

# Rock salt, 4 x 4 x 4 conventional cells: Na (11) and Cl (17) on two fcc lattices.
a = 5.64
fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
basis = np.vstack([fcc, fcc + [0.5, 0, 0]])
numbers_cell = np.array([11] * 4 + [17] * 4)
reps = 4
grid = np.array([[i, j, k] for i in range(reps) for j in range(reps) for k in range(reps)])
positions = ((grid[:, None, :] + basis[None, :, :]).reshape(-1, 3)) * a
numbers = np.tile(numbers_cell, len(grid))
cell = np.eye(3) * a * reps
pbc = [True, True, True]

i, j, d, D, S = primitive_neighbor_list_rs(pbc, cell, positions, 4.0)
print(f"rock salt, {len(positions)} atoms, cutoff 4.0: {len(i)} pairs, "
      f"{len(i) / len(positions):.0f} per atom, shortest {d.min():.3f}")
assert np.allclose(D, positions[j] - positions[i] + S @ cell)

# Only unlike neighbours: an Na-Cl cutoff and none for Na-Na or Cl-Cl.
i2, j2, *_ = primitive_neighbor_list_dict_rs(pbc, cell, positions, numbers, [11], [17], [3.0])
print(f"  Na-Cl pairs within 3.0: {len(i2)} ({len(i2) / len(positions):.0f} per atom)")

radii = np.where(numbers == 11, 1.02, 1.81)  # ionic radii
i3, *_ = primitive_neighbor_list_radii_rs(pbc, cell, positions, radii * 1.1)
print(f"  pairs closer than 1.1 x the sum of ionic radii: {len(i3)}")

# A water molecule and a methane molecule, no periodicity.
molecule = np.array([
    [0.000, 0.000, 0.000], [0.757, 0.586, 0.000], [-0.757, 0.586, 0.000],  # H2O
    [3.000, 0.000, 0.000], [3.629, 0.629, 0.629], [2.371, -0.629, 0.629],  # CH4
    [2.371, 0.629, -0.629], [3.629, -0.629, -0.629],
])
open_pbc = [False, False, False]
i, j, d, D, S = primitive_neighbor_list_rs(open_pbc, np.eye(3) * 20.0, molecule, 1.2)
bonds = sorted({(int(a), int(b)) for a, b in zip(i, j) if a < b})
print(f"molecules in open space: {len(bonds)} bonds below 1.2: {bonds}")
assert not S.any()
