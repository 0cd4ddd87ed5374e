"""Out of memory: every function raises MemoryError, never PanicException, and
the interpreter goes on working.

In a fresh interpreter, CPython's allocators fail once, at each allocation of
a small call in turn (the small objects: tuples, lists, strs, holders, arrays).
"""

import json

import pytest

from _support import run_python

# Each function with its arguments, built ahead of the calls so that only the
# call itself allocates; `n` scales the large outputs.
CASES = """
import numpy as np
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
        "minkowski_reduce_rs": (lat.minkowski_reduce_rs,
                                (np.array([[1.0, 0.0, 0.0], [7.0, 1.0, 0.0], [3.0, 5.0, 1.0]]),)),
        "make_supercell_positions_rs": (lat.make_supercell_positions_rs,
                                        (rows[: max(2, n // 64)], rows[: min(n, 64)], True)),
    }

def same(a, b):
    if isinstance(a, tuple):
        return type(b) is tuple and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, np.ndarray):
        return (type(b) is np.ndarray and a.dtype == b.dtype and a.shape == b.shape
                and a.tobytes() == b.tobytes())
    return type(a) is type(b) and a == b
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


def run_sweep(code):
    r = run_python(CASES + code, timeout=60)
    assert r.returncode == 0, r.stderr
    # A PanicException or the "Python API call failed" path writes here.
    assert r.stderr == ""
    return json.loads(r.stdout)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_each_failed_allocation_gives_memory_error_or_the_result(name):
    pytest.importorskip("_testcapi")
    outcomes = run_sweep(f"""
import json, _testcapi

func, args = inputs(4)[{name!r}]
want = func(*args)
fail_once, unhook = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
outcomes = []
for k in range(40):
    fail_once(k, k + 1)  # the allocation after the k-th fails
    try:
        got = func(*args)
    except MemoryError:
        got = MemoryError
    finally:
        unhook()
    outcomes.append("MemoryError" if got is MemoryError else same(got, want))
    del got
outcomes.append(same(func(*args), want))
print(json.dumps(outcomes))
""")
    assert set(outcomes) <= {"MemoryError", True}
    assert "MemoryError" in outcomes
    # Far enough that the last calls made every allocation unharmed.
    assert outcomes[-4:] == [True] * 4

