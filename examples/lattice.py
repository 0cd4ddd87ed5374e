"""Lattice geometry with kestrix._lattica.

Reduces a sheared cell to a short, nearly orthogonal basis of the same
lattice, then builds the Cartesian positions of a 3x3x3 supercell of a
two-atom (CsCl-like) basis in that reduced cell, in both row orders.

Run: python examples/lattice.py
"""

import itertools

import numpy as np

from kestrix._lattica import make_supercell_positions_rs, minkowski_reduce_rs

np.set_printoptions(precision=4, suppress=True)

# A simple cubic lattice (a = 4.1) written in a badly sheared basis.
a = 4.1
shear = np.array([[1, 0, 0], [3, 1, 0], [-2, 5, 1]], dtype=np.float64)  # unimodular
cell = shear @ (a * np.eye(3))

rcell, op = minkowski_reduce_rs(cell)
print("sheared cell:\n", cell)
print("reduced cell:\n", rcell)
print(f"op (rcell = op @ cell), det = {round(np.linalg.det(op))}:\n{op}")
assert np.allclose(rcell, op @ cell)  # equal to the bit when summed left to right from +0.0

# Two atoms per cell, at fractional (0, 0, 0) and (1/2, 1/2, 1/2) of the reduced cell.
prim = np.array([[0.0, 0.0, 0.0], [0.5, 0.5, 0.5]]) @ rcell
lattice_points = np.array(list(itertools.product(range(3), repeat=3)), dtype=np.float64) @ rcell

cell_major = make_supercell_positions_rs(prim, lattice_points, True)
atom_major = make_supercell_positions_rs(prim, lattice_points, False)
print(f"supercell: {len(cell_major)} atoms (2 atoms x {len(lattice_points)} lattice points)")
print("cell-major, first rows (both atoms at lattice point 0, then at point 1):\n", cell_major[:4])
print("atom-major, first rows (atom 0 at lattice points 0, 1, ...):\n", atom_major[:3])
# Same atoms, two orders: row l * 2 + a of one is row a * 27 + l of the other.
assert np.array_equal(cell_major.reshape(27, 2, 3).transpose(1, 0, 2).reshape(-1, 3), atom_major)
