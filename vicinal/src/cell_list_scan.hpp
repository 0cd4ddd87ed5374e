#pragma once
// The data the scan works on: the search's scratch memory, atoms grouped by bin,
// the items the scan visits, and the growing row lists. Private to cell_list*.cpp;
// the scan itself is in cell_list_scan_*.hpp, compiled in cell_list_scan_pass.cpp.
//
// Rows are written straight into the result buffers in their final order: the
// caller walks atoms in index order, and for each atom its offsets in (dz, dy, dx)
// order, so no sort is needed. A neighbour bin's atoms are kept in ascending
// index as structure-of-arrays, and cut into chunks of consecutive atoms whose
// bounding boxes let a whole chunk be skipped.

#include <algorithm>
#include <array>
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

/// Local, non-aliasing cursors into the five result buffers.
struct RowCursor {
    i64* __restrict first;      // i
    i64* __restrict second;     // j
    double* __restrict length;  // d
    double* __restrict vector;  // D, 3 per row
    i64* __restrict shift;      // S, 3 per row

    /// Writes row n: the pair (i, j) at distance d, D = (dx, dy, dz), S = (s0, s1, s2).
    [[gnu::always_inline]] void put(u64 n, i64 i, i64 j, double d, double dx, double dy, double dz,
                                    i64 s0, i64 s1, i64 s2) const {
        first[n] = i;
        second[n] = j;
        length[n] = d;
        vector[3 * n] = dx;
        vector[3 * n + 1] = dy;
        vector[3 * n + 2] = dz;
        shift[3 * n] = s0;
        shift[3 * n + 1] = s1;
        shift[3 * n + 2] = s2;
    }
};

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
        f(first_, 1);
        f(second_, 1);
        f(length_, 1);
        f(vector_, 3);
        f(shift_, 3);
    }

    u64 max_rows_;
    u64 cap_ = 0;
    OwnedBuffer<i64> first_, second_, shift_;  // i, j, S
    OwnedBuffer<double> length_, vector_;      // d, D
    RowCursor cursor_{};
};

}  // namespace kestrix::vicinal::detail
