#pragma once
// The plans of offset rows that the atoms of one centre bin share: built the
// first time one of its atoms is scanned, then read by all of them. Private
// to cell_list*.cpp.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cell_list_grid.hpp"
#include "cell_list_scan.hpp"

namespace kestrix::vicinal::detail {

/// Per slot of the bins: whether its plan is built, and where its rows are.
class PlanCache {
protected:
    /// One offset row of a centre bin: offsets (o0 of its first bin, o1, o2),
    /// quotients, its items and the work they stand for.
    struct Plan {
        i64 o[3];
        i64 q[3];
        std::size_t item_begin, item_end;
        u64 work;
    };
    static constexpr std::uint8_t kUnplanned = 0, kPlanned = 1, kOnTheFly = 2, kSingleBin = 3;

    /// The offset rows of centre bin s with their items, from the union of its
    /// atoms' offset ranges; kOnTheFly where that would be too long.
    void build_plan(std::size_t s, const Bins& bins, const Binning& binning, const Atoms& atoms,
                    const std::array<bool, 3>& pbc);
    /// Asks for the first lines of the neighbour entries of slot s, when its plan is known.
    void prefetch_plan(std::size_t s, const Bins& bins) const {
        if (plan_state_[s] != kPlanned) return;
        for (std::size_t p = plan_begin_[s]; p < plan_end_[s]; ++p) {
            const Plan& plan = plans_[p];
            for (std::size_t k = plan.item_begin; k < plan.item_end; ++k) {
                std::size_t at = plan_items_[k].start;
                __builtin_prefetch(bins.x + at);
                __builtin_prefetch(bins.y + at);
                __builtin_prefetch(bins.z + at);
            }
        }
    }

    Item single_item_{};
    std::uint8_t* plan_state_ = nullptr;  // per slot
    std::size_t* plan_begin_ = nullptr;
    std::size_t* plan_end_ = nullptr;
    std::vector<Plan> plans_;
    std::vector<Item> plan_items_;
    std::vector<Item> row_items_;  // one row's items, for a bin scanned atom by atom
    u64 empty_work_ = 0;
};

}  // namespace kestrix::vicinal::detail
