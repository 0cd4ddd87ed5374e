import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

from _support import assert_same, panic_message
from kestrix._lattica import make_supercell_positions_rs


def broadcast(prim, lp, cell_major):
    prim, lp = np.asarray(prim)[:, :3], np.asarray(lp)[:, :3]
    if cell_major:
        return (prim[None, :, :] + lp[:, None, :]).reshape(-1, 3)
    return (prim[:, None, :] + lp[None, :, :]).reshape(-1, 3)


def test_small_example_both_orders():
    prim = np.array([[0, 0, 0], [0.5, 0.5, 0.5]])
    lp = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], dtype=np.float64)
    assert make_supercell_positions_rs(prim, lp, True).tolist() == [
        [0, 0, 0], [0.5, 0.5, 0.5], [1, 0, 0], [1.5, 0.5, 0.5], [0, 1, 0], [0.5, 1.5, 0.5]]
    assert make_supercell_positions_rs(prim, lp, np.False_).tolist() == [
        [0, 0, 0], [1, 0, 0], [0, 1, 0], [0.5, 0.5, 0.5], [1.5, 0.5, 0.5], [0.5, 1.5, 0.5]]


rng = np.random.default_rng(11)
P = rng.normal(size=(7, 5)) * 1e3
L = rng.normal(size=(9, 4)) * 1e2
P[0, 0], L[1, 2] = -0.0, np.nan
LAYOUTS = {
    "c": (P, L),
    "fortran": (np.asfortranarray(P), np.asfortranarray(L)),
    "strided": (P[::2, ::-1][:, 2:], L[::3]),
    "reversed": (P[::-1], L[::-1, ::-1][:, ::-1]),
    "transposed": (P.T.copy().T, L.T.copy().T),
    "same": (L, L),
    "readonly": (np.frombuffer(P.tobytes()).reshape(P.shape), L),
}


@pytest.mark.parametrize("cell_major", [True, False])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_matches_broadcast(layout, cell_major):
    prim, lp = LAYOUTS[layout]
    before = (prim.copy(), lp.copy())
    out = make_supercell_positions_rs(prim, lp, cell_major)
    assert_same(out, broadcast(prim, lp, cell_major))
    assert out.flags.c_contiguous and out.flags.writeable and type(out) is np.ndarray
    out[:] = 1.0
    assert_same(prim, before[0])
    assert np.array_equal(lp, before[1], equal_nan=True)


@pytest.mark.parametrize("cell_major", [True, False])
@pytest.mark.parametrize("prim_shape, lp_shape", [
    ((0, 3), (4, 3)), ((4, 3), (0, 3)), ((0, 0), (4, 1)), ((2, 1), (0, 0)), ((0, 0), (0, 0))])
def test_empty(prim_shape, lp_shape, cell_major):
    out = make_supercell_positions_rs(np.zeros(prim_shape), np.zeros(lp_shape), cell_major)
    assert out.shape == (0, 3) and out.strides == (0, 0) and out.dtype == np.float64


def test_single_point_clears_negative_zero():
    prim = np.array([[-0.0, 1.0, -2.0, 9.0]])
    out = make_supercell_positions_rs(prim, np.zeros((1, 3)), True)
    assert out.view(np.uint64).tolist() == np.array([[0.0, 1.0, -2.0]]).view(np.uint64).tolist()


@pytest.mark.parametrize("prim_cols, lp_cols", [(2, 3), (3, 2), (1, 1)])
def test_too_few_columns(prim_cols, lp_cols):
    for cell_major in (True, False):
        call = lambda: make_supercell_positions_rs(np.ones((2, prim_cols)), np.ones((3, lp_cols)), cell_major)
        assert panic_message(call) == "ndarray: index out of bounds"


SHAPE_TOO_LARGE = ("ndarray: Shape too large, product of non-zero axis lengths overflows: "
                   "the product exceeds the largest signed size (2^63 - 1)")


# 3n = 2^63 + 1 and 24n = 2^63 + 16: the first sizes past each limit.
FIRST_3N_OVER = (9 * 19 * 43 * 5419, (2**63 + 1) // 3 // (9 * 19 * 43 * 5419))
FIRST_24N_OVER = (2, (2**59 + 1) // 3)


@pytest.mark.parametrize("n_prim, n_super, message", [
    (2**40, 2**40, SHAPE_TOO_LARGE), (*FIRST_3N_OVER, SHAPE_TOO_LARGE),
    (2**30, 2**30, "capacity overflow"), (*FIRST_24N_OVER, "capacity overflow")])
def test_unrepresentable_sizes(n_prim, n_super, message):
    row = np.zeros((1, 3))
    prim = as_strided(row, shape=(n_prim, 3), strides=(0, 8))
    lp = as_strided(row, shape=(n_super, 3), strides=(0, 8))
    assert panic_message(lambda: make_supercell_positions_rs(prim, lp, True)) == message
