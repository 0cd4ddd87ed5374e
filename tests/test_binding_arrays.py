"""NumPy arrays in and out: accepted views, refusals, result arrays, the borrow record."""

import ctypes
import re
import shutil
import subprocess
import sysconfig
from pathlib import Path

import numpy as np
import pytest

from _support import assert_same, message, not_converted, panic_message, run_python
from kestrix import _vicinal as vic

F = vic.primitive_neighbor_list_rs
PBC = [True, False, True]
RNG = np.random.default_rng(7)
CELL = np.array([[6.0, 0.0, 0.0], [1.0, 7.0, 0.0], [0.5, 0.3, 8.0]])
POS = RNG.uniform(-1.0, 8.0, size=(12, 3))


def wide(a):
    """The same values inside a wider, column-major buffer: non-contiguous, strided view."""
    big = np.zeros((a.shape[0] * 2, a.shape[1] + 2), order="F")
    big[::2, 1:-1] = a
    return big[::2, 1:-1]


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize(
    "make",
    [
        lambda a: np.asfortranarray(a),
        lambda a: np.ascontiguousarray(a.T).T,
        lambda a: a[::-1][::-1],
        lambda a: np.ascontiguousarray(a[::-1])[::-1],
        wide,
        lambda a: a.view(Sub),
        lambda a: np.frombuffer(a.tobytes(), dtype=np.float64).reshape(a.shape),  # read-only
    ],
)
def test_array_layouts_read_as_numpy_indexes_them(make):
    cell, pos = make(CELL), make(POS)
    before = (cell.copy(), pos.copy())
    assert_same(F(PBC, cell, pos, 4.0), F(PBC, CELL, POS, 4.0))
    assert np.array_equal(cell, before[0]) and np.array_equal(pos, before[1])


def test_longlong_numbers_and_shared_arrays_are_accepted():
    numbers = np.ones(len(POS), dtype=np.longlong)
    args = (PBC, CELL, POS, numbers, [1], [1], [4.0])
    assert_same(vic.primitive_neighbor_list_dict_rs(*args), F(PBC, CELL, POS, 4.0))
    square = np.eye(3) * 3.0
    assert len(F([False] * 3, square, square, 5.0)[0]) == 6


@pytest.mark.parametrize(
    "cell, name",
    [
        ([[1.0, 0, 0], [0, 1.0, 0], [0, 0, 1.0]], "list"),
        ((1.0, 2.0), "tuple"),
        (np.float64(1.0), "float64"),
        (np.array(1.0), "ndarray"),
        (np.eye(3, dtype=np.float32), "ndarray"),
        (np.eye(3, dtype=np.int32), "ndarray"),
        (np.eye(3).astype(">f8"), "ndarray"),
        (np.ones(3), "ndarray"),
        (np.ones((3, 3, 1)), "ndarray"),
    ],
)
def test_wrong_arrays_are_refused(cell, name):
    assert message(TypeError, lambda: F(PBC, cell, POS, 4.0)) == not_converted("cell", name)


@pytest.mark.parametrize("positions", [POS, POS[:0]])
def test_result_arrays(positions):
    result = F(PBC, CELL, positions, 4.0)
    assert type(result) is tuple and len(result) == 5
    n = len(result[0])
    assert n > 0 or len(positions) == 0
    for array, dtype, shape in zip(result, "i8 i8 f8 f8 i8".split(),
                                   [(n,), (n,), (n,), (n, 3), (n, 3)]):
        assert type(array) is np.ndarray
        assert array.dtype == np.dtype(dtype) and array.shape == shape
        assert array.flags.writeable and array.flags.c_contiguous and not array.flags.owndata
        holder = type(array.base)
        assert (holder.__module__, holder.__name__) == ("builtins", "PySliceContainer")
        expected = (0,) * len(shape) if n == 0 else np.empty(shape, dtype).strides
        assert array.strides == expected


def test_results_are_independent_and_holder_has_no_constructor():
    first, second = F(PBC, CELL, POS, 4.0), F(PBC, CELL, POS, 4.0)
    first[3][:] = -1.0
    first[0][:] = 99
    assert_same(second, F(PBC, CELL, POS, 4.0))
    assert message(TypeError, type(first[0].base)) == "No constructor defined for PySliceContainer"


FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object, ctypes.c_size_t)
RECORD = "_KESTRIX_ARRAY_BORROW_RECORD"
RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object, ctypes.c_size_t)


class RecordApi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("record", ctypes.c_void_p),
                ("acquire", FN), ("acquire_mut", FN), ("release", RELEASE),
                ("release_mut", RELEASE)]


def borrow_record():
    F(PBC, CELL, POS, 4.0)  # the first registration creates the record
    core = np._core.multiarray if np.lib.NumpyVersion(np.__version__).major >= 2 \
        else np.core.multiarray
    capsule = core._KESTRIX_ARRAY_BORROW_RECORD
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return RecordApi.from_address(get(capsule, b"kestrix.array_borrow_record"))


def test_a_writer_in_the_borrow_record_refuses_readers():
    api = borrow_record()
    assert api.version >= 1
    positions = POS.copy()
    assert api.acquire_mut(api.record, positions, positions.itemsize) == 0
    try:
        # our readers were released: nobody else holds positions
        assert api.acquire_mut(api.record, positions, positions.itemsize) == -1
        # a view of the same memory
        assert panic_message(lambda: F(PBC, CELL, positions[2:], 4.0)).endswith(": AlreadyBorrowed")
        assert_same(F(PBC, CELL, positions.copy(), 4.0), F(PBC, CELL, POS, 4.0))
    finally:
        api.release_mut(api.record, positions, positions.itemsize)
    assert_same(F(PBC, CELL, positions, 4.0), F(PBC, CELL, POS, 4.0))
    assert api.acquire_mut(api.record, positions, positions.itemsize) == 0
    api.release_mut(api.record, positions, positions.itemsize)


def test_core_package_follows_the_numpy_major_version():
    r = run_python("""
        import sys, numpy as np, kestrix._vicinal as v
        v.primitive_neighbor_list_rs([True] * 3, np.eye(3), np.zeros((1, 3)), 1.0)
        major = np.lib.NumpyVersion(np.__version__).major
        core = "numpy._core" if major >= 2 else "numpy.core"
        print(hasattr(sys.modules[core + ".multiarray"], "_KESTRIX_ARRAY_BORROW_RECORD"))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "True"


NUMPY_FAILED = "Failed to access NumPy array API capsule"
RECORD_FAILED = "Interal borrow checking API error"


def pyerr(kind, value, traceback="None"):
    return f"PyErr {{ type: <class '{kind}'>, value: {value}, traceback: {traceback} }}"


# The first array conversion loads NumPy's interface, then finds (or makes) the
# borrow record. Each case spoils one step in a fresh interpreter, undoes it,
# and calls again: a failure of ours is a PanicException that names the
# Python error (and writes it to stderr), the caller's KeyboardInterrupt goes
# through as it is, and nothing is kept of the failed attempt.
@pytest.mark.parametrize(
    "spoil, restore, first",
    [
        ('np.__version__ = "not a version"', "np.__version__ = real",
         f"PanicException {NUMPY_FAILED}: PyErr {{ type: <class 'ValueError'>, value:"),
        ("sys.modules['numpy'] = None", "sys.modules['numpy'] = np",
         f"PanicException {NUMPY_FAILED}: " + pyerr(
             "ModuleNotFoundError",
             "ModuleNotFoundError('import of numpy halted; None in sys.modules')")),
        ("np.__version__ = '300.0.0'", "np.__version__ = real",
         f"PanicException {NUMPY_FAILED}: " + pyerr(
             "OverflowError", "OverflowError('out of range integral type conversion attempted')")),
        ("core._ARRAY_API = 5", "core._ARRAY_API = table",
         f"PanicException {NUMPY_FAILED}: " + pyerr(
             "TypeError", "TypeError(\"'int' object cannot be converted to 'PyCapsule'\")")),
        # A signal handler's KeyboardInterrupt while NumPy's interface loads is
        # the caller's, not a failure of ours.
        ("del np.__version__; np.__getattr__ = interrupt",
         "del np.__getattr__; np.__version__ = real", "KeyboardInterrupt "),
        (f"core.{RECORD} = 5", f"del core.{RECORD}",
         f"PanicException {RECORD_FAILED}: " + pyerr(
             "TypeError", "TypeError(\"'int' object cannot be converted to 'PyCapsule'\")")),
        (f"core.{RECORD} = capsule_of_version_0()", f"del core.{RECORD}",
         f"PanicException {RECORD_FAILED}: " + pyerr(
             "RuntimeError", "RuntimeError('borrow record version 0 is older than 1')")),
        ("core.__getattr__ = lookup_fails", "del core.__getattr__",
         f"PanicException {RECORD_FAILED}: " + pyerr(
             "KeyError", f"KeyError('{RECORD}')", "Some(<traceback object>)")),
        ("core.__getattr__ = interrupt", "del core.__getattr__", "KeyboardInterrupt "),
    ],
    ids=["bad version", "no numpy", "version 300", "table no capsule", "interrupted",
         "record no capsule", "record version 0", "record lookup fails",
         "record lookup interrupted"],
)
def test_unreachable_numpy_panics_and_a_later_call_retries(spoil, restore, first):
    r = run_python(f"""
        import ctypes, re, sys
        import numpy as np, kestrix._vicinal as v
        major = np.lib.NumpyVersion(np.__version__).major
        core = np._core.multiarray if major >= 2 else np.core.multiarray
        real, table = np.__version__, core._ARRAY_API
        def interrupt(name):
            raise KeyboardInterrupt
        def lookup_fails(name):
            raise KeyError(name)
        version_0 = ctypes.create_string_buffer(64)  # zeros: version 0
        def capsule_of_version_0():
            new = ctypes.pythonapi.PyCapsule_New
            new.restype = ctypes.py_object
            new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
            return new(ctypes.addressof(version_0), b"kestrix.array_borrow_record", None)
        {spoil}
        try:
            v.primitive_neighbor_list_rs([True] * 3, np.eye(3), np.zeros((1, 3)), 1.0)
        except BaseException as e:
            text = re.sub(" at 0x[0-9a-f]+>", ">", str(e))
            print(type(e).__name__, text, type(e).__mro__[1].__name__)
        {restore}
        print(len(v.primitive_neighbor_list_rs([True] * 3, np.eye(3), np.zeros((1, 3)), 1.0)))
    """)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert len(lines) == 2 and lines[1] == "5"
    assert lines[0].startswith(first) and lines[0].endswith(" BaseException")
    if first.startswith("PanicException"):
        assert first.split(" ", 1)[1] in re.sub(" at 0x[0-9a-f]+>", ">", r.stderr)
    else:
        assert r.stderr == ""


def test_numpy_table_entries_match_the_running_numpys_headers(tmp_path):
    # The frame reads NumPy's table by hand; a wrong index or type would crash a
    # call, so a program built against NumPy's own headers checks each entry.
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    root = Path(__file__).resolve().parent.parent
    program = tmp_path / "numpy_slots"
    build = subprocess.run(
        [compiler, "-std=c++20", "-o", str(program), str(root / "tests" / "numpy_slots.cpp"),
         "-I", sysconfig.get_paths()["include"], "-I", np.get_include(),
         "-I", str(root / "binding" / "include"), "-I", str(root / "binding" / "src")],
        capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(program)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout
    assert len(run.stdout.splitlines()) == 5
