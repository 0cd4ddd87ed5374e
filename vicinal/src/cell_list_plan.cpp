// The plans of offset rows that the atoms of one centre bin share.

#include "cell_list_plan.hpp"

#include <algorithm>

namespace kestrix::vicinal::detail {

/// The offset rows of centre bin s with their items, shared by all its atoms:
/// built from the union of the atoms' offset ranges. A bin whose plan would be
/// too long is scanned atom by atom instead.
void PlanCache::build_plan(std::size_t s, const Bins& bins, const Binning& binning, const Atoms& atoms,
                           const std::array<bool, 3>& pbc) {
    constexpr std::size_t kMaxPlanRows = 4096;
    const Bins::Slot& slot = bins.slot(static_cast<i64>(s));
    i64 lo[3] = {}, hi[3] = {};  // set by the first atom in range
    bool any = false;
    for (std::size_t k = slot.start; k < slot.start + slot.count; ++k) {
        i64 alo[3], ahi[3];
        if (atom_reach(binning, atoms, pbc, static_cast<std::size_t>(bins.idx[k]), alo, ahi) != Reach::kBox)
            continue;
        for (int x = 0; x < 3; ++x) {
            lo[x] = any ? std::min(lo[x], alo[x]) : alo[x];
            hi[x] = any ? std::max(hi[x], ahi[x]) : ahi[x];
        }
        any = true;
    }
    plan_state_[s] = kPlanned;
    plan_begin_[s] = plan_end_[s] = plans_.size();
    if (!any) return;
    const u64* counts = binning.grid.bins;
    if (counts[0] == 1 && counts[1] == 1 && counts[2] == 1) {
        // One bin: every offset reaches the same atoms, only q differs.
        single_item_ = item_of(bins.slot(0));
        plan_state_[s] = kSingleBin;
        return;
    }
    std::size_t plans0 = plans_.size(), items0 = plan_items_.size(), rows = 0;
    const u64* c = &binning.coord[3 * static_cast<std::size_t>(bins.idx[slot.start])];
    each_row(counts, c, lo, hi, [&](u64 base, u64 e_first, u64 e_last, const i64* q, const i64* o) {
        if (++rows > kMaxPlanRows) return false;
        std::size_t first = plan_items_.size();
        u64 visited = make_items(bins, base, e_first, e_last, plan_items_);
        u64 work = visited;
        for (std::size_t k = first; k < plan_items_.size(); ++k)
            work += plan_items_[k].end - plan_items_[k].start;
        if (plan_items_.size() > first)
            plans_.push_back(Plan{{o[0], o[1], o[2]}, {q[0], q[1], q[2]}, first, plan_items_.size(), work});
        else
            empty_work_ += visited;
        return true;
    });
    if (rows > kMaxPlanRows) {
        plans_.resize(plans0);
        plan_items_.resize(items0);
        plan_state_[s] = kOnTheFly;
        return;
    }
    plan_end_[s] = plans_.size();
}

}  // namespace kestrix::vicinal::detail
