"""Argument binding: which TypeError wins, and its whole text."""

import numpy as np
import pytest

from _support import assert_same, message
from kestrix import _vicinal as vic

CELL = np.eye(3) * 10.0
POS = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]])
PBC = [True, True, True]
F = vic.primitive_neighbor_list_rs
R = vic.primitive_neighbor_list_radii_rs
DICT = vic.primitive_neighbor_list_dict_rs


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: F(), "primitive_neighbor_list_rs() missing 4 required positional arguments: "
                      "'pbc', 'cell', 'positions', and 'cutoff'"),
        (lambda: F(PBC, CELL), "primitive_neighbor_list_rs() missing 2 required positional "
                               "arguments: 'positions' and 'cutoff'"),
        (lambda: F(PBC, CELL, POS), "primitive_neighbor_list_rs() missing 1 required "
                                    "positional argument: 'cutoff'"),
        (lambda: F(PBC, cutoff=1.0), "primitive_neighbor_list_rs() missing 2 required "
                                     "positional arguments: 'cell' and 'positions'"),
        (lambda: R(PBC, CELL, POS, radii=None, max_nbins=1, self_interaction=1, cell=CELL),
         "primitive_neighbor_list_radii_rs() got multiple values for argument 'cell'"),
        (lambda: F(*[None] * 8), "primitive_neighbor_list_rs() takes from 4 to 7 positional "
                                 "arguments but 8 were given"),
        (lambda: F(*[None] * 8, bogus=1), "primitive_neighbor_list_rs() takes from 4 to 7 "
                                          "positional arguments but 8 were given"),
        (lambda: DICT(*[None] * 11), "primitive_neighbor_list_dict_rs() takes from 7 to 10 "
                                     "positional arguments but 11 were given"),
        (lambda: F(PBC, CELL, POS, 1.0, cutoff=2.0),
         "primitive_neighbor_list_rs() got multiple values for argument 'cutoff'"),
        (lambda: F(PBC, CELL, POS, 1.0, Cutoff=2.0),
         "primitive_neighbor_list_rs() got an unexpected keyword argument 'Cutoff'"),
        # the first bad keyword in call order decides, before any missing argument
        (lambda: F(pbc=PBC, zz=1, aa=2), "primitive_neighbor_list_rs() got an unexpected "
                                         "keyword argument 'zz'"),
        (lambda: F(PBC, pbc=PBC, zz=1), "primitive_neighbor_list_rs() got multiple values "
                                        "for argument 'pbc'"),
        (lambda: F(**{"\udc80": 1}), "primitive_neighbor_list_rs() got an unexpected keyword "
                                     "argument '\udc80'"),
    ],
)
def test_binding_errors(call, text):
    assert message(TypeError, call) == text


class ShownAs(str):
    def __str__(self):
        return "shown"


class RaisingStr(str):
    def __str__(self):
        raise LookupError("no text")


class IntStr(str):
    def __str__(self):
        return 5


def python_function(cell):
    pass


@pytest.mark.parametrize("keyword", [ShownAs("Cell"), ShownAs("cell2"),
                                     type("PlainStr", (str,), {})("Cell")])
def test_unexpected_keyword_names_str_of_the_name(keyword):
    got = message(TypeError, lambda: F(PBC, CELL, POS, 1.0, **{keyword: 1}))
    python = message(TypeError, lambda: python_function(**{keyword: 1}))
    assert got == python.replace("python_function()", "primitive_neighbor_list_rs()")
    assert got == f"primitive_neighbor_list_rs() got an unexpected keyword argument '{str(keyword)}'"


@pytest.mark.parametrize("keyword, exc_type, text", [
    (RaisingStr("Cell"), LookupError, "no text"),
    (IntStr("Cell"), TypeError, "__str__ returned non-string (type int)"),
])
def test_unexpected_keyword_whose_str_fails_raises_that_error(keyword, exc_type, text):
    for call in (lambda: F(PBC, CELL, POS, 1.0, **{keyword: 1}),
                 lambda: python_function(**{keyword: 1})):  # as CPython does
        assert message(exc_type, call) == text


def test_binding_runs_before_any_conversion():
    # `pbc` is invalid too, but too many positional arguments is reported first
    with pytest.raises(TypeError, match="positional arguments but 8 were given"):
        F(1, 2, 3, 4, 5, 6, 7, 8)


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(max_nbins=100, use_scaled_positions=False, self_interaction=True, cutoff=3.0,
             positions=POS, cell=CELL, pbc=PBC),
        dict(cutoff=3.0, pbc=PBC, positions=POS, cell=CELL, self_interaction=True,
             max_nbins=100),
    ],
)
def test_keywords_in_any_order_bind_like_positions(kwargs):
    assert_same(F(**kwargs), F(PBC, CELL, POS, 3.0, True, False, 100))


def test_keyword_names_need_not_be_interned():
    name = "".join(["cut", "off"])
    assert_same(F(PBC, CELL, POS, **{name: 3.0}), F(PBC, CELL, POS, 3.0))
