"""Field splitting, the number grammar and fixed-point output, through the
parsers and writers that share them."""

import math
import random
import struct
from decimal import ROUND_DOWN, ROUND_HALF_EVEN, ROUND_UP, Context, Decimal

import numpy as np
import pytest

from kestrix._scribe import (format_poscar_positions_rs, format_xdatcar_config_rs,
                             format_xyz_block_rs, parse_xdatcar_coords_rs)

from _reference_scribe import parse_number
from _support import message

NAN = float("nan")
INF = float("inf")


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def parse_one(field):
    """The value of `field` as the first of three coordinates, or the message."""
    try:
        return float(parse_xdatcar_coords_rs([f"{field} 0 0"])[0, 0])
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize("field, value", [
    ("+.5", 0.5), ("5.", 5.0), ("-0", -0.0), ("-0.0", -0.0), ("1e400", INF), ("-1e400", -INF),
    ("1e-400", 0.0), ("2.47e-324", 0.0), ("-2.47e-324", -0.0), ("4.9e-324", 5e-324),
    ("INFINITY", INF), ("-Inf", -INF), ("iNf", INF), ("1E+05", 1e5), ("2.5e-3", 0.0025),
    ("0.50", 0.5), ("00000.000e-99999999999", 0.0), ("1e0000000000000000000000005", 1e5),
    ("0." + "0" * 400 + "1e401", 1.0), ("1" + "0" * 400 + "e-400", 1.0),
    ("1.7976931348623158e308", 1.7976931348623157e308), ("1.7976931348623159e308", INF),
    # Exponent digits count only while the exponent is below 65536: 1000009 counts as 100000.
    ("0." + "0" * 99999 + "1e1000009", 1.0), ("1e99999999999999999999", INF),
    ("-1" + "0" * 70000 + "e-7000099", -1.0),
    # More than 19 digits with such an exponent: far out of range, and just
    # around a halfway point (2^53 + 1), where the digits past the 19th decide.
    ("1." + "1" * 25 + "e1000009", INF), ("-1." + "1" * 25 + "e-1000009", -0.0),
    ("0." + "0" * 99984 + "90071992547409930001e1000009", 9007199254740994.0),
    ("0." + "0" * 99984 + "90071992547409930000e1000009", 9007199254740992.0),
    # Long fixed-point fields: zeros, just below and above a halfway point, on one.
    ("0.00000000000000000", 0.0), ("-0.0000000000000000", -0.0),
    ("512.0000000000000568", 512.0), ("512.0000000000000569", 512.0000000000001),
    ("9007199254740993.0", 9007199254740992.0), ("9007199254740995.00", 9007199254740996.0),
])
def test_number_values(field, value):
    got = parse_one(field)
    assert bits(got) == bits(value)


@pytest.mark.parametrize("field", ["nan", "NAN", "-nAn", "+NaN"])
def test_nan_spellings(field):
    got = parse_one(field)
    assert bits(got) == (0xFFF8000000000000 if field.startswith("-") else 0x7FF8000000000000)


@pytest.mark.parametrize("field", [
    "+", "-", ".", "e5", "1e", "1e+", "1e5.0", "1.2.3", "1,5", "1d0", "1.0D+00", "0x10", "nan(0)",
    "infinit", "infinityx", "in", "NaNQ", "+-1", "--1", "1_000", "\u0661", "1.0\v2.0", "1.0\x00",
    "1.0\u00a0", "\u00a01.0", ".e5", "-.",
])
def test_number_grammar_refuses(field):
    assert parse_one(field) == f"XDATCAR: cannot parse '{field}' on line 0: invalid float literal"


def _random_fields(rng, count):
    out = []
    for _ in range(count):
        kind = rng.randrange(6)
        if kind == 0:  # a double written with few to many digits
            x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(63)))[0]
            if math.isfinite(x):
                out.append("%.*e" % (rng.randrange(0, 40), x))
        elif kind == 1:  # coordinates as written by %f
            out.append("%.*f" % (rng.randrange(0, 25), rng.uniform(-1000, 1000)))
        elif kind == 2:  # exactly halfway between two neighbouring doubles
            x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(63)))[0]
            y = math.nextafter(x, INF)
            if math.isfinite(y):
                h = (Decimal(x) + Decimal(y)) / 2
                out.append(format(h, "e"))
        elif kind == 3:  # long digit strings around the subnormal and overflow ends
            digits = "".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 800)))
            out.append(f"{digits[:rng.randrange(len(digits) + 1)]}.{digits}e{rng.randrange(-700, 330)}")
        elif kind == 4:  # integers and short decimals
            out.append(f"{rng.randrange(10**rng.randrange(1, 25))}e{rng.randrange(-30, 30)}")
        else:  # subnormals and the smallest normals
            out.append(rng.choice("+-") + "%.*g" % (rng.randrange(1, 30), rng.uniform(0, 3e-308)))
    return out


def test_numbers_match_python_float_bit_for_bit():
    rng = random.Random(20240501)
    found = _random_fields(rng, 6000)
    lines = [f"{a} {b} {c}" for a, b, c in zip(found[0::3], found[1::3], found[2::3])]
    got = parse_xdatcar_coords_rs(lines).ravel().view(np.uint64)
    want = [bits(parse_number(f)) for f in found[: 3 * len(lines)]]
    assert got.tolist() == want



def test_near_halfway_numbers_match_python_float_bit_for_bit():
    # The midpoint between a double and the next, with 19 or 20 digits cut
    # just below, just above or (short ones) exactly at it: where a 128-bit
    # power of ten alone cannot tell which way to round.
    rng = random.Random(11)
    found = []
    while len(found) < 30000:
        # Binary exponents 48..53 give exact ties of 17 to 20 digits with a fraction.
        e = rng.randrange(48, 54) if rng.random() < 0.5 else rng.randrange(-1000, 1000)
        x = math.ldexp(rng.getrandbits(52) | 1 << 52, e - 52)
        h = (Decimal(x) + Decimal(math.nextafter(x, INF))) / 2
        prec = rng.choice((19, 20))
        found += [format(Context(prec=prec, rounding=r).plus(h), "e")
                  for r in (ROUND_DOWN, ROUND_UP, ROUND_HALF_EVEN)]
    lines = [f"{a} {b} {c}" for a, b, c in zip(found[0::3], found[1::3], found[2::3])]
    got = parse_xdatcar_coords_rs(lines).ravel().view(np.uint64)
    assert got.tolist() == [bits(float(f)) for f in found]


def test_field_splitting():
    lines = ["  1.5\t-2e3\r\n7", "1\n2\n3", "\f\f4\f5\f6\f"]
    assert parse_xdatcar_coords_rs(lines).tolist() == [[1.5, -2000.0, 7.0], [1, 2, 3], [4, 5, 6]]


def test_fields_across_block_boundaries():
    # Lines are scanned in blocks of 64 bytes: put fields and line ends on every
    # offset around the first two block boundaries.
    lines, want = [], []
    for pad in range(50, 140):
        for tail in ("", " ", "\t\t"):
            lines.append(" " * pad + "1.25 " + "7" * (pad % 23 + 1) + "\n-3" + tail)
            want.append([1.25, float("7" * (pad % 23 + 1)), -3.0])
    lines.append("9" * 130 + " 1 2")
    want.append([float("9" * 130), 1.0, 2.0])
    assert parse_xdatcar_coords_rs(lines).tolist() == want
    for n in (63, 64, 65, 127, 128):
        call = lambda: parse_xdatcar_coords_rs(["1 2 3", " " * (n - 3) + "1 2"])
        assert message(ValueError, call) == "XDATCAR: not enough fields on coordinate line 1"


# ---------------------------------------------------------------- fixed-point output

@pytest.mark.parametrize("x, decimals, cell", [
    (0.5, 16, " 0.5000000000000000"), (0.1, 8, " 0.10000000"), (2**-9, 8, " 0.00195312"),
    (3 * 2**-9, 8, " 0.00585938"), (2**-17, 16, " 0.0000076293945312"),
    (1.1, 16, " 1.1000000000000001"), (123.456, 16, "123.4560000000000031"),
    (-0.25, 8, "-0.25000000"), (NAN, 8, "        NaN"), (-NAN, 8, "        NaN"),
    (1e20, 16, "100000000000000000000.0000000000000000"), (-0.0, 8, "-0.00000000"),
    (-1e-20, 8, "-0.00000000"), (9.999999999, 8, "10.00000000"), (INF, 8, "        inf"),
    (-INF, 16, "               -inf"), (0.0, 16, " 0.0000000000000000"),
])
def test_fixed_examples(x, decimals, cell):
    positions = np.array([[x, 0.0, 0.0]])
    if decimals == 8:
        got = format_xdatcar_config_rs(positions, 1).split("\n")[1][2:]
    else:
        got = format_poscar_positions_rs(positions)[1:]
    assert got.startswith(cell + " ")


def test_fixed_matches_percent_formatting():
    rng = random.Random(7)
    values = [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(3000)]
    values += [rng.uniform(-1000, 1000) for _ in range(3000)]
    values += [rng.randrange(-2**20, 2**20) / 2**rng.randrange(0, 40) for _ in range(3000)]
    values += [math.ldexp(rng.random(), rng.randrange(55, 80)) for _ in range(300)]
    values = [v for v in values if not math.isnan(v)]
    a = np.array(values[: len(values) // 3 * 3]).reshape(-1, 3)

    def cell(x, d, w):
        if math.isinf(x):
            return ("inf" if x > 0 else "-inf").rjust(w)
        return ("%.*f" % (d, x)).rjust(w)

    want_xyz = "".join("H  %s %s %s\n" % tuple(cell(x, 15, 22) for x in row) for row in a)
    want_poscar = "".join(" %s %s %s\n" % tuple(cell(x, 16, 19) for x in row) for row in a)
    want_xdatcar = "Direct configuration=     1\n" + "".join(
        "  %s %s %s\n" % tuple(cell(x, 8, 11) for x in row) for row in a)
    assert format_xyz_block_rs(["H"] * len(a), a) == want_xyz
    assert format_poscar_positions_rs(a) == want_poscar
    assert format_xdatcar_config_rs(a, 1) == want_xdatcar
