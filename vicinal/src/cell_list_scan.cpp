#include "cell_list_scan.hpp"

#include <limits>
#include <utility>

namespace kestrix::vicinal::detail {

void Bins::build(Arena& arena, const double* p, const i64* shift, const u64* coord,
                 const std::uint8_t* finite, std::size_t n_atoms, const u64 n[3]) {
    std::size_t nf = 0;
    for (std::size_t a = 0; a < n_atoms; ++a) nf += finite[a];
    entries_ = nf;
    auto flat_of = [&](std::size_t a) {
        const u64* c = coord + 3 * a;
        return c[0] + n[0] * (c[1] + n[1] * c[2]);  // below n0·n1·n2 <= max_nbins
    };
    const u64 total = n[0] * n[1] * n[2];
    std::size_t* order = arena.alloc<std::size_t>(nf);
    auto new_slot = [](std::size_t start, std::size_t count) {
        return Slot{start, count, 0, 0, {}, {}, true, {}, {}};
    };

    // Atoms sorted by flat bin index, ascending atom index within a bin.
    dense_ = total <= 4 * static_cast<u64>(nf) + 4096;
    if (dense_) {
        slot_of_flat_ = arena.alloc_zeroed<i64>(total);  // counts first
        for (std::size_t a = 0; a < n_atoms; ++a)
            if (finite[a]) ++slot_of_flat_[flat_of(a)];
        std::size_t used = 0;
        for (u64 f = 0; f < total; ++f) used += slot_of_flat_[f] != 0;
        slots_ = arena.alloc<Slot>(used);
        std::size_t running = 0;
        for (u64 f = 0; f < total; ++f) {
            i64 count = slot_of_flat_[f];
            if (count == 0) {
                slot_of_flat_[f] = -1;
                continue;
            }
            slot_of_flat_[f] = static_cast<i64>(n_slots_);
            slots_[n_slots_++] = new_slot(running, static_cast<std::size_t>(count));
            running += static_cast<std::size_t>(count);
        }
        std::size_t* cursor = arena.alloc<std::size_t>(n_slots_);
        for (std::size_t s = 0; s < n_slots_; ++s) cursor[s] = slots_[s].start;
        for (std::size_t a = 0; a < n_atoms; ++a) {
            if (!finite[a]) continue;
            i64 s = slot_of_flat_[flat_of(a)];
            order[cursor[static_cast<std::size_t>(s)]++] = a;
        }
    } else {
        struct Keyed {
            u64 first;
            std::size_t second;
        };
        Keyed* keyed = arena.alloc<Keyed>(nf);
        std::size_t nk = 0;
        for (std::size_t a = 0; a < n_atoms; ++a)
            if (finite[a]) keyed[nk++] = Keyed{flat_of(a), a};
        std::sort(keyed, keyed + nk, [](const Keyed& a, const Keyed& b) {
            return a.first != b.first ? a.first < b.first : a.second < b.second;
        });
        std::size_t used = 0;
        for (std::size_t k = 0; k < nk; ++k) used += k == 0 || keyed[k].first != keyed[k - 1].first;
        slots_ = arena.alloc<Slot>(used);
        table_size_ = 16;
        while (table_size_ < 2 * static_cast<u64>(nf)) table_size_ *= 2;
        keys_ = arena.alloc<u64>(table_size_);
        values_ = arena.alloc<i64>(table_size_);
        std::fill_n(keys_, table_size_, kNoKey);
        for (std::size_t k = 0; k < nk; ++k) {
            order[k] = keyed[k].second;
            if (k == 0 || keyed[k].first != keyed[k - 1].first) {
                i64 id = static_cast<i64>(n_slots_);
                slots_[n_slots_++] = new_slot(k, 0);
                u64 h = hash(keyed[k].first) & (table_size_ - 1);
                while (keys_[h] != kNoKey) h = (h + 1) & (table_size_ - 1);
                keys_[h] = keyed[k].first;
                values_[h] = id;
            }
            ++slots_[n_slots_ - 1].count;
        }
    }

    double* xs = arena.alloc<double>(nf + kPad);
    double* ys = arena.alloc<double>(nf + kPad);
    double* zs = arena.alloc<double>(nf + kPad);
    i64* ids = arena.alloc<i64>(nf);
    i64* shifts = arena.alloc<i64>(3 * nf);
    for (std::size_t k = 0; k < nf; ++k) {
        std::size_t a = order[k];
        xs[k] = p[3 * a];
        ys[k] = p[3 * a + 1];
        zs[k] = p[3 * a + 2];
        ids[k] = static_cast<i64>(a);
        for (int d = 0; d < 3; ++d) shifts[3 * k + d] = shift[3 * a + d];
    }
    for (std::size_t k = nf; k < nf + kPad; ++k) xs[k] = ys[k] = zs[k] = 0.0;
    x = xs;
    y = ys;
    z = zs;
    idx = ids;
    this->shift = shifts;

    atom_entry_ = arena.alloc_zeroed<std::size_t>(n_atoms);
    entry_slot_ = arena.alloc<std::size_t>(nf);
    for (std::size_t k = 0; k < nf; ++k) atom_entry_[order[k]] = k;
    std::size_t nc = 0;
    for (std::size_t id = 0; id < n_slots_; ++id) {
        for (std::size_t k = slots_[id].start; k < slots_[id].start + slots_[id].count; ++k)
            entry_slot_[k] = id;
        nc += (slots_[id].count + kChunk - 1) / kChunk;
    }

    chunks_ = arena.alloc<Chunk>(nc);
    std::size_t c_end = 0;
    for (std::size_t id = 0; id < n_slots_; ++id) {
        Slot& s = slots_[id];
        for (int d = 0; d < 3; ++d) {
            s.shift_min[d] = std::numeric_limits<i64>::max();
            s.shift_max[d] = std::numeric_limits<i64>::min();
        }
        for (std::size_t k = s.start; k < s.start + s.count; ++k)
            for (int d = 0; d < 3; ++d) {
                s.shift_min[d] = std::min(s.shift_min[d], shifts[3 * k + d]);
                s.shift_max[d] = std::max(s.shift_max[d], shifts[3 * k + d]);
            }
        s.uniform = s.shift_min[0] == s.shift_max[0] && s.shift_min[1] == s.shift_max[1] &&
                    s.shift_min[2] == s.shift_max[2];
        s.chunk_begin = c_end;
        for (std::size_t k = s.start; k < s.start + s.count; k += kChunk) {
            Chunk ch{};
            ch.start = k;
            ch.count = std::min(kChunk, s.start + s.count - k);
            const double* col[3] = {xs, ys, zs};
            for (int d = 0; d < 3; ++d) {
                ch.lo[d] = col[d][k];
                ch.hi[d] = col[d][k];
                for (std::size_t m = k + 1; m < k + ch.count; ++m) {
                    ch.lo[d] = std::min(ch.lo[d], col[d][m]);
                    ch.hi[d] = std::max(ch.hi[d], col[d][m]);
                }
            }
            chunks_[c_end++] = ch;
        }
        s.chunk_end = c_end;
        for (int d = 0; d < 3; ++d) {
            s.lo[d] = chunks_[s.chunk_begin].lo[d];
            s.hi[d] = chunks_[s.chunk_begin].hi[d];
            for (std::size_t c = s.chunk_begin + 1; c < s.chunk_end; ++c) {
                s.lo[d] = std::min(s.lo[d], chunks_[c].lo[d]);
                s.hi[d] = std::max(s.hi[d], chunks_[c].hi[d]);
            }
        }
    }
    // The chunk boxes as columns too, for the vector box tests.
    double* boxes = arena.alloc<double>(6 * (nc + kPad));
    for (int d = 0; d < 3; ++d) {
        box_lo[d] = boxes + (2 * d) * (nc + kPad);
        box_hi[d] = boxes + (2 * d + 1) * (nc + kPad);
        for (std::size_t c = 0; c < nc; ++c) {
            boxes[(2 * d) * (nc + kPad) + c] = chunks_[c].lo[d];
            boxes[(2 * d + 1) * (nc + kPad) + c] = chunks_[c].hi[d];
        }
        for (std::size_t c = nc; c < nc + kPad; ++c)
            boxes[(2 * d) * (nc + kPad) + c] = boxes[(2 * d + 1) * (nc + kPad) + c] = 0.0;
    }
}

Item item_of(const Bins::Slot& sl) {
    constexpr std::size_t kLargeBin = 2 * Bins::kChunk;
    Item::Kind kind = !sl.uniform              ? Item::Kind::kMixed
                      : sl.count > kLargeBin ? Item::Kind::kLarge
                                             : Item::Kind::kRun;
    Item it{kind, sl.start, sl.start + sl.count, sl.chunk_begin, sl.chunk_end, &sl, {}, {}, {}};
    for (int x = 0; x < 3; ++x) {
        it.shift[x] = sl.shift_min[x];
        it.lo[x] = sl.lo[x];
        it.hi[x] = sl.hi[x];
    }
    return it;
}

u64 make_items(const Bins& bins, u64 base, u64 e_first, u64 e_last, std::vector<Item>& out) {
    std::size_t first = out.size();
    for (u64 e = e_first;; ++e) {
        i64 id = bins.lookup(base + e);
        if (id >= 0) {
            const Bins::Slot& sl = bins.slot(id);
            Item it = item_of(sl);
            Item* last = out.size() > first ? &out.back() : nullptr;
            if (it.kind == Item::Kind::kRun && last && last->kind == Item::Kind::kRun &&
                last->end == sl.start && last->shift[0] == sl.shift_min[0] &&
                last->shift[1] == sl.shift_min[1] && last->shift[2] == sl.shift_min[2]) {
                last->end = sl.start + sl.count;
                last->chunk_end = sl.chunk_end;
                for (int x = 0; x < 3; ++x) {
                    last->lo[x] = std::min(last->lo[x], sl.lo[x]);
                    last->hi[x] = std::max(last->hi[x], sl.hi[x]);
                }
            } else {
                out.push_back(it);
            }
        }
        if (e == e_last) break;
    }
    return e_last - e_first + 1;
}

void RowSink::grow(u64 need) {
    // Doubling; rows past the memory limit fail anyway, so don't reserve far past it.
    u64 limit = max_rows_ > (u64{1} << 58) ? u64{1} << 58 : max_rows_ + 4096;
    u64 cap = std::max<u64>({need, cap_ * 2, 256});
    if (cap > limit) cap = std::max(need, limit);
    // Near the memory's end the doubling may not fit where the rows still do:
    // smaller steps then, down to what is needed.
    for (u64 step : {cap, need + (cap - need) / 8, need + (cap - need) / 64}) {
        if (try_grow(step)) return;
    }
    if (!try_grow(need)) throw std::bad_alloc();
}

bool RowSink::try_grow(u64 rows) {
    auto n = static_cast<std::size_t>(rows);
    std::size_t before[5];
    int k = 0;
    each_buffer([&](auto& buffer, std::size_t) { before[k++] = buffer.capacity(); });
    try {
        each_buffer([n](auto& buffer, std::size_t per_row) { buffer.reserve(per_row * n); });
    } catch (const std::bad_alloc&) {
        // The buffers that grew give their new room back, for a smaller step.
        k = 0;
        each_buffer([&](auto& buffer, std::size_t) { buffer.resize_capacity(before[k++]); });
        cursor_ = RowCursor{first_.data(), second_.data(), length_.data(), vector_.data(), shift_.data()};
        return false;
    }
    cap_ = rows;
    cursor_ = RowCursor{first_.data(), second_.data(), length_.data(), vector_.data(), shift_.data()};
    return true;
}

PairList RowSink::finish(u64 rows) && {
    auto n = static_cast<std::size_t>(rows);
    each_buffer([n](auto& buffer, std::size_t per_row) {
        buffer.resize_uninitialised(per_row * n);
        buffer.shrink_to_fit();
    });
    return PairList{std::move(first_), std::move(second_), std::move(length_), std::move(vector_), std::move(shift_)};
}

}  // namespace kestrix::vicinal::detail
