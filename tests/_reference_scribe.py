"""Slow, obvious references for the structure text blocks, written from the rules
and the Unicode 17.0 case data directly: field splitting, the number grammar
(values from Python's float(), which rounds correctly), the symbol rule, and the
three parsers with their messages."""

import re
from pathlib import Path

DATA = Path(__file__).resolve().parents[1] / "scribe" / "data" / "unicode-17.0"

_SEPARATORS = re.compile(r"[ \t\n\f\r]+")
_NUMBER = re.compile(r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))\Z")
INVALID = "invalid float literal"


def fields(line):
    return [f for f in _SEPARATORS.split(line) if f]


def parse_number(field):
    """The double of a field, or None when the grammar refuses it."""
    return float(field) if _NUMBER.match(field) else None


# ---------------------------------------------------------------- case data

def _pairs(name):
    out = {}
    for line in (DATA / name).read_text(encoding="utf-8").splitlines():
        if line.strip():
            cp, seq = line.split(";")
            out[int(cp, 16)] = "".join(chr(int(x, 16)) for x in seq.split())
    return out


def _ranges(name):
    out = set()
    for line in (DATA / name).read_text(encoding="utf-8").splitlines():
        if line.strip():
            a, _, b = line.strip().partition("..")
            out.update(range(int(a, 16), int(b or a, 16) + 1))
    return out


LOWER = {**_pairs("simple_lowercase.txt"), **_pairs("unconditional_lowercase.txt")}
UPPER = {**_pairs("simple_uppercase.txt"), **_pairs("unconditional_uppercase.txt")}
CASED = _ranges("cased.txt")
CASE_IGNORABLE = _ranges("case_ignorable.txt")


def _final_sigma(text, k):
    before = [c for c in text[:k] if ord(c) not in CASE_IGNORABLE]
    after = [c for c in text[k + 1:] if ord(c) not in CASE_IGNORABLE]
    return bool(before) and ord(before[-1]) in CASED and (not after or ord(after[0]) not in CASED)


def normalize_symbol(field):
    lower = "".join(
        ("\u03c2" if _final_sigma(field, k) else "\u03c3") if c == "\u03a3" else LOWER.get(ord(c), c)
        for k, c in enumerate(field))
    return UPPER.get(ord(lower[0]), lower[0]) + lower[1:]


# ---------------------------------------------------------------- parsers
# Each returns the result, or the ValueError message as a str.

def _coordinates(f, start, line_no, missing, bad):
    row = []
    for k in range(start, start + 3):
        if k >= len(f):
            return missing.format(line_no)
        v = parse_number(f[k])
        if v is None:
            return bad.format(f[k], line_no, INVALID)
        row.append(v)
    return row


def parse_xyz(lines):
    symbols, rows = [], []
    for i, line in enumerate(lines):
        f = fields(line)
        if not f:
            return f"XYZ: empty line at atom index {i}"
        row = _coordinates(f, 1, i, "XYZ: not enough position fields on atom line {}",
                           "XYZ: cannot parse coordinate '{}' on line {}: {}")
        if isinstance(row, str):
            return row
        symbols.append(normalize_symbol(f[0]))
        rows.append(row)
    return symbols, rows


def parse_poscar(lines, selective):
    rows, flags = [], []
    for i, line in enumerate(lines):
        f = fields(line)
        row = _coordinates(f, 0, i, "POSCAR: not enough fields on atom line {} (need 3 coordinates)",
                           "POSCAR: cannot parse coordinate '{}' on atom line {}: {}")
        if isinstance(row, str):
            return row
        rows.append(row)
        if selective:
            for letter in f[3:6]:
                if letter not in ("T", "F"):
                    return (f"POSCAR: expected selective dynamics flag 'T' or 'F', "
                            f"got '{letter}' on atom line {i}")
            flags.append([k + 3 < len(f) and f[k + 3] == "F" for k in range(3)])
    return rows, (flags if selective else None)


def parse_xdatcar(lines):
    rows = []
    for i, line in enumerate(lines):
        row = _coordinates(fields(line), 0, i, "XDATCAR: not enough fields on coordinate line {}",
                           "XDATCAR: cannot parse '{}' on line {}: {}")
        if isinstance(row, str):
            return row
        rows.append(row)
    return rows
