"""Degenerate and nearly degenerate cells: the three searches return the true list.

The true list is enumerated by brute force (_brute_force.py) with the search's
own floating-point formulas and compared bit for bit. Every call runs in one
child interpreter, each under an alarm, so a search that never ends fails its
test instead of hanging the run.
"""

import itertools
import math
import pickle
import subprocess
import sys

import numpy as np
import pytest

import _brute_force as bf
import _reference as ref

T, F = True, False
PBCS = [list(p) for p in itertools.product([F, T], repeat=3)]
PER_CALL = 2.0  # seconds; a guard against endless searches, not a speed test
OVERFLOW = OverflowError(bf.SHIFT_RANGE)
NUMBERS = (1, 6, 8)

CHILD = r"""
import pickle, signal, sys
from kestrix import _vicinal as v

class Slow(Exception):
    pass

def alarm(*_):
    raise Slow

signal.signal(signal.SIGALRM, alarm)
limit, groups = pickle.load(sys.stdin.buffer)
out = {}
for gid, calls in groups:
    got = out[gid] = []
    for name, args in calls:
        print(gid, len(got), file=sys.stderr, flush=True)
        if ("slow",) in got:
            got.append(("skipped",))  # one slow call fails the group; don't wait again
            continue
        signal.setitimer(signal.ITIMER_REAL, limit)
        try:
            got.append(("ok", getattr(v, name)(*args)))
        except Slow:
            got.append(("slow",))
        except BaseException as exc:
            got.append(("raised", type(exc).__name__, str(exc)))
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
sys.stdout.buffer.write(pickle.dumps(out))
"""


# ---------------------------------------------------------------- systems

def three_calls(pbc, cell, positions, cutoff, self_interaction, scaled, rng, max_nbins=1000000, want=None):
    """The plain search at `cutoff`, and radii and element-pair cutoffs whose largest is `cutoff`."""
    n = len(positions)
    radii = cutoff / 2 * rng.uniform(0.55, 1.0, n)
    if n:
        radii[int(rng.integers(n))] = cutoff / 2
    numbers = rng.choice(NUMBERS, n).astype(np.int64)
    zi, zj = [1, 6, 8, 1, 8], [8, 6, 6, 1, 1]
    vals = [cutoff * 0.6, cutoff, cutoff * 0.8, cutoff * 0.7, cutoff * 0.9]  # (8, 1) replaces (1, 8)
    table = {}
    for a, b, c in zip(zi, zj, vals):
        table[(a, b)] = table[(b, a)] = c
    tail = (self_interaction, scaled, max_nbins)
    if want is None:
        want = bf.expected(pbc, cell, positions, cutoff, *tail)
    return [
        (("primitive_neighbor_list_rs", (pbc, cell, positions, cutoff) + tail), want),
        (("primitive_neighbor_list_radii_rs", (pbc, cell, positions, radii) + tail),
         bf.filtered(want, lambda i, j, d: radii[i] + radii[j] > d)),
        (("primitive_neighbor_list_dict_rs", (pbc, cell, positions, numbers, zi, zj, vals) + tail),
         bf.filtered(want, lambda i, j, d: table.get((numbers[i], numbers[j]), math.nan) > d)),
    ]


def well_conditioned(rng, size=3.0):
    return size * (rng.uniform(-0.3, 0.3, (3, 3)) + np.diag(rng.uniform(0.8, 1.3, 3)))


def fractional(rng):
    return rng.uniform(-0.6, 1.6, (int(rng.integers(3, 7)), 3))


def zero_rows(rng, pbc):
    cell = well_conditioned(rng)
    cell[rng.choice(3, int(rng.integers(1, 4)), replace=False)] = 0.0
    return cell, rng.uniform(1.5, 3.5), fractional(rng)


def parallel(rng, pbc):
    cell = well_conditioned(rng)
    k, l = rng.choice(3, 2, replace=False)
    cell[l] = cell[k] * rng.choice([2.0, -1.0, 0.5, -0.25])  # exact in float64
    return cell, rng.uniform(1.5, 3.5), fractional(rng)


def coplanar(rng, pbc):
    cell = rng.integers(-4, 5, (3, 3)) / 4.0 + np.diag([3.0, 2.5, 3.5])
    k, l, m = rng.permutation(3)
    cell[m] = cell[k] - 2.0 * cell[l]  # quarter-integers: the combination is exact
    return cell, rng.uniform(1.5, 3.5), fractional(rng)


def flat(rng, pbc):
    # A 2-D material: two rows in the xy plane, the third row zero; one atom NaN (in no row).
    cell = np.zeros((3, 3))
    k, l, _ = rng.permutation(3)
    cell[k, 0] = rng.uniform(2.5, 3.5)
    cell[l, :2] = rng.uniform(-1.5, 1.5, 2) + [0.0, 3.0]
    return cell, rng.uniform(2.0, 4.0), np.vstack([fractional(rng), [math.nan, 0.5, 0.5]])


def nearly_parallel(rng, pbc):
    cell = well_conditioned(rng)
    k, l = rng.choice(3, 2, replace=False)
    # Both periodic: a short lattice vector and many images. One open: heights of
    # 1e-6 .. 1e-14 and astronomic reaches, yet few images.
    eps = rng.uniform(0.08, 0.3) if pbc[k] and pbc[l] else 10.0 ** -rng.uniform(6, 14)
    cell[l] = 2.0 * cell[k] + eps * rng.normal(size=3)
    return cell, rng.uniform(1.5, 3.0), fractional(rng)


def extreme_rows(rng, pbc):
    # One row 2^+-600 or 1e+-300 long, a cutoff of a few A: a huge periodic row
    # has images only at S = 0, a tiny one more than int64 shifts can count.
    cell, k = well_conditioned(rng), int(rng.integers(3))
    cell[k] *= rng.choice([2.0**600, 1e300, 2.0**-600, 1e-300])
    frac = fractional(rng)
    frac[:, k] = 0.0  # off the origin of a huge row, atoms would be some 1e180 apart
    return cell, rng.uniform(1.5, 3.5), frac


EXTREME_SCALES = [(2.0**500, 1.0), (2.0**-500, 1.0), (1e150, 1.0), (1e-150, 1.0),
                  (2.0**600, 2.0**-95), (2.0**-600, 2.0**95), (1e300, 1e-150), (1e-300, 1e147)]


def extreme_scale(rng, pbc):
    # A whole cell scaled, the cutoff too, kept where its square is normal; with
    # the cutoff far below or above the cell, the atoms sit in a cluster of its size.
    f, g = EXTREME_SCALES[PBCS.index(pbc)]
    base = [zero_rows, parallel, flat][int(rng.integers(3))] if rng.random() < 0.6 else None
    cell, cutoff, frac = base(rng, pbc) if base else (well_conditioned(rng), 2.5, fractional(rng))
    if g != 1.0:
        frac = frac * g / 8
    return cell * f, cutoff * f * g, frac


FAMILIES = {f.__name__: f for f in [zero_rows, parallel, coplanar, flat, nearly_parallel,
                                    extreme_rows, extreme_scale]}


def family_groups(name, family):
    rng = np.random.default_rng(sorted(FAMILIES).index(name))
    calls = []
    for pbc in PBCS:
        cell, cutoff, frac = family(rng, pbc)
        si = bool(rng.random() < 0.5)
        nbins = int(rng.choice([1000000, 1, 27]))
        for scaled in (True, False):
            positions = frac if scaled else frac @ cell
            calls += [(call, (pbc, scaled, want)) for call, want in
                      three_calls(pbc, cell, positions, float(cutoff), si, scaled, rng, nbins)]
    return calls


def normal_groups():
    # Non-degenerate cells, reach beyond the bin count included: the brute force
    # agrees with the slow literal reference, and the search with both.
    rng = np.random.default_rng(99)
    calls = []
    for pbc in PBCS:
        for size in (8.0, 1.2):  # several bins; one bin with a reach beyond it
            cell, frac = well_conditioned(rng, size), rng.uniform(-0.6, 1.6, (6, 3))
            cutoff, scaled = float(rng.uniform(1.0, 4.0)), bool(rng.random() < 0.5)
            positions = frac if scaled else frac @ cell
            nbins = int(rng.choice([1000000, 1, 8]))
            calls += [(call, (pbc, scaled, want)) for call, want in
                      three_calls(pbc, cell, positions, cutoff, True, scaled, rng, nbins)]
    return calls


# ---------------------------------------------------------------- concrete reproductions

X = np.array([[0.0, 0, 0], [0.5, 0.5, 0]])
Y = np.array([[0.0, 0, 0], [0.1, 0, 0], [0, 0.15, 0]])
A = np.array([3.5331444980398357, -3.3198286206374314, -5.7724818001614615])
C = np.array([2.1016346560481702, -1.3343023670483523, -3.2292175203024227])
A2AC = np.array([A, 2 * A, C])
TEN = np.random.default_rng(0).random((10, 3)) * 3
NEARLY_SINGULAR = np.array([[1.1, 2.2, 3.3], [4.4, 5.5, 6.6], [7.7, 8.8, 9.9]])
ODD = np.array([[0.2, 0.3, 0], [1.4, 0.3, 0], [0.25, -0.6, 0.1], [0.2, 0.3, 0]])

# id: (pbc, cell, positions, cutoff, self_interaction, scaled, rows, expected error or None)
REPRODUCTIONS = {
    "2-D material": ([T, T, F], np.diag([3.0, 3, 0]), X, 3.5, F, T, 16, None),
    "parallel open row": ([F, T, T], np.array([[1.0, 2, 3], [2, 4, 6], [0, 0, 1]]), ODD, 1.0, T, T, None, None),
    "zero cell": ([T] * 3, np.zeros((3, 3)), X, 2.0, F, T, None, ValueError(bf.DEPENDENT)),
    "flat all periodic": ([T] * 3, np.diag([3.0, 3, 0]), X, 2.0, F, T, None, ValueError(bf.DEPENDENT)),
    "b = 2a all periodic": ([T] * 3, np.array([[1.0, 0, 0], [2, 0, 0], [0, 0, 1]]), X, 2.0, F, T, None,
                            ValueError(bf.DEPENDENT)),
    "height 1e-200 open": ([T, F, F], np.diag([3, 3, 1e-200]), Y, 2.0, F, T, 6, None),
    "row 1e300": ([T] * 3, np.diag([1e300, 1, 1]), Y, 3.5, F, T, 186, None),
    "reach beyond 2^63": ([T, F, F], np.array([[1.0, 0, 0], [1, 1e-20, 0], [0, 0, 1]]), np.array([[3e18, 0.5, 0]]),
                          1.5, T, T, 3, None),
    **{f"a, 2a, c {''.join('TF'[not b] for b in pbc)}": (pbc, A2AC, TEN, 2.0, F, F, rows, error)
       for pbc, rows, error in [
           ([T, F, F], None, None), ([T, F, T], None, None), ([F, T, T], None, None),
           ([F, T, F], None, None), ([F, F, T], 36, None),
           ([T, T, T], None, ValueError(bf.DEPENDENT)), ([T, T, F], None, ValueError(bf.DEPENDENT))]},
    # Precedence: each of these cells is also degenerate; the earlier outcome wins.
    "no atoms": ([T] * 3, np.zeros((3, 3)), np.zeros((0, 3)), 2.0, F, F, 0, None),
    "infinite cutoff": ([T, T, F], np.diag([3.0, 3, 0]), X, math.inf, F, T, None, ValueError(ref.INFINITE_CUTOFF)),
    "singular Cartesian": ([T] * 3, np.diag([3.0, 3, 0]), X, 2.0, F, F, None, ValueError(ref.singular_message(0.0))),
    "zero cutoff": ([T] * 3, np.zeros((3, 3)), X, 0.0, T, T, 0, None),
    "NaN cutoff": ([T] * 3, np.zeros((3, 3)), X, math.nan, T, T, 0, None),
    "cutoff squaring to 0": ([T] * 3, np.zeros((3, 3)), X, 1e-170, T, T, 0, None),
    "NaN in the cell": ([T] * 3, np.array([[3.0, 0, 0], [6, 0, 0], [math.nan, 0, 0]]), X, 2.0, T, T, 0, None),
    "no finite atom": ([T] * 3, np.zeros((3, 3)), np.array([[math.nan, 0, 0], [math.inf, 0, 0]]), 2.0, T, T, 0,
                       None),
    "dependent before overflow": ([T] * 3, np.array([[2.0, 0, 0], [4, 0, 0], [0, 0, 2]]),
                                  np.array([[5e299, 0, 0], [-5e299, 0, 0]]), 1.5, F, T, None,
                                  ValueError(bf.DEPENDENT)),
    # Beyond what can be listed; no brute force.
    "shift beyond int64": ([T, F, F], np.eye(3), np.array([[0.0, 0, 0], [9.3e18, 0, 0]]), 1.5, F, F, None, OVERFLOW),
    "atoms at +-1e300": ([T] * 3, 2 * np.eye(3), np.array([[1e300, 0, 0], [-1e300, 0, 0]]), 1.5, F, F, None,
                         OVERFLOW),
    "periodic b - a = 1e-20": ([T, T, F], np.array([[1.0, 0, 0], [1, 1e-20, 0], [0, 0, 1]]), X, 1.5, F, T, None,
                               OVERFLOW),
    "nearly singular": ([T] * 3, NEARLY_SINGULAR, TEN, 5.0, F, F, None, MemoryError()),
}


def reproduction_calls(case):
    pbc, cell, positions, cutoff, si, scaled, _, error = REPRODUCTIONS[case]
    hopeless = isinstance(error, (OverflowError, MemoryError))  # no brute force for these
    calls = three_calls(pbc, cell, positions, cutoff, si, scaled, np.random.default_rng(7),
                        want=error if hopeless else None)
    return [(call, (pbc, scaled, want)) for call, want in calls]


def empty_variant_calls():
    # Empty radii or cutoff values: no search at all, even where the list is infinite.
    tail = (F, T, 1000000)
    dependent = ([T] * 3, np.diag([3.0, 3, 0]), X)
    want = ([T] * 3, True, (ref.empty(), True))
    return [(("primitive_neighbor_list_radii_rs", dependent + (np.zeros(0),) + tail), want),
            (("primitive_neighbor_list_dict_rs", dependent + (np.ones(2, np.int64), [1], [1], []) + tail), want)]


# ---------------------------------------------------------------- running and comparing

GROUPS = {f"family {name}": (lambda n=name, f=f: family_groups(n, f)) for name, f in FAMILIES.items()}
GROUPS["normal cells"] = normal_groups
GROUPS.update({f"case {case}": (lambda c=case: reproduction_calls(c)) for case in REPRODUCTIONS})
GROUPS["empty cutoffs"] = empty_variant_calls


@pytest.fixture(scope="module")
def runs():
    """gid -> [(call, expectation, outcome)]; every call in one child interpreter."""
    plans = {gid: make() for gid, make in GROUPS.items()}
    payload = pickle.dumps((PER_CALL, [(gid, [c for c, _ in plan]) for gid, plan in plans.items()]))
    try:  # at most one alarm per group: a group stops at its first slow call
        proc = subprocess.run([sys.executable, "-c", CHILD], input=payload, capture_output=True,
                              timeout=120 + PER_CALL * len(plans))
    except subprocess.TimeoutExpired as exc:  # a search ignoring signals
        last = (exc.stderr or b"").decode().splitlines()[-1:]
        pytest.fail(f"searches did not finish; last started: group and call {last}")
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    outcomes = pickle.loads(proc.stdout)
    return {gid: [(call, want, got) for (call, want), got in zip(plan, outcomes[gid], strict=True)]
            for gid, plan in plans.items()}


def difference(got, want):
    """None if the arrays agree (floats bit for bit), else where they first differ."""
    for name, g, w in zip("i j d D S".split(), got, want, strict=True):
        if g.dtype != w.dtype or g.shape != w.shape:
            return f"{name}: {g.dtype}{g.shape} instead of {w.dtype}{w.shape}"
        bits = (lambda a: a.view(np.int64)) if w.dtype == np.float64 else (lambda a: a)
        unequal = (bits(g) != bits(w)).reshape(len(g), -1 if g.size else 1).any(axis=1)
        if unequal.any():
            row = np.flatnonzero(unequal)[0]
            return f"row {row}: {name} = {g[row].tolist()!r}, expected {w[row].tolist()!r}"
    return None


def by_shift(arrays):
    i, j, d, D, S = arrays
    order = np.lexsort((j, S[:, 2], S[:, 1], S[:, 0], i))
    return tuple(a[order] for a in arrays)


def describe(outcome):
    if outcome[0] == "ok":
        return f"{len(outcome[1][0])} rows"
    if outcome[0] == "raised":
        return f"{outcome[1]}: {outcome[2]}"
    return f"no result within {PER_CALL} s" if outcome[0] == "slow" else "not run after a slow call"


def mismatch(want, outcome):
    """None if the outcome is the expected one, else why not."""
    if isinstance(want, Exception):
        if outcome[0] == "raised" and outcome[1] == type(want).__name__ and \
                (isinstance(want, MemoryError) or outcome[2] == str(want)):
            return None
        return f"{describe(outcome)}, expected {type(want).__name__}: {want}"
    (arrays, ordered), rows = want, len(want[0][0])
    if outcome[0] != "ok" or len(outcome[1][0]) != rows:
        return f"{describe(outcome)}, expected {rows} rows"
    got = outcome[1]
    if not ordered:  # the order among equal i is not pinned down here
        if np.any(np.diff(got[0]) < 0):
            return "rows not ordered by i"
        got, arrays = by_shift(got), by_shift(arrays)
    return difference(got, arrays)


def check_group(runs, gid):
    failures = [f"{call[0]} pbc={pbc} scaled={scaled}: {why}"
                for call, (pbc, scaled, want), got in runs[gid] if (why := mismatch(want, got))]
    assert not failures, f"{len(failures)} of {len(runs[gid])} calls wrong:\n" + "\n".join(failures[:6])


@pytest.mark.parametrize("family", list(FAMILIES))
def test_degenerate_cell_families(runs, family):
    check_group(runs, f"family {family}")


def test_normal_cells_keep_the_search_order(runs):
    for call, (_, _, want), _ in runs["normal cells"][::3]:
        arrays, ordered = want
        assert ordered
        assert difference(arrays, ref.neighbor_list(*call[1])) is None  # the literal search, here
    check_group(runs, "normal cells")


@pytest.mark.parametrize("case", list(REPRODUCTIONS))
def test_reproductions(runs, case):
    rows, error = REPRODUCTIONS[case][6:]
    want = runs[f"case {case}"][0][1][2]
    if error is None:
        assert not isinstance(want, Exception), want
        assert rows is None or len(want[0][0]) == rows
    elif not isinstance(error, (OverflowError, MemoryError)):  # else `want` is the table's own error
        assert type(want) is type(error) and str(want) == str(error)
    check_group(runs, f"case {case}")


def test_parallel_open_row_lists_the_images_across_both_periodic_rows(runs):
    (call, _, got), *_ = runs["case parallel open row"]
    assert got[0] == "ok", got
    i, j, _, _, S = got[1]
    rows = set(zip(i.tolist(), j.tolist(), map(tuple, S.tolist())))
    assert {(0, 2, (0, 1, -1)), (2, 0, (0, -1, 1)), (2, 3, (0, -1, 1)), (3, 2, (0, 1, -1))} <= rows


def test_empty_cutoffs_run_no_search(runs):
    check_group(runs, "empty cutoffs")
