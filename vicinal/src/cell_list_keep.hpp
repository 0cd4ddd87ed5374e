#pragma once
// The keep policies of the element-pair and per-atom-radius variants, beside
// KeepAll (cell_list_search.hpp): the scan is compiled for each of them in
// cell_list_scan_pass.cpp. A policy is called as keep(i, entry, j, d) for every
// row the search finds.

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "cell_list_scan.hpp"

namespace kestrix::vicinal::detail {

/// Runs the search for its failures only.
struct KeepNone {
    static constexpr bool kAll = false;
    bool failed = false;
    bool operator()(i64, std::size_t, i64, double) { return false; }
};

/// Neighbours when d < radii[i] + radii[j].
struct KeepRadii {
    static constexpr bool kAll = false;
    const double* radii;        // per atom
    const double* entry_radii;  // per bin entry
    i64 len;
    bool failed = false;
    bool operator()(i64 i, std::size_t k, i64 j, double d) {
        if (i >= len || j >= len) {
            failed = true;
            return false;
        }
        return radii[i] + entry_radii[k] > d;
    }
};

/// Cutoffs per pair of atomic numbers, through a dense per-atom species index.
struct KeepPairs {
    static constexpr bool kAll = false;
    const std::int32_t* species;        // per atom; -1: no key names its number
    const std::int32_t* entry_species;  // per bin entry
    i64 len;
    std::size_t n_species;
    const double* table;  // n_species², NaN where no entry
    const std::unordered_map<u64, double>* sparse;
    bool failed = false;
    bool operator()(i64 i, std::size_t k, i64 j, double d) {
        if (i >= len || j >= len) {
            failed = true;
            return false;
        }
        std::int32_t si = species[i], sj = entry_species[k];
        if (si < 0 || sj < 0) return false;
        u64 key = static_cast<u64>(si) * n_species + static_cast<u64>(sj);
        if (table) return table[key] > d;
        auto it = sparse->find(key);
        return it != sparse->end() && it->second > d;
    }
};

}  // namespace kestrix::vicinal::detail
