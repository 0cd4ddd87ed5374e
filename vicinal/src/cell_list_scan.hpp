#pragma once
// The inner machinery of the cell-list search: atoms grouped by bin, the growing
// row lists, and the candidate tests. Private to cell_list*.cpp.
//
// Rows are written straight into the result buffers in their final order: the
// caller walks atoms in index order, and for each atom its offsets in (dz, dy, dx)
// order, so no sort is needed. A neighbour bin's atoms are kept in ascending
// index as structure-of-arrays, and cut into chunks of consecutive atoms whose
// bounding boxes let a whole chunk be skipped. Every test computes D and d2 with
// the same rounded operations in the same order, vectorised or not.

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "cell_list.hpp"
#include "cell_list_bounds.hpp"
#include "kestrix/buffer.hpp"

namespace kestrix::vicinal::detail {

using i64 = std::int64_t;
using u64 = std::uint64_t;
using i128 = __int128;

/// Bytes of one row over the five result buffers: i, j, d, D[3], S[3].
inline constexpr std::size_t kRowBytes = 72;

/// Atoms with finite coordinates grouped by bin, bins ordered by flat index.
class Bins {
public:
    static constexpr std::size_t kChunk = 16;
    static constexpr std::size_t kPad = 4;  // vector loads may read past a bin's end

    struct Slot {
        std::size_t start, count, chunk_begin, chunk_end;
        i64 shift_min[3], shift_max[3];
        bool uniform;
        double lo[3], hi[3];  // bounding box of the bin's atoms
    };
    struct Chunk {
        double lo[3], hi[3];
        std::size_t start, count;
    };

    void build(const double* p, const i64* shift, const u64* coord, const std::uint8_t* finite,
               std::size_t n_atoms, const u64 n[3]);

    /// The slot of a flat bin index, -1 for an empty bin.
    i64 lookup(u64 flat) const noexcept {
        if (dense_) return slot_of_flat_[flat];
        u64 mask = table_size_ - 1;
        for (u64 h = hash(flat) & mask;; h = (h + 1) & mask) {
            if (keys_[h] == flat) return values_[h];
            if (keys_[h] == kNoKey) return -1;
        }
    }

    const Slot& slot(i64 s) const noexcept { return slots_[static_cast<std::size_t>(s)]; }
    const Chunk& chunk(std::size_t c) const noexcept { return chunks_[c]; }
    std::size_t slot_count() const noexcept { return slots_.size(); }
    /// Entries in the bin arrays: the atoms with finite coordinates.
    std::size_t entry_count() const noexcept { return entries_; }
    /// The entry of a finite atom in the bin arrays, and the slot of an entry.
    std::size_t atom_entry(std::size_t a) const noexcept { return atom_entry_[a]; }
    std::size_t entry_slot(std::size_t k) const noexcept { return entry_slot_[k]; }

    std::unique_ptr<double[]> x, y, z;  // bin order, padded
    std::unique_ptr<i64[]> idx;         // atom index
    std::unique_ptr<i64[]> shift;       // 3 per entry
    const double* box_lo[3] = {};  // chunk boxes per axis, padded, in boxes_
    const double* box_hi[3] = {};

private:
    static constexpr u64 kNoKey = ~u64{0};
    static u64 hash(u64 k) noexcept { return (k * 0x9E3779B97F4A7C15ull) >> 17; }

    bool dense_ = true;
    std::size_t entries_ = 0;
    std::unique_ptr<i64[]> slot_of_flat_;
    std::unique_ptr<u64[]> keys_;
    std::unique_ptr<i64[]> values_;
    u64 table_size_ = 0;
    std::vector<Slot> slots_;
    std::vector<Chunk> chunks_;
    std::unique_ptr<std::size_t[]> atom_entry_;
    std::unique_ptr<std::size_t[]> entry_slot_;
    std::unique_ptr<double[]> boxes_;
};

/// What the scan of every atom shares.
struct ScanSetup {
    const Cell& cell;
    double cutoff2;
    bool self_interaction;
    Poll poll;
};

/// The state of one neighbour-bin visit as the candidate kernels see it.
struct Visit {
    i64 i;
    double pi[3];
    double t[3];
    i64 s[3];
    bool skip_self;
    double cutoff2;
};

bool cpu_has_avx2() noexcept;

/// Local, non-aliasing cursors into the five result buffers.
struct RowCursor {
    i64* __restrict i;
    i64* __restrict j;
    double* __restrict d;
    double* __restrict D;
    i64* __restrict S;
};

/// Tests the entries [start, start + count) of the bin arrays against one visit.
/// Every passing entry but `skip` is a row of the search (counted in `searched`
/// when a policy filters them); those that keep(i, entry, j, d) accepts are
/// written at rows n, n + 1, ... Returns the next n.
template <class Keep>
inline u64 emit_scalar(const Bins& b, std::size_t start, std::size_t count, const Visit& v,
                       std::size_t skip, const RowCursor& w, u64 n, Keep& keep, u64& searched) {
    const double *X = b.x.get(), *Y = b.y.get(), *Z = b.z.get();
    const i64 i = v.i, s0 = v.s[0], s1 = v.s[1], s2 = v.s[2];
    for (std::size_t k = start; k < start + count; ++k) {
        double dx = (X[k] - v.pi[0]) + v.t[0];
        double dy = (Y[k] - v.pi[1]) + v.t[1];
        double dz = (Z[k] - v.pi[2]) + v.t[2];
        double d2 = (dx * dx + dy * dy) + dz * dz;
        if (!(d2 < v.cutoff2) || k == skip) continue;
        if constexpr (!Keep::kAll) ++searched;
        i64 j = b.idx[k];
        double d = std::sqrt(d2);
        if constexpr (!Keep::kAll)
            if (!keep(i, k, j, d)) continue;
        w.i[n] = i;
        w.j[n] = j;
        w.d[n] = d;
        w.D[3 * n] = dx;
        w.D[3 * n + 1] = dy;
        w.D[3 * n + 2] = dz;
        w.S[3 * n] = s0;
        w.S[3 * n + 1] = s1;
        w.S[3 * n + 2] = s2;
        ++n;
    }
    return n;
}

/// The AVX2 form of emit_scalar, in two steps per block of up to 64 entries:
/// the vector tests leave D, d2 and a bit per passing entry, then the passing
/// entries are taken bit by bit, so no branch depends on a single test.
template <class Keep>
__attribute__((target("avx2"))) u64 emit_avx2(const Bins& b, std::size_t start, std::size_t count,
                                               const Visit& v, std::size_t skip,
                                               const RowCursor& out, u64 n, Keep& keep,
                                               u64& searched) {
    const double *X = b.x.get(), *Y = b.y.get(), *Z = b.z.get();
    const i64* idx = b.idx.get();
    const RowCursor w = out;  // in registers, not reloaded per row
    const i64 i = v.i, s0 = v.s[0], s1 = v.s[1], s2 = v.s[2];
    const __m256d px = _mm256_set1_pd(v.pi[0]), py = _mm256_set1_pd(v.pi[1]),
                  pz = _mm256_set1_pd(v.pi[2]);
    const __m256d tx = _mm256_set1_pd(v.t[0]), ty = _mm256_set1_pd(v.t[1]),
                  tz = _mm256_set1_pd(v.t[2]);
    const __m256d c2 = _mm256_set1_pd(v.cutoff2);
    alignas(32) double bx[64], by[64], bz[64], b2[64];
    for (std::size_t first = 0; first < count; first += 64) {
        const std::size_t len = count - first < 64 ? count - first : 64;
        const std::size_t at0 = start + first;
        u64 mask = 0;
        for (std::size_t k = 0; k < len; k += 4) {
            std::size_t at = at0 + k;
            __m256d dx = _mm256_add_pd(_mm256_sub_pd(_mm256_loadu_pd(X + at), px), tx);
            __m256d dy = _mm256_add_pd(_mm256_sub_pd(_mm256_loadu_pd(Y + at), py), ty);
            __m256d dz = _mm256_add_pd(_mm256_sub_pd(_mm256_loadu_pd(Z + at), pz), tz);
            __m256d d2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)),
                                       _mm256_mul_pd(dz, dz));
            _mm256_store_pd(bx + k, dx);
            _mm256_store_pd(by + k, dy);
            _mm256_store_pd(bz + k, dz);
            _mm256_store_pd(b2 + k, d2);
            mask |= static_cast<u64>(_mm256_movemask_pd(_mm256_cmp_pd(d2, c2, _CMP_LT_OQ))) << k;
        }
        if (len < 64) mask &= (u64{1} << len) - 1;
        if (skip - at0 < len) mask &= ~(u64{1} << (skip - at0));
        while (mask) {
            const unsigned k = static_cast<unsigned>(__builtin_ctzll(mask));
            mask &= mask - 1;
            if constexpr (!Keep::kAll) ++searched;
            const i64 j = idx[at0 + k];
            const double d = _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(b2[k])));
            if constexpr (!Keep::kAll)
                if (!keep(i, at0 + k, j, d)) continue;
            w.i[n] = i;
            w.j[n] = j;
            w.d[n] = d;
            w.D[3 * n] = bx[k];
            w.D[3 * n + 1] = by[k];
            w.D[3 * n + 2] = bz[k];
            w.S[3 * n] = s0;
            w.S[3 * n + 1] = s1;
            w.S[3 * n + 2] = s2;
            ++n;
        }
    }
    return n;
}

/// Bit k set when chunk first + k (k < len <= 64) may hold an entry that passes
/// the visit: the box test of Scanner::out_of_reach, four chunks at a time.
__attribute__((target("avx2"))) inline u64 chunk_mask_avx2(const Bins& b, std::size_t first,
                                                          std::size_t len, const Visit& v) {
    const __m256d zero = _mm256_setzero_pd(), c2 = _mm256_set1_pd(v.cutoff2);
    __m256d p[3], t[3];
    for (int x = 0; x < 3; ++x) {
        p[x] = _mm256_set1_pd(v.pi[x]);
        t[x] = _mm256_set1_pd(v.t[x]);
    }
    u64 mask = 0;
    for (std::size_t k = 0; k < len; k += 4) {
        __m256d m[3];
        for (int x = 0; x < 3; ++x) {
            __m256d lo = _mm256_add_pd(_mm256_sub_pd(_mm256_loadu_pd(b.box_lo[x] + first + k), p[x]), t[x]);
            __m256d hi = _mm256_add_pd(_mm256_sub_pd(_mm256_loadu_pd(b.box_hi[x] + first + k), p[x]), t[x]);
            m[x] = _mm256_add_pd(_mm256_max_pd(lo, zero), _mm256_max_pd(_mm256_sub_pd(zero, hi), zero));
        }
        __m256d r2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m[0], m[0]), _mm256_mul_pd(m[1], m[1])),
                                   _mm256_mul_pd(m[2], m[2]));
        mask |= static_cast<u64>(_mm256_movemask_pd(_mm256_cmp_pd(r2, c2, _CMP_NGE_UQ))) << k;
    }
    return len < 64 ? mask & ((u64{1} << len) - 1) : mask;
}

/// The sweep test: entry k (k < m <= 16) with the translation of lane l,
/// D = dp[k] + t[l]. Leaves D and d2 at [l][k] and returns bit 16·l + k set
/// for each pair that passes.
struct SweepBlock {
    double dx[4][16], dy[4][16], dz[4][16], d2[4][16];
};

inline u64 sweep_scalar(const double (*dp)[16], std::size_t m, const double (*t)[4], double cutoff2,
                        SweepBlock& out) {
    u64 mask = 0;
    for (int l = 0; l < 4; ++l)
        for (std::size_t k = 0; k < m; ++k) {
            double dx = dp[0][k] + t[0][l], dy = dp[1][k] + t[1][l], dz = dp[2][k] + t[2][l];
            double d2 = (dx * dx + dy * dy) + dz * dz;
            out.dx[l][k] = dx;
            out.dy[l][k] = dy;
            out.dz[l][k] = dz;
            out.d2[l][k] = d2;
            mask |= static_cast<u64>(d2 < cutoff2) << (16 * l + k);
        }
    return mask;
}

__attribute__((target("avx2"))) inline u64 sweep_avx2(const double (*dp)[16], std::size_t m,
                                                     const double (*t)[4], double cutoff2,
                                                     SweepBlock& out) {
    const __m256d c2 = _mm256_set1_pd(cutoff2);
    u64 mask = 0;
    for (int l = 0; l < 4; ++l) {
        const __m256d tx = _mm256_set1_pd(t[0][l]), ty = _mm256_set1_pd(t[1][l]),
                      tz = _mm256_set1_pd(t[2][l]);
        for (std::size_t k = 0; k < m; k += 4) {
            __m256d dx = _mm256_add_pd(_mm256_loadu_pd(dp[0] + k), tx);
            __m256d dy = _mm256_add_pd(_mm256_loadu_pd(dp[1] + k), ty);
            __m256d dz = _mm256_add_pd(_mm256_loadu_pd(dp[2] + k), tz);
            __m256d d2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)),
                                       _mm256_mul_pd(dz, dz));
            _mm256_storeu_pd(out.dx[l] + k, dx);
            _mm256_storeu_pd(out.dy[l] + k, dy);
            _mm256_storeu_pd(out.dz[l] + k, dz);
            _mm256_storeu_pd(out.d2[l] + k, d2);
            mask |= static_cast<u64>(_mm256_movemask_pd(_mm256_cmp_pd(d2, c2, _CMP_LT_OQ)))
                    << (16 * l + k);
        }
    }
    return mask;
}

/// An atom about to be scanned, with the offsets that can give it rows.
struct CentreAtom {
    i64 index;
    std::size_t pos;  // entry in the bin arrays
    i64 lo[3], hi[3];
};

/// A stretch of neighbour entries tested together: a run of consecutive uniform
/// bins with one shift, a large uniform bin tested chunk by chunk, or a bin
/// whose atoms carry different shifts.
struct Item {
    enum class Kind : std::uint8_t { kRun, kLarge, kMixed };
    Kind kind;
    std::size_t start, end;
    std::size_t chunk_begin, chunk_end;  // the chunks of its bins, consecutive
    const Bins::Slot* slot;
    i64 shift[3];
    double lo[3], hi[3];
};

/// Appends the items of the bins base + e, e = e_first..e_last (consecutive
/// along axis 0). Their entries follow one another in memory in emission order,
/// so consecutive uniform bins with one shift merge into one run. Returns the
/// number of bins looked at.
u64 make_items(const Bins& bins, u64 base, u64 e_first, u64 e_last, std::vector<Item>& out);

/// The five growing row lists. Rows are written through cursor() up to the
/// capacity that reserve() guarantees; the lists never move a row once written.
class RowSink {
public:
    explicit RowSink(u64 max_rows) : max_rows_(max_rows) {}
    /// Makes room for rows [0, need); returns whether the buffers moved.
    bool reserve(u64 need) {
        if (need <= cap_) return false;
        grow(need);
        return true;
    }
    const RowCursor& cursor() const noexcept { return cursor_; }
    u64 max_rows() const noexcept { return max_rows_; }
    u64 capacity() const noexcept { return cap_; }
    /// The first `rows` rows, each buffer sized exactly.
    PairList finish(u64 rows) &&;

private:
    void grow(u64 need);

    u64 max_rows_;
    u64 cap_ = 0;
    OwnedBuffer<i64> i_, j_, S_;
    OwnedBuffer<double> d_, D_;
    RowCursor cursor_{};
};

/// Tests one atom at a time against lists of items and writes its rows, in the
/// order the items are given.
template <class Keep>
class Scanner {
public:
    Scanner(const ScanSetup& setup, const Bins& bins, Keep& keep, RowSink& sink)
        : setup_(setup), bins_(bins), keep_(keep), sink_(sink), avx2_(cpu_has_avx2()) {
        // T = S·cell for the shifts that almost every visit uses.
        for (int s2 = -kCached; s2 <= kCached; ++s2)
            for (int s1 = -kCached; s1 <= kCached; ++s1)
                for (int s0 = -kCached; s0 <= kCached; ++s0) {
                    i64 s[3] = {s0, s1, s2};
                    translation(s, t_cache_[cache_index(s)]);
                }
    }

    /// Rows written so far (the search's rows when the policy keeps all).
    u64 rows() const noexcept { return out_; }
    /// Rows the search found, kept or not.
    u64 search_rows() const noexcept { return Keep::kAll ? out_ : search_rows_; }

    void begin_atom(const CentreAtom& ca) {
        v_.i = ca.index;
        pos_i_ = ca.pos;
        v_.pi[0] = bins_.x[ca.pos];
        v_.pi[1] = bins_.y[ca.pos];
        v_.pi[2] = bins_.z[ca.pos];
        for (int k = 0; k < 3; ++k) shift_i_[k] = bins_.shift[3 * ca.pos + k];
        v_.cutoff2 = setup_.cutoff2;
    }

    /// The items of one offset row of the current atom, all with quotients q.
    void visit(const Item* items, std::size_t n, const i64 q[3]) {
        q_ = q;
        for (std::size_t k = 0; k < n; ++k) visit_item(items[k]);
        if (search_rows() > sink_.max_rows()) throw std::bad_alloc();
    }

    /// The offsets o0 = o0_lo..o0_hi of one (o1, o2) row of the current atom when
    /// the grid is one bin and `it` (few atoms, one shift) is all of it: q0 = o0,
    /// so T differs per offset. Four offsets are tested at once; rows come out
    /// by offset, then by entry, as the search orders them.
    void sweep(const Item& it, i64 o0_lo, i64 o0_hi, const i64 q[3]) {
        q_ = q;
        const std::size_t m = it.end - it.start;
        const Cell& c = setup_.cell;
        i64 s1 = static_cast<i64>(static_cast<u64>(shift_i_[1]) + static_cast<u64>(q[1]) -
                                  static_cast<u64>(it.shift[1]));
        i64 s2 = static_cast<i64>(static_cast<u64>(shift_i_[2]) + static_cast<u64>(q[2]) -
                                  static_cast<u64>(it.shift[2]));
        static_assert(kSweepAtoms == 16, "the sweep kernels take rows of 16");
        double k1[3], k2[3];
        for (int x = 0; x < 3; ++x) {
            k1[x] = static_cast<double>(s1) * c[1][x];
            k2[x] = static_cast<double>(s2) * c[2][x];
        }
        if (dp_atom_ != pos_i_ || dp_item_ != it.start) {
            // p_j - p_i, the same for every offset of the atom.
            const double* col[3] = {bins_.x.get(), bins_.y.get(), bins_.z.get()};
            for (int x = 0; x < 3; ++x) {
                for (std::size_t k = 0; k < m; ++k) dp_[x][k] = col[x][it.start + k] - v_.pi[x];
                for (std::size_t k = m; k < kSweepAtoms; ++k) dp_[x][k] = 0.0;  // read by the vector tests
            }
            dp_atom_ = pos_i_;
            dp_item_ = it.start;
        }
        const double (*dp)[kSweepAtoms] = dp_;
        const u64 base0 = static_cast<u64>(shift_i_[0]) - static_cast<u64>(it.shift[0]);
        const bool self_row = !setup_.self_interaction && s1 == 0 && s2 == 0;
        for (i64 o0 = o0_lo;; o0 += 4) {
            // S0 per lane, two's complement as everywhere.
            i64 s0[4];
            double t[3][4];
            u64 left = static_cast<u64>(o0_hi) - static_cast<u64>(o0);
            int lanes = left >= 3 ? 4 : static_cast<int>(left + 1);
            for (int l = 0; l < 4; ++l) {
                s0[l] = static_cast<i64>(base0 + static_cast<u64>(o0 + (l < lanes ? l : 0)));
                for (int x = 0; x < 3; ++x)
                    t[x][l] = (static_cast<double>(s0[l]) * c[0][x] + k1[x]) + k2[x];
            }
            SweepBlock block;
            u64 mask = avx2_ ? sweep_avx2(dp, m, t, v_.cutoff2, block)
                             : sweep_scalar(dp, m, t, v_.cutoff2, block);
            // Lanes past the range, entries past m (their dp is padding).
            u64 entries = (m >= 16 ? 0xFFFFull : (u64{1} << m) - 1);
            u64 keep_bits = 0;
            for (int l = 0; l < lanes; ++l) keep_bits |= entries << (16 * l);
            mask &= keep_bits;
            if (self_row && pos_i_ >= it.start && pos_i_ < it.end)
                for (int l = 0; l < lanes; ++l)
                    if (s0[l] == 0) mask &= ~(u64{1} << (16 * l + (pos_i_ - it.start)));
            if (mask) {
                sink_.reserve(out_ + 64);
                const RowCursor w = sink_.cursor();
                while (mask) {
                    const unsigned b = static_cast<unsigned>(__builtin_ctzll(mask));
                    mask &= mask - 1;
                    const unsigned l = b >> 4, k = b & 15;
                    const double d = _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(block.d2[l][k])));
                    const i64 j = bins_.idx[it.start + k];
                    if constexpr (!Keep::kAll) {
                        ++search_rows_;
                        if (!keep_(v_.i, it.start + k, j, d)) continue;
                    }
                    u64 n = out_++;
                    w.i[n] = v_.i;
                    w.j[n] = j;
                    w.d[n] = d;
                    w.D[3 * n] = block.dx[l][k];
                    w.D[3 * n + 1] = block.dy[l][k];
                    w.D[3 * n + 2] = block.dz[l][k];
                    w.S[3 * n] = s0[l];
                    w.S[3 * n + 1] = s1;
                    w.S[3 * n + 2] = s2;
                }
            }
            if (left < 4) break;
        }
        if (search_rows() > sink_.max_rows()) throw std::bad_alloc();
    }

    /// Whether no offset o0 = o0_lo..o0_hi, o1 = o1_lo..o1_hi with o2 of a one-bin
    /// grid (q = o) can give the current atom a row with the atoms of `it`. T is
    /// monotone in each shift, so its box over the range comes from the corners;
    /// when a shift may wrap nothing is said.
    bool sweep_out_of_reach(const Item& it, i64 o0_lo, i64 o0_hi, i64 o1_lo, i64 o1_hi, i64 o2) const {
        const i64 olo[3] = {o0_lo, o1_lo, o2}, ohi[3] = {o0_hi, o1_hi, o2};
        i64 lo[3], hi[3];
        for (int k = 0; k < 3; ++k) {
            i128 base = static_cast<i128>(shift_i_[k]) - it.shift[k];
            i128 a = base + olo[k], b = base + ohi[k];
            if (a < INT64_MIN || b > INT64_MAX) return false;
            lo[k] = static_cast<i64>(a);
            hi[k] = static_cast<i64>(b);
        }
        double tlo[3], thi[3];
        translation_box(lo, hi, tlo, thi);
        return out_of_reach(it.lo, it.hi, tlo, thi);
    }

    /// Accounts for work done outside visit() and polls every ~10^6 units.
    void add_work(u64 units) {
        work_ += units;
        if (work_ >= kPollEvery) {
            work_ = 0;
            setup_.poll();
        }
    }

private:
    static constexpr int kCached = 1;
    // Runs shorter than this are tested whole; longer ones, and large bins,
    // chunk by chunk behind the box tests.
    static constexpr std::size_t kPruneRun = 64;
    static constexpr u64 kAhead = 64;  // rows between a prefetch and the write

public:
    /// The most atoms a one-bin grid may hold for sweep().
    static constexpr std::size_t kSweepAtoms = 16;

private:
    static constexpr u64 kPollEvery = u64{1} << 20;

    static int cache_index(const i64 s[3]) {
        return static_cast<int>((s[0] + kCached) +
                                (2 * kCached + 1) * ((s[1] + kCached) + (2 * kCached + 1) * (s[2] + kCached)));
    }
    static bool cached(const i64 s[3]) {
        return s[0] >= -kCached && s[0] <= kCached && s[1] >= -kCached && s[1] <= kCached &&
               s[2] >= -kCached && s[2] <= kCached;
    }

    void translation(const i64 s[3], double t[3]) const {
        const Cell& c = setup_.cell;
        double s0 = static_cast<double>(s[0]), s1 = static_cast<double>(s[1]),
               s2 = static_cast<double>(s[2]);
        for (int x = 0; x < 3; ++x) t[x] = (s0 * c[0][x] + s1 * c[1][x]) + s2 * c[2][x];
    }

    /// S and T for neighbours carrying `shift`. Two's complement wrap: the shift
    /// arithmetic overflows for atoms some 10^19 periods away.
    void use_shift(const i64 shift[3]) {
        for (int k = 0; k < 3; ++k)
            v_.s[k] = static_cast<i64>(static_cast<u64>(shift_i_[k]) + static_cast<u64>(q_[k]) -
                                       static_cast<u64>(shift[k]));
        if (cached(v_.s)) std::memcpy(v_.t, t_cache_[cache_index(v_.s)], sizeof v_.t);
        else translation(v_.s, v_.t);
        v_.skip_self = !setup_.self_interaction && v_.s[0] == 0 && v_.s[1] == 0 && v_.s[2] == 0;
    }

    /// Whether no candidate in the box [lo, hi] can pass, exactly: each rounded
    /// operation is monotone, so the box corners bound every rounded D.
    bool out_of_reach(const double lo_box[3], const double hi_box[3], const double tlo[3],
                      const double thi[3]) const {
        double m[3];
        for (int x = 0; x < 3; ++x) {
            double lo = (lo_box[x] - v_.pi[x]) + tlo[x];
            double hi = (hi_box[x] - v_.pi[x]) + thi[x];
            // lo <= hi, so at most one term is non-zero; both select without branches.
            m[x] = (lo > 0.0 ? lo : 0.0) + (hi < 0.0 ? -hi : 0.0);
        }
        return (m[0] * m[0] + m[1] * m[1]) + m[2] * m[2] >= v_.cutoff2;
    }

    void visit_item(const Item& it) {
        switch (it.kind) {
            case Item::Kind::kRun:
            case Item::Kind::kLarge:
                use_shift(it.shift);
                if (it.end - it.start < kPruneRun) test_range(it.start, it.end - it.start);
                else visit_chunks(it.chunk_begin, it.chunk_end);
                return;
            case Item::Kind::kMixed:
                visit_mixed(*it.slot);
                return;
        }
    }

    /// The chunks [first, end) of bins with one shift: only those whose box is
    /// in reach are tested, consecutive ones together.
    void visit_chunks(std::size_t first, std::size_t end) {
        for (std::size_t c = first; c < end; c += 64) {
            std::size_t len = end - c < 64 ? end - c : 64;
            u64 live;
            if (avx2_) {
                live = chunk_mask_avx2(bins_, c, len, v_);
            } else {
                live = 0;
                for (std::size_t k = 0; k < len; ++k) {
                    const Bins::Chunk& ch = bins_.chunk(c + k);
                    live |= static_cast<u64>(!out_of_reach(ch.lo, ch.hi, v_.t, v_.t)) << k;
                }
            }
            while (live) {
                unsigned k = static_cast<unsigned>(__builtin_ctzll(live));
                u64 rest = ~(live >> k);
                unsigned run = rest ? static_cast<unsigned>(__builtin_ctzll(rest)) : 64 - k;
                const Bins::Chunk& a = bins_.chunk(c + k);
                const Bins::Chunk& b = bins_.chunk(c + k + run - 1);
                test_range(a.start, b.start + b.count - a.start);
                live = k + run >= 64 ? 0 : live & (~u64{0} << (k + run));
            }
        }
    }

    void test_range(std::size_t start, std::size_t count) {
        sink_.reserve(out_ + count);
        if (out_ + kAhead + 3 < sink_.capacity()) {
            // Rows are written in order: ask for the lines a few rows ahead.
            const RowCursor& w = sink_.cursor();
            __builtin_prefetch(w.i + out_ + kAhead, 1);
            __builtin_prefetch(w.j + out_ + kAhead, 1);
            __builtin_prefetch(w.d + out_ + kAhead, 1);
            __builtin_prefetch(w.D + 3 * (out_ + kAhead), 1);
            __builtin_prefetch(w.S + 3 * (out_ + kAhead), 1);
            __builtin_prefetch(w.D + 3 * (out_ + kAhead) + 8, 1);
            __builtin_prefetch(w.S + 3 * (out_ + kAhead) + 8, 1);
        }
        std::size_t skip = v_.skip_self ? pos_i_ : ~std::size_t{0};
        out_ = avx2_ ? emit_avx2(bins_, start, count, v_, skip, sink_.cursor(), out_, keep_, search_rows_)
                     : emit_scalar(bins_, start, count, v_, skip, sink_.cursor(), out_, keep_, search_rows_);
    }

    /// A bin whose atoms come from different periods: S differs per atom.
    void visit_mixed(const Bins::Slot& slot) {
        double tlo[3], thi[3];
        bool prune = shift_bounds(slot, tlo, thi);
        sink_.reserve(out_ + slot.count);
        const RowCursor& w = sink_.cursor();
        for (std::size_t c = slot.chunk_begin; c < slot.chunk_end; ++c) {
            const Bins::Chunk& ch = bins_.chunk(c);
            if (prune && out_of_reach(ch.lo, ch.hi, tlo, thi)) continue;
            for (std::size_t k = ch.start; k < ch.start + ch.count; ++k) {
                i64 s[3];
                for (int x = 0; x < 3; ++x)
                    s[x] = static_cast<i64>(static_cast<u64>(shift_i_[x]) + static_cast<u64>(q_[x]) -
                                            static_cast<u64>(bins_.shift[3 * k + x]));
                if (!setup_.self_interaction && k == pos_i_ && s[0] == 0 && s[1] == 0 && s[2] == 0)
                    continue;
                double t[3];
                if (cached(s)) std::memcpy(t, t_cache_[cache_index(s)], sizeof t);
                else translation(s, t);
                double dx = (bins_.x[k] - v_.pi[0]) + t[0];
                double dy = (bins_.y[k] - v_.pi[1]) + t[1];
                double dz = (bins_.z[k] - v_.pi[2]) + t[2];
                double d2 = (dx * dx + dy * dy) + dz * dz;
                if (!(d2 < v_.cutoff2)) continue;
                i64 j = bins_.idx[k];
                double d = std::sqrt(d2);
                if constexpr (!Keep::kAll) {
                    ++search_rows_;
                    if (!keep_(v_.i, k, j, d)) continue;
                }
                u64 n = out_++;
                w.i[n] = v_.i;
                w.j[n] = j;
                w.d[n] = d;
                w.D[3 * n] = dx;
                w.D[3 * n + 1] = dy;
                w.D[3 * n + 2] = dz;
                w.S[3 * n] = s[0];
                w.S[3 * n + 1] = s[1];
                w.S[3 * n + 2] = s[2];
            }
        }
    }

    /// Bounds T over the shifts of a mixed bin; false when S may wrap there.
    bool shift_bounds(const Bins::Slot& slot, double tlo[3], double thi[3]) const {
        i64 lo[3], hi[3];
        for (int k = 0; k < 3; ++k) {
            i128 base = static_cast<i128>(shift_i_[k]) + q_[k];
            i128 a = base - slot.shift_max[k], b = base - slot.shift_min[k];
            if (a < INT64_MIN || b > INT64_MAX) return false;
            lo[k] = static_cast<i64>(a);
            hi[k] = static_cast<i64>(b);
        }
        translation_box(lo, hi, tlo, thi);
        return true;
    }

    /// The box of T over the shifts lo..hi. Each term S_k·cell[k][x] is monotone
    /// in S_k, in the direction of the sign of cell[k][x]; the rounded sums keep
    /// that order.
    void translation_box(const i64 lo[3], const i64 hi[3], double tlo[3], double thi[3]) const {
        const Cell& c = setup_.cell;
        for (int x = 0; x < 3; ++x) {
            double l[3], h[3];
            for (int k = 0; k < 3; ++k) {
                bool up = c[k][x] >= 0.0;
                l[k] = static_cast<double>(up ? lo[k] : hi[k]);
                h[k] = static_cast<double>(up ? hi[k] : lo[k]);
            }
            tlo[x] = (l[0] * c[0][x] + l[1] * c[1][x]) + l[2] * c[2][x];
            thi[x] = (h[0] * c[0][x] + h[1] * c[1][x]) + h[2] * c[2][x];
        }
    }

    const ScanSetup& setup_;
    const Bins& bins_;
    Keep& keep_;
    RowSink& sink_;
    bool avx2_;
    Visit v_{};
    std::size_t pos_i_ = 0;
    i64 shift_i_[3] = {};
    const i64* q_ = nullptr;
    u64 out_ = 0;
    u64 work_ = 0;
    u64 search_rows_ = 0;
    double t_cache_[27][3];
    double dp_[3][kSweepAtoms];  // sweep(): p_j - p_i of the atom and item below
    std::size_t dp_atom_ = ~std::size_t{0}, dp_item_ = 0;
};

}  // namespace kestrix::vicinal::detail
