import numpy as np
import pytest

import _reference_lattica as ref
from _support import is_panic, message
from kestrix._lattica import minkowski_reduce_rs

MASK = (1 << 64) - 1

# (cell, op, rcell): every value exact in double precision.
WORKED = [
    ([[2, 0, 0], [5, 1, 0], [0, 0, 7]], [[-3, 1, 0], [-2, 1, 0], [0, 0, 1]],
     [[-1, 1, 0], [1, 1, 0], [0, 0, 7]]),
    ([[1, 0, 0], [3, 1, 0], [0, 0, 1]], [[1, 0, 0], [0, 0, 1], [-3, 1, 0]],
     [[1, 0, 0], [0, 0, 1], [0, 1, 0]]),
    ([[3, 0, 0], [0, 2, 0], [0, 0, 1]], [[0, 0, 1], [0, 1, 0], [1, 0, 0]],
     [[0, 0, 1], [0, 2, 0], [3, 0, 0]]),
    ([[0, 2, 0], [1, 0, 0], [0, 0, 3]], [[0, 1, 0], [1, 0, 0], [0, 0, 1]],
     [[1, 0, 0], [0, 2, 0], [0, 0, 3]]),
    (np.eye(3), np.eye(3), np.eye(3)),
    ([[2, 0, 0], [1, 5, 0], [0, 0, 9]], [[1, 0, 0], [-1, 1, 0], [0, 0, 1]],
     [[2, 0, 0], [-1, 5, 0], [0, 0, 9]]),
    ([[2, 0, 0], [-1, 5, 0], [0, 0, 9]], [[1, 0, 0], [1, 1, 0], [0, 0, 1]],
     [[2, 0, 0], [1, 5, 0], [0, 0, 9]]),
]


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def native(cell):
    """(rcell, op) as plain lists, or None for a PanicException."""
    try:
        rcell, op = minkowski_reduce_rs(cell)
    except BaseException as exc:  # PanicException derives from BaseException only
        assert is_panic(exc), exc
        assert str(exc) == "an expected value was missing: two candidate keys have no order"
        return None
    return rcell.tolist(), op.tolist()


def reference(cell):
    try:
        return ref.minkowski_reduce(cell.tolist())
    except ref.Panic:
        return None


def check_invariants(cell):
    """What must hold for every result; returns it (None for a panic)."""
    before = cell.copy()
    out = native(cell)
    assert np.array_equal(bits(cell), bits(before))
    if out is None:
        return None
    rcell, op = out
    (a, b, c), (d, e, f), (g, h, i) = op
    det = (a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g)) & MASK
    assert det in (1, MASK)
    expected = [ref.row_product(row, cell.tolist()) for row in op]
    assert np.array_equal(bits(rcell), bits(expected))
    assert np.array_equal(bits(native(cell)[0]), bits(rcell)) and native(cell)[1] == op
    return out


@pytest.mark.parametrize("cell, op, rcell", WORKED)
def test_worked_examples(cell, op, rcell):
    got_rcell, got_op = minkowski_reduce_rs(np.array(cell, dtype=np.float64))
    assert got_op.dtype == np.int64 and got_rcell.dtype == np.float64
    assert got_op.tolist() == np.asarray(op, dtype=np.int64).tolist()
    assert np.array_equal(bits(got_rcell), bits(rcell))
    for a in (got_rcell, got_op):
        assert a.shape == (3, 3) and a.flags.c_contiguous and a.flags.writeable


def random_unimodular(rng, bound=10**6):
    u = np.eye(3, dtype=object)
    for _ in range(40):
        i, j = rng.choice(3, 2, replace=False)
        k = int(rng.integers(-5, 6))
        row = u[i] + k * u[j]
        if max(abs(int(x)) for x in row) <= bound:
            u[i] = row
        if rng.random() < 0.1:
            u[[i, j]] = u[[j, i]]
    return u


def random_cells(seed):
    rng = np.random.default_rng(seed)
    for _ in range(25):
        reduced = np.diag(rng.uniform(1, 5, 3)) + rng.uniform(-0.4, 0.4, (3, 3))
        yield (random_unimodular(rng).astype(np.float64) @ reduced)
        yield rng.normal(size=(3, 3)) * 10.0 ** rng.integers(-3, 4)
        near = rng.normal(size=(3, 3))
        near[2] = near[0] * rng.normal() + near[1] * rng.normal() + rng.normal(size=3) * 1e-9
        yield near
        yield rng.normal(size=(3, 3)) * 10.0 ** rng.choice([150, 153, 154, 200, 300, -300, -320])
        yield rng.integers(-3, 4, size=(3, 3)).astype(np.float64)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_cells_match_reference_and_invariants(seed):
    results = 0
    for cell in random_cells(seed):
        got = check_invariants(cell)
        want = reference(cell)
        if want is None:
            assert got is None
            continue
        results += 1
        assert got is not None and got[1] == want[1]
        assert np.array_equal(bits(got[0]), bits(want[0]))
    assert results > 80


def test_small_integer_cells_match_reference():
    # Small integer cells are full of exact ties between lengths and distances.
    rng = np.random.default_rng(5)
    for _ in range(400):
        cell = rng.integers(-2, 3, size=(3, 3)).astype(np.float64)
        want = reference(cell)
        got = native(cell)
        assert (got is None) == (want is None)
        if want is not None:
            assert got[1] == want[1] and np.array_equal(bits(got[0]), bits(want[0]))


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("where", [(0, 0), (1, 2), (2, 1)])
def test_non_finite_entry_panics(value, where):
    cell = np.eye(3) * 2.0
    cell[where] = value
    assert native(cell) is None
    assert native(np.eye(3))[1] == np.eye(3, dtype=int).tolist()  # interpreter still usable


@pytest.mark.parametrize("rows", [
    [[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[1, 0, 0], [0, 0, 0], [0, 0, 1]],
    [[1, 2, 3], [0, 1, 0], [0, 0, 0]], [[1, 2, 3], [1, 2, 3], [0, 0, 1]],
    [[1, 0, 0], [0, 5, 1], [0, 5, 1]], np.zeros((3, 3)),
])
def test_zero_or_equal_rows_panic(rows):
    assert native(np.array(rows, dtype=np.float64)) is None


def test_layouts_and_negative_zero():
    rng = np.random.default_rng(7)
    cell = random_unimodular(rng, 50).astype(np.float64) @ (np.eye(3) + 0.1 * rng.normal(size=(3, 3)))
    want = native(cell)
    big = np.zeros((6, 6))
    big[::2, ::2] = cell
    views = [np.asfortranarray(cell), cell.T.copy().T, big[::2, ::2],
             np.ascontiguousarray(cell[::-1, ::-1])[::-1, ::-1]]
    for view in views:
        assert native(view) == want
    # Without the leading +0.0 every zero below would come out as -0.0.
    signed = np.array([[-0.0, -0.0, -1.0], [-0.0, -2.0, -0.0], [-3.0, -0.0, -0.0]])
    rcell, op = minkowski_reduce_rs(signed)
    assert op.tolist() == np.eye(3, dtype=int).tolist()
    assert np.array_equal(bits(rcell), bits(signed + 0.0))


@pytest.mark.parametrize("shape", [(3, 4), (4, 3), (2, 3), (0, 0)])
def test_wrong_shape(shape):
    assert message(ValueError, lambda: minkowski_reduce_rs(np.ones(shape))) == (
        "cell must be shape (3, 3)")
