// Module _vicinal: the three neighbour-list functions.

#include "cell_list.hpp"
#include "kestrix/numpy.hpp"

namespace kestrix::vicinal {
namespace {

using namespace kestrix::binding;

constexpr const char* kScalarDoc =
    "primitive_neighbor_list_rs(pbc, cell, positions, cutoff, self_interaction=False, "
    "use_scaled_positions=False, max_nbins=1000000)\n"
    "--\n"
    "\n"
    "Compute a neighbour list for an atomic configuration (fast native path).\n"
    "\n"
    "Implements the same cell-list algorithm as Molvex's `primitive_neighbor_list`\n"
    "for the common case of a scalar float cutoff. Always returns all five\n"
    "quantities (i, j, d, D, S); the Python wrapper selects which to expose.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "pbc : (bool, bool, bool)\n"
    "    Periodic boundary conditions for each axis.\n"
    "cell : (3, 3) float64 array\n"
    "    Unit cell vectors, row-major: cell[0] is the first lattice vector.\n"
    "positions : (N, 3) float64 array\n"
    "    Cartesian or scaled atom positions.\n"
    "cutoff : f64\n"
    "    Neighbour cutoff radius, in the same units as positions.\n"
    "self_interaction : bool\n"
    "    Include (i, i, 0) pairs.\n"
    "use_scaled_positions : bool\n"
    "    If true, `positions` are fractional coordinates.\n"
    "max_nbins : usize\n"
    "    Maximum total number of spatial bins (a memory cap).";

constexpr const char* kRadiiDoc =
    "primitive_neighbor_list_radii_rs(pbc, cell, positions, radii, self_interaction=False, "
    "use_scaled_positions=False, max_nbins=1000000)\n"
    "--\n"
    "\n"
    "Neighbor list with per-atom radii cutoffs.\n"
    "\n"
    "Equivalent to Molvex's `primitive_neighbor_list` when `cutoff` is a 1-D array\n"
    "of per-atom radii: atoms i, j are neighbours when d < radii[i] + radii[j].\n"
    "\n"
    "Uses the scalar fast path with max_cutoff = 2*max(radii) and post-filters.";

constexpr const char* kDictDoc =
    "primitive_neighbor_list_dict_rs(pbc, cell, positions, numbers, zi_keys, zj_keys, "
    "cutoff_vals, self_interaction=False, use_scaled_positions=False, max_nbins=1000000)\n"
    "--\n"
    "\n"
    "Neighbor list with element-pair (dict-style) cutoffs.\n"
    "\n"
    "Equivalent to Molvex's `primitive_neighbor_list` when `cutoff` is a dict\n"
    "mapping (Z_i, Z_j) atomic-number pairs to cutoff distances.\n"
    "\n"
    "Arguments\n"
    "---------\n"
    "numbers     : (N,) int64 \xe2\x80\x94 atomic numbers per atom\n"
    "zi_keys     : cutoff dict keys, first element atomic number\n"
    "zj_keys     : cutoff dict keys, second element atomic number\n"
    "cutoff_vals : corresponding cutoff distances\n"
    "\n"
    "The lookup is symmetric: (Z_i, Z_j) and (Z_j, Z_i) are treated equally.";

constexpr const char* kScalarParams[] = {"pbc",    "cell",
                                         "positions", "cutoff",
                                         "self_interaction", "use_scaled_positions",
                                         "max_nbins"};
constexpr const char* kRadiiParams[] = {"pbc",    "cell",
                                        "positions", "radii",
                                        "self_interaction", "use_scaled_positions",
                                        "max_nbins"};
constexpr const char* kDictParams[] = {"pbc",         "cell",
                                       "positions",   "numbers",
                                       "zi_keys",     "zj_keys",
                                       "cutoff_vals", "self_interaction",
                                       "use_scaled_positions", "max_nbins"};
constexpr FunctionSignature kScalar{"primitive_neighbor_list_rs", kScalarParams, 4};
constexpr FunctionSignature kRadii{"primitive_neighbor_list_radii_rs", kRadiiParams, 4};
constexpr FunctionSignature kDict{"primitive_neighbor_list_dict_rs", kDictParams, 7};

using Matrix = ReadonlyArray<double, 2>;

// The three trailing optional parameters, from slot `first` on.
SearchInput search_input(const BoundArguments& a, std::size_t first, std::array<bool, 3> pbc,
                         const Matrix& cell, const Matrix& positions) {
    bool self_interaction = a.get_or<bool>(first, false);
    bool use_scaled_positions = a.get_or<bool>(first + 1, false);
    std::uint64_t max_nbins = a.get_or<std::uint64_t>(first + 2, 1000000);
    return SearchInput{pbc,
                       cell.view(),
                       positions.view(),
                       self_interaction,
                       use_scaled_positions,
                       max_nbins,
                       signal_poll()};
}

// The search's outcome as the tuple (i, j, d, D, S) or its error; the
// array arguments are released in the order given, before either.
template <class... Held>
PyRef finish(SearchResult&& result, Held&... held) {
    if (auto* error = std::get_if<SearchError>(&result)) {
        (held.release(), ...);
        PyObject* type = error->kind == SearchError::Kind::kOverflow ? PyExc_OverflowError
                                                                      : PyExc_ValueError;
        throw PendingError::lazy(type, std::move(error->message));
    }
    PairList& pairs = std::get<PairList>(result);
    PyRef i = new_owned_array(std::move(pairs.i));
    PyRef j = new_owned_array(std::move(pairs.j));
    PyRef d = new_owned_array(std::move(pairs.d));
    PyRef D = new_owned_array(std::move(pairs.D), 3);
    PyRef S = new_owned_array(std::move(pairs.S), 3);
    (held.release(), ...);
    return make_tuple(std::move(i), std::move(j), std::move(d), std::move(D), std::move(S));
}

PyRef scalar(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments a(kScalar, args, nargs, kwnames);
    auto pbc = a.get<std::array<bool, 3>>(0);
    auto cell = a.get<Matrix>(1);
    auto positions = a.get<Matrix>(2);
    double cutoff = a.get<double>(3);
    SearchInput in = search_input(a, 4, pbc, cell, positions);
    return finish(build_neighbor_list(in, cutoff), positions, cell);
}

PyRef radii(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments a(kRadii, args, nargs, kwnames);
    auto pbc = a.get<std::array<bool, 3>>(0);
    auto cell = a.get<Matrix>(1);
    auto positions = a.get<Matrix>(2);
    auto radii = a.get<ReadonlyArray<double, 1>>(3);
    SearchInput in = search_input(a, 4, pbc, cell, positions);
    return finish(build_neighbor_list_radii(in, radii.view()), radii, positions, cell);
}

PyRef dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments a(kDict, args, nargs, kwnames);
    auto pbc = a.get<std::array<bool, 3>>(0);
    auto cell = a.get<Matrix>(1);
    auto positions = a.get<Matrix>(2);
    auto numbers = a.get<ReadonlyArray<std::int64_t, 1>>(3);
    auto zi_keys = a.get<std::vector<std::int64_t>>(4);
    auto zj_keys = a.get<std::vector<std::int64_t>>(5);
    auto cutoff_vals = a.get<std::vector<double>>(6);
    SearchInput in = search_input(a, 7, pbc, cell, positions);
    return finish(build_neighbor_list_dict(in, numbers.view(), zi_keys, zj_keys, cutoff_vals),
                  numbers, positions, cell);
}

constexpr MethodEntry kFunctions[] = {
    method<&scalar>("primitive_neighbor_list_rs", kScalarDoc),
    method<&radii>("primitive_neighbor_list_radii_rs", kRadiiDoc),
    method<&dict>("primitive_neighbor_list_dict_rs", kDictDoc),
};

ModuleDefinition module_definition{kFunctions, "_vicinal"};

}  // namespace
}  // namespace kestrix::vicinal

PyMODINIT_FUNC PyInit__vicinal() {
    return kestrix::binding::module_init(kestrix::vicinal::module_definition);
}
