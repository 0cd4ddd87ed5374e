// Module _vicinal: the three neighbour-list functions.

#include "cell_list.hpp"
#include "kestrix/binding.hpp"
#include "kestrix/numpy.hpp"

namespace kestrix::vicinal {
namespace {

using namespace kestrix::binding;

constexpr const char* kScalarDoc =
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
    "Neighbor list with per-atom radii cutoffs.\n"
    "\n"
    "Equivalent to Molvex's `primitive_neighbor_list` when `cutoff` is a 1-D array\n"
    "of per-atom radii: atoms i, j are neighbours when d < radii[i] + radii[j].\n"
    "\n"
    "Uses the scalar fast path with max_cutoff = 2*max(radii) and post-filters.";

constexpr const char* kDictDoc =
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

constexpr auto kScalar = declare("primitive_neighbor_list_rs",
                                 {{"pbc"}, {"cell"}, {"positions"}, {"cutoff"},
                                  {"self_interaction", false}, {"use_scaled_positions", false},
                                  {"max_nbins", 1000000}},
                                 kScalarDoc);
constexpr auto kRadii = declare("primitive_neighbor_list_radii_rs",
                                {{"pbc"}, {"cell"}, {"positions"}, {"radii"},
                                 {"self_interaction", false}, {"use_scaled_positions", false},
                                 {"max_nbins", 1000000}},
                                kRadiiDoc);
constexpr auto kDict = declare("primitive_neighbor_list_dict_rs",
                               {{"pbc"}, {"cell"}, {"positions"}, {"numbers"}, {"zi_keys"},
                                {"zj_keys"}, {"cutoff_vals"}, {"self_interaction", false},
                                {"use_scaled_positions", false}, {"max_nbins", 1000000}},
                               kDictDoc);

using Matrix = ReadonlyArray<double, 2>;

// The search's input: the arrays held by the caller, then the three trailing
// parameters, read last, as they come.
template <const auto& F>
SearchInput search_input(const Arguments<F>& args, std::array<bool, 3> pbc, const Matrix& cell,
                         const Matrix& positions) {
    bool self_interaction = args.template get<bool>("self_interaction");
    bool use_scaled_positions = args.template get<bool>("use_scaled_positions");
    std::uint64_t max_nbins = args.template get<std::uint64_t>("max_nbins");
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

PyRef scalar(const Arguments<kScalar>& args) {
    auto pbc = args.get<std::array<bool, 3>>("pbc");
    auto cell = args.get<Matrix>("cell");
    auto positions = args.get<Matrix>("positions");
    double cutoff = args.get<double>("cutoff");
    SearchInput in = search_input(args, pbc, cell, positions);
    return finish(build_neighbor_list(in, cutoff), positions, cell);
}

PyRef radii(const Arguments<kRadii>& args) {
    auto pbc = args.get<std::array<bool, 3>>("pbc");
    auto cell = args.get<Matrix>("cell");
    auto positions = args.get<Matrix>("positions");
    auto radii = args.get<ReadonlyArray<double, 1>>("radii");
    SearchInput in = search_input(args, pbc, cell, positions);
    return finish(build_neighbor_list_radii(in, radii.view()), radii, positions, cell);
}

PyRef dict(const Arguments<kDict>& args) {
    auto pbc = args.get<std::array<bool, 3>>("pbc");
    auto cell = args.get<Matrix>("cell");
    auto positions = args.get<Matrix>("positions");
    auto numbers = args.get<ReadonlyArray<std::int64_t, 1>>("numbers");
    auto zi_keys = args.get<std::vector<std::int64_t>>("zi_keys");
    auto zj_keys = args.get<std::vector<std::int64_t>>("zj_keys");
    auto cutoff_vals = args.get<std::vector<double>>("cutoff_vals");
    SearchInput in = search_input(args, pbc, cell, positions);
    return finish(build_neighbor_list_dict(in, numbers.view(), zi_keys, zj_keys, cutoff_vals),
                  numbers, positions, cell);
}

constexpr const PyMethodDef* kFunctions[] = {&kMethod<&scalar>, &kMethod<&radii>, &kMethod<&dict>};

ModuleDefinition module_definition{kFunctions, "_vicinal"};

}  // namespace
}  // namespace kestrix::vicinal

PyMODINIT_FUNC PyInit__vicinal() {
    return kestrix::binding::module_init(kestrix::vicinal::module_definition);
}
