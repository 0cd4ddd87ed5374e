"""Runs the neighbour search of two builds of _vicinal side by side on the same
seeded systems and compares every result bit for bit.

    python compare_builds.py A/_vicinal.so B/_vicinal.so [--systems N]

CI gives it the default build and the one with KESTRIX_SCALAR_KERNELS=ON: the
AVX2 kernels and their scalar twins must agree to the bit. The systems are
drawn to reach every kernel: one-bin grids of up to 16 atoms (the sweep, with
offset rows wider than its 64 lanes as well), many-bin grids, bins of more than
32 atoms and runs of 64 and more entries (the chunk box tests), bins whose
atoms come from different periods, every pbc pattern, scaled and Cartesian
positions, and all three functions. Exits 1 on any difference.
"""

import argparse
import filecmp
import importlib.machinery
import importlib.util
import sys

import numpy as np


def load(path, name):
    # Distinct names, so that both .so files stay loaded with their own state.
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def pbc_of(rng):
    return [bool(b) for b in rng.integers(0, 2, 3)]


def skewed(rng, diag, tilt):
    return np.diag(diag) + rng.uniform(-tilt, tilt, (3, 3)) * np.asarray(diag)[:, None]


def sweep_system(rng):
    """One bin of at most 16 atoms, all in the cell (one shift)."""
    n = int(rng.integers(1, 17))
    if rng.random() < 0.2:
        # One short periodic axis and a long reach: more than 64 offsets on it.
        cell = np.diag(rng.uniform(3.0, 5.0, 3))
        axis = int(rng.integers(3))
        cell[axis] *= rng.uniform(0.02, 0.05)
        pbc = [False] * 3
        pbc[axis] = True
        cutoff = float(rng.uniform(2.0, 3.0))
    else:
        cell = skewed(rng, rng.uniform(1.0, 4.0, 3), 0.3)
        pbc = pbc_of(rng)
        cutoff = float(rng.choice([rng.uniform(0.3, 2.0), rng.uniform(2.0, 6.0)]))
    frac = rng.random((n, 3))
    return pbc, cell, frac, cutoff, 1


def many_bins_system(rng):
    n = int(rng.integers(20, 160))
    cell = skewed(rng, rng.uniform(6.0, 14.0, 3), float(rng.choice([0.0, 0.3])))
    frac = rng.random((n, 3))
    cutoff = float(rng.uniform(0.8, 4.0))
    return pbc_of(rng), cell, frac, cutoff, int(rng.choice([1000000, 27, 64, 125]))


def large_bins_system(rng):
    """Few bins, dense: bins of more than 32 atoms, runs of 64 and more."""
    n = int(rng.integers(70, 300))
    cell = skewed(rng, rng.uniform(5.0, 10.0, 3), float(rng.choice([0.0, 0.2])))
    frac = rng.random((n, 3))
    if rng.random() < 0.3:  # clustered, so that some chunks are out of reach
        frac = (frac * 0.3 + rng.random(3) * 0.7) % 1.0
    cutoff = float(rng.uniform(0.5, 3.0))
    return pbc_of(rng), cell, frac, cutoff, int(rng.choice([1, 2, 4, 8, 27]))


def mixed_system(rng):
    """Atoms outside the cell: bins mixing atoms of different periods."""
    n = int(rng.integers(2, 120))
    cell = skewed(rng, rng.uniform(3.0, 9.0, 3), 0.3)
    frac = rng.uniform(-2.5, 3.5, (n, 3))
    if rng.random() < 0.5:
        frac[: n // 2] = rng.random((n // 2, 3))
    cutoff = float(rng.uniform(0.5, 5.0))
    return pbc_of(rng), cell, frac, cutoff, int(rng.choice([1000000, 1, 8, 64]))


KINDS = {
    "sweep": sweep_system,
    "many bins": many_bins_system,
    "large bins": large_bins_system,
    "mixed shifts": mixed_system,
}


def outcome(f, *args):
    try:
        return f(*args)
    except Exception as e:  # both builds must fail alike, with the same message
        return f"{type(e).__name__}: {e}"


def differs(a, b):
    """Where two outcomes differ, or None."""
    if isinstance(a, str) or isinstance(b, str):
        return None if a == b else f"{a!r} vs {b!r}"
    for name, x, y in zip("ijdDS", a, b, strict=True):
        if x.dtype != y.dtype or x.shape != y.shape:
            return f"{name}: {x.dtype}{x.shape} vs {y.dtype}{y.shape}"
        if x.tobytes() != y.tobytes():
            rows = np.flatnonzero(
                (x.view(np.uint8).reshape(len(x), -1) != y.view(np.uint8).reshape(len(y), -1)).any(1))
            return f"{name}: {len(rows)} rows differ, first at row {rows[0]}"
    return None


def calls(rng, pbc, cell, frac, cutoff, max_nbins):
    """The three functions on one system, as (label, function name, args)."""
    scaled = bool(rng.random() < 0.5)
    positions = frac if scaled else frac @ cell
    self_interaction = bool(rng.random() < 0.3)
    tail = (self_interaction, scaled, max_nbins)
    n = len(frac)
    radii = rng.uniform(0.2, 0.5, n) * cutoff * 2
    numbers = rng.choice([1, 6, 8, 26], n).astype(np.int64)
    keys = [(1, 1), (1, 6), (6, 8), (8, 8), (26, 8), (26, 26)]
    vals = [float(v) for v in rng.uniform(0.4, 1.0, len(keys)) * cutoff]
    return [
        ("cutoff", "primitive_neighbor_list_rs", (pbc, cell, positions, cutoff, *tail)),
        ("radii", "primitive_neighbor_list_radii_rs", (pbc, cell, positions, radii, *tail)),
        ("dict", "primitive_neighbor_list_dict_rs",
         (pbc, cell, positions, numbers, [k[0] for k in keys], [k[1] for k in keys], vals, *tail)),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("a", help="one build's _vicinal .so")
    parser.add_argument("b", help="the other build's _vicinal .so")
    parser.add_argument("--systems", type=int, default=150, help="systems per kind")
    args = parser.parse_args()
    if filecmp.cmp(args.a, args.b, shallow=False):
        # Comparing a build with itself cannot fail.
        sys.exit("the two builds are the same file")
    a, b = load(args.a, "a._vicinal"), load(args.b, "b._vicinal")

    failures = 0
    for seed, (kind, make) in enumerate(KINDS.items()):
        rng = np.random.default_rng(seed)
        rows = errors = 0
        for number in range(args.systems):
            system = make(rng)
            for label, name, call in calls(rng, *system):
                x, y = outcome(getattr(a, name), *call), outcome(getattr(b, name), *call)
                if isinstance(x, str):
                    errors += 1
                else:
                    rows += len(x[0])
                diff = differs(x, y)
                if diff:
                    failures += 1
                    if failures <= 10:
                        print(f"DIFFERENT: {kind} #{number}, {label}: {diff}")
        print(f"{kind}: {args.systems} systems x 3 functions, {rows} rows, {errors} errors")
    if failures:
        print(f"{failures} results differ")
        return 1
    print("the two builds agree bit for bit")
    return 0


if __name__ == "__main__":
    sys.exit(main())
