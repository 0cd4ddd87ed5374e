"""Argument conversions: what each kind accepts, and every refusal's whole text."""

import collections.abc

import numpy as np
import pytest

from kestrix import _vicinal as vic

CELL = np.eye(3) * 10.0
POS = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]])
PBC = [True, True, True]
F = vic.primitive_neighbor_list_rs
DICT = vic.primitive_neighbor_list_dict_rs
NUMBERS = np.array([1, 8])


def same(a, b):
    return all(np.array_equal(x, y) for x, y in zip(a, b))


@pytest.mark.parametrize("flag", [True, False, np.True_, np.bool_(0)])
def test_boolean_accepts_python_and_numpy_bools(flag):
    assert same(F(PBC, CELL, POS, 3.0, flag), F(PBC, CELL, POS, 3.0, bool(flag)))


@pytest.mark.parametrize(
    "pbc", [(True, True, True), np.array([True, True, True]), [np.True_, True, np.bool_(1)]]
)
def test_pbc_accepts_any_sequence_of_three_bools(pbc):
    assert same(F(pbc, CELL, POS, 3.0), F(PBC, CELL, POS, 3.0))


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


@pytest.mark.parametrize(
    "kwargs, kind, message",
    [
        (dict(self_interaction=1), TypeError,
         "argument 'self_interaction': 'int' object cannot be converted to 'PyBool'"),
        (dict(use_scaled_positions=None), TypeError,
         "argument 'use_scaled_positions': 'NoneType' object cannot be converted to 'PyBool'"),
        (dict(pbc=True), TypeError, "argument 'pbc': 'bool' object cannot be converted to "
                                    "'Sequence'"),
        (dict(pbc="TTT"), TypeError, "argument 'pbc': 'str' object cannot be converted to "
                                     "'PyBool'"),
        (dict(pbc=[1, 1, 1]), TypeError, "argument 'pbc': 'int' object cannot be converted to "
                                         "'PyBool'"),
        (dict(pbc=[True, True]), ValueError, "expected a sequence of length 3 (got 2)"),
        (dict(pbc={0: True, 1: True, 2: True}), TypeError,
         "argument 'pbc': 'dict' object cannot be converted to 'Sequence'"),
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
    ],
)
def test_scalar_conversion_failures(kwargs, kind, message):
    args = dict(pbc=PBC, cell=CELL, positions=POS, cutoff=3.0) | kwargs
    with pytest.raises(kind) as exc:
        F(**args)
    assert type(exc.value) is kind
    assert str(exc.value) == message


def test_rewrapped_type_error_keeps_the_cause():
    def index():
        try:
            raise KeyError("root")
        except KeyError as root:
            raise TypeError("boom") from root

    holder = type("H", (), {"__index__": lambda self: index()})()
    with pytest.raises(TypeError) as exc:
        F(PBC, CELL, POS, 3.0, max_nbins=holder)
    assert str(exc.value) == "argument 'max_nbins': boom"
    assert isinstance(exc.value.__cause__, KeyError)
    assert exc.value.__suppress_context__


@pytest.mark.parametrize(
    "value, expected", [(3, 3.0), (True, 1.0), (np.float32(2.5), 2.5), (np.int64(4), 4.0)]
)
def test_double_accepts_numbers(value, expected):
    assert same(F(PBC, CELL, POS, value), F(PBC, CELL, POS, expected))


@pytest.mark.parametrize("value, expected", [(True, 1), (np.int64(8), 8), (np.uint8(27), 27)])
def test_unsigned_accepts_indexable(value, expected):
    assert same(F(PBC, CELL, POS, 3.0, max_nbins=value),
                F(PBC, CELL, POS, 3.0, max_nbins=expected))


@pytest.mark.parametrize(
    "keys",
    [
        ([1, 8], [8, 1], [1.5, 1.5]),
        ((1, 8), (8, 1), (1.5, 1.5)),
        (np.array([1, 8]), np.array([8, 1]), np.array([1.5, 1.5])),
        (range(1, 9, 7), [8, 1], [np.float64(1.5), 1.5]),
    ],
)
def test_variable_sequences_accept_lists_tuples_and_arrays(keys):
    expected = DICT(PBC, CELL, POS, NUMBERS, [1, 8], [8, 1], [1.5, 1.5])
    assert same(DICT(PBC, CELL, POS, NUMBERS, *keys), expected)
    assert len(expected[0]) == 2


@pytest.mark.parametrize(
    "keys, kind, message",
    [
        (("18", [1], [1.0]), TypeError,
         "argument 'zi_keys': a str cannot be extracted into a vector"),
        (([1], {8: 1}, [1.0]), TypeError,
         "argument 'zj_keys': 'dict' object cannot be converted to 'Sequence'"),
        (([1], [8], [1.0, "x"]), TypeError,
         "argument 'cutoff_vals': must be real number, not str"),
        (([1, 2.5], [8], [1.0]), TypeError,
         "argument 'zi_keys': 'float' object cannot be interpreted as an integer"),
        (([2**63], [8], [1.0]), OverflowError, "Python int too large to convert to C long"),
        (([1], FailingIteration(), [1.0]), LookupError, "no items"),
    ],
)
def test_sequence_conversion_failures(keys, kind, message):
    with pytest.raises(kind) as exc:
        DICT(PBC, CELL, POS, NUMBERS, *keys)
    assert type(exc.value) is kind
    assert str(exc.value) == message
