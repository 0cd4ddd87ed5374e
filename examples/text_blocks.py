"""Structure text blocks with kestrix._scribe.

Writes the POSCAR position block of a rock-salt (NaCl) conventional cell with
selective-dynamics flags that freeze the bottom layer, and an XYZ atom block
of the same atoms; reads both back and shows that they round-trip.

Run: python examples/text_blocks.py
"""

import numpy as np

from kestrix._scribe import (format_poscar_positions_rs, format_xyz_block_rs,
                             parse_poscar_positions_rs, parse_xyz_block_rs)

# Rock salt: Na on the fcc sites, Cl shifted by half a cell edge.
a = 5.64
fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
scaled = np.vstack([fcc, (fcc + [0.5, 0, 0]) % 1.0])
symbols = ["Na"] * 4 + ["Cl"] * 4
cartesian = scaled * a
frozen = np.repeat((scaled[:, 2] == 0.0)[:, None], 3, axis=1)  # bottom layer: F F F

# POSCAR/CONTCAR: the calling code writes the header lines ("Selective dynamics",
# "Direct"); the native function writes the atom block.
poscar_block = format_poscar_positions_rs(scaled, frozen)
print("POSCAR position block (Direct, selective dynamics):")
print(poscar_block, end="")
positions, flags = parse_poscar_positions_rs(poscar_block.splitlines(), True)
assert np.array_equal(positions, scaled) and np.array_equal(flags, frozen)

# XYZ: the count and comment lines are the caller's as well.
xyz_block = format_xyz_block_rs(symbols, cartesian)
print(f"\n{len(symbols)}\nNaCl conventional cell, a = {a}")
print(xyz_block, end="")
read_symbols, read_positions = parse_xyz_block_rs(xyz_block.splitlines())
assert read_symbols == symbols
# Exact here: 0 and a / 2 = 2.82 written with 15 decimals read back as the same doubles.
assert np.array_equal(read_positions, cartesian)

# Symbols are normalised on reading: lowercase, then the first letter uppercase.
print("\nread back:", parse_xyz_block_rs(["na 0 0 0", "CL 2.82 0 0"])[0])
print("round trip: POSCAR block and XYZ block read back unchanged")
