// Module _scribe: the atom blocks of XYZ, POSCAR/CONTCAR and XDATCAR text,
// parsed into NumPy arrays and formatted back.

#include <sys/mman.h>

#include <cstdint>
#include <string>

#include "kestrix/binding.hpp"
#include "kestrix/numpy.hpp"
#include "str_chunks.hpp"
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

// ---------------------------------------------------------------- text results

// Asks for transparent huge pages over a large block about to be written:
// first touches of fresh 4 KiB pages otherwise cost several times the writing
// itself. The advice covers every page of the block, its terminating NUL
// included: all of the mapping when the allocator maps the block on its own,
// as glibc does large ones. Advice over part of a mapping would split it, and
// the allocator could then no longer grow the block in place (mremap) but
// would copy it, needing room for both. Advice only; a refusal changes nothing.
void advise_huge_pages(char* data, std::size_t bytes) noexcept {
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20, kPage = 4096;
    if (bytes < kHuge) return;
    auto begin = reinterpret_cast<std::uintptr_t>(data);
    std::uintptr_t first = begin & ~(kPage - 1);
    std::uintptr_t last = (begin + bytes + 1 + kPage - 1) & ~(kPage - 1);
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Output of one byte a character is written straight into the bytes of a new
// str, which finally shrinks in place: no second copy of a large text. Growing it
// may copy (the allocator's realloc), so the first block gets half again the
// estimate as headroom; pages that are never written cost nothing. Where
// memory holds the estimate but not the headroom, the estimate alone it is.
class OneByteStrStorage final : public TextStorage {
public:
    /// For a str whose characters are ASCII (maxchar 0x7F) or Latin-1 (0xFF).
    explicit OneByteStrStorage(Py_UCS4 maxchar) noexcept : maxchar_(maxchar) {}

    char* reallocate(std::size_t, std::size_t& capacity) override {
        if (!str_) {
            try {
                str_ = new_str_of(capacity + capacity / 2);
                capacity += capacity / 2;
            } catch (const std::bad_alloc&) {
                str_ = new_str_of(capacity);
            }
        } else {
            resize(capacity);
        }
        char* data = this->data();
        advise_huge_pages(data, capacity);
        return data;
    }
    /// The bytes written so far; null before the first.
    char* data() const noexcept {
        return str_ ? reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str_.get())) : nullptr;
    }
    /// The str holding the first `size` bytes written.
    PyRef finish(std::size_t size) {
        if (size == 0 || !str_) return new_str({});
        resize(size);
        return std::move(str_);
    }

private:
    // Out of memory is std::bad_alloc here, as TextStorage promises, so that
    // TextBuffer may ask again for less.
    static void throw_if_no_memory() {
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return;
        PyErr_Clear();
        throw std::bad_alloc();
    }
    PyRef new_str_of(std::size_t length) const {
        if (length > PY_SSIZE_T_MAX) throw std::bad_alloc();
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), maxchar_);
        if (!str) throw_if_no_memory();
        return checked_new(str);
    }
    void resize(std::size_t length) {
        if (length > PY_SSIZE_T_MAX) throw std::bad_alloc();
        // The str is new, unshared and unhashed, so CPython resizes it in place;
        // on failure it keeps the old object and sets MemoryError.
        PyObject* obj = str_.release();
        int rc = PyUnicode_Resize(&obj, static_cast<Py_ssize_t>(length));
        str_ = PyRef::steal(obj);
        if (rc < 0) {
            throw_if_no_memory();
            raise_fetched();
        }
    }
    Py_UCS4 maxchar_;
    PyRef str_;
};

// A str of two or four bytes a character (maxchar 0xFFFF or 0x10FFFF) from
// UTF-8, made at its final kind: CPython's decoder would first build an ASCII
// str and widen it into another while the text is still held.
PyRef wide_str(std::string_view utf8, Py_UCS4 maxchar) {
    std::size_t length = count_code_points(utf8);
    PyRef str = checked_new(PyUnicode_New(static_cast<Py_ssize_t>(length), maxchar));
    if (PyUnicode_KIND(str.get()) == PyUnicode_2BYTE_KIND) {
        widen_utf8(utf8, PyUnicode_2BYTE_DATA(str.get()));
    } else {
        widen_utf8(utf8, PyUnicode_4BYTE_DATA(str.get()));
    }
    return str;
}

/// Runs `write` on a TextBuffer and returns the text, UTF-8, as a new str;
/// `maxchar` is widest_char_bound of what is written: the str's kind.
template <class Write>
PyRef text_result(Py_UCS4 maxchar, Write&& write) {
    if (maxchar <= 0xFF) {
        // Latin-1 text is written as UTF-8 too, then narrowed where it lies:
        // its UTF-8 is never shorter than its characters.
        OneByteStrStorage storage(maxchar);
        std::size_t size;
        {
            TextBuffer out(storage);
            write(out);
            size = out.size();
        }
        if (maxchar > 0x7F && size > 0) size = narrow_utf8_in_place(storage.data(), size);
        return storage.finish(size);
    }
    TextBuffer out;
    write(out);
    return wide_str(out.view(), maxchar);
}

// ---------------------------------------------------------------- messages

std::string quoted_failure(const ParseError& e, std::string_view line, const char* before,
                           const char* after) {
    std::string m = before;
    m += e.field(line);
    m += after;
    m += std::to_string(e.line);
    m += ": ";
    m += kInvalidFloatLiteral;
    return m;
}

[[noreturn]] void raise_xyz_error(const ParseError& e, std::string_view line) {
    std::string i = std::to_string(e.line);
    switch (e.kind) {
    case ParseFailure::EmptyLine:
        raise_value_error("XYZ: empty line at atom index " + i);
    case ParseFailure::MissingField:
        raise_value_error("XYZ: not enough position fields on atom line " + i);
    default:
        raise_value_error(quoted_failure(e, line, "XYZ: cannot parse coordinate '", "' on line "));
    }
}

[[noreturn]] void raise_poscar_error(const ParseError& e, std::string_view line) {
    std::string i = std::to_string(e.line);
    switch (e.kind) {
    case ParseFailure::BadFlag:
        raise_value_error("POSCAR: expected selective dynamics flag 'T' or 'F', got '" +
                          std::string(e.field(line)) + "' on atom line " + i);
    case ParseFailure::BadNumber:
        raise_value_error(
            quoted_failure(e, line, "POSCAR: cannot parse coordinate '", "' on atom line "));
    default:
        raise_value_error("POSCAR: not enough fields on atom line " + i + " (need 3 coordinates)");
    }
}

[[noreturn]] void raise_xdatcar_error(const ParseError& e, std::string_view line) {
    if (e.kind == ParseFailure::BadNumber)
        raise_value_error(quoted_failure(e, line, "XDATCAR: cannot parse '", "' on line "));
    raise_value_error("XDATCAR: not enough fields on coordinate line " + std::to_string(e.line));
}

constexpr Poll kCheckSignals = signal_poll();

// The lines of a parse argument as a LineSource, answering signals between
// chunks. A handler may change the list there, so each chunk is read from the
// list after the poll; no Python code runs while a parser reads a chunk.
class ChunkedLines final : public LineSource {
public:
    explicit ChunkedLines(StrChunks chunks) noexcept : chunks_(std::move(chunks)) {}
    std::size_t size() const noexcept override { return chunks_.size(); }
    std::span<const std::string_view> next() override {
        // Outside the try: what a handler raises is no conversion error of `lines`.
        if (started_) kCheckSignals();
        started_ = true;
        try {
            return chunks_.next();
        } catch (PendingError& e) {
            throw rewrap_argument_error("lines", std::move(e));
        }
    }
    /// The text of the line where `e` was found, once every line not yet
    /// converted is: an item that is no str is reported first, as when the
    /// lines were all converted before the parse.
    std::string_view failed(const ParseError& e) {
        std::string_view line = chunks_.line(e.line);
        try {
            chunks_.check_rest();
        } catch (PendingError& error) {
            throw rewrap_argument_error("lines", std::move(error));
        }
        return line;
    }

private:
    StrChunks chunks_;
    bool started_ = false;
};

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
