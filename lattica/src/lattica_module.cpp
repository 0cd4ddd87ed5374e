// Module _lattica: Minkowski reduction and supercell positions.

#include "kestrix/binding.hpp"
#include "kestrix/numpy.hpp"
#include "minkowski.hpp"
#include "supercell.hpp"

namespace kestrix::lattica {
namespace {

using binding::BoundArguments;
using binding::PyRef;
using binding::ReadonlyArray;

constexpr const char* kMinkowskiDoc =
    "minkowski_reduce_rs(cell)\n"
    "--\n"
    "\n"
    "Minkowski-reduce a 3×3 lattice cell (3D full reduction only).\n"
    "\n"
    "Equivalent to the `dim==3` branch of Python's `minkowski_reduce(cell, pbc=True)` in Molvex.\n"
    "Returns (rcell, op) where rcell = op @ cell and op is the unimodular transformation matrix.\n"
    "Keeping the cell's handedness is left to the Python caller.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "cell : (3, 3) float64 array — lattice vectors, row-major\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(rcell, op) : ((3,3) float64 array, (3,3) int64 array)";

constexpr const char* kSupercellDoc =
    "make_supercell_positions_rs(prim_positions, lattice_points, cell_major)\n"
    "--\n"
    "\n"
    "Build Cartesian positions for a supercell.\n"
    "\n"
    "Equivalent to the NumPy broadcast in Molvex's `make_supercell()`:\n"
    "  cell-major: shifted[l, a, :] = prim_positions[a, :] + lattice_points[l, :]\n"
    "              → output row (l * N_prim + a) = prim[a] + lp[l]\n"
    "  atom-major: shifted[a, l, :] = prim_positions[a, :] + lattice_points[l, :]\n"
    "              → output row (a * N_super + l) = prim[a] + lp[l]\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "prim_positions : (N_prim, 3) float64 — atom positions in the primitive cell\n"
    "lattice_points : (N_super, 3) float64 — Cartesian lattice point offsets\n"
    "cell_major     : bool — cell-major ordering if True, else atom-major\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(N_prim * N_super, 3) float64 array of Cartesian positions";

constexpr const char* const kMinkowskiParams[] = {"cell"};
constexpr binding::FunctionSignature kMinkowskiSignature{"minkowski_reduce_rs",
                                                         kMinkowskiParams, 1};

constexpr const char* const kSupercellParams[] = {"prim_positions", "lattice_points",
                                                  "cell_major"};
constexpr binding::FunctionSignature kSupercellSignature{"make_supercell_positions_rs",
                                                         kSupercellParams, 3};

PyRef minkowski_reduce_rs(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound(kMinkowskiSignature, args, nargs, kwnames);
    auto cell = bound.get<ReadonlyArray<double, 2>>(0);
    const auto view = cell.view();
    if (view.rows != 3 || view.cols != 3) {
        cell.release();
        binding::raise_value_error("cell must be shape (3, 3)");
    }
    Reduction reduced = minkowski_reduce(view);
    PyRef rcell = binding::new_owned_array(std::move(reduced.rcell), 3);
    PyRef op = binding::new_owned_array(std::move(reduced.op), 3);
    cell.release();
    return binding::make_tuple(std::move(rcell), std::move(op));
}

PyRef make_supercell_positions_rs(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound(kSupercellSignature, args, nargs, kwnames);
    auto prim = bound.get<ReadonlyArray<double, 2>>(0);
    auto lattice = bound.get<ReadonlyArray<double, 2>>(1);
    const bool cell_major = bound.get<bool>(2);
    PyRef out = binding::new_owned_array(
        make_supercell_positions(prim.view(), lattice.view(), cell_major), 3);
    lattice.release();
    prim.release();
    return out;
}

constexpr binding::MethodEntry kFunctions[] = {
    binding::method<minkowski_reduce_rs>("minkowski_reduce_rs", kMinkowskiDoc),
    binding::method<make_supercell_positions_rs>("make_supercell_positions_rs", kSupercellDoc),
};

binding::ModuleDefinition module_definition{kFunctions, "_lattica"};

}  // namespace
}  // namespace kestrix::lattica

PyMODINIT_FUNC PyInit__lattica() { return kestrix::binding::module_init(kestrix::lattica::module_definition); }
