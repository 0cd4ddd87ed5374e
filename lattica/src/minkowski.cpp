#include "minkowski.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include "kestrix/panic.hpp"
#include "kestrix/saturate.hpp"

namespace kestrix::lattica {
namespace {

// Integer coefficients live in uint64_t: the wrapping arithmetic that the
// operation matrix needs is undefined behaviour on int64_t.
using Row = std::array<std::uint64_t, 3>;
using Basis = std::array<std::array<double, 3>, 3>;

struct Vec3 {
    double x, y, z;
};
struct Vec2 {
    double x, y;
};

/// One candidate shift: its projected vector and its coefficient pair.
struct Candidate {
    Vec2 z;
    std::uint64_t c0, c1;
};
using Candidates = std::array<Candidate, 7>;

/// The nearest double to a coefficient taken as signed.
double as_double(std::uint64_t v) noexcept { return static_cast<double>(static_cast<std::int64_t>(v)); }

/// round() of a double to the nearest integer, halfway cases away from zero,
/// saturated to the int64 range (NaN gives 0), as its two's complement bits.
std::uint64_t round_to_integer(double v) noexcept {
    return static_cast<std::uint64_t>(saturating_i64(std::round(v)));
}

/// h . B summed from +0.0, so no component is ever -0.0.
Vec3 row_product(const Row& h, const Basis& b) noexcept {
    double h0 = as_double(h[0]), h1 = as_double(h[1]), h2 = as_double(h[2]);
    return {((0.0 + h0 * b[0][0]) + h1 * b[1][0]) + h2 * b[2][0],
            ((0.0 + h0 * b[0][1]) + h1 * b[1][1]) + h2 * b[2][1],
            ((0.0 + h0 * b[0][2]) + h1 * b[1][2]) + h2 * b[2][2]};
}

/// h . B summed from the first term, as the Gauss step forms it.
Vec3 gauss_product(const Row& h, const Basis& b) noexcept {
    double h0 = as_double(h[0]), h1 = as_double(h[1]), h2 = as_double(h[2]);
    return {(h0 * b[0][0] + h1 * b[1][0]) + h2 * b[2][0],
            (h0 * b[0][1] + h1 * b[1][1]) + h2 * b[2][1],
            (h0 * b[0][2] + h1 * b[1][2]) + h2 * b[2][2]};
}

double dot(const Vec3& a, const Vec3& b) noexcept { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
double dot(const Vec2& a, const Vec2& b) noexcept { return a.x * b.x + a.y * b.y; }
double norm(const Vec3& a) noexcept { return std::sqrt(dot(a, a)); }
Vec3 divided(const Vec3& a, double d) noexcept { return {a.x / d, a.y / d, a.z / d}; }

/// A ring of the most recent integer tuples seen, for spotting cycles.
/// Only written slots are scanned and stored: an unwritten slot would hold
/// zeros, which no recorded tuple equals (no row of H is ever all zeros), so
/// the answers are those of a zero-filled ring without its clear and scans.
template <std::size_t Width, std::size_t Capacity>
class SiteHistory {
public:
    using Site = std::array<std::uint64_t, Width>;

    bool contains(const Site& site) const noexcept {
        for (const Site& s : slots_)
            if (s == site) return true;
        return false;
    }
    void record(const Site& site) {
        if (slots_.size() < Capacity) {
            slots_.push_back(site);
        } else {
            slots_[next_] = site;
        }
        next_ = next_ + 1 == Capacity ? 0 : next_ + 1;
    }

private:
    std::vector<Site> slots_;
    std::size_t next_ = 0;
};

using GaussHistory = SiteHistory<6, GAUSS_HISTORY_LEN>;  // (hu, hv)
using FullHistory = SiteHistory<9, FULL_HISTORY_LEN>;    // H, row-major

/// The two-dimensional Gauss reduction of the pair (hu, hv) = (H0, H1);
/// returns the new (H0, H1).
std::pair<Row, Row> gauss_reduce_pair(Row hu, Row hv, const Basis& b) {
    GaussHistory history;
    for (std::uint64_t k = 0; k != ITERATION_LIMIT;) {
        Vec3 u = gauss_product(hu, b), v = gauss_product(hv, b);
        double uu = dot(u, u);
        std::uint64_t x = round_to_integer(dot(u, v) / uu);
        Row w{hv[0] - x * hu[0], hv[1] - x * hu[1], hv[2] - x * hu[2]};
        hv = hu;
        hu = w;
        Vec3 wb = gauss_product(hu, b);
        if (dot(wb, wb) >= uu) break;  // a NaN on either side carries on
        ++k;
        // Only NaN values can bring a pair back: finite lengths strictly decrease.
        GaussHistory::Site site{hu[0], hu[1], hu[2], hv[0], hv[1], hv[2]};
        bool seen = history.contains(site);
        history.record(site);
        if (seen) break;
    }
    return {hv, hu};
}

/// The nine shifts c0.pu + c1.pv, ordered by squared length with a stable
/// insertion sort; the seven shortest.
Candidates candidate_shifts(const Vec2& pu, const Vec2& pv) {
    static constexpr int kPairs[9][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 0},
                                         {0, 1},   {1, -1}, {1, 0},  {1, 1}};
    std::array<Candidate, 9> all;
    std::array<double, 9> key;
    for (int i = 0; i < 9; ++i) {
        double c0 = kPairs[i][0], c1 = kPairs[i][1];
        // Zero coefficients are multiplied too: 0 * inf must give NaN here.
        Vec2 z{c0 * pu.x + c1 * pv.x, c0 * pu.y + c1 * pv.y};
        all[i] = {z, static_cast<std::uint64_t>(static_cast<std::int64_t>(kPairs[i][0])),
                  static_cast<std::uint64_t>(static_cast<std::int64_t>(kPairs[i][1]))};
        key[i] = z.x * z.x + z.y * z.y;
    }
    for (int i = 1; i < 9; ++i) {
        for (int j = i; j > 0; --j) {
            if (std::isnan(key[j - 1]) || std::isnan(key[j]))
                panic("an expected value was missing: two candidate keys have no order");
            if (!(key[j - 1] > key[j])) break;
            std::swap(key[j - 1], key[j]);
            std::swap(all[j - 1], all[j]);
        }
    }
    Candidates best;
    for (int i = 0; i < 7; ++i) best[i] = all[i];
    return best;
}

/// The integer pair (a0, a1) found by the greedy search that moves
/// pw + a0.pu + a1.pv towards the origin.
std::array<std::uint64_t, 2> closest_lattice_shift(const Vec2& pu, const Vec2& pv,
                                                   const Vec2& pw, const Candidates& cs) noexcept {
    std::uint64_t a0 = 0, a1 = 0;
    Vec2 t = pw;
    double d_prev = std::numeric_limits<double>::infinity();
    for (std::uint64_t updates = 0;;) {
        std::array<double, 7> d;
        for (int k = 0; k < 7; ++k) {
            Vec2 s{cs[k].z.x + t.x, cs[k].z.y + t.y};
            d[k] = std::sqrt(dot(s, s));
        }
        // Lowest index wins a tie; a NaN distance never wins.
        int idx = 0;
        double m = std::isnan(d[0]) ? std::numeric_limits<double>::infinity() : d[0];
        for (int k = 1; k < 7; ++k) {
            if (m > d[k]) {
                idx = k;
                m = d[k];
            }
        }
        if (idx == 0 || m >= d_prev) break;
        d_prev = m;
        const Vec2& r = cs[idx].z;
        std::uint64_t k_opt = round_to_integer(-dot(t, r) / dot(r, r));
        a0 += k_opt * cs[idx].c0;
        a1 += k_opt * cs[idx].c1;
        // Recomputed from the integers each time, never updated incrementally.
        double f0 = as_double(a0), f1 = as_double(a1);
        t = {(pw.x + f0 * pu.x) + f1 * pv.x, (pw.y + f0 * pu.y) + f1 * pv.y};
        if (++updates == ITERATION_LIMIT) break;
    }
    return {a0, a1};
}

}  // namespace

Reduction minkowski_reduce(const Strided2D<double>& cell) {
    Basis b;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) b[i][j] = cell.at(i, j);

    std::array<Row, 3> h{Row{1, 0, 0}, Row{0, 1, 0}, Row{0, 0, 1}};
    std::array<double, 3> n;
    for (int i = 0; i < 3; ++i) n[i] = norm(Vec3{b[i][0], b[i][1], b[i][2]});

    FullHistory full;
    Vec3 r0, r1, r2;
    for (std::uint64_t count = 0;;) {
        // Stable ascending order of the rows by norm; NaN compares false and
        // so keeps the current order.
        int f = 0, s = 1;
        if (n[0] > n[1]) f = 1, s = 0;
        std::array<int, 3> order;
        if (n[s] > n[2]) {
            order = n[f] > n[2] ? std::array<int, 3>{2, f, s} : std::array<int, 3>{f, 2, s};
        } else {
            order = {f, s, 2};
        }
        h = {h[order[0]], h[order[1]], h[order[2]]};
        ++count;

        std::tie(h[0], h[1]) = gauss_reduce_pair(h[0], h[1], b);

        // Frame of the first two rows; a zero R0 or Y' makes everything NaN,
        // which the candidate ordering turns into an internal failure.
        r0 = row_product(h[0], b);
        r1 = row_product(h[1], b);
        double n0 = norm(r0);
        Vec3 x = divided(r0, n0);
        double q = dot(r1, x);
        Vec3 yp{r1.x - q * x.x, r1.y - q * x.y, r1.z - q * x.z};
        Vec3 y = divided(yp, norm(yp));
        Vec2 pu{dot(r0, x), dot(r0, y)};
        Vec2 pv{q, dot(r1, y)};
        r2 = row_product(h[2], b);
        Vec2 pw{dot(r2, x), dot(r2, y)};

        auto [a0, a1] = closest_lattice_shift(pu, pv, pw, candidate_shifts(pu, pv));
        for (int j = 0; j < 3; ++j) h[2][j] = h[2][j] + a0 * h[0][j] + a1 * h[1][j];
        r2 = row_product(h[2], b);
        n = {n0, norm(r1), norm(r2)};

        if (n[2] >= n[1]) break;
        FullHistory::Site site;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) site[3 * i + j] = h[i][j];
        if (full.contains(site)) break;
        full.record(site);
        if (count == ITERATION_LIMIT) break;
    }

    Reduction out{OwnedBuffer<double>::uninitialised(9),
                  OwnedBuffer<std::int64_t>::uninitialised(9)};
    const std::array<Vec3, 3> rows{r0, r1, r2};
    for (int i = 0; i < 3; ++i) {
        out.rcell[3 * i + 0] = rows[i].x;
        out.rcell[3 * i + 1] = rows[i].y;
        out.rcell[3 * i + 2] = rows[i].z;
        for (int j = 0; j < 3; ++j) out.op[3 * i + j] = static_cast<std::int64_t>(h[i][j]);
    }
    return out;
}

}  // namespace kestrix::lattica
