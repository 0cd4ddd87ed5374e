"""Module _scribe: long parse and format calls answer signals between chunks of
lines or blocks of rows. Each case runs in an interpreter of its own, which
signals itself with a timer while the call runs."""

import ast
import re

import pytest

from _support import run_python

# Lines of three 3000-digit numbers take tens of microseconds each to read, and
# rows near 1e300 write over 300 digits per number: a few thousand of either
# keep a call busy far longer than the timer's first tick (10 ms or less).
PRELUDE = """
import os, signal, sys
import numpy as np
from kestrix import _scribe

DIGITS = "0." + "123456789" * 333
SLOW = " ".join([DIGITS] * 3)
SLOW_ROW = [float(DIGITS)] * 3
FAST = "-1 2.5 0.125"
FAST_ROW = [-1.0, 2.5, 0.125]

# name: parse, line prefix, line suffix, a result's symbols (as labels), its positions
PARSERS = {
    "parse_xyz": (_scribe.parse_xyz_block_rs, "Abcdefghij ", "",
                  lambda r: [s + " " for s in r[0]], lambda r: r[1]),
    "parse_poscar": (lambda lines: _scribe.parse_poscar_positions_rs(lines, True), "", " F T F",
                     lambda r: [""] * len(r[0]), lambda r: r[0]),
    "parse_xdatcar": (_scribe.parse_xdatcar_coords_rs, "", "",
                      lambda r: [""] * len(r), lambda r: r),
}


def arguments(name, slow, fast):
    # The function and its arguments: `slow` slow lines or rows, then `fast` quick ones.
    if name in PARSERS:
        parse, prefix, suffix = PARSERS[name][:3]
        return parse, ([prefix + SLOW + suffix] * slow + [prefix + FAST + suffix] * fast,)
    rows = np.zeros((slow + fast, 3))
    rows[:slow] = 1.2345e300
    if name == "format_xyz":
        return _scribe.format_xyz_block_rs, (["Si"] * len(rows), rows)
    if name == "format_poscar":
        return _scribe.format_poscar_positions_rs, (rows, np.ones(rows.shape, bool))
    return _scribe.format_xdatcar_config_rs, (rows, 7)


# The first array a module makes reaches NumPy's array interface, which runs
# Python code of its own: done here, before any timer runs.
_scribe.parse_xdatcar_coords_rs(["0 0 0"])
"""

PARSE = ["parse_xyz", "parse_poscar", "parse_xdatcar"]
FORMAT = ["format_xyz", "format_poscar", "format_xdatcar"]

# Slow and quick lines or rows of a call that runs for seconds.
LONG = {**{name: (10_000, 990_000) for name in PARSE}, **{name: (1_000_000, 0) for name in FORMAT}}
# Of a call that runs a tenth of a second or more, in a dozen or more chunks or blocks.
SHORT = {**{name: (8_000, 2_000) for name in PARSE}, **{name: (60_000, 0) for name in FORMAT}}


# A TypeError from the handler is no conversion error of the parsers' lines.
RAISED = [(name, "KeyboardInterrupt()") for name in PARSE + FORMAT] + [
    (name, "TypeError('raised by the handler')") for name in PARSE]


@pytest.mark.parametrize("name, exception", RAISED)
def test_the_call_raises_what_the_handler_raises(name, exception):
    # The handler lets two signals pass and raises at the third: the call goes
    # on after the first two and raises the exception of the third, unchanged.
    # It keeps nothing: the arguments' reference counts are as before, and the
    # process does not grow over repeated calls, each of which holds tens of
    # megabytes when interrupted (AddressSanitizer keeps freed blocks aside, so
    # the size is not compared under it).
    code = PRELUDE + f"""
def size():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")

def handler(signum, frame):
    global calls
    calls += 1
    if calls == 3:
        raise {exception}

func, args = arguments({name!r}, *{LONG[name]!r})
counts = [sys.getrefcount(a) for a in args]
signal.signal(signal.SIGALRM, handler)
sizes = []
for _ in range(3):
    calls = 0
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
    try:
        func(*args)
        print("returned")
    except BaseException as e:
        print(f"{{type(e).__name__}}: {{e}}")
    signal.setitimer(signal.ITIMER_REAL, 0)
    sizes.append(size())
sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
print([sys.getrefcount(a) for a in args] == counts, sanitized or sizes[2] - sizes[0] < 16 << 20)
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    raised = {"KeyboardInterrupt()": "KeyboardInterrupt: ",
              "TypeError('raised by the handler')": "TypeError: raised by the handler"}[exception]
    assert out.stdout.splitlines() == [raised] * 3 + ["True True"]


@pytest.mark.parametrize("name", PARSE + FORMAT)
def test_a_handler_that_returns_lets_the_call_finish(name):
    # Ticks every 5 ms: the handler runs several times during the call, and
    # the result is that of a call without signals.
    code = PRELUDE + f"""
from _support import same

calls = 0
def handler(signum, frame):
    global calls
    calls += 1

func, args = arguments({name!r}, *{SHORT[name]!r})
expected = func(*args)
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
got = func(*args)
during = calls
signal.setitimer(signal.ITIMER_REAL, 0)
print(during >= 3, same(got, expected))
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", "True"]


# A handler that changes the list of lines. Each chunk is read from the list
# as it is after the poll before it: replaced lines are read as they are now,
# and a list shortened past the next line ends the call as a missing entry.
# The first line is a str object of its own, freed when the list lets it go;
# the new lines made at once after that lie where it lay and carry another
# symbol. A parser that kept a view of the old line (the XYZ parser's view of
# symbol Abcdefghij, first met there) would compare the new text with the old
# symbol, and give the equal symbols of later lines a second str.
REPLACE = "lines.clear(); lines.extend([NEW_HEAD + NEW_TAIL for _ in range(8)] + [NEW] * (N - 8))"
MUTATIONS = [(name, "list", REPLACE, "replaced") for name in PARSE] + [
    ("parse_xdatcar", "list", "lines.clear()", "missing"),
    ("parse_xyz", "list", "del lines[12_345:]", "missing at 12345"),
    ("parse_poscar", "list", "lines.extend(lines)", "unchanged"),
    ("parse_xdatcar", "LineList", "lines.clear()", "unchanged"),  # converted whole first
]


@pytest.mark.parametrize("name, kind, mutation, outcome", MUTATIONS)
def test_a_handler_that_changes_the_lines(name, kind, mutation, outcome):
    code = PRELUDE + f"""
class LineList(list):
    pass

parse, prefix, suffix, symbols, positions = PARSERS[{name!r}]
OLD_HEAD, OLD_TAIL = prefix + SLOW[:10], SLOW[10:] + suffix
SIZE = len(OLD_HEAD + OLD_TAIL)
new_suffix = suffix.replace("F T F", "T T F")
NEW_HEAD = prefix.replace("j", "k") + FAST
NEW_TAIL = new_suffix.ljust(SIZE - len(NEW_HEAD))
NEW = (prefix + FAST + new_suffix).ljust(SIZE)
lines = {kind}([OLD_HEAD + OLD_TAIL] + [OLD_HEAD + OLD_TAIL] * 9_999 + [prefix + FAST + suffix] * 90_000)
N = len(lines)

def handler(signum, frame):
    {mutation}

def label(symbol, row, flags):
    values = "slow" if row == SLOW_ROW else "fast" if row == FAST_ROW else repr(row)
    return symbol + values + "".join("F" if f else "T" for f in flags)

signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.01)
try:
    result = parse(lines)
except BaseException as e:
    print(repr((type(e).__name__, str(e))))
else:
    rows = positions(result).tolist()
    flags = result[1].tolist() if {name!r} == "parse_poscar" else [[]] * len(rows)
    runs = []
    for text in map(label, symbols(result), rows, flags):
        if runs and runs[-1][0] == text:
            runs[-1][1] += 1
        else:
            runs.append([text, 1])
    shared = {name!r} != "parse_xyz" or len(set(map(id, result[0]))) == len(set(result[0]))
    print(repr(("runs", [tuple(r) for r in runs], shared)))
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    what, detail, *shared = ast.literal_eval(out.stdout)
    symbol = "Abcdefghij " if name == "parse_xyz" else ""
    old_flags, new_flags = ("FTF", "TTF") if name == "parse_poscar" else ("", "")
    if outcome.startswith("missing"):
        assert what == "PanicException"
        m = re.fullmatch(r"index out of bounds: the len is (\d+) but the index is (\d+)", detail)
        assert m, detail
        length, index = int(m[1]), int(m[2])
        if outcome == "missing":
            assert length == 0 and 0 < index < 10_000  # cleared while the slow lines were read
        else:
            assert length == index == 12_345
    elif outcome == "replaced":
        assert what == "runs" and len(detail) == 2 and shared == [True], (detail, shared)
        (first, switch), (then, rest) = detail
        assert first == symbol + "slow" + old_flags and 8 < switch < 10_000
        assert then == symbol + "fast" + new_flags and switch + rest == 100_000
    else:
        assert (what, detail, shared) == ("runs", [(symbol + "slow" + old_flags, 10_000),
                                                   (symbol + "fast" + old_flags, 90_000)], [True])
