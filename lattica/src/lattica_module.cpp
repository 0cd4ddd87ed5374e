// Module _lattica: Minkowski reduction and supercell positions.

#include "kestrix/binding.hpp"
#include "kestrix/numpy.hpp"
#include "minkowski.hpp"
#include "supercell.hpp"

namespace kestrix::lattica {
namespace {

using binding::Arguments;
using binding::PyRef;
using binding::ReadonlyArray;

constexpr const char* kMinkowskiDoc =
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

constexpr auto kMinkowski = binding::declare("minkowski_reduce_rs", {{"cell"}}, kMinkowskiDoc);
constexpr auto kSupercell = binding::declare(
    "make_supercell_positions_rs", {{"prim_positions"}, {"lattice_points"}, {"cell_major"}},
    kSupercellDoc);

PyRef minkowski_reduce_rs(const Arguments<kMinkowski>& args) {
    auto cell = args.get<ReadonlyArray<double, 2>>("cell");
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

PyRef make_supercell_positions_rs(const Arguments<kSupercell>& args) {
    auto prim = args.get<ReadonlyArray<double, 2>>("prim_positions");
    auto lattice = args.get<ReadonlyArray<double, 2>>("lattice_points");
    const bool cell_major = args.get<bool>("cell_major");
    PyRef out = binding::new_owned_array(
        make_supercell_positions(prim.view(), lattice.view(), cell_major), 3);
    lattice.release();
    prim.release();
    return out;
}

constexpr const PyMethodDef* kFunctions[] = {
    &binding::kMethod<&minkowski_reduce_rs>,
    &binding::kMethod<&make_supercell_positions_rs>,
};

binding::ModuleDefinition module_definition{kFunctions, "_lattica"};

}  // namespace
}  // namespace kestrix::lattica

PyMODINIT_FUNC PyInit__lattica() {
    return kestrix::binding::module_init(kestrix::lattica::module_definition);
}
