"""POSCAR/CONTCAR position blocks and XDATCAR configuration blocks."""

import numpy as np
import pytest

from _support import message, panic_message, raised
from kestrix._scribe import (format_poscar_positions_rs, format_xdatcar_config_rs,
                             parse_poscar_positions_rs, parse_xdatcar_coords_rs)

PANIC = "ndarray: index out of bounds"
ROW = "  0.5000000000000000  0.2500000000000000  0.0000000000000000"


# ---------------------------------------------------------------- POSCAR

@pytest.mark.parametrize("line, flags", [
    ("0 0 0", [False, False, False]), ("0 0 0 F", [True, False, False]),
    ("0 0 0 F T F", [True, False, True]), ("0 0 0 T T T Si", [False, False, False]),
    ("0 0 0\tF\rF\nF junk", [True, True, True]),
])
def test_poscar_selective_flags(line, flags):
    positions, got = parse_poscar_positions_rs([line], True)
    assert positions.tolist() == [[0, 0, 0]] and got.tolist() == [flags]
    assert got.dtype == np.bool_ and got.strides == (3, 1)


def test_poscar_parse_layout():
    positions, flags = parse_poscar_positions_rs(["0.5 0.25 1 X Y Z", "-1e2 2 3"], False)
    assert flags is None and positions.tolist() == [[0.5, 0.25, 1], [-100, 2, 3]]
    assert positions.strides == (24, 8)
    for selective in (False, True):
        positions, flags = parse_poscar_positions_rs([], selective)
        assert positions.shape == (0, 3) and positions.strides == (0, 0)
        assert (flags is None) if not selective else (flags.shape == (0, 3) and flags.strides == (0, 0))


@pytest.mark.parametrize("lines, selective, text", [
    (["0 0 0 f T T"], True, "POSCAR: expected selective dynamics flag 'T' or 'F', got 'f' on atom line 0"),
    (["0 0 0 TT"], True, "POSCAR: expected selective dynamics flag 'T' or 'F', got 'TT' on atom line 0"),
    (["0 0 0", "0 0 0 Si"], True,
     "POSCAR: expected selective dynamics flag 'T' or 'F', got 'Si' on atom line 1"),
    (["0.5 0.25"], False, "POSCAR: not enough fields on atom line 0 (need 3 coordinates)"),
    ([" \t "], True, "POSCAR: not enough fields on atom line 0 (need 3 coordinates)"),
    (["0 0 0", "0 0 0", "0.5 x 0.25"], False,
     "POSCAR: cannot parse coordinate 'x' on atom line 2: invalid float literal"),
    (["1.0D+00 0 0"], False, "POSCAR: cannot parse coordinate '1.0D+00' on atom line 0: invalid float literal"),
    (["0 0 0", "0 x", "0 0 0", "", "0 0 0 q"], True,
     "POSCAR: cannot parse coordinate 'x' on atom line 1: invalid float literal"),
])
def test_poscar_parse_messages(lines, selective, text):
    assert message(ValueError, lambda: parse_poscar_positions_rs(lines, selective)) == text


def test_poscar_format_rows():
    coord = np.array([[0.5, 0.25, 0.0]])
    assert format_poscar_positions_rs(coord) == ROW + "\n"
    assert format_poscar_positions_rs(coord, None) == ROW + "\n"
    assert format_poscar_positions_rs(coord, flags=np.array([[True, False, True]])) == ROW + "   F   T   F\n"
    wide = format_poscar_positions_rs(np.array([[1.1, 123.456, -0.0]]))
    assert wide == "  1.1000000000000001 123.4560000000000031 -0.0000000000000000\n"
    odd = format_poscar_positions_rs(np.array([[np.nan, np.inf, -np.inf]]))
    assert odd == "                 NaN                 inf                -inf\n"


def test_poscar_format_strided_like_c_copies():
    rng = np.random.default_rng(5)
    coord = rng.uniform(-5, 5, (6, 4))
    flags = rng.random((6, 4)) < 0.5
    want = format_poscar_positions_rs(np.ascontiguousarray(coord[::-1, :3]),
                                      np.ascontiguousarray(flags[::-1, :3]))
    assert format_poscar_positions_rs(np.asfortranarray(coord[::-1, :3]), flags[::-1, :3]) == want
    assert format_poscar_positions_rs(coord[::-1], flags[::-1]) == want  # 4 columns: 3 written


@pytest.mark.parametrize("coord_shape, flags_shape", [((2, 3), (2, 2)), ((0, 3), (0, 2)), ((0, 2), (0, 3))])
def test_poscar_shape_message(coord_shape, flags_shape):
    call = lambda: format_poscar_positions_rs(np.zeros(coord_shape), np.zeros(flags_shape, bool))
    assert message(ValueError, call) == "format_poscar_positions_rs: coord and flags must have the same shape"


def test_poscar_format_edges():
    assert format_poscar_positions_rs(np.zeros((0, 2)), np.zeros((0, 2), bool)) == ""
    assert format_poscar_positions_rs(np.zeros((0, 7))) == ""
    assert panic_message(lambda: format_poscar_positions_rs(np.zeros((1, 2)))) == PANIC
    assert panic_message(lambda: format_poscar_positions_rs(np.zeros((1, 2)), np.zeros((1, 2), bool))) == PANIC


def test_poscar_round_trip():
    rng = np.random.default_rng(8)
    coord = rng.uniform(-30, 30, (300, 3))
    flags = rng.random((300, 3)) < 0.5
    positions, got_flags = parse_poscar_positions_rs(
        format_poscar_positions_rs(coord, flags).splitlines(), True)
    assert (got_flags == flags).all()
    assert (np.abs(positions - coord) <= 1e-16 + np.spacing(np.abs(coord))).all()
    want = np.array([[float("%.16f" % x) for x in row] for row in coord])
    assert positions.view(np.uint64).tolist() == want.view(np.uint64).tolist()


# ---------------------------------------------------------------- XDATCAR

def test_xdatcar_parse():
    assert parse_xdatcar_coords_rs(["0.1 0.2 0.3 -0.4 5", "0.1 0.2 0.3 abc"]).tolist() == [[0.1, 0.2, 0.3]] * 2
    empty = parse_xdatcar_coords_rs([])
    assert empty.shape == (0, 3) and empty.strides == (0, 0)


@pytest.mark.parametrize("lines, text", [
    (["0 0 0"] * 5 + ["0.1 0.2"], "XDATCAR: not enough fields on coordinate line 5"),
    ([""], "XDATCAR: not enough fields on coordinate line 0"),
    (["0.1 abc"], "XDATCAR: cannot parse 'abc' on line 0: invalid float literal"),
    (["0 0 0", "1 2 x", "0 0"], "XDATCAR: cannot parse 'x' on line 1: invalid float literal"),
])
def test_xdatcar_parse_messages(lines, text):
    assert message(ValueError, lambda: parse_xdatcar_coords_rs(lines)) == text


@pytest.mark.parametrize("rows, index, text", [
    ([[0.5, 0.25, 0.0]], 1, "Direct configuration=     1\n   0.50000000  0.25000000  0.00000000\n"),
    ([[-0.5, -0.0, 1.0]], 0, "Direct configuration=     0\n  -0.50000000 -0.00000000  1.00000000\n"),
    ([[np.nan, np.inf, -np.inf]], 1234567,
     "Direct configuration=1234567\n          NaN         inf        -inf\n"),
    (np.zeros((0, 2)), 7, "Direct configuration=     7\n"),
    ([[1, 2, 3, 4, 5]], 2, "Direct configuration=     2\n   1.00000000  2.00000000  3.00000000\n"),
])
def test_xdatcar_format(rows, index, text):
    assert format_xdatcar_config_rs(np.array(rows, dtype=float), index) == text


def test_xdatcar_format_edges():
    assert panic_message(lambda: format_xdatcar_config_rs(np.zeros((2, 2)), 1)) == PANIC
    raised(OverflowError, lambda: format_xdatcar_config_rs(np.zeros((1, 3)), -1))
    assert message(TypeError, lambda: format_xdatcar_config_rs(np.zeros((1, 3)), 1.0)).startswith(
        "argument 'index': ")
    base = np.arange(24.0).reshape(4, 6) / 7
    assert format_xdatcar_config_rs(base[::-2, 1::2], 3) == format_xdatcar_config_rs(
        np.ascontiguousarray(base[::-2, 1::2]), 3)


def test_xdatcar_round_trip():
    rng = np.random.default_rng(9)
    scaled = rng.uniform(0, 1, (400, 3))
    got = parse_xdatcar_coords_rs(format_xdatcar_config_rs(scaled, 1).splitlines()[1:])
    want = np.array([[float("%.8f" % x) for x in row] for row in scaled])
    assert got.view(np.uint64).tolist() == want.view(np.uint64).tolist()
