// The element-pair and per-atom-radius variants: one search at the largest
// cutoff any pair can need, keeping the rows whose own cutoff exceeds their d.
// The keep test runs as the search emits each row, so the search's full list is
// never held; what the filter would report (an atom beyond `numbers` or
// `radii`) is reported after the search has run to its end, as the search's own
// failures come first.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "cell_list.hpp"
#include "cell_list_keep.hpp"
#include "cell_list_search.hpp"
#include "kestrix/panic.hpp"

namespace kestrix::vicinal {
namespace {

using detail::CellSearch;
using detail::i64;
using detail::KeepNone;
using detail::KeepPairs;
using detail::KeepRadii;
using detail::u64;

/// The fold of both variants: the largest value, NaN values ignored, -inf if none.
template <class Get>
double largest(std::size_t n, Get get) {
    double m = -std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < n; ++k) {
        double v = get(k);
        if (v > m) m = v;
    }
    return m;
}

}  // namespace

SearchResult build_neighbor_list_radii(const SearchInput& in, Strided1D<double> radii) {
    if (radii.size() <= 0) return PairList{};
    auto len = static_cast<std::size_t>(radii.size());
    double largest_radius = largest(len, [&](std::size_t k) { return radii[static_cast<std::ptrdiff_t>(k)]; });
    CellSearch search(in, largest_radius + largest_radius);
    switch (search.prepare()) {
        case CellSearch::Stage::kError: return search.error();
        case CellSearch::Stage::kEmpty: return PairList{};
        case CellSearch::Stage::kReady: break;
    }
    // Only atoms of the search are ever read, so a copy of that many radii serves.
    std::size_t used = std::min(len, search.atom_count());
    std::vector<double> dense(used);
    for (std::size_t k = 0; k < used; ++k) dense[k] = radii[static_cast<std::ptrdiff_t>(k)];
    std::vector<double> by_entry(search.entry_count());
    for (std::size_t k = 0; k < by_entry.size(); ++k) {
        auto a = static_cast<std::size_t>(search.entry_atoms()[k]);
        by_entry[k] = a < used ? dense[a] : 0.0;  // beyond: fails before it is read
    }
    KeepRadii keep{dense.data(), by_entry.data(), static_cast<i64>(used)};
    PairList rows = search.scan(keep);
    if (keep.failed) panic(kIndexOutOfBounds);
    return rows;
}

SearchResult build_neighbor_list_dict(const SearchInput& in, Strided1D<std::int64_t> numbers,
                                      std::span<const std::int64_t> zi_keys,
                                      std::span<const std::int64_t> zj_keys,
                                      std::span<const double> cutoff_vals) {
    if (cutoff_vals.empty()) return PairList{};
    double max_cutoff = largest(cutoff_vals.size(), [&](std::size_t k) { return cutoff_vals[k]; });
    CellSearch search(in, max_cutoff);
    CellSearch::Stage stage = search.prepare();
    if (stage == CellSearch::Stage::kError) return search.error();

    // The table is built after a successful search; a key sequence that runs
    // out first fails there, whatever the search found.
    std::size_t n_keys = zi_keys.size();
    std::size_t first_missing = std::min(zj_keys.size(), cutoff_vals.size());
    if (n_keys > first_missing) {
        if (stage == CellSearch::Stage::kReady) {
            KeepNone none;
            search.scan(none);
        }
        panic(missing_entry_message(first_missing, first_missing));
    }
    if (stage == CellSearch::Stage::kEmpty) return PairList{};

    // Dense species index: each atomic number named by a key gets a small id.
    std::vector<std::int64_t> species(zi_keys.begin(), zi_keys.end());
    species.insert(species.end(), zj_keys.begin(), zj_keys.begin() + static_cast<std::ptrdiff_t>(n_keys));
    std::sort(species.begin(), species.end());
    species.erase(std::unique(species.begin(), species.end()), species.end());
    auto id_of = [&](std::int64_t z) -> std::int32_t {
        auto it = std::lower_bound(species.begin(), species.end(), z);
        return it != species.end() && *it == z ? static_cast<std::int32_t>(it - species.begin()) : -1;
    };
    std::size_t ns = species.size();
    constexpr std::size_t kDenseSpecies = 512;
    std::vector<double> table;
    std::unordered_map<u64, double> sparse;
    if (ns <= kDenseSpecies) table.assign(ns * ns, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t k = 0; k < n_keys; ++k) {
        u64 a = static_cast<u64>(id_of(zi_keys[k])), b = static_cast<u64>(id_of(zj_keys[k]));
        double v = cutoff_vals[k];
        if (!table.empty()) {
            table[a * ns + b] = v;
            table[b * ns + a] = v;
        } else {
            sparse[a * ns + b] = v;
            sparse[b * ns + a] = v;
        }
    }
    std::size_t used = std::min(static_cast<std::size_t>(numbers.size()), search.atom_count());
    std::vector<std::int32_t> atom_species(used);
    for (std::size_t a = 0; a < used; ++a) atom_species[a] = id_of(numbers[static_cast<std::ptrdiff_t>(a)]);
    std::vector<std::int32_t> by_entry(search.entry_count());
    for (std::size_t k = 0; k < by_entry.size(); ++k) {
        auto a = static_cast<std::size_t>(search.entry_atoms()[k]);
        by_entry[k] = a < used ? atom_species[a] : -1;  // beyond: fails before it is read
    }
    KeepPairs keep{atom_species.data(), by_entry.data(), static_cast<i64>(used), ns,
                   table.empty() ? nullptr : table.data(), &sparse};
    PairList rows = search.scan(keep);
    if (keep.failed) panic(kIndexOutOfBounds);
    return rows;
}

}  // namespace kestrix::vicinal
