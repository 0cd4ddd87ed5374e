#pragma once
// The AVX2 kernel set: the candidate tests of cell_list_scan_kernels.hpp, four
// doubles per vector, giving the same rows to the bit (no FMA; the same
// rounded operations in the same order). Only this file uses AVX2 intrinsics,
// and only where the processor has them (see with_kernels).
//
// Vocabulary as in cell_list_scan_kernels.hpp: entries, Chunks, a Visit of one
// centre atom; in the one-bin sweep a Lane is one offset along axis 0.

#include <immintrin.h>

#include <cstddef>

#include "cell_list_scan_kernels.hpp"

namespace kestrix::vicinal::detail {

struct Avx2Kernels {
    /// ScalarKernels::emit in two steps per block of up to 64 entries: the
    /// vector tests leave D, d2 and a bit per passing entry, then the passing
    /// entries are taken bit by bit, so no branch depends on a single test.
    template <class Keep>
    __attribute__((target("avx2"))) static u64 emit(const Bins& b, std::size_t start, std::size_t count,
                                                     const Visit& v, std::size_t skip, const RowCursor& out,
                                                     u64 n, Keep& keep, u64& searched) {
        const double *xs = b.x, *ys = b.y, *zs = b.z;
        const i64* idx = b.idx;
        const RowCursor w = out;  // in registers, not reloaded per row
        const i64 i = v.atom, s0 = v.shift[0], s1 = v.shift[1], s2 = v.shift[2];
        const __m256d px = _mm256_set1_pd(v.centre[0]), py = _mm256_set1_pd(v.centre[1]),
                      pz = _mm256_set1_pd(v.centre[2]);
        const __m256d tx = _mm256_set1_pd(v.translation[0]), ty = _mm256_set1_pd(v.translation[1]),
                      tz = _mm256_set1_pd(v.translation[2]);
        const __m256d c2 = _mm256_set1_pd(v.cutoff2);
        alignas(32) double bx[64], by[64], bz[64], b2[64];
        for (std::size_t first = 0; first < count; first += 64) {
            const std::size_t len = count - first < 64 ? count - first : 64;
            const std::size_t at0 = start + first;
            u64 mask = 0;
            for (std::size_t k = 0; k < len; k += 4) {
                std::size_t at = at0 + k;
                __m256d dx = _mm256_add_pd(_mm256_sub_pd(_mm256_loadu_pd(xs + at), px), tx);
                __m256d dy = _mm256_add_pd(_mm256_sub_pd(_mm256_loadu_pd(ys + at), py), ty);
                __m256d dz = _mm256_add_pd(_mm256_sub_pd(_mm256_loadu_pd(zs + at), pz), tz);
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
                const i64 j = idx[at0 + k];
                const double d = _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(b2[k])));
                if (!keeps(keep, searched, i, at0 + k, j, d)) continue;
                w.put(n++, i, j, d, bx[k], by[k], bz[k], s0, s1, s2);
            }
        }
        return n;
    }

    /// ScalarKernels::chunk_mask four chunks at a time, from the box columns.
    __attribute__((target("avx2"))) static u64 chunk_mask(const Bins& b, std::size_t first, std::size_t len,
                                                           const Visit& v) {
        const __m256d zero = _mm256_setzero_pd(), c2 = _mm256_set1_pd(v.cutoff2);
        __m256d p[3], t[3];
        for (int x = 0; x < 3; ++x) {
            p[x] = _mm256_set1_pd(v.centre[x]);
            t[x] = _mm256_set1_pd(v.translation[x]);
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

    /// ScalarKernels::sweep_lanes, a block of four lanes per vector.
    template <class Emit>
    __attribute__((target("avx2"))) static void sweep_lanes(const SweepRow& r, Emit& emit) {
        const __m256d c2 = _mm256_set1_pd(r.cutoff2);
        const __m256d a1x = _mm256_set1_pd(r.row_term[0]), a1y = _mm256_set1_pd(r.row_term[1]),
                      a1z = _mm256_set1_pd(r.row_term[2]);
        const __m256d a2x = _mm256_set1_pd(r.plane_term[0]), a2y = _mm256_set1_pd(r.plane_term[1]),
                      a2z = _mm256_set1_pd(r.plane_term[2]);
        SweepBlock b;
        for (std::size_t g = 0; g < r.lanes; g += 4) {
            if (((r.live >> g) & 0xF) == 0) continue;
            const __m256d tx = _mm256_add_pd(_mm256_add_pd(_mm256_loadu_pd(r.lane_terms[0] + g), a1x), a2x);
            const __m256d ty = _mm256_add_pd(_mm256_add_pd(_mm256_loadu_pd(r.lane_terms[1] + g), a1y), a2y);
            const __m256d tz = _mm256_add_pd(_mm256_add_pd(_mm256_loadu_pd(r.lane_terms[2] + g), a1z), a2z);
            u64 mask = 0;
            for (std::size_t k = 0; k < r.entries; ++k) {
                __m256d dx = _mm256_add_pd(_mm256_set1_pd(r.entry_delta[0][k]), tx);
                __m256d dy = _mm256_add_pd(_mm256_set1_pd(r.entry_delta[1][k]), ty);
                __m256d dz = _mm256_add_pd(_mm256_set1_pd(r.entry_delta[2][k]), tz);
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

    /// ScalarKernels::reach_mask, four lanes per vector.
    __attribute__((target("avx2"))) static u64 reach_mask(const ReachTest& t) {
        const __m256d zero = _mm256_setzero_pd(), c2 = _mm256_set1_pd(t.cutoff2);
        u64 mask = 0;
        for (std::size_t g = 0; g < t.lanes; g += 4) {
            __m256d m[3];
            for (int x = 0; x < 3; ++x) {
                const __m256d lane = _mm256_loadu_pd(t.lane[x] + g), outer = _mm256_set1_pd(t.outer[x]);
                __m256d lo = _mm256_add_pd(_mm256_add_pd(_mm256_set1_pd(t.inner_lo[x]), lane), outer);
                __m256d hi = _mm256_add_pd(_mm256_add_pd(_mm256_set1_pd(t.inner_hi[x]), lane), outer);
                lo = _mm256_add_pd(_mm256_set1_pd(t.box_lo[x]), lo);
                hi = _mm256_add_pd(_mm256_set1_pd(t.box_hi[x]), hi);
                // max(v, 0) is 0 for NaN as well, as the scalar selects are.
                m[x] = _mm256_add_pd(_mm256_max_pd(lo, zero), _mm256_max_pd(_mm256_sub_pd(zero, hi), zero));
            }
            __m256d r2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m[0], m[0]), _mm256_mul_pd(m[1], m[1])),
                                       _mm256_mul_pd(m[2], m[2]));
            mask |= static_cast<u64>(_mm256_movemask_pd(_mm256_cmp_pd(r2, c2, _CMP_NGE_UQ))) << g;
        }
        return t.lanes < 64 ? mask & ((u64{1} << t.lanes) - 1) : mask;
    }

private:
    /// Bits 0..3 of b moved to bits 0, 16, 32 and 48.
    static u64 spread_lanes(unsigned b) {
        return (u64{b} & 1) | (u64{b} & 2) << 15 | (u64{b} & 4) << 30 | (u64{b} & 8) << 45;
    }
};

}  // namespace kestrix::vicinal::detail
