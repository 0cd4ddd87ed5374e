"""Argument conversions: what each kind accepts, and every refusal's whole text."""

import collections.abc

import numpy as np
import pytest

from _support import assert_same, message, not_converted, raised
from kestrix import _vicinal as vic

CELL = np.eye(3) * 10.0
POS = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]])
PBC = [True, True, True]
F = vic.primitive_neighbor_list_rs
DICT = vic.primitive_neighbor_list_dict_rs
NUMBERS = np.array([1, 8])


@pytest.mark.parametrize("flag", [True, False, np.True_, np.bool_(0)])
def test_boolean_accepts_python_and_numpy_bools(flag):
    assert_same(F(PBC, CELL, POS, 3.0, flag), F(PBC, CELL, POS, 3.0, bool(flag)))


@pytest.mark.parametrize(
    "pbc", [(True, True, True), np.array([True, True, True]), [np.True_, True, np.bool_(1)]]
)
def test_pbc_accepts_any_sequence_of_three_bools(pbc):
    assert_same(F(pbc, CELL, POS, 3.0), F(PBC, CELL, POS, 3.0))


class FailingLength(collections.abc.Sequence):
    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, k):
        raise IndexError(k)


class FailingIteration(collections.abc.Sequence):
    def __len__(self):
        return 1

    def __getitem__(self, k):
        raise LookupError("no items")


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class SubTypeError(TypeError):
    pass


class ModuleUnreadable(type):
    @property
    def __module__(cls):
        raise RuntimeError("no module")


class NoModule(metaclass=ModuleUnreadable):
    pass


# Named as NumPy's bool is, but without a truth value.
FakeNumpyBool = type("bool", (), {"__module__": "numpy"})


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class UnsizedSequence(collections.abc.Sequence):
    """Iterates its items, but its length cannot be read."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, k):
        return self.items[k]

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize(
    "kwargs, kind, text",
    [
        (dict(self_interaction=1), TypeError, not_converted("self_interaction", "int", "PyBool")),
        (dict(use_scaled_positions=None), TypeError,
         not_converted("use_scaled_positions", "NoneType", "PyBool")),
        (dict(pbc=True), TypeError, not_converted("pbc", "bool", "Sequence")),
        (dict(pbc="TTT"), TypeError, not_converted("pbc", "str", "PyBool")),
        (dict(pbc=[1, 1, 1]), TypeError, not_converted("pbc", "int", "PyBool")),
        # a type whose module cannot be read is no NumPy bool
        (dict(pbc=[NoModule(), True, True]), TypeError, not_converted("pbc", "NoModule", "PyBool")),
        (dict(pbc=[True, FakeNumpyBool(), True]), TypeError,
         "argument 'pbc': object of type '<class 'numpy.bool'>' does not define a '__bool__' "
         "conversion"),
        (dict(pbc=[True, True]), ValueError, "expected a sequence of length 3 (got 2)"),
        (dict(pbc={0: True, 1: True, 2: True}), TypeError, not_converted("pbc", "dict", "Sequence")),
        (dict(pbc=FailingLength()), RuntimeError, "no length"),
        (dict(max_nbins=-1), OverflowError, "can't convert negative int to unsigned"),
        (dict(max_nbins=2**64), OverflowError, "int too big to convert"),
        (dict(max_nbins=2.0), TypeError,
         "argument 'max_nbins': 'float' object cannot be interpreted as an integer"),
        (dict(max_nbins=None), TypeError,
         "argument 'max_nbins': 'NoneType' object cannot be interpreted as an integer"),
        (dict(cutoff="3"), TypeError, "argument 'cutoff': must be real number, not str"),
        (dict(cutoff=None), TypeError, "argument 'cutoff': must be real number, not NoneType"),
        (dict(max_nbins=IndexRaises(SubTypeError("a subclass passes"))), SubTypeError,
         "a subclass passes"),
        (dict(max_nbins=IndexRaises(TypeError(Unprintable()))), TypeError,
         "argument 'max_nbins': <unprintable error>"),
    ],
)
def test_scalar_conversion_failures(kwargs, kind, text):
    args = dict(pbc=PBC, cell=CELL, positions=POS, cutoff=3.0) | kwargs
    assert message(kind, lambda: F(**args)) == text


def test_rewrapped_type_error_keeps_the_cause():
    def index():
        try:
            raise KeyError("root")
        except KeyError as root:
            raise TypeError("boom") from root

    holder = type("H", (), {"__index__": lambda self: index()})()
    exc = raised(TypeError, lambda: F(PBC, CELL, POS, 3.0, max_nbins=holder))
    assert str(exc) == "argument 'max_nbins': boom"
    assert isinstance(exc.__cause__, KeyError)
    assert exc.__suppress_context__


@pytest.mark.parametrize(
    "value, expected", [(3, 3.0), (True, 1.0), (np.float32(2.5), 2.5), (np.int64(4), 4.0)]
)
def test_double_accepts_numbers(value, expected):
    assert_same(F(PBC, CELL, POS, value), F(PBC, CELL, POS, expected))


@pytest.mark.parametrize("value, expected", [(True, 1), (np.int64(8), 8), (np.uint8(27), 27)])
def test_unsigned_accepts_indexable(value, expected):
    assert_same(F(PBC, CELL, POS, 3.0, max_nbins=value),
                F(PBC, CELL, POS, 3.0, max_nbins=expected))


@pytest.mark.parametrize(
    "keys",
    [
        ([1, 8], [8, 1], [1.5, 1.5]),
        ((1, 8), (8, 1), (1.5, 1.5)),
        (np.array([1, 8]), np.array([8, 1]), np.array([1.5, 1.5])),
        (range(1, 9, 7), [8, 1], [np.float64(1.5), 1.5]),
        (UnsizedSequence([1, 8]), UnsizedSequence([8, 1]), UnsizedSequence([1.5, 1.5])),
    ],
)
def test_variable_sequences_accept_lists_tuples_and_arrays(keys):
    expected = DICT(PBC, CELL, POS, NUMBERS, [1, 8], [8, 1], [1.5, 1.5])
    assert_same(DICT(PBC, CELL, POS, NUMBERS, *keys), expected)
    assert len(expected[0]) == 2


@pytest.mark.parametrize(
    "keys, kind, text",
    [
        (("18", [1], [1.0]), TypeError,
         "argument 'zi_keys': a str cannot be extracted into a vector"),
        (([1], {8: 1}, [1.0]), TypeError, not_converted("zj_keys", "dict", "Sequence")),
        (([1], [8], [1.0, "x"]), TypeError,
         "argument 'cutoff_vals': must be real number, not str"),
        (([1, 2.5], [8], [1.0]), TypeError,
         "argument 'zi_keys': 'float' object cannot be interpreted as an integer"),
        (([2**63], [8], [1.0]), OverflowError, "Python int too large to convert to C long"),
        (([1], FailingIteration(), [1.0]), LookupError, "no items"),
    ],
)
def test_sequence_conversion_failures(keys, kind, text):
    assert message(kind, lambda: DICT(PBC, CELL, POS, NUMBERS, *keys)) == text
