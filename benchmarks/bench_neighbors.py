"""Neighbour-list speed and memory against peer libraries, in one run on one thread.

    pip install ".[bench]" && python benchmarks/bench_neighbors.py [--quick]

For each workload: the median of >= 10 full Python calls of
`primitive_neighbor_list_rs` and of each installed peer (vesin, matscipy-neighbours)
returning the same five quantities, after checking that the pair sets agree; then
ns per pair and our time over the faster peer's. The variants are timed against our
own scalar call at the same largest cutoff. Peak memory is the rise of VmHWM in a
fresh subprocess, over the bytes of the five results.
"""

import os

# One thread everywhere, before any library starts a pool.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import inspect  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from kestrix._vicinal import (  # noqa: E402
    primitive_neighbor_list_dict_rs,
    primitive_neighbor_list_radii_rs,
    primitive_neighbor_list_rs,
)

QUICK = "--quick" in sys.argv
REPEATS = 10


# ---------------------------------------------------------------- systems

def diamond(reps, a=3.567):
    basis = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0],
                      [0.25, 0.25, 0.25], [0.25, 0.75, 0.75], [0.75, 0.25, 0.75],
                      [0.75, 0.75, 0.25]])
    grid = np.stack(np.meshgrid(*[np.arange(reps)] * 3, indexing="ij"), -1).reshape(-1, 3)
    positions = ((grid[:, None, :] + basis[None]) * a).reshape(-1, 3)
    return np.eye(3) * a * reps, positions


def gas(n, density=0.1, seed=1, cell_shape=np.eye(3)):
    rng = np.random.default_rng(seed)
    shape = np.asarray(cell_shape, dtype=float)
    scale = (n / density / abs(np.linalg.det(shape))) ** (1 / 3)
    cell = shape * scale
    return cell, rng.random((n, 3)) @ cell


def triclinic60(n):
    # all three angles 60 degrees
    shape = np.array([[1.0, 0, 0], [0.5, np.sqrt(3) / 2, 0],
                      [0.5, np.sqrt(3) / 6, np.sqrt(2 / 3)]])
    return gas(n, cell_shape=shape, seed=3)


def primitive_diamond(a=3.567):
    cell = np.array([[0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]) * a
    return cell, np.array([[0.0, 0, 0], [0.25, 0.25, 0.25]]) @ (np.eye(3) * a)


def molecule(n, seed=5):
    rng = np.random.default_rng(seed)
    radius = (3 * n / (4 * np.pi * 0.1)) ** (1 / 3)
    points = rng.normal(size=(n, 3))
    points *= (radius * rng.random(n) ** (1 / 3) / np.linalg.norm(points, axis=1))[:, None]
    return np.eye(3) * 2 * radius, points + radius


T, F = True, False
WORKLOADS = [
    # name, pbc, (cell, positions), cutoff, targets apply (>= 8k atoms, ns/pair)
    ("diamond 8k, 3 A", [T, T, T], diamond(10), 3.0),
    ("diamond 8k, 6 A", [T, T, T], diamond(10), 6.0),
    ("diamond 8k, 12 A", [T, T, T], diamond(10), 12.0),
    ("diamond 64k, 3 A", [T, T, T], diamond(20), 3.0),
    ("diamond 64k, 6 A", [T, T, T], diamond(20), 6.0),
    ("gas 10k, 5 A", [T, T, T], gas(10_000), 5.0),
    ("gas 100k, 5 A", [T, T, T], gas(100_000), 5.0),
    ("triclinic 60deg 8k, 5 A", [T, T, T], triclinic60(8_000), 5.0),
    ("slab 8k (open z), 5 A", [T, T, F], diamond(10), 5.0),
    ("molecule 1k (open), 5 A", [F, F, F], molecule(1_000), 5.0),
    ("primitive cell 2 atoms, 6 A", [T, T, T], primitive_diamond(), 6.0),
]
if QUICK:
    WORKLOADS = [w for w in WORKLOADS if "64k" not in w[0] and "100k" not in w[0]]
PAIR_TARGETS = ("diamond", "gas")


# ---------------------------------------------------------------- peers

def ours(pbc, cell, positions, cutoff):
    return primitive_neighbor_list_rs(pbc, cell, positions, cutoff)


def peer_functions():
    peers = {}
    try:
        import vesin
    except ImportError:
        print("vesin not installed: left out")
    else:
        def run_vesin(pbc, cell, positions, cutoff):
            nl = vesin.NeighborList(cutoff=cutoff, full_list=True, n_threads=1)
            i, j, d, D, S = nl.compute(positions, cell, list(pbc), quantities="ijdDS")
            return i, j, d, D, S
        peers["vesin"] = run_vesin
    try:
        import matscipy_neighbours
    except ImportError:
        print("matscipy-neighbours not installed: left out")
    else:
        def run_matscipy(pbc, cell, positions, cutoff):
            return matscipy_neighbours.neighbour_list(
                "ijdDS", positions=positions, cell=cell, pbc=np.array(pbc), cutoff=cutoff)
        peers["matscipy-neighbours"] = run_matscipy
    return peers


def canonical(result):
    i, j, d, D, S = (np.asarray(a) for a in result)
    S = S.astype(np.int64)
    order = np.lexsort((S[:, 2], S[:, 1], S[:, 0], j, i))
    return i[order].astype(np.int64), j[order].astype(np.int64), d[order], D[order], S[order]


def agree(a, b):
    a, b = canonical(a), canonical(b)
    if len(a[0]) != len(b[0]):
        return f"{len(a[0])} vs {len(b[0])} pairs"
    for k in (0, 1, 4):
        if not np.array_equal(a[k], b[k]):
            return "pair sets differ"
    if not (np.allclose(a[2], b[2], rtol=1e-12, atol=1e-12)
            and np.allclose(a[3], b[3], rtol=1e-12, atol=1e-12)):
        return "distances differ"
    return None


def median_time(fn, *args):
    fn(*args)  # warm-up
    times = []
    for _ in range(REPEATS):
        t = time.perf_counter()
        fn(*args)
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def fmt_time(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:8.1f} us"
    return f"{seconds * 1e3:8.2f} ms"


# ---------------------------------------------------------------- speed

def speed(peers):
    print(f"\n{'workload':30} {'pairs':>10} {'ours':>11} {'ns/pair':>8}  "
          + "  ".join(f"{p:>20}" for p in peers) + "  ratio (ours/faster peer)")
    for name, pbc, (cell, positions), cutoff in WORKLOADS:
        mine = ours(pbc, cell, positions, cutoff)
        pairs = len(mine[0])
        t_ours = median_time(ours, pbc, cell, positions, cutoff)
        cols, best = [], None
        for peer, fn in peers.items():
            problem = agree(mine, fn(pbc, cell, positions, cutoff))
            if problem:
                cols.append(f"{'DISAGREE: ' + problem:>20}")
                continue
            t = median_time(fn, pbc, cell, positions, cutoff)
            best = t if best is None else min(best, t)
            cols.append(f"{fmt_time(t):>20}")
        ns = t_ours / max(pairs, 1) * 1e9
        ratio = f"{t_ours / best:.2f}x" if best else "n/a"
        notes = []
        if len(positions) >= 8000:
            notes.append("target <= 0.50x")
        if name.startswith(PAIR_TARGETS):
            notes.append(f"{ns:.1f} ns/pair, target <= 20")
        if len(positions) == 2:
            notes.append(f"{t_ours * 1e6:.1f} us/call, target <= 10 us")
        print(f"{name:30} {pairs:10d} {fmt_time(t_ours):>11} {ns:8.1f}  " + "  ".join(cols)
              + f"  {ratio}" + (f"  ({'; '.join(notes)})" if notes else ""))


def variants():
    print("\nvariants against our scalar call at the same largest cutoff (target <= 1.3x)")
    cases = [("diamond 64k", diamond(10 if QUICK else 20)), ("gas 100k", gas(10_000 if QUICK
                                                                          else 100_000))]
    for name, (cell, positions) in cases:
        n = len(positions)
        pbc = [True] * 3
        numbers = np.where(np.arange(n) % 2 == 0, 6, 14)
        keys = ([6, 6, 14], [6, 14, 14], [5.0, 5.5, 6.0])
        radii = np.where(numbers == 6, 2.75, 3.0)
        t_scalar = median_time(ours, pbc, cell, positions, 6.0)
        t_dict = median_time(primitive_neighbor_list_dict_rs, pbc, cell, positions, numbers,
                             *keys)
        t_radii = median_time(primitive_neighbor_list_radii_rs, pbc, cell, positions, radii)
        print(f"  {name:12} scalar {fmt_time(t_scalar)}   dict {fmt_time(t_dict)} "
              f"({t_dict / t_scalar:.2f}x)   radii {fmt_time(t_radii)} "
              f"({t_radii / t_scalar:.2f}x)")


# ---------------------------------------------------------------- memory

MEMORY_PROBE = """
import numpy as np
{diamond_source}
from kestrix import _vicinal as v
cell, positions = diamond({reps})
n = len(positions)
numbers = np.where(np.arange(n) % 2 == 0, 6, 14)
radii = np.where(numbers == 6, 2.75, 3.0)
calls = {{
    "scalar": lambda: v.primitive_neighbor_list_rs([True] * 3, cell, positions, 6.0),
    "dict": lambda: v.primitive_neighbor_list_dict_rs([True] * 3, cell, positions, numbers,
                                                      [6, 6, 14], [6, 14, 14], [5.0, 5.5, 6.0]),
    "radii": lambda: v.primitive_neighbor_list_radii_rs([True] * 3, cell, positions, radii),
}}
v.primitive_neighbor_list_rs([True] * 3, cell, positions[:10], 1.0)  # reach NumPy first

def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM"):
            return int(line.split()[1]) * 1024

before = hwm()
result = calls[{kind!r}]()
print(hwm() - before, sum(a.nbytes for a in result), n)
"""


def memory():
    reps = 10 if QUICK else 20
    print(f"\npeak memory of one call (diamond {8 * reps ** 3} atoms, 6 A; VmHWM rise in a "
          "fresh process over result bytes)")
    source = inspect.getsource(diamond)
    for kind, target in (("scalar", 1.5), ("dict", 2.0), ("radii", 2.0)):
        code = MEMORY_PROBE.format(diamond_source=source, reps=reps, kind=kind)
        out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True,
                             text=True, check=True).stdout.split()
        rise, result_bytes, n = map(int, out)
        print(f"  {kind:6} rise {rise / 2**20:8.1f} MiB, results {result_bytes / 2**20:8.1f} MiB:"
              f" {rise / result_bytes:.2f}x (target <= {target}x plus O(N), N = {n})")


if __name__ == "__main__":
    print(f"numpy {np.__version__}, python {sys.version.split()[0]}, one thread, "
          f"median of {REPEATS} calls")
    speed(peer_functions())
    variants()
    memory()
