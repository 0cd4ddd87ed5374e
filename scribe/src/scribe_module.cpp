// Module _scribe: the atom blocks of XYZ, POSCAR/CONTCAR and XDATCAR text,
// parsed into NumPy arrays and formatted back.

#include <cstdint>
#include <string>

#include "chunked_lines.hpp"
#include "kestrix/binding.hpp"
#include "kestrix/numpy.hpp"
#include "parse_messages.hpp"
#include "str_chunks.hpp"
#include "text_result.hpp"
#include "vasp.hpp"
#include "xyz.hpp"

namespace kestrix::scribe {
namespace {

using namespace kestrix::binding;

// ---------------------------------------------------------------- docstrings

constexpr const char* kParsePoscarDoc =
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

constexpr auto kParsePoscar =
    declare("parse_poscar_positions_rs", {{"lines"}, {"selective"}}, kParsePoscarDoc);
constexpr auto kFormatPoscar = declare("format_poscar_positions_rs",
                                       {{"coord"}, {"flags", kNoneDefault}}, kFormatPoscarDoc);
constexpr auto kParseXdatcar = declare("parse_xdatcar_coords_rs", {{"lines"}}, kParseXdatcarDoc);
constexpr auto kFormatXdatcar = declare("format_xdatcar_config_rs",
                                        {{"scaled_positions"}, {"index"}}, kFormatXdatcarDoc);
constexpr auto kParseXyz = declare("parse_xyz_block_rs", {{"lines"}}, kParseXyzDoc);
constexpr auto kFormatXyz =
    declare("format_xyz_block_rs", {{"symbols"}, {"positions"}}, kFormatXyzDoc);

using Matrix = ReadonlyArray<double, 2>;

// ---------------------------------------------------------------- functions

PyRef parse_poscar(const Arguments<kParsePoscar>& args) {
    // The lines may be converted as the parse goes (see StrChunks) when reading
    // the flag can neither fail nor run Python code: a bool's cannot, a NumPy
    // bool's might; otherwise they are converted whole, and first.
    PyObject* flag = args.object("selective");
    ChunkedLines lines(flag && PyBool_Check(flag) ? args.get<StrChunks>("lines")
                                                  : StrChunks::of(args.get<StrSequence>("lines")));
    bool selective = args.get<bool>("selective");
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

PyRef format_poscar(const Arguments<kFormatPoscar>& args) {
    auto coord = args.get<Matrix>("coord");
    auto flags = args.get_optional<ReadonlyArray<bool, 2>>("flags");
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

PyRef parse_xdatcar(const Arguments<kParseXdatcar>& args) {
    ChunkedLines lines(args.get<StrChunks>("lines"));
    auto result = parse_xdatcar_coords(lines);
    if (auto* e = std::get_if<ParseError>(&result)) raise_xdatcar_error(*e, lines.failed(*e));
    return new_owned_array(std::move(std::get<OwnedBuffer<double>>(result)), 3);
}

PyRef format_xdatcar(const Arguments<kFormatXdatcar>& args) {
    auto scaled_positions = args.get<Matrix>("scaled_positions");
    std::uint64_t index = args.get<std::uint64_t>("index");
    return text_result(0x7F, [&](TextBuffer& out) {
        format_xdatcar_config(out, scaled_positions.view(), index, kCheckSignals);
    });
}

PyRef parse_xyz(const Arguments<kParseXyz>& args) {
    // The result's objects are made after the last use of the lines' views.
    ChunkedLines lines(args.get<StrChunks>("lines"));
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

PyRef format_xyz(const Arguments<kFormatXyz>& args) {
    auto symbols = args.get<StrSequence>("symbols");
    auto positions = args.get<Matrix>("positions");
    Strided2D<double> p = positions.view();
    if (symbols.size() != static_cast<std::size_t>(p.rows)) {
        raise_value_error("format_xyz_block_rs: symbols length (" + std::to_string(symbols.size()) +
                          ") != positions rows (" + std::to_string(p.rows) + ")");
    }
    return text_result(widest_char_bound(symbols.views()), [&](TextBuffer& out) {
        format_xyz_block(out, symbols.views(), p, kCheckSignals);
    });
}

constexpr const PyMethodDef* kFunctions[] = {
    &kMethod<&parse_poscar>,   &kMethod<&format_poscar>, &kMethod<&parse_xdatcar>,
    &kMethod<&format_xdatcar>, &kMethod<&parse_xyz>,     &kMethod<&format_xyz>,
};

ModuleDefinition module_definition{kFunctions, "_scribe"};

}  // namespace
}  // namespace kestrix::scribe

PyMODINIT_FUNC PyInit__scribe() {
    return kestrix::binding::module_init(kestrix::scribe::module_definition);
}
