"""XYZ atom blocks: parsing, the symbol rule, formatting and their messages."""

import sys

import numpy as np
import pytest

from kestrix._scribe import format_xyz_block_rs as fmt
from kestrix._scribe import parse_xyz_block_rs as parse

from _reference_scribe import CASE_IGNORABLE, CASED, LOWER, UPPER, normalize_symbol
from _support import message, panic_message

PANIC = "ndarray: index out of bounds"


def test_parse_result_layout():
    symbols, positions = parse(["fe 1 2 3", "H\t0.5 -1e3 inf  extra 7 8", "O 1 1 1"])
    assert symbols == ["Fe", "H", "O"]
    assert positions.tolist() == [[1, 2, 3], [0.5, -1000, float("inf")], [1, 1, 1]]
    assert positions.dtype == np.float64 and positions.strides == (24, 8)
    assert positions.flags.c_contiguous and positions.flags.writeable
    empty_symbols, empty = parse([])
    assert empty_symbols == [] and empty.shape == (0, 3) and empty.strides == (0, 0)


def test_equal_symbols_share_one_str():
    symbols, _ = parse(["O 0 0 0", "H 0 0 0", "H 0 0 0", "o 0 0 0", "O 0 0 0"] * 50)
    o, h = symbols[0], symbols[1]
    assert all(s is (o if s == "O" else h) for s in symbols[:4] + symbols[5::5])


def test_equal_long_symbols_share_one_str():
    # Symbols alike in their first eight bytes, and enough of them to make the
    # table of distinct symbols grow several times before they come again.
    names = [f"Abcdefgh{k}" for k in range(300)]
    symbols, _ = parse([f"{name} 0 0 0" for name in names * 3])
    first = {}
    assert all(first.setdefault(s, s) is s for s in symbols)
    assert list(first) == names


@pytest.mark.parametrize("lines, text", [
    (["", "H 0 0 0"], "XYZ: empty line at atom index 0"),
    (["H 0 0 0", " \t\n\f\r "], "XYZ: empty line at atom index 1"),
    (["H 1 2"], "XYZ: not enough position fields on atom line 0"),
    (["\v"], "XYZ: not enough position fields on atom line 0"),
    (["\u00a0"], "XYZ: not enough position fields on atom line 0"),
    (["H x"], "XYZ: cannot parse coordinate 'x' on line 0: invalid float literal"),
    (["H 0 0 0", "H 1,5 2 3"], "XYZ: cannot parse coordinate '1,5' on line 1: invalid float literal"),
    (["H 0 0 0", "H 1", "H 0 0 0", "H a"], "XYZ: not enough position fields on atom line 1"),
    (["H 1 2 3.0\u00a0"], "XYZ: cannot parse coordinate '3.0\u00a0' on line 0: invalid float literal"),
])
def test_parse_messages(lines, text):
    assert message(ValueError, lambda: parse(lines)) == text


@pytest.mark.parametrize("field, symbol", [
    ("fe", "Fe"), ("FE", "Fe"), ("fE", "Fe"), ("h", "H"), ("H2O", "H2o"), ("1H", "1h"),
    ("\u00df", "SS"), ("\u01c6", "\u01c4"), ("\u0391\u03a3", "\u0391\u03c2"), ("\u03a3", "\u03a3"),
    ("\u03a3\u0391", "\u03a3\u03b1"), ("\u0130", "I\u0307"), ("\u0149", "\u02bcN"),
    ("\u0390", "\u0399\u0308\u0301"), ("\ua7d3", "\ua7d2"), ("\u0391\u03a3\u03a3", "\u0391\u03c3\u03c2"),
    ("\u0391\u03a3'\u0392", "\u0391\u03c3'\u03b2"), ("\u0391'\u03a3'", "\u0391'\u03c2'"),
    ("\u02b0\u03a3", "\u02b0\u03c3"), ("\v", "\v"), ("\x00", "\x00"),
])
def test_symbol_rule_examples(field, symbol):
    assert parse([f"{field} 0 0 0"])[0] == [symbol]


def test_symbol_rule_against_unicode_data():
    # Every code point with case data, and every 16th of the rest.
    special = LOWER.keys() | UPPER.keys() | CASED | CASE_IGNORABLE
    skip = set(map(ord, " \t\n\f\r"))
    chars = [chr(c) for c in range(sys.maxunicode + 1)
             if (c in special or c % 16 == 0) and c not in skip and not 0xD800 <= c < 0xE000]
    symbols, _ = parse([f"{c} 0 0 0" for c in chars])
    wrong = [(hex(ord(c)), s) for c, s in zip(chars, symbols) if s != normalize_symbol(c)]
    assert wrong == []


def test_symbol_rule_on_words():
    words = ["\u039f\u0394\u03a5\u03a3\u03a3\u0395\u03a5\u03a3", "\u1f88\u03a3", "\u0130STANBUL",
             "stra\u00dfe", "\u01c4\u01c5\u01c6", "\u10d0\u1c90", "\U00010400\U00010428", "\u0345\u03a3"]
    assert parse([f"{w} 0 0 0" for w in words])[0] == [normalize_symbol(w) for w in words]


# ---------------------------------------------------------------- formatting

H_LINE = "H       0.000000000000000      0.000000000000000      0.000000000000000\n"  # 72 characters


@pytest.mark.parametrize("symbol, row, line", [
    ("H", (0, 0, 0), H_LINE),
    ("", (0, 0, 0), "  " + H_LINE[2:]),
    ("\u00e9", (0, 0, 0), "\u00e9" + H_LINE[1:]),
    ("e\u0301", (0, 0, 0), "e\u0301" + H_LINE[2:]),
    ("Uuo", (0, 0, 0), "Uuo" + H_LINE[2:]),
    ("C", (1e20, -0.0, float("nan")),
     "C  100000000000000000000.000000000000000     -0.000000000000000                    NaN\n"),
    ("C", (float("inf"), -float("inf"), -1.5),
     "C                     inf                   -inf     -1.500000000000000\n"),
])
def test_format_lines(symbol, row, line):
    assert fmt([symbol], np.array([row], dtype=float)) == line


@pytest.mark.parametrize("symbols", [
    ["H", "Fe", "\x7f", "Uuo"],
    ["\u00e9", "H", "\u00b1", "\x80", "\u00ff", "\u00c5g", "e\u0301"],  # Latin-1
    ["H"] * 999 + ["\u00e9"],  # the first one past ASCII late in the text
    ["\u03a9", "H", "\u0100", "\u00e9", "\u4e2d", "\uffff", "\u03a9mega"],
    ["\U00010000", "H", "\u00e9", "\u03a9", "\U0010ffff", "\u03a9\U0001d407"],
], ids=["ascii", "latin-1", "latin-1 late", "two bytes", "four bytes"])
def test_format_matches_percent_formatting_in_every_str_kind(symbols):
    rng = np.random.default_rng(5)
    n = 3000
    positions = rng.uniform(-1e3, 1e3, (n, 3))
    positions[::7] = [1e20, -float("inf"), -0.0]  # a line wider than the estimate
    symbols = [symbols[k % len(symbols)] for k in range(n)]
    want = "".join("%-2s %22.15f %22.15f %22.15f\n" % (s, *row) for s, row in zip(symbols, positions))
    got = fmt(symbols, positions)
    assert got == want
    # The same layout in memory: one, two or four bytes a character, and
    # CPython's compact ASCII form exactly when every character is ASCII.
    assert sys.getsizeof(got) == sys.getsizeof(want)


def test_format_reads_strided_arrays_like_c_copies():
    rng = np.random.default_rng(3)
    base = rng.uniform(-20, 20, (7, 5))
    symbols = ["Fe", "O", "H", "C", "N", "Si", "Au"]
    want = fmt(symbols, np.ascontiguousarray(base[:, :3]))
    for view in (base, np.asfortranarray(base), base[:, :4], base[::-1][::-1]):
        assert fmt(symbols, view) == want
    assert fmt(symbols[::-1], base[::-1]) == fmt(symbols[::-1], np.ascontiguousarray(base[::-1]))
    assert fmt(symbols[::2], base[::2, ::-1][:, 2:]) == fmt(
        symbols[::2], np.ascontiguousarray(base[::2, ::-1][:, 2:]))


@pytest.mark.parametrize("symbols, shape, text", [
    (["H", "H"], (3, 3), "format_xyz_block_rs: symbols length (2) != positions rows (3)"),
    (["H", "H"], (3, 2), "format_xyz_block_rs: symbols length (2) != positions rows (3)"),
    ([], (1, 3), "format_xyz_block_rs: symbols length (0) != positions rows (1)"),
])
def test_format_length_message(symbols, shape, text):
    assert message(ValueError, lambda: fmt(symbols, np.zeros(shape))) == text


def test_format_empty_and_short_rows():
    for k in range(5):
        assert fmt([], np.zeros((0, k))) == ""
    assert panic_message(lambda: fmt(["H"], np.zeros((1, 2)))) == PANIC
    assert fmt(["H"], np.zeros((1, 3))) == H_LINE


def test_round_trip():
    rng = np.random.default_rng(11)
    positions = rng.uniform(-100, 100, (500, 3))
    symbols = [["Fe", "O", "H", "Na", "\u00c5"][k % 5] for k in range(500)]
    got_symbols, got = parse(fmt(symbols, positions).splitlines())
    assert got_symbols == symbols
    want = np.array([[float("%.15f" % x) for x in row] for row in positions])
    assert got.view(np.uint64).tolist() == want.view(np.uint64).tolist()
