"""Shared test helpers: a fresh interpreter, exact comparison of results, the
exact exception of a call, and the binder's conversion message.

Imports nothing beyond the standard library, so that code run by `run_python`
can use it without importing NumPy.
"""

import os
import subprocess
import sys
import textwrap

TESTS = os.path.dirname(os.path.abspath(__file__))

# The target named by the binder's refusal of a value that is no array it takes.
ARRAY = "PyArray<T, D>"


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (text mode).

    The code can import this module. The timeout guards against hangs; it is
    not a speed test.
    """
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [TESTS, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def same(a, b):
    """True if `a` and `b` are the same result to the bit.

    Exceptions by type and text; tuples and lists item by item; arrays by type,
    dtype, shape and bytes (so -0.0 differs from 0.0, and NaN payloads count);
    anything else by type and ==.
    """
    if isinstance(a, BaseException):
        return type(a) is type(b) and str(a) == str(b)
    if isinstance(a, (tuple, list)):
        return type(b) is type(a) and len(a) == len(b) and all(map(same, a, b))
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(a, numpy.ndarray):
        return (type(b) is type(a) and a.dtype == b.dtype and a.shape == b.shape
                and a.tobytes() == b.tobytes())
    return type(a) is type(b) and a == b


def assert_same(a, b):
    assert same(a, b), (a, b)


def raised(kind, call):
    """The exception `call()` raises, which must be of exactly type `kind`."""
    try:
        call()
    except BaseException as exc:  # PanicException derives from BaseException only
        assert type(exc) is kind, repr(exc)
        return exc
    raise AssertionError(f"no {kind.__name__} raised")


def message(kind, call):
    """The text of the exception of exactly type `kind` that `call()` raises."""
    return str(raised(kind, call))


def is_panic(exc):
    t = type(exc)
    return (t.__module__, t.__name__, t.__bases__) == ("pyo3_runtime", "PanicException",
                                                        (BaseException,))


def panic_message(call):
    """The text of the PanicException that `call()` raises."""
    try:
        call()
    except BaseException as exc:
        assert is_panic(exc), repr(exc)
        return str(exc)
    raise AssertionError("no PanicException raised")


def not_converted(argument, type_name, target=ARRAY):
    """The binder's TypeError text for a value of `type_name` that is no `target`."""
    return f"argument '{argument}': '{type_name}' object cannot be converted to '{target}'"
