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
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
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

/// Scratch memory of one search, all released together. A small search is
/// served from the inline block without the allocator (arrays on 64-byte
/// boundaries there); what does not fit gets a block of its own from malloc.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() {
        while (blocks_) {
            Block* b = blocks_;
            blocks_ = b->next;
            std::free(b);
        }
    }

    /// n elements with unspecified contents.
    template <class T>
    T* alloc(std::size_t n) {
        static_assert(std::is_trivially_copyable_v<T> && alignof(T) <= alignof(std::max_align_t));
        if (n > (SIZE_MAX - 2 * kAlign) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(grab(n * sizeof(T)));
    }
    /// n zero elements.
    template <class T>
    T* alloc_zeroed(std::size_t n) {
        T* p = alloc<T>(n);
        if (n) std::memset(static_cast<void*>(p), 0, n * sizeof(T));
        return p;
    }

private:
    static constexpr std::size_t kAlign = 64;
#if defined(__SANITIZE_ADDRESS__)
    // Every array in a block of its exact size, so that the sanitizer sees overruns.
    static constexpr std::size_t kInline = kAlign;
#else
    static constexpr std::size_t kInline = 8192;
#endif
    // The header of a malloc block, a multiple of malloc's alignment long.
    struct Block {
        Block* next;
        unsigned char pad[kAlign - sizeof(Block*)];
    };

    void* grab(std::size_t bytes) {
#if !defined(__SANITIZE_ADDRESS__)
        std::size_t rounded = (bytes + kAlign - 1) & ~(kAlign - 1);
        if (rounded <= kInline - used_) {
            void* p = inline_ + used_;
            used_ += rounded;
            return p;
        }
#endif
        void* raw = std::malloc(sizeof(Block) + bytes);
        if (!raw) throw std::bad_alloc();
        Block* b = static_cast<Block*>(raw);
        b->next = blocks_;
        blocks_ = b;
        return b + 1;
    }

    alignas(kAlign) unsigned char inline_[kInline];
    std::size_t used_ = 0;
    Block* blocks_ = nullptr;
};

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

    /// Every array lives in `arena`.
    void build(Arena& arena, const double* p, const i64* shift, const u64* coord,
               const std::uint8_t* finite, std::size_t n_atoms, const u64 n[3]);

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
    std::size_t slot_count() const noexcept { return n_slots_; }
    /// Entries in the bin arrays: the atoms with finite coordinates.
    std::size_t entry_count() const noexcept { return entries_; }
    /// The entry of a finite atom in the bin arrays, and the slot of an entry.
    std::size_t atom_entry(std::size_t a) const noexcept { return atom_entry_[a]; }
    std::size_t entry_slot(std::size_t k) const noexcept { return entry_slot_[k]; }

    const double *x = nullptr, *y = nullptr, *z = nullptr;  // bin order, padded
    const i64* idx = nullptr;                               // atom index
    const i64* shift = nullptr;                             // 3 per entry
    const double* box_lo[3] = {};  // chunk boxes per axis, padded, in boxes_
    const double* box_hi[3] = {};

private:
    static constexpr u64 kNoKey = ~u64{0};
    static u64 hash(u64 k) noexcept { return (k * 0x9E3779B97F4A7C15ull) >> 17; }

    bool dense_ = true;
    std::size_t entries_ = 0;
    i64* slot_of_flat_ = nullptr;
    u64* keys_ = nullptr;
    i64* values_ = nullptr;
    u64 table_size_ = 0;
    Slot* slots_ = nullptr;
    std::size_t n_slots_ = 0;
    Chunk* chunks_ = nullptr;
    std::size_t* atom_entry_ = nullptr;
    std::size_t* entry_slot_ = nullptr;
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
    const double *X = b.x, *Y = b.y, *Z = b.z;
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
    const double *X = b.x, *Y = b.y, *Z = b.z;
    const i64* idx = b.idx;
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

/// The one-bin sweep: a stretch of offsets o0 (lanes) of one (o1, o2) row, with
/// T = (a0[l] + a1) + a2 per coordinate, against the m <= 16 entries of the bin,
/// D = dp[k] + T. Lanes are taken four at a time; a block holds entry k of
/// lane l at [4·k + l], and its mask bit 16·l + k is set when the pair passes,
/// so that the bits come out in the search's order: by offset, then by entry.
struct SweepRow {
    const double* a0[3];  // per lane, padded to a multiple of four
    std::size_t lanes;    // at most 64
    u64 live;             // lanes that may pass: blocks of four without one are skipped
    double a1[3], a2[3];
    const double* dp[3];  // per entry: p_j - p_i
    std::size_t m;
    double cutoff2;
};

struct SweepBlock {
    double dx[64], dy[64], dz[64], d2[64];
};

/// Bits 0..3 of b moved to bits 0, 16, 32 and 48.
inline u64 spread_lanes(unsigned b) {
    return (u64{b} & 1) | (u64{b} & 2) << 15 | (u64{b} & 4) << 30 | (u64{b} & 8) << 45;
}

/// Calls emit(first lane, mask, block) for every block of four lanes with a passing pair.
template <class Emit>
inline void sweep_lanes_scalar(const SweepRow& r, Emit& emit) {
    SweepBlock b;
    for (std::size_t g = 0; g < r.lanes; g += 4) {
        if (((r.live >> g) & 0xF) == 0) continue;
        double t[3][4];
        for (int x = 0; x < 3; ++x)
            for (int l = 0; l < 4; ++l) t[x][l] = (r.a0[x][g + l] + r.a1[x]) + r.a2[x];
        u64 mask = 0;
        for (std::size_t k = 0; k < r.m; ++k)
            for (int l = 0; l < 4; ++l) {
                double dx = r.dp[0][k] + t[0][l], dy = r.dp[1][k] + t[1][l], dz = r.dp[2][k] + t[2][l];
                double d2 = (dx * dx + dy * dy) + dz * dz;
                b.dx[4 * k + l] = dx;
                b.dy[4 * k + l] = dy;
                b.dz[4 * k + l] = dz;
                b.d2[4 * k + l] = d2;
                mask |= static_cast<u64>(d2 < r.cutoff2) << (16 * l + k);
            }
        if (r.lanes - g < 4) mask &= (u64{1} << (16 * (r.lanes - g))) - 1;
        if (mask) emit(g, mask, b);
    }
}

template <class Emit>
__attribute__((target("avx2"))) inline void sweep_lanes_avx2(const SweepRow& r, Emit& emit) {
    const __m256d c2 = _mm256_set1_pd(r.cutoff2);
    const __m256d a1x = _mm256_set1_pd(r.a1[0]), a1y = _mm256_set1_pd(r.a1[1]),
                  a1z = _mm256_set1_pd(r.a1[2]);
    const __m256d a2x = _mm256_set1_pd(r.a2[0]), a2y = _mm256_set1_pd(r.a2[1]),
                  a2z = _mm256_set1_pd(r.a2[2]);
    SweepBlock b;
    for (std::size_t g = 0; g < r.lanes; g += 4) {
        if (((r.live >> g) & 0xF) == 0) continue;
        const __m256d tx = _mm256_add_pd(_mm256_add_pd(_mm256_loadu_pd(r.a0[0] + g), a1x), a2x);
        const __m256d ty = _mm256_add_pd(_mm256_add_pd(_mm256_loadu_pd(r.a0[1] + g), a1y), a2y);
        const __m256d tz = _mm256_add_pd(_mm256_add_pd(_mm256_loadu_pd(r.a0[2] + g), a1z), a2z);
        u64 mask = 0;
        for (std::size_t k = 0; k < r.m; ++k) {
            __m256d dx = _mm256_add_pd(_mm256_set1_pd(r.dp[0][k]), tx);
            __m256d dy = _mm256_add_pd(_mm256_set1_pd(r.dp[1][k]), ty);
            __m256d dz = _mm256_add_pd(_mm256_set1_pd(r.dp[2][k]), tz);
            __m256d d2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)),
                                       _mm256_mul_pd(dz, dz));
            _mm256_storeu_pd(b.dx + 4 * k, dx);
            _mm256_storeu_pd(b.dy + 4 * k, dy);
            _mm256_storeu_pd(b.dz + 4 * k, dz);
            _mm256_storeu_pd(b.d2 + 4 * k, d2);
            mask |= spread_lanes(static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(d2, c2, _CMP_LT_OQ))))
                    << k;
        }
        if (r.lanes - g < 4) mask &= (u64{1} << (16 * (r.lanes - g))) - 1;
        if (mask) emit(g, mask, b);
    }
}

/// Bit l set (l < n <= 64) unless every pair of the one-bin sweep with the
/// translations T = (x + lane[l]) + y misses: the bin's box relative to the atom,
/// [bl, bh], bounds p_j - p_i, and x in [xlo, xhi] the other terms. The rounded
/// sums are monotone, so the corners bound every rounded D, as in out_of_reach.
/// `lane` is padded to a multiple of four.
struct ReachTest {
    const double* lane[3];
    std::size_t n;
    double xlo[3], xhi[3], y[3];
    const double* bl;
    const double* bh;
    double cutoff2;
};

inline u64 reach_mask_scalar(const ReachTest& t) {
    u64 mask = 0;
    for (std::size_t l = 0; l < t.n; ++l) {
        double m[3];
        for (int x = 0; x < 3; ++x) {
            double lo = t.bl[x] + ((t.xlo[x] + t.lane[x][l]) + t.y[x]);
            double hi = t.bh[x] + ((t.xhi[x] + t.lane[x][l]) + t.y[x]);
            m[x] = (lo > 0.0 ? lo : 0.0) + (hi < 0.0 ? -hi : 0.0);
        }
        mask |= static_cast<u64>(!((m[0] * m[0] + m[1] * m[1]) + m[2] * m[2] >= t.cutoff2)) << l;
    }
    return mask;
}

__attribute__((target("avx2"))) inline u64 reach_mask_avx2(const ReachTest& t) {
    const __m256d zero = _mm256_setzero_pd(), c2 = _mm256_set1_pd(t.cutoff2);
    u64 mask = 0;
    for (std::size_t g = 0; g < t.n; g += 4) {
        __m256d m[3];
        for (int x = 0; x < 3; ++x) {
            const __m256d lane = _mm256_loadu_pd(t.lane[x] + g), y = _mm256_set1_pd(t.y[x]);
            __m256d lo = _mm256_add_pd(_mm256_add_pd(_mm256_set1_pd(t.xlo[x]), lane), y);
            __m256d hi = _mm256_add_pd(_mm256_add_pd(_mm256_set1_pd(t.xhi[x]), lane), y);
            lo = _mm256_add_pd(_mm256_set1_pd(t.bl[x]), lo);
            hi = _mm256_add_pd(_mm256_set1_pd(t.bh[x]), hi);
            // max(v, 0) is 0 for NaN as well, as the scalar selects are.
            m[x] = _mm256_add_pd(_mm256_max_pd(lo, zero), _mm256_max_pd(_mm256_sub_pd(zero, hi), zero));
        }
        __m256d r2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m[0], m[0]), _mm256_mul_pd(m[1], m[1])),
                                   _mm256_mul_pd(m[2], m[2]));
        mask |= static_cast<u64>(_mm256_movemask_pd(_mm256_cmp_pd(r2, c2, _CMP_NGE_UQ))) << g;
    }
    return t.n < 64 ? mask & ((u64{1} << t.n) - 1) : mask;
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

/// The item of one bin on its own.
Item item_of(const Bins::Slot& slot);

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
    /// Room for a guess of the row count, if memory holds it; else none yet.
    void reserve_guess(u64 rows) {
        if (rows > cap_) try_grow(rows);
    }
    const RowCursor& cursor() const noexcept { return cursor_; }
    u64 max_rows() const noexcept { return max_rows_; }
    u64 capacity() const noexcept { return cap_; }
    /// The first `rows` rows, each buffer sized exactly.
    PairList finish(u64 rows) &&;

private:
    void grow(u64 need);
    bool try_grow(u64 rows);
    /// f(buffer, values per row) for each of the five buffers.
    template <class F>
    void each_buffer(F&& f) {
        f(i_, 1);
        f(j_, 1);
        f(d_, 1);
        f(D_, 3);
        f(S_, 3);
    }

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

    /// The whole offset box lo..hi of the current atom when the grid is one bin
    /// and `it` is all of it: at most kSweepAtoms atoms with the atom's own
    /// shift, so that S = q = o and T = (o0·c0 + o1·c1) + o2·c2 is built from
    /// per-axis terms. Planes, rows and blocks of offsets whose translations all
    /// keep the bin's box out of reach are skipped.
    void sweep_atom(const Item& it, const i64 lo[3], const i64 hi[3]) {
        const std::size_t m = it.end - it.start;
        const double* col[3] = {bins_.x, bins_.y, bins_.z};
        double dp[3][kSweepAtoms], bl[3], bh[3];
        for (int x = 0; x < 3; ++x) {
            for (std::size_t k = 0; k < m; ++k) dp[x][k] = col[x][it.start + k] - v_.pi[x];
            bl[x] = it.lo[x] - v_.pi[x];
            bh[x] = it.hi[x] - v_.pi[x];
        }
        // Each term is monotone in its offset, so its extremes over a range are at the ends.
        double tlo[3][3], thi[3][3];
        u64 width[3];
        bool fits = true;
        for (int k = 0; k < 3; ++k) {
            for (int x = 0; x < 3; ++x) {
                double u = term(k, lo[k], x), v = term(k, hi[k], x);
                tlo[k][x] = u < v ? u : v;
                thi[k][x] = u < v ? v : u;
            }
            width[k] = static_cast<u64>(hi[k]) - static_cast<u64>(lo[k]) + 1;
            fits = fits && width[k] <= kLanes;
        }
        const std::size_t self_entry = pos_i_ - it.start;
        SweepRow r{{lanes_[0][0], lanes_[0][1], lanes_[0][2]}, 0, ~u64{0}, {}, {},
                   {dp[0], dp[1], dp[2]}, m, v_.cutoff2};
        if (!fits) {
            sweep_atom_wide(r, it, lo, hi, width, tlo, thi, bl, bh);
            return;
        }
        for (int k = 0; k < 3; ++k) fill_lanes(k, lo[k], width[k]);
        r.lanes = width[0];
        ReachTest t{{lanes_[2][0], lanes_[2][1], lanes_[2][2]}, width[2], {}, {}, {}, bl, bh, v_.cutoff2};
        for (int x = 0; x < 3; ++x) {
            t.xlo[x] = tlo[0][x] + tlo[1][x];
            t.xhi[x] = thi[0][x] + thi[1][x];
            t.y[x] = 0.0;
        }
        u64 planes = reach_mask(t);
        add_work(width[2]);
        while (planes) {
            const unsigned p = static_cast<unsigned>(__builtin_ctzll(planes));
            planes &= planes - 1;
            const i64 o2 = static_cast<i64>(static_cast<u64>(lo[2]) + p);
            t = ReachTest{{lanes_[1][0], lanes_[1][1], lanes_[1][2]}, width[1], {}, {}, {}, bl, bh, v_.cutoff2};
            for (int x = 0; x < 3; ++x) {
                r.a2[x] = lanes_[2][x][p];
                t.xlo[x] = tlo[0][x];
                t.xhi[x] = thi[0][x];
                t.y[x] = r.a2[x];
            }
            u64 rows = reach_mask(t);
            add_work(width[1]);
            while (rows) {
                const unsigned q = static_cast<unsigned>(__builtin_ctzll(rows));
                rows &= rows - 1;
                const i64 o1 = static_cast<i64>(static_cast<u64>(lo[1]) + q);
                for (int x = 0; x < 3; ++x) r.a1[x] = lanes_[1][x][q];
                if (m >= kTrimEntries) {
                    // Enough entries per offset that testing the box per offset pays.
                    ReachTest u{{lanes_[0][0], lanes_[0][1], lanes_[0][2]}, width[0],
                                {r.a1[0], r.a1[1], r.a1[2]}, {r.a1[0], r.a1[1], r.a1[2]},
                                {r.a2[0], r.a2[1], r.a2[2]}, bl, bh, v_.cutoff2};
                    r.live = reach_mask(u);
                }
                sweep_lanes(r, it, lo[0], o1, o2, self_row(o1, o2) ? self_entry : kNoEntry);
                add_work(width[0] * (m + 1));
            }
        }
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
    /// The most atoms a one-bin grid may hold for sweep_atom().
    static constexpr std::size_t kSweepAtoms = 16;

private:
    static constexpr u64 kPollEvery = u64{1} << 20;
    static constexpr u64 kLanes = 64;  // offsets per axis whose terms are kept at once
    static constexpr std::size_t kTrimEntries = 4;
    static constexpr std::size_t kNoEntry = ~std::size_t{0};

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

    /// Whether the bin's box, relative to the atom [bl, bh], stays out of reach for
    /// every T = (t0 + t1) + a2 with t0, t1 in the given ranges: the rounded sums
    /// are monotone, so the corners bound every rounded D.
    bool box_out_of_reach(const double t0lo[3], const double t0hi[3], const double t1lo[3],
                          const double t1hi[3], const double a2[3], const double bl[3],
                          const double bh[3]) const {
        double m[3];
        for (int x = 0; x < 3; ++x) {
            double lo = bl[x] + ((t0lo[x] + t1lo[x]) + a2[x]);
            double hi = bh[x] + ((t0hi[x] + t1hi[x]) + a2[x]);
            m[x] = (lo > 0.0 ? lo : 0.0) + (hi < 0.0 ? -hi : 0.0);
        }
        return (m[0] * m[0] + m[1] * m[1]) + m[2] * m[2] >= v_.cutoff2;
    }

    double term(int k, i64 o, int x) const { return static_cast<double>(o) * setup_.cell[k][x]; }
    bool self_row(i64 o1, i64 o2) const { return !setup_.self_interaction && o1 == 0 && o2 == 0; }
    u64 reach_mask(const ReachTest& t) const { return avx2_ ? reach_mask_avx2(t) : reach_mask_scalar(t); }

    /// lanes_[k] = o·c[k] for o = first .. first + len - 1 (len <= kLanes), zero
    /// up to the next multiple of four.
    void fill_lanes(int k, i64 first, u64 len) {
        for (u64 l = 0; l < len; ++l) {
            i64 o = static_cast<i64>(static_cast<u64>(first) + l);
            for (int x = 0; x < 3; ++x) lanes_[k][x][l] = term(k, o, x);
        }
        for (u64 l = len; l % 4 != 0; ++l)
            for (int x = 0; x < 3; ++x) lanes_[k][x][l] = 0.0;
    }

    /// sweep_atom() when an offset range is wider than kLanes: plane by plane and
    /// row by row, each row in stretches of kLanes offsets.
    void sweep_atom_wide(SweepRow& r, const Item& it, const i64 lo[3], const i64 hi[3],
                         const u64 width[3], const double tlo[3][3], const double thi[3][3],
                         const double bl[3], const double bh[3]) {
        const std::size_t m = it.end - it.start;
        const std::size_t self_entry = pos_i_ - it.start;
        for (i64 o2 = lo[2];; ++o2) {
            for (int x = 0; x < 3; ++x) r.a2[x] = term(2, o2, x);
            if (!box_out_of_reach(tlo[0], thi[0], tlo[1], thi[1], r.a2, bl, bh)) {
                for (i64 o1 = lo[1];; ++o1) {
                    for (int x = 0; x < 3; ++x) r.a1[x] = term(1, o1, x);
                    for (u64 first = 0;; first += kLanes) {
                        u64 len = width[0] - first < kLanes ? width[0] - first : kLanes;
                        i64 o0 = static_cast<i64>(static_cast<u64>(lo[0]) + first);
                        i64 o0_last = static_cast<i64>(static_cast<u64>(o0) + (len - 1));
                        double slo[3], shi[3];
                        for (int x = 0; x < 3; ++x) {
                            double u = term(0, o0, x), v = term(0, o0_last, x);
                            slo[x] = u < v ? u : v;
                            shi[x] = u < v ? v : u;
                        }
                        if (!box_out_of_reach(slo, shi, r.a1, r.a1, r.a2, bl, bh)) {
                            fill_lanes(0, o0, len);
                            r.lanes = len;
                            sweep_lanes(r, it, o0, o1, o2, self_row(o1, o2) ? self_entry : kNoEntry);
                            add_work(len * (m + 1));
                        } else {
                            add_work(1);
                        }
                        if (width[0] - first <= kLanes) break;
                    }
                    if (o1 == hi[1]) break;
                }
            } else {
                add_work(1);
            }
            if (o2 == hi[2]) break;
        }
    }

    /// One row's lanes through the sweep kernel, writing its rows; lane l is the
    /// offset o0 + l. `self_entry` is the atom's own entry when this row holds
    /// S = 0 (and self pairs are not listed), else kNoEntry.
    void sweep_lanes(const SweepRow& r, const Item& it, i64 o0, i64 o1, i64 o2, std::size_t self_entry) {
        // The lane whose S is zero, when there is one in reach.
        u64 self_lane = self_entry == kNoEntry ? ~u64{0} : u64{0} - static_cast<u64>(o0);
        auto emit = [&](std::size_t g, u64 mask, const SweepBlock& b) {
            if (self_lane - g < 4) mask &= ~(u64{1} << (16 * (self_lane - g) + self_entry));
            if (!mask) return;
            sink_.reserve(out_ + 64);
            // Locals, so that the row count and cursors stay in registers.
            const RowCursor w = sink_.cursor();
            const i64 i = v_.i;
            const i64* idx = bins_.idx + it.start;
            const u64 s0 = static_cast<u64>(o0) + g;
            u64 n = out_, found = 0;
            while (mask) {
                const unsigned bit = static_cast<unsigned>(__builtin_ctzll(mask));
                mask &= mask - 1;
                const unsigned l = bit >> 4, k = bit & 15, at = 4 * k + l;
                const double d = _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(b.d2[at])));
                const i64 j = idx[k];
                if constexpr (!Keep::kAll) {
                    ++found;
                    if (!keep_(i, it.start + k, j, d)) continue;
                }
                w.i[n] = i;
                w.j[n] = j;
                w.d[n] = d;
                w.D[3 * n] = b.dx[at];
                w.D[3 * n + 1] = b.dy[at];
                w.D[3 * n + 2] = b.dz[at];
                w.S[3 * n] = static_cast<i64>(s0 + l);
                w.S[3 * n + 1] = o1;
                w.S[3 * n + 2] = o2;
                ++n;
            }
            out_ = n;
            search_rows_ += found;
        };
        if (avx2_) sweep_lanes_avx2(r, emit);
        else sweep_lanes_scalar(r, emit);
        if (search_rows() > sink_.max_rows()) throw std::bad_alloc();
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
    double lanes_[3][3][kLanes];  // sweep_atom(): o·c[k] per axis k, coordinate, offset
};

}  // namespace kestrix::vicinal::detail
