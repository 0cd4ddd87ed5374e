"""Random text thrown at the three parsers: each call gives exactly what the
slow reference gives, the result or the message of the first failing line."""

import random

import numpy as np
import pytest

from kestrix._scribe import parse_poscar_positions_rs, parse_xdatcar_coords_rs, parse_xyz_block_rs

import _reference_scribe as ref

SEPARATORS = [" ", " ", "  ", "\t", "\n", "\f", "\r", "\r\n", "\v", "\x00", "\u00a0", "\u3000"]
WORDS = ["inf", "-INF", "Infinity", "nan", "-nAn", "infinit", "nan(1)", "H", "Fe", "\u03a3\u0391",
         "\u00df", "T", "F", "f", "TT", "1,5", "1d0", "0x1A", "1_000", "+-1", ".", "+", "e5"]


def random_number(rng):
    kind = rng.randrange(7)
    if kind == 0:
        return "%.*f" % (rng.randrange(0, 18), rng.uniform(-1e4, 1e4))
    if kind == 1:
        return "%.*fE%+d" % (rng.randrange(0, 25), rng.uniform(-10, 10), rng.randrange(-345, 330))
    if kind == 2:  # truncated
        text = "%.17e" % rng.uniform(-10, 10)
        return text[: rng.randrange(1, len(text))]
    if kind == 3:  # huge digit strings and exponents
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randrange(20, 1500)))
        return rng.choice(["", "-", "+"]) + digits[: rng.randrange(len(digits))] + "." + digits + \
            rng.choice(["", "e%d" % rng.randrange(-2000, 2000), "e" + "9" * rng.randrange(1, 30)])
    if kind == 4:
        return str(rng.randrange(-10**6, 10**6))
    if kind == 5:
        return rng.choice(WORDS)
    return rng.randbytes(rng.randrange(1, 8)).decode("utf-8", errors="replace")


def random_line(rng):
    parts = [random_number(rng) if rng.random() < 0.8 else rng.choice(WORDS)
             for _ in range(rng.randrange(0, 8))]
    line = rng.choice(["", " ", "\t"])
    for part in parts:
        line += part + rng.choice(SEPARATORS)
    return line if rng.random() < 0.9 else line[: rng.randrange(len(line) + 1)]


def outcome(call):
    try:
        return call()
    except ValueError as e:
        return str(e)


def same(got, want):
    if isinstance(want, str) or isinstance(got, str):
        return got == want
    return np.array_equal(np.asarray(got, float).reshape(-1, 3).view(np.uint64),
                          np.asarray(want, float).reshape(-1, 3).view(np.uint64))


@pytest.mark.parametrize("seed", range(4))
def test_random_blocks_match_the_reference(seed):
    rng = random.Random(1000 + seed)
    for _ in range(120):
        lines = [random_line(rng) for _ in range(rng.randrange(0, 6))]
        mode = rng.randrange(3)  # random lines; mostly valid lines; mostly valid, then random
        if mode:
            valid = [" ".join(random_number(rng) if rng.random() < 0.97 else "x" for _ in range(4))
                     for _ in range(rng.randrange(1, 5))]
            lines = valid if mode == 1 else valid + lines

        got = outcome(lambda: parse_xdatcar_coords_rs(lines))
        assert same(got, ref.parse_xdatcar(lines)), lines

        selective = rng.random() < 0.5
        got = outcome(lambda: parse_poscar_positions_rs(lines, selective))
        want = ref.parse_poscar(lines, selective)
        if isinstance(want, str):
            assert got == want, lines
        else:
            assert same(got[0], want[0]) and (got[1] is None if want[1] is None else
                                              got[1].tolist() == want[1]), lines

        got = outcome(lambda: parse_xyz_block_rs(lines))
        want = ref.parse_xyz(lines)
        if isinstance(want, str):
            assert got == want, lines
        else:
            assert got[0] == want[0] and same(got[1], want[1]), lines
