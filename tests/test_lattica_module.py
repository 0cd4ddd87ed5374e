import inspect

import numpy as np
import pytest

from _support import message, not_converted
from kestrix._lattica import make_supercell_positions_rs as supercell
from kestrix._lattica import minkowski_reduce_rs as reduce

C = np.eye(3)
P = np.zeros((2, 3))


@pytest.mark.parametrize("func, params, summary", [
    (reduce, ["cell"], "Minkowski-reduce a 3×3 lattice cell (3D full reduction only)."),
    (supercell, ["prim_positions", "lattice_points", "cell_major"],
     "Build Cartesian positions for a supercell."),
])
def test_signature_and_docstring(func, params, summary):
    sig = inspect.signature(func)
    assert list(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
    assert func.__text_signature__ == "(" + ", ".join(params) + ")"
    lines = func.__doc__.split("\n")
    assert lines[0] == summary and "--" not in lines[:2]
    assert "Parameters" in lines and "Returns" in lines and not func.__doc__.endswith("\n")


def test_supercell_docstring_arrows_stand_under_broadcasts():
    lines = supercell.__doc__.split("\n")
    for order, row in (("cell-major:", "(l * N_prim + a)"), ("atom-major:", "(a * N_super + l)")):
        k = next(i for i, line in enumerate(lines) if line.startswith("  " + order))
        assert lines[k + 1].index("→") == lines[k].index("shifted") and row in lines[k + 1]


@pytest.mark.parametrize("call, exc_type, text", [
    (lambda: reduce(), TypeError, "minkowski_reduce_rs() missing 1 required positional argument: 'cell'"),
    (lambda: reduce(C, C, Cell=C), TypeError,
     "minkowski_reduce_rs() takes 1 positional arguments but 2 were given"),
    (lambda: reduce(C, cell=C), TypeError, "minkowski_reduce_rs() got multiple values for argument 'cell'"),
    (lambda: reduce(Cell=C, other=C), TypeError,
     "minkowski_reduce_rs() got an unexpected keyword argument 'Cell'"),
    (lambda: reduce(C.tolist()), TypeError,
     not_converted("cell", "list")),
    (lambda: reduce(C.astype(np.int64)), TypeError,
     not_converted("cell", "ndarray")),
    (lambda: supercell(), TypeError, "make_supercell_positions_rs() missing 3 required positional "
     "arguments: 'prim_positions', 'lattice_points', and 'cell_major'"),
    (lambda: supercell(P, P), TypeError,
     "make_supercell_positions_rs() missing 1 required positional argument: 'cell_major'"),
    (lambda: supercell(P, P, True, True), TypeError,
     "make_supercell_positions_rs() takes 3 positional arguments but 4 were given"),
    (lambda: supercell(P, P, True, cell_major=True), TypeError,
     "make_supercell_positions_rs() got multiple values for argument 'cell_major'"),
    (lambda: supercell(P, P, 1), TypeError,
     not_converted("cell_major", "int", "PyBool")),
    (lambda: supercell(P.tolist(), P, True), TypeError,
     not_converted("prim_positions", "list")),
    (lambda: supercell(P, P.astype(np.float32), True), TypeError,
     not_converted("lattice_points", "ndarray")),
    (lambda: supercell(P[0], P.tolist(), 1), TypeError,
     not_converted("prim_positions", "ndarray")),
])
def test_binding_messages(call, exc_type, text):
    assert message(exc_type, call) == text


def test_keywords_in_any_order():
    lp = np.array([[0.0, 0.0, 1.0]])
    out = supercell(cell_major=False, lattice_points=lp, prim_positions=P)
    assert out.tolist() == supercell(P, lp, False).tolist()
    assert reduce(cell=C)[1].tolist() == reduce(C)[1].tolist()

