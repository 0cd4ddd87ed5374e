"""The cell-list search and its two cutoff variants, against the slow reference."""

import math

import numpy as np
import pytest

import _reference as ref
from _support import assert_same, message, panic_message, run_python
from kestrix import _vicinal as vic

F = vic.primitive_neighbor_list_rs
OOB = "ndarray: index out of bounds"


def check(pbc, cell, positions, cutoff, self_interaction=False, scaled=False, max_nbins=1000000,
          call_cell=None, call_positions=None):
    want = ref.neighbor_list(pbc, cell, positions, cutoff, self_interaction, scaled, max_nbins)
    got = F(pbc, cell if call_cell is None else call_cell,
            positions if call_positions is None else call_positions, cutoff,
            self_interaction, scaled, max_nbins)
    assert_same(got, want)
    return got


def random_system(kind, rng):
    n = int(rng.integers(2, 12))
    frac = rng.random((n, 3))
    pbc = [bool(b) for b in rng.random(3) < 0.6]
    if kind == "periodic":
        cell, pbc = np.diag(rng.uniform(4, 11, 3)), [True] * 3
    elif kind == "open":
        cell, pbc = np.diag(rng.uniform(4, 11, 3)), [False] * 3
    elif kind == "skewed":
        cell = rng.uniform(-4, 4, (3, 3)) + np.diag(rng.uniform(4, 8, 3))
    elif kind == "small cell":  # reach beyond the bin count, several images per pair
        cell = np.diag(rng.uniform(0.6, 2.5, 3)) + rng.uniform(-0.3, 0.3, (3, 3))
    elif kind == "flat axis":
        cell = np.diag(rng.uniform(4, 9, 3))
        cell[rng.integers(3)] *= 0.05
    elif kind == "outside":  # atoms some periods away, open axes clamp them
        cell = rng.uniform(-2, 2, (3, 3)) + np.diag(rng.uniform(3, 6, 3))
        frac = rng.uniform(-2.5, 3.5, (n, 3))
    return pbc, cell, frac, n


KINDS = ["periodic", "open", "skewed", "small cell", "flat axis", "outside"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("scaled", [False, True])
def test_random_systems_match_the_reference(kind, scaled):
    rng = np.random.default_rng(2 * KINDS.index(kind) + scaled)
    for _ in range(6):
        pbc, cell, frac, n = random_system(kind, rng)
        positions = frac if scaled else frac @ cell
        cutoff = float(rng.choice([rng.uniform(0.5, 7.0), rng.uniform(0.05, 1.0), 3.0]))
        self_interaction = bool(rng.random() < 0.5)
        max_nbins = int(rng.choice([1000000, 1, 2, 9, 30]))
        check(pbc, cell, positions, cutoff, self_interaction, scaled, max_nbins)



@pytest.mark.parametrize("pbc, cell, n, cutoff", [
    ([True] * 3, np.eye(3) * 100, 300, 3.0),
    ([False, True, False], np.diag([100.0, 60.0, 80.0]), 400, 4.0),
    ([True, False, True], np.array([[90.0, 0, 0], [20.0, 80.0, 0], [-15.0, 10.0, 70.0]]), 250, 3.0),
])
def test_sparse_grids_match_the_reference(pbc, cell, n, cutoff):
    # Far more bins than atoms: occupied bins are looked up by hash, not in a dense table.
    rng = np.random.default_rng(n)
    positions = rng.random((n, 3)) @ cell
    for self_interaction in (False, True):
        got = check(pbc, cell, positions, cutoff, self_interaction)
        assert len(got[0]) > n * self_interaction


FCC = np.array([[0, 1.7835, 1.7835], [1.7835, 0, 1.7835], [1.7835, 1.7835, 0]])
ONE_BIN = [
    # Two atoms, the reach a few cells on every axis; rows cut at the sphere.
    ([True] * 3, FCC, [[0, 0, 0], [0.25, 0.25, 0.25]], [1.6, 6.0, 12.0]),
    # Every atom one period away: S is still the offset itself.
    ([True] * 3, FCC, [[1.0, -2.0, 0.0], [1.25, -1.75, 0.25]], [6.0]),
    # Seven atoms in a skewed cell: offsets tested against the bin's box one by one.
    ([True, False, True], np.array([[2.1, 0.3, -0.2], [0.4, 1.9, 0.1], [-0.3, 0.2, 2.4]]),
     [[0.1, 0.2, 0.3], [0.9, 0.1, 0.5], [0.5, 0.5, 0.5], [0.3, 0.8, 0.1], [0.7, 0.6, 0.9],
      [0.2, 0.4, 0.7], [0.95, 0.95, 0.05]], [2.6, 5.5]),
    # Height 0.1 along a: more than 64 offsets along that axis.
    ([True, True, False], np.array([[0.1, 0.0, 0.0], [0.03, 2.5, 0.0], [0.0, 0.2, 2.5]]),
     [[0.2, 0.1, 0.5], [0.7, 0.6, 0.2], [0.4, 0.9, 0.9]], [3.5]),
]


@pytest.mark.parametrize("pbc, cell, frac, cutoffs", ONE_BIN, ids=["fcc", "fcc shifted", "skewed", "thin"])
@pytest.mark.parametrize("self_interaction", [False, True])
def test_one_bin_grids_match_the_reference(pbc, cell, frac, cutoffs, self_interaction):
    positions = np.array(frac) @ cell
    for cutoff in cutoffs:
        got = check(pbc, cell, positions, cutoff, self_interaction)
        assert len(got[0]) > 0



@pytest.mark.parametrize("cell, n, cutoff", [
    (np.array([[9.0, 0, 0], [0.02, 0.08, 0], [0.01, 0.03, 0.09]]), 3, 3.0),
    (np.diag([7.0, 0.06, 0.06]), 4, 2.0),
])
def test_bins_with_too_many_offset_rows_match_the_reference(cell, n, cutoff):
    # Two or three bins along a, thousands of offsets across b and c: the
    # centre bins are scanned atom by atom instead of through a shared plan.
    positions = np.random.default_rng(n).random((n, 3)) @ cell
    got = check([True] * 3, cell, positions, cutoff)
    assert len(got[0]) > 1000


def test_dense_cluster_in_a_wide_box_outgrows_the_row_estimate():
    # Two far atoms make the box suggest a dilute system; the cluster's rows
    # (several MiB) grow the result blocks past their first reservation.
    rng = np.random.default_rng(3)
    positions = np.vstack([rng.random((1000, 3)) * 2.0, [[200.0, 200, 200], [-200, 0, 200]]])
    i, j, d, D, S = F([False] * 3, np.eye(3) * 200, positions, 1.0)
    want_D = (positions[None, :] - positions[:, None]) + 0.0
    d2 = (want_D[..., 0] * want_D[..., 0] + want_D[..., 1] * want_D[..., 1]) + want_D[..., 2] * want_D[..., 2]
    np.fill_diagonal(d2, np.inf)
    want_i, want_j = np.nonzero(d2 < 1.0)
    order = np.lexsort((j, i))
    assert len(i) > 250000 and np.all(np.diff(i) >= 0)
    assert np.array_equal(i[order], want_i) and np.array_equal(j[order], want_j)
    assert np.array_equal(d[order].view(np.uint64), np.sqrt(d2[want_i, want_j]).view(np.uint64))
    assert np.array_equal(D[order].view(np.uint64), want_D[want_i, want_j].view(np.uint64))
    assert not S.any()


def test_worked_example_lists_eight_rows_in_order():
    cell = np.array([[2.0, 0, 0], [0, 10, 0], [0, 0, 10]])
    positions = np.array([[0.0, 0, 0], [1, 0, 0]])
    i, j, d, D, S = check([True, False, False], cell, positions, 2.5)
    assert i.tolist() == [0, 0, 0, 0, 1, 1, 1, 1]
    assert j.tolist() == [0, 1, 1, 0, 1, 0, 0, 1]
    assert d.tolist() == [2.0, 1.0, 1.0, 2.0, 2.0, 1.0, 1.0, 2.0]
    assert D[:, 0].tolist() == [-2, -1, 1, 2, -2, -1, 1, 2] and not D[:, 1:].any()
    assert S[:, 0].tolist() == [-1, -1, 0, 1, -1, 0, 1, 1] and not S[:, 1:].any()


@pytest.mark.parametrize(
    "layout",
    [
        np.asfortranarray,
        lambda a: np.ascontiguousarray(a.T).T,
        lambda a: np.flipud(np.flipud(a).copy()),
        lambda a: np.pad(a, ((0, 0), (0, 2)))[:, :3],  # rows wider than three columns
        lambda a: np.repeat(a, 3, axis=0)[::3],
    ],
    ids=["fortran", "transposed", "reversed", "extra columns", "strided"],
)
def test_any_strides_read_the_same_values(layout):
    rng = np.random.default_rng(5)
    cell = rng.uniform(-2, 2, (3, 3)) + np.diag([6.0, 7.0, 5.0])
    positions = rng.uniform(-1, 7, (14, 3))
    big_cell = np.pad(cell, ((0, 1), (0, 2)), constant_values=np.nan)  # only the 3x3 block is read
    check([True, False, True], cell, positions, 4.5, call_cell=layout(big_cell)[:4],
          call_positions=layout(positions))


@pytest.mark.parametrize(
    "pbc, cell, positions, cutoff",
    [
        # Shifts beyond 2^62 periods on either side: moved to the middle, S unchanged.
        ([True] * 3, np.eye(3), np.array([[4.65e18, 0, 0], [-4.5e18, 0.5, 0], [0.25, 0, 0]]), 2.5),
        ([True, False, False], np.diag([1.0, 4.0, 4.0]), np.array([[9.2e18, 0, 0], [0.0, 0.5, 0]]), 1.7),
        ([False] * 3, np.diag([5.0, 5.0, 5.0]), np.array([[-40.0, 1, 1], [-39.0, 1, 1.5], [60, 2, 2]]), 3.5),
        ([True] * 3, np.diag([3.0, 3.0, 3.0]), np.array([[1.0, 1, 1], [1.0, 1, 1], [1.0, 1, 2.5]]), 3.5),
    ],
    ids=["far periodic", "far one axis", "open outside", "coincident"],
)
def test_edge_geometry_matches_the_reference(pbc, cell, positions, cutoff):
    check(pbc, cell, positions, cutoff, self_interaction=True)


def test_atoms_beyond_int64_periods_on_one_side_keep_their_rows():
    # 1e19 and 1e19 + 2048 periods out: S between them is exact, though neither
    # atom's own shift fits in int64.
    x = 1e19
    i, j, d, D, S = F([True, False, False], np.eye(3), np.array([[x, 0, 0], [x + 2048, 0, 0]]), 1.5)
    rows = [(a, b, s) for a in (0, 1) for q in (-1, 0, 1) for b in (0, 1)
            if (s := q + (b - a) * -2048) or a != b]
    assert list(zip(i.tolist(), j.tolist(), S[:, 0].tolist())) == rows
    assert not S[:, 1:].any() and d.tolist() == [abs(s + (b - a) * 2048.0) for a, b, s in rows]


@pytest.mark.parametrize(
    "pbc, cell, positions",
    [
        ([True] * 3, np.eye(3), [[1e19, 0, 0], [1e19, 0.5, 0], [-1e19, 0, 0], [0.25, 0, 0]]),
        ([True, False, False], np.diag([1.0, 4.0, 4.0]), [[0, 0, 0], [9.3e18, 0, 0]]),
        ([True] * 3, 2 * np.eye(3), [[1e300, 0, 0], [-1e300, 0, 0]]),
    ],
    ids=["2e19 periods", "9.3e18 periods", "1e300 periods"],
)
def test_shifts_beyond_int64_raise_overflow_error(pbc, cell, positions):
    with pytest.raises(OverflowError, match="^cell shift out of range$"):
        F(pbc, cell, np.array(positions, float), 1.5)


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_non_finite_values_drop_rows_only(bad):
    cell = np.diag([4.0, 5.0, 6.0])
    positions = np.array([[0.5, 0.5, 0.5], [1.5, 0.5, 0.5], [bad, 1.0, 1.0], [2.0, 2.0, bad]])
    got = check([True, True, False], cell, positions, 3.2, self_interaction=True)
    assert set(got[0].tolist()) == {0, 1} and set(got[1].tolist()) == {0, 1}
    bad_cell = cell.copy()
    bad_cell[1, 2] = bad
    assert_same(F([True] * 3, bad_cell, positions[:2], 3.2, True, True), ref.empty())


@pytest.mark.parametrize("cutoff", [0.0, -0.0, -1.5, -math.inf, math.nan, 1e-170])
def test_cutoffs_that_admit_no_row_give_empty_lists(cutoff):
    cell = np.diag([3.0, 3.0, 3.0])
    positions = np.array([[0.0, 0, 0], [0.0, 0, 0], [1.0, 0, 0]])
    assert_same(F([True] * 3, cell, positions, cutoff, True), ref.empty())


def test_negative_cutoff_still_checks_the_cell_first():
    singular = np.zeros((3, 3))
    assert message(ValueError, lambda: F([True] * 3, singular, np.zeros((1, 3)), -2.0)) == (
        "Cell matrix is singular (det = 0.000e0). Cannot compute scaled positions.")
    assert panic_message(lambda: F([True] * 3, np.eye(3), np.zeros((1, 2)), -2.0)) == OOB


def test_infinite_cutoff():
    cell, positions = np.diag([3.0, 4.0, 5.0]), np.array([[0.0, 0, 0], [1e300, 0, 0], [2.0, 1, 1]])
    for pbc in ([True, False, False], [False, False, True]):
        assert message(ValueError, lambda: F(pbc, cell, positions, math.inf)) == ref.INFINITE_CUTOFF
    # All axes open: every pair whose squared distance stays finite.
    i, j, d, D, S = check([False] * 3, cell, positions, math.inf, self_interaction=True)
    assert len(i) == 3 + 2 and not S.any()  # 1e300 away squares to infinity


def test_no_bins_allowed_is_read_as_one():
    rng = np.random.default_rng(2)
    cell, positions = np.diag([7.0, 8.0, 9.0]), rng.uniform(0, 8, (10, 3))
    got = check([True, True, False], cell, positions, 3.0, max_nbins=0)
    assert_same(got, F([True, True, False], cell, positions, 3.0, max_nbins=1))


@pytest.mark.parametrize(
    "diag, text",
    [
        ([0.0, 0.0, 0.0], "0.000e0"),
        ([1e-16, 1.0, 1.0], "1.000e-16"),
        ([-2.5e-17, 1.0, 1.0], "-2.500e-17"),
        ([9.9996e-16, 1.0, 1.0], "1.000e-15"),
        ([5e-324, 1.0, 1.0], "4.941e-324"),
        ([1.23456e-300, 1.0, 1.0], "1.235e-300"),
    ],
)
def test_singular_cell_message(diag, text):
    assert message(ValueError, lambda: F([True] * 3, np.diag(diag), np.zeros((2, 3)), 2.0)) == (
        f"Cell matrix is singular (det = {text}). Cannot compute scaled positions.")


def test_singular_cell_message_negative_zero():
    cell = np.array([[-1.0, -1, -1], [0, 0, 0], [0, 0, 0]])
    # before the column check
    assert message(ValueError, lambda: F([True] * 3, cell, np.zeros((1, 2)), 2.0)) == (
        "Cell matrix is singular (det = -0.000e0). Cannot compute scaled positions.")


@pytest.mark.parametrize(
    "cell, positions, scaled",
    [
        (np.eye(2), np.zeros((1, 3)), False),
        (np.eye(4)[:3, :2], np.zeros((1, 3)), True),
        (np.eye(3), np.zeros((1, 2)), False),
        (np.eye(3), np.zeros((1, 2)), True),
    ],
)
def test_internal_failures(cell, positions, scaled):
    assert panic_message(lambda: F([True] * 3, cell, positions, 2.0, False, scaled)) == OOB
    assert_same(F([True] * 3, cell, positions[:0], 2.0, False, scaled), ref.empty())


def test_thin_periodic_axis_lists_its_few_images():
    # Height 1e-9, cutoff 1e-8: the reach is 3e9 offsets, the list 18 images.
    code = """
        import numpy as np
        from kestrix import _vicinal as v
        i, j, d, D, S = v.primitive_neighbor_list_rs([True] * 3, np.diag([1e-9, 10.0, 10.0]),
                                                     np.array([[0.0, 1.0, 1.0]]), 1e-8)
        assert not S[:, 1:].any() and not D[:, 1:].any() and not (i | j).any()
        assert D[:, 0].tolist() == (S[:, 0] * 1e-9).tolist() and d.tolist() == np.abs(D[:, 0]).tolist()
        print(S[:, 0].tolist())
    """
    out = run_python(code, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == str([k for k in range(-9, 10) if k])


def test_reach_beyond_two_to_the_63_gives_the_true_list():
    # Periodic a = (1, 0, 0) with b nearly along a: height 1e-20, reach saturated,
    # yet the images along a are 1 apart. Expected rows by brute force over S0.
    cell = np.array([[1.0, 0, 0], [1.0, 1e-20, 0], [0, 0, 1.0]])
    frac = np.array([[0.0, 0.0, 0.0], [0.0, 0.5, 0.0]])
    p = [[((0.0 + s[0] * cell[0][x]) + s[1] * cell[1][x]) + s[2] * cell[2][x] for x in range(3)]
         for s in frac]
    rows = []
    for i in range(2):
        for s0 in range(-6, 7):
            for j in range(2):
                if i == j and s0 == 0:
                    continue
                D = [(p[j][x] - p[i][x]) + ((float(s0) * cell[0][x] + 0.0 * cell[1][x])
                                            + 0.0 * cell[2][x]) for x in range(3)]
                d2 = (D[0] * D[0] + D[1] * D[1]) + D[2] * D[2]
                if d2 < 2.5 * 2.5:
                    rows.append((i, j, math.sqrt(d2), D, [s0, 0, 0]))
    want = tuple(np.array(c, dtype) for c, dtype in zip(zip(*rows), (np.int64, np.int64, float, float, np.int64)))
    assert_same(F([True, False, False], cell, frac, 2.5, False, True), want)


@pytest.mark.parametrize(
    "call",
    [
        # Nearly singular (det ~ 1.8e-14): some 10^16 rows per atom.
        "v.primitive_neighbor_list_rs([True] * 3, np.array([[1.1, 2.2, 3.3], [4.4, 5.5, 6.6],"
        " [7.7, 8.8, 9.9]]), np.zeros((1, 3)), 5.0)",
        "v.primitive_neighbor_list_radii_rs([True] * 3, np.array([[1.1, 2.2, 3.3], [4.4, 5.5, 6.6],"
        " [7.7, 8.8, 9.9]]), np.zeros((1, 3)), np.array([2.5]))",
        # b x c and det(a, b, c) are 2^-53 - 2^-105 exactly, 0 in floating point:
        # independent, with some 10^14 images per atom.
        "v.primitive_neighbor_list_rs([False, True, True], np.array([[1.0, 0, 0], [0, 1 + 2**-52, 1],"
        " [0, 1, 1 - 2**-53]]), np.zeros((1, 3)), 1.0, False, True)",
        "v.primitive_neighbor_list_rs([True] * 3, np.array([[1.0, 0, 0], [0, 1 + 2**-52, 1],"
        " [0, 1, 1 - 2**-53]]), np.zeros((1, 3)), 1.0, False, True)",
    ],
    ids=["nearly singular", "radii nearly singular", "pair nearly parallel", "rows nearly coplanar"],
)
def test_hopeless_sizes_raise_memory_error_at_once(call):
    code = f"""
        import numpy as np
        from kestrix import _vicinal as v
        try:
            {call}
        except MemoryError:
            print("MemoryError")
    """
    out = run_python(code, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "MemoryError"


# ---------------------------------------------------------------- variants

def variant_system(seed):
    rng = np.random.default_rng(seed)
    cell = rng.uniform(-1, 1, (3, 3)) + np.diag(rng.uniform(3, 6, 3))
    positions = rng.uniform(-1, 6, (10, 3))
    pbc = [bool(b) for b in rng.random(3) < 0.7]
    return rng, pbc, cell, positions


# Many species in the keys (600 more, none of them among the atoms) are looked
# up another way than a few; the result is the same.
@pytest.mark.parametrize("unused_species", [0, 600])
@pytest.mark.parametrize("seed", range(4))
def test_dict_variant_filters_the_search_at_the_largest_cutoff(seed, unused_species):
    rng, pbc, cell, positions = variant_system(seed)
    numbers = rng.choice([1, 6, 8, -3], size=len(positions))
    half = unused_species // 2
    zi = [1000 + k for k in range(half)] + [1, 6, 8, 6, 1, -3, 8]
    zj = [2000 + k for k in range(half)] + [8, 6, 1, 1, 1, -3, 8]
    vals = [2.9] * half + [1.2, 2.5, 1.5, math.nan, 3.0, 0.0, 2.0]  # (8, 1) replaces (1, 8)
    table = {}
    for a, b, c in zip(zi, zj, vals):
        table[(a, b)] = table[(b, a)] = c
    search = ref.neighbor_list(pbc, cell, positions, 3.0, True)
    want = ref.filter_rows(search, lambda i, j, d: table.get((numbers[i], numbers[j]), math.nan) > d)
    assert_same(vic.primitive_neighbor_list_dict_rs(pbc, cell, positions, numbers, zi, zj,
                                                    vals + [math.nan, -1.0], True), want)


@pytest.mark.parametrize("seed", range(4))
def test_radii_variant_filters_the_search_at_twice_the_largest_radius(seed):
    rng, pbc, cell, positions = variant_system(seed)
    radii = rng.uniform(0.2, 1.6, len(positions))
    radii[1] = math.nan
    search = ref.neighbor_list(pbc, cell, positions, np.nanmax(radii) * 2, True)
    want = ref.filter_rows(search, lambda i, j, d: radii[i] + radii[j] > d)
    extra = np.append(radii, 0.5)  # longer than the atoms: never read for a pair
    assert_same(vic.primitive_neighbor_list_radii_rs(pbc, cell, positions, extra, True), want)


@pytest.mark.parametrize(
    "lengths, index",
    [((3, 2, 3), 2), ((3, 3, 1), 1), ((3, 1, 1), 1)],
)
@pytest.mark.parametrize("atoms", [0, 3])
def test_dict_key_sequences_running_out(lengths, index, atoms):
    li, lj, lc = lengths
    positions = np.arange(3.0 * atoms).reshape(atoms, 3)
    call = lambda: vic.primitive_neighbor_list_dict_rs(
        [True] * 3, np.eye(3) * 5, positions, np.ones(atoms, np.int64), [1] * li, [1] * lj, [2.0] * lc)
    assert panic_message(call) == f"index out of bounds: the len is {index} but the index is {index}"


def test_variant_failures_and_empty_inputs():
    cell, positions = np.eye(3) * 4, np.array([[0.0, 0, 0], [1.0, 0, 0], [3.5, 3.5, 3.5]])
    D = vic.primitive_neighbor_list_dict_rs
    R = vic.primitive_neighbor_list_radii_rs
    # Empty cutoffs: no search at all, even with a singular cell.
    assert_same(D([True] * 3, np.zeros((3, 3)), positions, np.zeros(0, np.int64), [1], [], []), ref.empty())
    assert_same(R([True] * 3, np.zeros((3, 3)), positions, np.zeros(0)), ref.empty())
    # The search's error comes first.
    for call in (lambda: D([True] * 3, np.zeros((3, 3)), positions, np.ones(3, np.int64), [1, 2], [1], [1.0]),
                 lambda: R([True] * 3, np.zeros((3, 3)), positions, np.ones(1))):
        with pytest.raises(ValueError):
            call()
    # An atom of a row beyond numbers or radii; atoms in no row need no entry.
    for call in (lambda: D([False] * 3, cell, positions, np.ones(1, np.int64), [1], [1], [2.0]),
                 lambda: R([False] * 3, cell, positions, np.ones(1))):
        assert panic_message(call) == OOB
    got = R([False] * 3, cell, positions, np.array([0.6, 0.6]))
    assert got[0].tolist() == [0, 1] and got[2].tolist() == [1.0, 1.0]
    # Infinite largest cutoff with a periodic axis: the search's message.
    call = lambda: D([True] * 3, cell, positions, np.ones(3, np.int64), [1], [1], [math.inf])
    assert message(ValueError, call) == ref.INFINITE_CUTOFF


def test_a_long_search_is_interrupted_by_a_signal():
    # 60,000 atoms in one 3 A bin with a tiny cutoff: billions of candidate
    # pairs and no row, so only the signal can end it early.
    code = """
        import signal, time
        import numpy as np
        from kestrix import _vicinal as v
        positions = np.random.default_rng(0).random((60000, 3)) * 2.9
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        start = time.perf_counter()
        try:
            v.primitive_neighbor_list_rs([False] * 3, np.eye(3) * 3.0, positions, 1e-3)
            print("finished")
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        print(len(v.primitive_neighbor_list_rs([False] * 3, np.eye(3) * 3.0, positions[:10], 1.0)[0]))
    """
    out = run_python(code, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["KeyboardInterrupt", "4"]
