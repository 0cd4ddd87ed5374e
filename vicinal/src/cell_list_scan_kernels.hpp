#pragma once
// The candidate tests of the scan, in their scalar form, and what they share
// with their AVX2 twins in cell_list_scan_avx2.hpp. A kernel set is a struct of
// static functions (emit, chunk_mask, sweep_lanes, reach_mask); the scanner
// takes one as a template argument, chosen once per search.
//
// Vocabulary: an entry is an atom's place in the bin arrays; a Slot is a
// non-empty bin there, cut into Chunks of up to 16 entries with their boxes; an
// Item is a stretch of entries tested together, and a Plan one offset row of a
// centre bin with its items. A Visit is one centre atom against entries with
// one shift S, T = S·cell. In the one-bin sweep a Lane is one offset along
// axis 0, four lanes per vector.
//
// Every test computes D and d2 with the same rounded operations in the same
// order in both forms, so both give the same rows to the bit.

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "cell_list_scan.hpp"

namespace kestrix::vicinal::detail {

/// The state of one neighbour-bin visit as the candidate kernels see it.
struct Visit {
    i64 atom;               // i
    double centre[3];       // p_i
    double translation[3];  // T
    i64 shift[3];           // S
    bool skip_self;         // S = 0 and self pairs are not listed
    double cutoff2;
};

/// Whether a candidate the search found becomes a row: counted in `searched`
/// and put to the policy, unless the policy keeps every row.
template <class Keep>
[[gnu::always_inline]] inline bool keeps(Keep& keep, u64& searched, i64 i, std::size_t entry, i64 j,
                                         double d) {
    if constexpr (Keep::kAll) {
        return true;
    } else {
        ++searched;
        return keep(i, entry, j, d);
    }
}

/// Whether no candidate in the box [lo_box, hi_box], seen from `centre` with a
/// translation in [tlo, thi], can pass, exactly: each rounded operation is
/// monotone, so the box corners bound every rounded D.
inline bool out_of_reach(const double lo_box[3], const double hi_box[3], const double centre[3],
                         const double tlo[3], const double thi[3], double cutoff2) {
    double m[3];
    for (int x = 0; x < 3; ++x) {
        double lo = (lo_box[x] - centre[x]) + tlo[x];
        double hi = (hi_box[x] - centre[x]) + thi[x];
        // lo <= hi, so at most one term is non-zero; both select without branches.
        m[x] = (lo > 0.0 ? lo : 0.0) + (hi < 0.0 ? -hi : 0.0);
    }
    return (m[0] * m[0] + m[1] * m[1]) + m[2] * m[2] >= cutoff2;
}

/// The one-bin sweep: a stretch of offsets o0 (lanes) of one (o1, o2) row, with
/// T = (lane_terms[l] + row_term) + plane_term per coordinate, against the
/// entries (at most 16) of the bin, D = entry_delta[k] + T. Lanes are taken four
/// at a time; a block holds entry k of lane l at [4·k + l], and its mask bit
/// 16·l + k is set when the pair passes, so that the bits come out in the
/// search's order: by offset, then by entry.
struct SweepRow {
    const double* lane_terms[3];  // o0·c0 per lane, padded to a multiple of four
    std::size_t lanes;            // at most 64
    u64 live;                     // lanes that may pass: blocks of four without one are skipped
    double row_term[3];           // o1·c1
    double plane_term[3];         // o2·c2
    const double* entry_delta[3];  // per entry: p_j - p_i
    std::size_t entries;
    double cutoff2;
};

struct SweepBlock {
    double dx[64], dy[64], dz[64], d2[64];
};

/// Bit l set (l < lanes <= 64) unless every pair of the one-bin sweep with the
/// translations T = (inner + lane[l]) + outer misses: the bin's box relative to
/// the atom, [box_lo, box_hi], bounds p_j - p_i, and inner in [inner_lo,
/// inner_hi] the other terms. The rounded sums are monotone, so the corners
/// bound every rounded D, as in out_of_reach. `lane` is padded to a multiple of four.
struct ReachTest {
    const double* lane[3];
    std::size_t lanes;
    double inner_lo[3], inner_hi[3], outer[3];
    const double* box_lo;
    const double* box_hi;
    double cutoff2;
};

struct ScalarKernels {
    /// Tests the entries [start, start + count) of the bin arrays against one
    /// visit. Every passing entry but `skip` is a row of the search (counted in
    /// `searched` when a policy filters them); those that keep(i, entry, j, d)
    /// accepts are written at rows n, n + 1, ... Returns the next n.
    template <class Keep>
    static u64 emit(const Bins& b, std::size_t start, std::size_t count, const Visit& v, std::size_t skip,
                    const RowCursor& w, u64 n, Keep& keep, u64& searched) {
        const double *xs = b.x, *ys = b.y, *zs = b.z;
        const i64 i = v.atom, s0 = v.shift[0], s1 = v.shift[1], s2 = v.shift[2];
        for (std::size_t k = start; k < start + count; ++k) {
            double dx = (xs[k] - v.centre[0]) + v.translation[0];
            double dy = (ys[k] - v.centre[1]) + v.translation[1];
            double dz = (zs[k] - v.centre[2]) + v.translation[2];
            double d2 = (dx * dx + dy * dy) + dz * dz;
            if (!(d2 < v.cutoff2) || k == skip) continue;
            i64 j = b.idx[k];
            double d = std::sqrt(d2);
            if (!keeps(keep, searched, i, k, j, d)) continue;
            w.put(n++, i, j, d, dx, dy, dz, s0, s1, s2);
        }
        return n;
    }

    /// Bit k set when chunk first + k (k < len <= 64) may hold an entry that
    /// passes the visit.
    static u64 chunk_mask(const Bins& b, std::size_t first, std::size_t len, const Visit& v) {
        u64 mask = 0;
        for (std::size_t k = 0; k < len; ++k) {
            const Bins::Chunk& ch = b.chunk(first + k);
            mask |= static_cast<u64>(!out_of_reach(ch.lo, ch.hi, v.centre, v.translation, v.translation,
                                                   v.cutoff2))
                    << k;
        }
        return mask;
    }

    /// Calls emit(first lane, mask, block) for every block of four lanes with a passing pair.
    template <class Emit>
    static void sweep_lanes(const SweepRow& r, Emit& emit) {
        SweepBlock b;
        for (std::size_t g = 0; g < r.lanes; g += 4) {
            if (((r.live >> g) & 0xF) == 0) continue;
            double t[3][4];
            for (int x = 0; x < 3; ++x)
                for (int l = 0; l < 4; ++l) t[x][l] = (r.lane_terms[x][g + l] + r.row_term[x]) + r.plane_term[x];
            u64 mask = 0;
            for (std::size_t k = 0; k < r.entries; ++k)
                for (int l = 0; l < 4; ++l) {
                    double dx = r.entry_delta[0][k] + t[0][l], dy = r.entry_delta[1][k] + t[1][l],
                           dz = r.entry_delta[2][k] + t[2][l];
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

    static u64 reach_mask(const ReachTest& t) {
        u64 mask = 0;
        for (std::size_t l = 0; l < t.lanes; ++l) {
            double m[3];
            for (int x = 0; x < 3; ++x) {
                double lo = t.box_lo[x] + ((t.inner_lo[x] + t.lane[x][l]) + t.outer[x]);
                double hi = t.box_hi[x] + ((t.inner_hi[x] + t.lane[x][l]) + t.outer[x]);
                m[x] = (lo > 0.0 ? lo : 0.0) + (hi < 0.0 ? -hi : 0.0);
            }
            mask |= static_cast<u64>(!((m[0] * m[0] + m[1] * m[1]) + m[2] * m[2] >= t.cutoff2)) << l;
        }
        return mask;
    }
};

}  // namespace kestrix::vicinal::detail
