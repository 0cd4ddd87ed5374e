"""Out of memory: every function raises MemoryError, never PanicException, and
the interpreter goes on working.

Two sweeps, each in a fresh interpreter: one lowers RLIMIT_AS step by step below
and above what a call needs (the large blocks: results, buffers, the output
text), the other makes CPython's allocators fail once, at each allocation of a
small call in turn (the small objects: tuples, lists, strs, holders, arrays).
"""

import json

import numpy as np
import pytest

from _support import run_python
from kestrix import _scribe

# Each function with its arguments, built ahead of the calls so that only the
# call itself allocates; `n` scales the large outputs.
CASES = """
import numpy as np
from _support import same
from kestrix import _lattica as lat, _scribe as scr, _vicinal as vic

def inputs(n):
    rows = np.broadcast_to(np.array([0.5, -0.25, 1.0]), (n, 3))
    flags = np.broadcast_to(np.array([True, False, True]), (n, 3))
    m = max(3, int(n ** 0.5))  # a tight cluster: m * (m - 1) pairs
    cluster = np.arange(m)[:, None] * np.array([1e-4, 2e-4, 3e-4])
    cell = np.eye(3) * 10.0
    search = ([False] * 3, cell, cluster)
    return {
        "primitive_neighbor_list_rs": (vic.primitive_neighbor_list_rs, (*search, 1.0)),
        "primitive_neighbor_list_radii_rs": (vic.primitive_neighbor_list_radii_rs,
                                             (*search, np.full(m, 0.5))),
        "primitive_neighbor_list_dict_rs": (vic.primitive_neighbor_list_dict_rs,
                                            (*search, np.ones(m, np.int64), [1], [1], [1.0])),
        "parse_poscar_positions_rs": (scr.parse_poscar_positions_rs,
                                      (["0.5 -0.25 1.0 T F T"] * n, np.True_)),
        "format_poscar_positions_rs": (scr.format_poscar_positions_rs, (rows, flags)),
        "parse_xdatcar_coords_rs": (scr.parse_xdatcar_coords_rs, (["0.5 -0.25 1.0"] * n,)),
        "format_xdatcar_config_rs": (scr.format_xdatcar_config_rs, (rows, 7)),
        "parse_xyz_block_rs": (scr.parse_xyz_block_rs,
                               (["fe 0.5 -0.25 1.0", "\\u00e9 1 2 3"] * (n // 2),)),
        "format_xyz_block_rs": (scr.format_xyz_block_rs, (["H"] * n, rows)),
        # results of one, two and four bytes a character, from symbols in UTF-8
        # of two, two and four bytes
        "format_xyz_block_rs, \u00e9": (scr.format_xyz_block_rs, (["\u00e9"] * n, rows)),
        "format_xyz_block_rs, \u03a9": (scr.format_xyz_block_rs, (["\u03a9"] * n, rows)),
        "format_xyz_block_rs, astral": (scr.format_xyz_block_rs, (["\U0001d407"] * n, rows)),
        # 117 bytes a row against an estimate of 75: the text outgrows it
        "format_xyz_block_rs, wide": (scr.format_xyz_block_rs,
                                      (["H"] * n, np.broadcast_to(1e20, (n, 3)))),
        "minkowski_reduce_rs": (lat.minkowski_reduce_rs,
                                (np.array([[1.0, 0.0, 0.0], [7.0, 1.0, 0.0], [3.0, 5.0, 1.0]]),)),
        "make_supercell_positions_rs": (lat.make_supercell_positions_rs,
                                        (rows[: max(2, n // 64)], rows[: min(n, 64)], True)),
        # calls refused with TypeError or ValueError
        "minkowski_reduce_rs, list": (lat.minkowski_reduce_rs, ([[1.0, 0.0, 0.0]] * 3,)),
        "parse_poscar_positions_rs, int": (scr.parse_poscar_positions_rs, (["0 0 0"], 1)),
        "parse_xyz_block_rs, bad line": (scr.parse_xyz_block_rs, (["H 0 0 0", "He 0 x"],)),
    }

def size(result):
    if isinstance(result, tuple):
        return sum(map(size, result))
    if isinstance(result, np.ndarray):
        return result.nbytes
    if isinstance(result, list):
        return 8 * len(result)
    if isinstance(result, str):  # one, two or four bytes a character, as CPython stores it
        top = max(map(ord, result), default=0)
        return len(result) * (1 if top < 0x100 else 2 if top < 0x10000 else 4)
    return 0
"""

FUNCTIONS = [
    "primitive_neighbor_list_rs",
    "primitive_neighbor_list_radii_rs",
    "primitive_neighbor_list_dict_rs",
    "parse_poscar_positions_rs",
    "format_poscar_positions_rs",
    "parse_xdatcar_coords_rs",
    "format_xdatcar_config_rs",
    "parse_xyz_block_rs",
    "format_xyz_block_rs",
    "minkowski_reduce_rs",
    "make_supercell_positions_rs",
]
NON_ASCII = ["format_xyz_block_rs, \u00e9", "format_xyz_block_rs, \u03a9",
             "format_xyz_block_rs, astral"]
# The room, in sixteenths of the result's size, from which a call must succeed:
# twice the result at most, as the headroom beyond an output estimate (the
# formatters' text, the neighbour search's rows), or beyond a text that
# outgrows it, is dropped where memory lacks it. POSCAR and XDATCAR estimate
# their text within 5%; XYZ also holds its symbols' views (24 bytes a row),
# and a text of two or four bytes a character its UTF-8 beside the str.
# A POSCAR parse with a NumPy bool `selective` holds a view of every line
# besides its result, so it is left out.
MUST_FIT = {"format_poscar_positions_rs": 20, "format_xdatcar_config_rs": 20,
            "format_xyz_block_rs": 32, "format_xyz_block_rs, wide": 24,
            "format_xyz_block_rs, \u00e9": 32, "format_xyz_block_rs, \u03a9": 32,
            "format_xyz_block_rs, astral": 32,
            "primitive_neighbor_list_rs": 32, "primitive_neighbor_list_radii_rs": 32,
            "primitive_neighbor_list_dict_rs": 32, "parse_xdatcar_coords_rs": 32,
            "parse_xyz_block_rs": 32, "make_supercell_positions_rs": 32}
# Rows per sweep: enough that the symbol list of an XYZ parse outgrows the
# slack of the blocks before it, so that some limit falls where it is made.
ROWS = {"parse_xyz_block_rs": 400_000, "format_xyz_block_rs, wide": 30_000}
# Functions whose output is a few hundred bytes whatever the input: a lowered
# address-space limit never reaches their allocations.
FIXED_SIZE = {"minkowski_reduce_rs"}


def run_sweep(code):
    r = run_python(CASES + code, timeout=60)
    assert r.returncode == 0, r.stderr
    # A PanicException or the "Python API call failed" path writes here.
    assert r.stderr == ""
    return json.loads(r.stdout)


@pytest.mark.rlimit
@pytest.mark.parametrize("name", FUNCTIONS + ["format_xyz_block_rs, wide"] + NON_ASCII)
def test_address_space_limits_give_memory_error_or_the_result(name):
    # Limits from no room at all to twice the result's size, above what the
    # process already maps: each call gives its full result or MemoryError.
    outcomes = run_sweep(f"""
import ctypes, json, resource

# glibc: blocks from 128 KiB up always mapped, so unmapped once freed (no
# moving threshold), and a block grown in place; then what the process maps
# is what it uses, and each limit leaves the room it says.
getattr(ctypes.CDLL(None), "mallopt", lambda *a: 0)(-3, 128 << 10)  # M_MMAP_THRESHOLD

def mapped():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))

func, args = inputs({ROWS.get(name, 100_000)})[{name!r}]
want = func(*args)
room = size(want)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
outcomes = []
for step in range(33):
    resource.setrlimit(resource.RLIMIT_AS, (mapped() + room * step // 16, hard))
    try:
        got = func(*args)
    except MemoryError:
        got = MemoryError
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    outcomes.append("MemoryError" if got is MemoryError else same(got, want))
    del got
outcomes.append(same(func(*args), want))  # and the interpreter goes on
print(json.dumps(outcomes))
""")
    assert set(outcomes) <= {"MemoryError", True}
    assert outcomes[-1] is True
    if name not in FIXED_SIZE:
        assert outcomes[0] == "MemoryError"
    if name in MUST_FIT:
        assert outcomes[MUST_FIT[name]:33] == [True] * (33 - MUST_FIT[name])


@pytest.mark.parametrize("name", FUNCTIONS + NON_ASCII + ["minkowski_reduce_rs, list",
                                                          "parse_poscar_positions_rs, int",
                                                          "parse_xyz_block_rs, bad line"])
def test_each_failed_allocation_gives_memory_error_or_the_result(name):
    # The result may be an exception: then the same type with the same text.
    pytest.importorskip("_testcapi")
    outcomes = run_sweep(f"""
import json, _testcapi

func, args = inputs(4)[{name!r}]
try:
    want = func(*args)
except Exception as e:
    want = e
fail_once, unhook = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
outcomes = []
for k in range(40):
    fail_once(k, k + 1)  # the allocation after the k-th fails
    try:
        got = func(*args)
    except MemoryError:
        got = MemoryError
    except Exception as e:
        got = e
    finally:
        unhook()
    outcomes.append("MemoryError" if got is MemoryError else same(got, want))
    del got
try:
    outcomes.append(same(func(*args), want))
except Exception as e:
    outcomes.append(same(e, want))
print(json.dumps(outcomes))
""")
    assert set(outcomes) <= {"MemoryError", True}
    assert "MemoryError" in outcomes
    # Far enough that the last calls made every allocation unharmed.
    assert outcomes[-4:] == [True] * 4


def broadcast_rows(rows, dtype=float):
    return np.lib.stride_tricks.as_strided(np.zeros(3, dtype), shape=(rows, 3),
                                           strides=(0, np.dtype(dtype).itemsize))


HUGE = broadcast_rows(2**58)
HUGE_FLAGS = broadcast_rows(2**58, bool)


@pytest.mark.parametrize("call", [
    lambda: _scribe.format_xdatcar_config_rs(HUGE, 1),
    # an estimate below the largest str, its headroom above
    lambda: _scribe.format_xdatcar_config_rs(broadcast_rows(7 * 10**18 // 40), 1),
    lambda: _scribe.format_poscar_positions_rs(HUGE),
    lambda: _scribe.format_poscar_positions_rs(HUGE, HUGE_FLAGS),  # 73 * 2**58 wraps 64 bits
])
def test_text_sizes_past_any_memory_are_memory_error(call, capfd):
    with pytest.raises(MemoryError):
        call()
    # Nothing printed; AddressSanitizer, if loaded, warns of the refused block.
    err = capfd.readouterr().err.splitlines()
    assert [line for line in err if "AddressSanitizer failed to allocate" not in line] == []
    assert _scribe.format_poscar_positions_rs(HUGE[:1]) == (
        "  0.0000000000000000  0.0000000000000000  0.0000000000000000\n")


@pytest.mark.rlimit
def test_text_sizes_that_wrap_64_bits_are_refused_before_any_row():
    # Row counts whose estimate, rows times bytes a row, wraps past 2**64 to a
    # few bytes: refused at once, not written until memory runs out.
    r = run_python("""
        import resource, numpy as np
        from kestrix import _scribe as scr
        def rows(per_row, dtype=float):
            n = -(-2**64 // per_row)
            return np.lib.stride_tricks.as_strided(np.zeros(3, dtype), shape=(n, 3),
                                                   strides=(0, np.dtype(dtype).itemsize))
        with open("/proc/self/status") as f:
            mapped = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (256 << 20), hard))
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for call in (lambda: scr.format_poscar_positions_rs(rows(61)),
                     lambda: scr.format_poscar_positions_rs(rows(73), rows(73, bool))):
            try:
                call()
            except MemoryError:
                print("MemoryError")
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(grown < 16 << 10)  # KiB
    """)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    assert r.stdout.splitlines() == ["MemoryError"] * 2 + ["True"]


@pytest.mark.rlimit
def test_supercell_past_memory_is_memory_error():
    # 2**40 rows of 24 bytes, below the sizes refused as unrepresentable.
    r = run_python("""
        import resource, numpy as np
        from kestrix import _lattica as lat
        a = np.lib.stride_tricks.as_strided(np.ones(3), shape=(2**20, 3), strides=(0, 8))
        with open("/proc/self/status") as f:
            mapped = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (256 << 20), hard))
        try:
            lat.make_supercell_positions_rs(a, a, True)
        except MemoryError:
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(lat.make_supercell_positions_rs(a[:2], a[:1], False).tolist())
    """)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    assert r.stdout.splitlines() == ["MemoryError", "[[2.0, 2.0, 2.0], [2.0, 2.0, 2.0]]"]

