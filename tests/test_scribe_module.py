"""Module _scribe: signatures, docstrings, argument binding and conversion."""

import inspect

import numpy as np
import pytest

from _support import assert_same, message, not_converted
from kestrix._scribe import (format_poscar_positions_rs, format_xdatcar_config_rs,
                             format_xyz_block_rs, parse_poscar_positions_rs,
                             parse_xdatcar_coords_rs, parse_xyz_block_rs)

DOCS = [
    (parse_poscar_positions_rs, "(lines, selective)",
     "Parse the N-atom position block from a POSCAR/CONTCAR file.",
     "Python equivalent (read_vasp_configuration:261-278):", 5),
    (format_poscar_positions_rs, "(coord, flags=None)",
     "Format the N-atom position block for a POSCAR/CONTCAR file.",
     "Python equivalent (write_vasp:908-914):", 7),
    (parse_xdatcar_coords_rs, "(lines)", "Parse the coordinate block for one XDATCAR frame.",
     "Python equivalent (read_vasp_xdatcar:398):", 1),
    (format_xdatcar_config_rs, "(scaled_positions, index)",
     "Format one complete XDATCAR configuration block.",
     "Python equivalent (_write_xdatcar_config:763-769):", 5),
    (parse_xyz_block_rs, "(lines)", "Parse N atom lines from a simple XYZ file.",
     "Python equivalent (read_xyz:26-31):", 6),
    (format_xyz_block_rs, "(symbols, positions)", "Format N atoms as simple XYZ atom lines.",
     "Python equivalent (write_xyz:42-43, fmt='%22.15f'):", 2),
]


@pytest.mark.parametrize("func, signature, summary, citation, code_lines", DOCS)
def test_docstring_layout(func, signature, summary, citation, code_lines):
    assert func.__text_signature__ == signature
    doc = func.__doc__
    lines = doc.split("\n")
    assert lines[:3] == [summary, "", citation] and lines[3] == "```python"
    end = lines.index("```")
    assert end - 4 == code_lines
    compile("\n".join(lines[4:end]), func.__name__, "exec")  # the quoted code is Python
    assert lines[end + 1: end + 4] == ["", "Parameters", "-" * 10]
    returns = lines.index("Returns")
    assert lines[returns - 1] == "" and lines[returns + 1] == "-" * 7 and lines[returns + 2]
    for name in inspect.signature(func).parameters:
        assert any(line.startswith(name + " ") and " : " in line for line in lines[end:returns])
    assert not doc.endswith("\n") and {c for c in doc if ord(c) > 127} <= {"\u2014"}


def test_keywords_bind_like_positions():
    coord = np.array([[0.5, 0.25, 0.0]])
    assert format_xdatcar_config_rs(index=2, scaled_positions=coord) == format_xdatcar_config_rs(coord, 2)
    assert parse_poscar_positions_rs(selective=False, lines=["1 2 3"])[0].tolist() == [[1, 2, 3]]
    assert format_xyz_block_rs(positions=coord, symbols=["H"]) == format_xyz_block_rs(["H"], coord)


@pytest.mark.parametrize("call, exc_type, text", [
    (lambda: format_xyz_block_rs(), TypeError,
     "format_xyz_block_rs() missing 2 required positional arguments: 'symbols' and 'positions'"),
    (lambda: parse_xyz_block_rs(Lines=[]), TypeError,
     "parse_xyz_block_rs() got an unexpected keyword argument 'Lines'"),
    (lambda: format_poscar_positions_rs(np.zeros((1, 3)), None, None), TypeError,
     "format_poscar_positions_rs() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: parse_xdatcar_coords_rs(["0 0 0", 1]), TypeError,
     not_converted("lines", "int", "PyString")),
    (lambda: parse_poscar_positions_rs(["0 0 0"], 1), TypeError,
     not_converted("selective", "int", "PyBool")),
    (lambda: format_poscar_positions_rs(np.zeros((1, 3)), np.zeros((1, 3))), TypeError,
     not_converted("flags", "ndarray")),
    (lambda: format_poscar_positions_rs(np.zeros((1, 3)), [[True] * 3]), TypeError,
     not_converted("flags", "list")),
    (lambda: format_xyz_block_rs(["H"], np.zeros((1, 3), np.float32)), TypeError,
     not_converted("positions", "ndarray")),
    (lambda: format_xdatcar_config_rs(np.zeros(3), 1), TypeError,
     not_converted("scaled_positions", "ndarray")),
])
def test_binding_messages(call, exc_type, text):
    assert message(exc_type, call) == text


def test_conversions():
    for call in (lambda: parse_xdatcar_coords_rs("0 0 0"), lambda: format_xyz_block_rs("H", np.zeros((1, 3)))):
        # a str is not a sequence of lines here
        assert message(TypeError, call).startswith("argument '")
    assert parse_poscar_positions_rs(("1 2 3",), np.True_)[1].tolist() == [[False] * 3]
    assert parse_xyz_block_rs(np.array(["H 1 2 3"]))[0] == ["H"]
    with pytest.raises(UnicodeEncodeError):
        parse_xyz_block_rs(["H 1 2 3", "\udc80 1 2 3"])


PARSERS = [
    (parse_xyz_block_rs, ["Fe 1.5 -2.25 3", "h\u00e9 0.1 0.2 0.3"], ["H 1 2 3", "H 1 2 x"]),
    (lambda lines: parse_poscar_positions_rs(lines, True), ["0.5 0.25 0 T F T", "1 2 3 F"],
     ["1 2 3", "1 2 3 X"]),
    (lambda lines: parse_poscar_positions_rs(lines, np.False_), ["0.5 0.25 0", "1 2 3"],
     ["1 2 3", "1 2"]),
    (parse_xdatcar_coords_rs, ["0.5 0.25 0", "1e-3 -2 3.125"], ["0 0 0", "0 0 0.5.5"]),
]


class LineList(list):
    """Not an exact list: walked by its iterator, each item referenced."""


def _fresh(lines):
    # Distinct str objects (not interned constants), so that their counts are the parse's own.
    return ["".join(list(line)) for line in lines]


@pytest.mark.parametrize("parse, good, bad", PARSERS)
@pytest.mark.parametrize("kind", [list, tuple, LineList])
def test_parsers_leave_reference_counts_as_they_were(parse, good, bad, kind):
    import sys

    good_lines, bad_lines = _fresh(good), _fresh(bad)
    expected = parse(list(good))
    for lines, fails in ((good_lines, False), (bad_lines, True)):
        before = [sys.getrefcount(line) for line in lines]
        container = kind(lines)
        held = sys.getrefcount(container)
        if fails:
            with pytest.raises(ValueError):
                parse(container)
        else:
            assert_same(parse(container), expected)
        assert sys.getrefcount(container) == held
        del container
        assert [sys.getrefcount(line) for line in lines] == before


# Lines are converted in chunks as the parse goes; these cases straddle chunk
# boundaries (1024 lines) and put the failures on either side of them.
CHUNKED = [
    (parse_xyz_block_rs, "Si {0} -{0} 1e-3", "XYZ: cannot parse coordinate 'x' on line {0}: invalid float literal", "Si 1 2 x"),
    (lambda lines: parse_poscar_positions_rs(lines, False), "{0} 0.5 -{0}",
     "POSCAR: cannot parse coordinate 'x' on atom line {0}: invalid float literal", "1 x 3"),
    (lambda lines: parse_poscar_positions_rs(lines, True), "{0} 0.5 -{0} F T",
     "POSCAR: expected selective dynamics flag 'T' or 'F', got 'x' on atom line {0}", "1 2 3 T x"),
    (parse_xdatcar_coords_rs, "  {0}.25 0.5 -{0}", "XDATCAR: cannot parse 'x' on line {0}: invalid float literal", "x 0 0"),
]


@pytest.mark.parametrize("parse, template, text, bad", CHUNKED)
@pytest.mark.parametrize("count", [1023, 1024, 1025, 3000])
def test_parse_across_chunks(parse, template, text, bad, count):
    lines = [template.format(k) for k in range(count)]
    whole = parse(lines)
    for kind in (tuple, LineList):  # converted as it goes, and converted first
        assert_same(parse(kind(lines)), whole)
    arrays = whole[0] if isinstance(whole, tuple) and not isinstance(whole[0], list) else (
        whole[1] if isinstance(whole, tuple) else whole)
    numbers = [f for f in template.format(count - 1).split() if f not in ("Si", "F", "T")]
    assert arrays[count - 1].tolist() == [float(x) for x in numbers]
    for at in {0, 1023, 1024, count - 1}:
        if at >= count:
            continue
        broken = list(lines)
        broken[at] = bad
        assert message(ValueError, lambda: parse(broken)) == text.format(at)
        # An item that is no str comes first, wherever it lies.
        broken[count - 1 if at != count - 1 else 0] = 7
        assert message(TypeError, lambda: parse(broken)) == not_converted("lines", "int", "PyString")
