// Module _scribe: the atom blocks of XYZ, POSCAR/CONTCAR and XDATCAR text,
// parsed into NumPy arrays and formatted back.

#include "chunked_lines.hpp"
#include "parse_messages.hpp"
#include "text_result.hpp"

#include <cstdint>
#include <string>

#include "kestrix/numpy.hpp"
#include "vasp.hpp"
#include "xyz.hpp"

namespace kestrix::scribe {
namespace {

using namespace kestrix::binding;

// ---------------------------------------------------------------- docstrings

constexpr const char* kParsePoscarDoc =
    "parse_poscar_positions_rs(lines, selective)\n"
    "--\n"
    "\n"
    "Parse the N-atom position block from a POSCAR/CONTCAR file.\n"
    "\n"
    "Python equivalent (read_vasp_configuration:261-278):\n"
    "```python\n"
    "for atom in range(natoms):\n"
    "    fields = fd.readline().split()\n"
    "    positions[atom] = [float(x) for x in fields[:3]]\n"
    "    if selective_dynamics:\n"
    "        frozen[atom] = [flag == 'F' for flag in fields[3:6]]\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "lines     : list of str\n"
    "    The N atom lines, already read from the file.\n"
    "selective : bool\n"
    "    Whether selective-dynamics flags (T/F) follow the coordinates.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "positions : float64 array [N,3]\n"
    "flags     : bool array [N,3], or None";

constexpr const char* kFormatPoscarDoc =
    "format_poscar_positions_rs(coord, flags=None)\n"
    "--\n"
    "\n"
    "Format the N-atom position block for a POSCAR/CONTCAR file.\n"
    "\n"
    "Python equivalent (write_vasp:908-914):\n"
    "```python\n"
    "for atom, row in enumerate(coord):\n"
    "    for value in row:\n"
    "        fd.write(' %19.16f' % value)\n"
    "    if constraints is not None:\n"
    "        for flag in constraints[atom]:\n"
    "            fd.write('%4s' % ('F' if flag else 'T'))\n"
    "    fd.write('\\n')\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "coord : float64 array [N,3]\n"
    "    Atom positions \u2014 Cartesian or scaled, as the caller decides.\n"
    "flags : bool array [N,3] or None\n"
    "    Selective-dynamics mask; True means frozen, written F in the file.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str \u2014 the complete block, ready to be written to the file.";

constexpr const char* kParseXdatcarDoc =
    "parse_xdatcar_coords_rs(lines)\n"
    "--\n"
    "\n"
    "Parse the coordinate block for one XDATCAR frame.\n"
    "\n"
    "Python equivalent (read_vasp_xdatcar:398):\n"
    "```python\n"
    "coords = np.array([[float(x) for x in line.split()[:3]] for line in lines])\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "lines : list of str\n"
    "    The N coordinate lines of this frame, already read.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "float64 array [N,3] \u2014 fractional coordinates.";

constexpr const char* kFormatXdatcarDoc =
    "format_xdatcar_config_rs(scaled_positions, index)\n"
    "--\n"
    "\n"
    "Format one complete XDATCAR configuration block.\n"
    "\n"
    "Python equivalent (_write_xdatcar_config:763-769):\n"
    "```python\n"
    "fd.write('Direct configuration=%6d\\n' % index)\n"
    "for row in scaled_positions:\n"
    "    fd.write('  ')\n"
    "    fd.write(' '.join('%11.8f' % value for value in row))\n"
    "    fd.write('\\n')\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "scaled_positions : float64 array [N,3]\n"
    "index            : int \u2014 1-based frame index written to the header line.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str \u2014 the full block including the header, ready to be written.";

constexpr const char* kParseXyzDoc =
    "parse_xyz_block_rs(lines)\n"
    "--\n"
    "\n"
    "Parse N atom lines from a simple XYZ file.\n"
    "\n"
    "Python equivalent (read_xyz:26-31):\n"
    "```python\n"
    "for _ in range(natoms):\n"
    "    line = next(lines)\n"
    "    symbol, x, y, z = line.split()[:4]\n"
    "    symbol = symbol.lower().capitalize()\n"
    "    symbols.append(symbol)\n"
    "    positions.append([float(x), float(y), float(z)])\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "lines : list of str\n"
    "    The N atom lines, already extracted from the full file.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(symbols, positions) : (list of str, float64 array [N,3])";

constexpr const char* kFormatXyzDoc =
    "format_xyz_block_rs(symbols, positions)\n"
    "--\n"
    "\n"
    "Format N atoms as simple XYZ atom lines.\n"
    "\n"
    "Python equivalent (write_xyz:42-43, fmt='%22.15f'):\n"
    "```python\n"
    "for s, (x, y, z) in zip(symbols, positions):\n"
    "    fd.write('%-2s %22.15f %22.15f %22.15f\\n' % (s, x, y, z))\n"
    "```\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "symbols   : list of str \u2014 chemical symbols (length N)\n"
    "positions : float64 array [N,3]\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str \u2014 the block without the atom-count and comment header lines.";

// ---------------------------------------------------------------- signatures

constexpr const char* kParsePoscarParams[] = {"lines", "selective"};
constexpr const char* kFormatPoscarParams[] = {"coord", "flags"};
constexpr const char* kLinesParams[] = {"lines"};
constexpr const char* kFormatXdatcarParams[] = {"scaled_positions", "index"};
constexpr const char* kFormatXyzParams[] = {"symbols", "positions"};

constexpr FunctionSignature kParsePoscar{"parse_poscar_positions_rs", kParsePoscarParams, 2};
constexpr FunctionSignature kFormatPoscar{"format_poscar_positions_rs", kFormatPoscarParams, 1};
constexpr FunctionSignature kParseXdatcar{"parse_xdatcar_coords_rs", kLinesParams, 1};
constexpr FunctionSignature kFormatXdatcar{"format_xdatcar_config_rs", kFormatXdatcarParams, 2};
constexpr FunctionSignature kParseXyz{"parse_xyz_block_rs", kLinesParams, 1};
constexpr FunctionSignature kFormatXyz{"format_xyz_block_rs", kFormatXyzParams, 2};

using Matrix = ReadonlyArray<double, 2>;

// ---------------------------------------------------------------- functions

PyRef parse_poscar(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments a(kParsePoscar, args, nargs, kwnames);
    // The lines may be converted as the parse goes (see StrChunks) when reading
    // the flag can neither fail nor run Python code: a bool's cannot, a NumPy
    // bool's might; otherwise they are converted whole, and first.
    PyObject* flag = a.argument(1);
    ChunkedLines lines(flag && PyBool_Check(flag) ? a.get<StrChunks>(0)
                                                  : StrChunks::of(a.get<StrSequence>(0)));
    bool selective = a.get<bool>(1);
    auto result = parse_poscar_positions(lines, selective);
    if (auto* e = std::get_if<ParseError>(&result)) {
        std::string_view line = lines.failed(*e);
        raise_poscar_error(*e, line);
    }
    PoscarBlock& block = std::get<PoscarBlock>(result);
    PyRef positions = new_owned_array(std::move(block.positions), 3);
    PyRef flags = block.flags ? new_owned_array(std::move(*block.flags), 3) : PyRef::borrow(Py_None);
    return make_tuple(std::move(positions), std::move(flags));
}

PyRef format_poscar(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments a(kFormatPoscar, args, nargs, kwnames);
    auto coord = a.get<Matrix>(0);
    auto flags = a.get_optional<ReadonlyArray<bool, 2>>(1);
    Strided2D<double> c = coord.view();
    std::optional<Strided2D<bool>> f;
    if (flags) {
        f = flags->view();
        if (f->rows != c.rows || f->cols != c.cols)
            raise_value_error("format_poscar_positions_rs: coord and flags must have the same shape");
    }
    return text_result(0x7F,
                       [&](TextBuffer& out) { format_poscar_positions(out, c, f, kCheckSignals); });
}

PyRef parse_xdatcar(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments a(kParseXdatcar, args, nargs, kwnames);
    ChunkedLines lines(a.get<StrChunks>(0));
    auto result = parse_xdatcar_coords(lines);
    if (auto* e = std::get_if<ParseError>(&result)) raise_xdatcar_error(*e, lines.failed(*e));
    return new_owned_array(std::move(std::get<OwnedBuffer<double>>(result)), 3);
}

PyRef format_xdatcar(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments a(kFormatXdatcar, args, nargs, kwnames);
    auto scaled_positions = a.get<Matrix>(0);
    std::uint64_t index = a.get<std::uint64_t>(1);
    return text_result(0x7F, [&](TextBuffer& out) {
        format_xdatcar_config(out, scaled_positions.view(), index, kCheckSignals);
    });
}

PyRef parse_xyz(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments a(kParseXyz, args, nargs, kwnames);
    // The result's objects are made after the last use of the lines' views.
    ChunkedLines lines(a.get<StrChunks>(0));
    auto result = parse_xyz_block(lines);
    if (auto* e = std::get_if<ParseError>(&result)) raise_xyz_error(*e, lines.failed(*e));
    XyzBlock& block = std::get<XyzBlock>(result);
    PyRef positions = new_owned_array(std::move(block.positions), 3);

    // One str per distinct symbol, shared by every line that carries it.
    const SymbolTable& table = block.symbols;
    std::vector<PyRef> distinct;
    distinct.reserve(table.distinct());
    for (std::size_t k = 0; k < table.distinct(); ++k) distinct.push_back(new_str(table.symbol(k)));
    PyRef symbols = checked_new(PyList_New(static_cast<Py_ssize_t>(table.ids.size())));
    for (std::size_t i = 0; i < table.ids.size(); ++i) {
        PyList_SET_ITEM(symbols.get(), static_cast<Py_ssize_t>(i),
                        Py_NewRef(distinct[table.ids[i]].get()));
    }
    return make_tuple(std::move(symbols), std::move(positions));
}

PyRef format_xyz(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments a(kFormatXyz, args, nargs, kwnames);
    auto symbols = a.get<StrSequence>(0);
    auto positions = a.get<Matrix>(1);
    Strided2D<double> p = positions.view();
    if (symbols.size() != static_cast<std::size_t>(p.rows)) {
        raise_value_error("format_xyz_block_rs: symbols length (" + std::to_string(symbols.size()) +
                          ") != positions rows (" + std::to_string(p.rows) + ")");
    }
    return text_result(widest_char_bound(symbols.views()), [&](TextBuffer& out) {
        format_xyz_block(out, symbols.views(), p, kCheckSignals);
    });
}

constexpr MethodEntry kFunctions[] = {
    method<&parse_poscar>("parse_poscar_positions_rs", kParsePoscarDoc),
    method<&format_poscar>("format_poscar_positions_rs", kFormatPoscarDoc),
    method<&parse_xdatcar>("parse_xdatcar_coords_rs", kParseXdatcarDoc),
    method<&format_xdatcar>("format_xdatcar_config_rs", kFormatXdatcarDoc),
    method<&parse_xyz>("parse_xyz_block_rs", kParseXyzDoc),
    method<&format_xyz>("format_xyz_block_rs", kFormatXyzDoc),
};

ModuleDefinition module_definition{kFunctions, "_scribe"};

}  // namespace
}  // namespace kestrix::scribe

PyMODINIT_FUNC PyInit__scribe() {
    return kestrix::binding::module_init(kestrix::scribe::module_definition);
}
