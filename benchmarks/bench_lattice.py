"""Timings of kestrix._lattica: Minkowski reduction of typical cells, and
supercell positions against the NumPy broadcast that gives the same result.

Run: python benchmarks/bench_lattice.py
"""

import timeit

import numpy as np

from kestrix._lattica import make_supercell_positions_rs, minkowski_reduce_rs

REDUCE_TARGET_US = 2.0
SUPERCELL_TARGET_RATIO = 1.0


def best_per_call(stmt, number, repeat=7):
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def bench_reduce():
    cubic = np.eye(3) * 3.6
    sheared = np.array([[1.0, 0.0, 0.0], [3.3, 1.1, 0.0], [1.7, 2.4, 0.9]])
    skew = np.array([[1, 0, 0], [1000, 1, 0], [700, -300, 1]], dtype=np.float64)
    skewed = skew @ np.array([[2.0, 0.1, 0.0], [0.3, 2.2, 0.1], [0.0, 0.2, 2.5]])
    print("minkowski_reduce_rs (per call from Python, arrays in and out included)")
    for name, cell, has_target in (("reduced cubic", cubic, True), ("sheared", sheared, True),
                                   ("skewed by 10^3 unimodular", skewed, False)):
        op = minkowski_reduce_rs(cell)[1]
        assert op.tolist() != np.eye(3, dtype=int).tolist() or name == "reduced cubic"
        t = best_per_call(lambda: minkowski_reduce_rs(cell), 20000 if has_target else 2000)
        verdict = (f"target <= {REDUCE_TARGET_US} us: {'met' if t * 1e6 <= REDUCE_TARGET_US else 'MISSED'}"
                   if has_target else "no target")
        print(f"  {name:28s} {t * 1e6:8.3f} us   {verdict}")


def bench_supercell(n_prim=1000, n_super=1000):
    rng = np.random.default_rng(0)
    prim = rng.uniform(0, 5, (n_prim, 3))
    lp = (rng.integers(0, 10, (n_super, 3)) * 5.0).astype(np.float64)
    print(f"make_supercell_positions_rs, {n_prim} atoms x {n_super} lattice points")
    for cell_major in (True, False):
        if cell_major:
            ref = lambda: (prim[None, :, :] + lp[:, None, :]).reshape(-1, 3)
        else:
            ref = lambda: (prim[:, None, :] + lp[None, :, :]).reshape(-1, 3)
        ours = lambda: make_supercell_positions_rs(prim, lp, cell_major)
        assert np.array_equal(ours().view(np.uint64), ref().view(np.uint64))
        t_ours, t_ref = best_per_call(ours, 5), best_per_call(ref, 5)
        ratio = t_ours / t_ref
        verdict = "met" if ratio <= SUPERCELL_TARGET_RATIO else "MISSED"
        order = "cell-major" if cell_major else "atom-major"
        print(f"  {order}: kestrix {t_ours * 1e3:7.2f} ms   numpy broadcast {t_ref * 1e3:7.2f} ms"
              f"   ratio {ratio:.2f}x   target <= {SUPERCELL_TARGET_RATIO}x: {verdict}")


if __name__ == "__main__":
    bench_reduce()
    bench_supercell()
