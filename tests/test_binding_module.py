"""Module start-up, registration, PanicException and the exported symbols."""

import importlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

from _support import not_converted, run_python
from kestrix import _lattica, _scribe, _vicinal

MODULES = {
    _vicinal: ["primitive_neighbor_list_rs", "primitive_neighbor_list_radii_rs",
               "primitive_neighbor_list_dict_rs"],
    _scribe: ["parse_poscar_positions_rs", "format_poscar_positions_rs",
              "parse_xdatcar_coords_rs", "format_xdatcar_config_rs", "parse_xyz_block_rs",
              "format_xyz_block_rs"],
    _lattica: ["minkowski_reduce_rs", "make_supercell_positions_rs"],
}


@pytest.mark.parametrize("module", MODULES)
def test_module_contents(module):
    names = MODULES[module]
    assert module.__all__ == names
    assert module.__doc__ == ""
    own = {k for k in vars(module) if not k.startswith("__")}
    assert own == set(names)
    for name in names:
        function = getattr(module, name)
        assert function.__module__ == module.__name__
        assert function.__self__ is module
        assert function.__doc__.split("\n")[0] and not function.__doc__.startswith(name)
        assert function.__text_signature__.startswith("(")


@pytest.mark.parametrize("module", MODULES)
def test_a_second_start_up_returns_the_same_module(module):
    name = module.__name__
    del sys.modules[name]
    try:
        again = importlib.import_module(name)
    finally:
        sys.modules[name] = module
    assert again is module
    assert getattr(again, module.__all__[0]) is getattr(module, module.__all__[0])


# Importing a module leaves NumPy alone; a call refused before any array
# argument does too; the first conversion of an array argument imports it.
@pytest.mark.parametrize("module, refused, converting, messages", [
    ("_vicinal", "primitive_neighbor_list_rs([1, 1, 1], None, None, 1.0)",
     "primitive_neighbor_list_rs([True] * 3, None, None, 1.0)",
     [not_converted("pbc", "int", "PyBool"), not_converted("cell", "NoneType")]),
    ("_scribe", 'parse_poscar_positions_rs(["1 2 3"], 1)', "parse_xdatcar_coords_rs([])",
     [not_converted("selective", "int", "PyBool"), "returned"]),
    ("_lattica", "minkowski_reduce_rs()", "minkowski_reduce_rs(None)",
     ["minkowski_reduce_rs() missing 1 required positional argument: 'cell'",
      not_converted("cell", "NoneType")]),
])
def test_numpy_is_imported_by_the_first_array_conversion(module, refused, converting, messages):
    r = run_python(f"""
        import sys
        from kestrix import {module} as m
        def attempt(call):
            try:
                call()
                print("returned")
            except TypeError as e:
                print(e)
            print("numpy" in sys.modules)
        print("numpy" in sys.modules)
        attempt(lambda: m.{refused})
        attempt(lambda: m.{converting})
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["False", messages[0], "False", messages[1], "True"]


def panic_from(module):
    calls = {
        _vicinal: lambda: _vicinal.primitive_neighbor_list_rs(
            [True] * 3, np.eye(2), np.zeros((1, 3)), 1.0),
        _scribe: lambda: _scribe.format_xyz_block_rs(["H"], np.zeros((1, 2))),
        _lattica: lambda: _lattica.make_supercell_positions_rs(
            np.zeros((1, 2)), np.zeros((1, 3)), True),
    }
    try:
        calls[module]()
    except Exception:  # noqa: BLE001 - a PanicException must not land here
        pytest.fail("PanicException was caught as an Exception")
    except BaseException as e:  # noqa: BLE001
        return e
    pytest.fail("no PanicException")


def test_panic_exception(capfd):
    classes = set()
    for module in MODULES:
        exc = panic_from(module)
        cls = type(exc)
        classes.add(cls)
        assert (cls.__module__, cls.__name__, cls.__qualname__) == (
            "pyo3_runtime", "PanicException", "PanicException")
        assert cls.__bases__ == (BaseException,)
        assert exc.args == ("ndarray: index out of bounds",)
        assert len([p for p in cls.__doc__.split("\n\n") if p.strip()]) == 2
        assert type(panic_from(module)) is cls  # one class per module, kept
    assert len(classes) == 3
    err = capfd.readouterr().err
    assert "internal failure at vicinal/src/" in err
    assert err.count("ndarray: index out of bounds\n") == 6
    # the interpreter carries on
    assert len(_vicinal.primitive_neighbor_list_rs(
        [True] * 3, np.eye(3) * 4.0, np.zeros((1, 3)), 5.0)[0]) == 6


def test_a_panic_raised_by_python_code_resumes_as_a_new_panic(capfd):
    class Reraise:
        def __index__(self):
            raise panic_from(_vicinal)

    with pytest.raises(BaseException) as exc:
        _vicinal.primitive_neighbor_list_rs([True] * 3, np.eye(3), np.zeros((1, 3)), 1.0,
                                            max_nbins=Reraise())
    assert type(exc.value).__name__ == "PanicException"
    assert exc.value.args == ("ndarray: index out of bounds",)
    err = capfd.readouterr().err
    assert "Python stack trace below:\n" in err
    assert "pyo3_runtime.PanicException: ndarray: index out of bounds" in err


def test_a_sub_interpreter_is_refused():
    r = run_python("""
        import _testcapi
        import kestrix._vicinal as v
        code = (
            "try:\\n"
            "    import kestrix._vicinal\\n"
            "    out = 'imported'\\n"
            "except ImportError as e:\\n"
            "    out = 'ImportError: ' + str(e)\\n"
            "open(%r, 'w').write(out)\\n"
        )
        import tempfile, os
        path = os.path.join(tempfile.mkdtemp(), "out")
        assert _testcapi.run_in_subinterp(code % path) == 0
        print(open(path).read())
        print(v.__all__[0])
    """)
    assert r.returncode == 0, r.stderr
    out = r.stdout.splitlines()
    assert out[0].startswith("ImportError: ") and "sub-interpreters" in out[0]
    assert "://" not in out[0]
    assert out[1] == "primitive_neighbor_list_rs"


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.parametrize("module", MODULES)
def test_only_the_init_function_is_exported(module):
    out = subprocess.run(["nm", "-D", "--defined-only", module.__file__],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + module.__name__.rsplit(".", 1)[1]]
