// The sound bounds of the search: ShiftWindow's quotient windows, the rows
// every atom has with its own images, and the test for shifts beyond int64.

#include "cell_list_bounds.hpp"
#include "kestrix/vec3.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

// Notation: u = 2^-53 is the unit roundoff. The search computes a row's vector as
//   T_x = (S0·cell[0][x] + S1·cell[1][x]) + S2·cell[2][x],  D_x = (p_j,x - p_i,x) + T_x,
// each operation rounded. Every bound below is the exact-arithmetic bound widened
// by generous multiples of u (kEps ≈ 9u covers the four roundings of T with S
// converted to double) and by an absolute kTiny for underflow; quantities that
// are themselves computed in floating point are widened by kUp.

namespace kestrix::vicinal::detail {
namespace {

constexpr double kEps = 1e-15;
constexpr double kTiny = 1e-300;
constexpr double kUp = 1.0 + 1e-12;

}  // namespace

// Why the window holds. Let P be the periodic axes, M their rows, Y (3 x |P|) with
// M·Y ≈ I and E = I - M·Y (bounded rigorously below). A row has S = 0 on open
// axes and its computed |D| < Rb, since its computed d2 is below cutoff². With
// Δ = fl(p_j - p_i) and z = Δ·Y, the identity S = (Δ + S·M)·Y - z + S·E gives
//   |S_k + z_k| <= β_k + Σ_m |S_m| G_mk,   β_k ≈ Rb·|Y_k|,  G_mk = kEps·(|M|·|Y|)_mk + |E_mk|,
// where |Δ + S·M| differs from |D| only by the rounding of T and of the last sum.
// With |z| <= Z (the atoms' bounding box) and g = max column sum of G < 1/2 this
// closes into |S_k + z_k| <= ρ_k. Since q = S - shift_i + shift_j, q lies within
// ρ_k (plus rounding of z) of ζ_j - ζ_i with ζ_a = shift_a - p_a·Y_k.
bool ShiftWindow::prepare(const Cell& cell, const std::array<bool, 3>& pbc, double cutoff,
                          const double* p, const std::int64_t* shift,
                          const std::uint8_t* finite_atom, std::size_t n_atoms,
                          const std::array<bool, 3>& axes) {
    usable_ = false;
    axes_ = axes;
    int periodic[3];
    int k = 0;
    for (int m = 0; m < 3; ++m)
        if (pbc[m]) periodic[k++] = m;
    if (k == 0 || !(cutoff >= 0.0) || !std::isfinite(cutoff)) return false;

    std::array<Vec, 3> rows;
    for (int l = 0; l < k; ++l) rows[l] = cell[periodic[l]];
    std::array<Vec, 3> ycol{};
    if (k == 1) {
        ycol[0] = scaled(rows[0], 1.0 / dot(rows[0], rows[0]));
    } else if (k == 2) {
        Vec nrm = cross(rows[0], rows[1]);
        double inv = 1.0 / dot(nrm, nrm);
        ycol[0] = scaled(cross(rows[1], nrm), inv);
        ycol[1] = scaled(cross(nrm, rows[0]), inv);
    } else {
        double inv = 1.0 / dot(rows[0], cross(rows[1], rows[2]));
        ycol[0] = scaled(cross(rows[1], rows[2]), inv);
        ycol[1] = scaled(cross(rows[2], rows[0]), inv);
        ycol[2] = scaled(cross(rows[0], rows[1]), inv);
    }
    for (int l = 0; l < k; ++l)
        if (!finite(ycol[l]) || !finite(rows[l])) return false;

    double g[3] = {0, 0, 0}, ny2[3], ny1[3];
    double gmax = 0.0, ny2max = 0.0;
    for (int l = 0; l < k; ++l) {
        const Vec& y = ycol[l];
        for (int m = 0; m < k; ++m) {
            const Vec& row = rows[m];
            double my = ((std::fabs(row[0]) * std::fabs(y[0]) + std::fabs(row[1]) * std::fabs(y[1])) +
                         std::fabs(row[2]) * std::fabs(y[2])) * kUp;
            double e = (m == l ? 1.0 : 0.0) - dot(row, y);
            double ebar = (std::fabs(e) + kEps * (1.0 + my)) * kUp + kTiny;
            g[l] += (kEps * my + ebar) * kUp;
        }
        g[l] *= kUp;
        ny2[l] = std::sqrt(dot(y, y)) * kUp;
        ny1[l] = (std::fabs(y[0]) + std::fabs(y[1]) + std::fabs(y[2])) * kUp;
        gmax = std::max(gmax, g[l]);
        ny2max = std::max(ny2max, ny2[l]);
    }
    if (!(gmax <= 0.5)) return false;

    double lo[3], hi[3];
    bool any = false;
    for (int x = 0; x < 3; ++x) {
        lo[x] = std::numeric_limits<double>::infinity();
        hi[x] = -lo[x];
    }
    for (std::size_t a = 0; a < n_atoms; ++a) {
        if (!finite_atom[a]) continue;
        any = true;
        for (int x = 0; x < 3; ++x) {
            lo[x] = std::min(lo[x], p[3 * a + x]);
            hi[x] = std::max(hi[x], p[3 * a + x]);
        }
    }
    if (!any) return false;
    double diag2 = 0.0;
    for (int x = 0; x < 3; ++x) {
        double ext = (hi[x] - lo[x]) * kUp;
        diag2 += ext * ext;
    }
    double diag = std::sqrt(diag2) * kUp;
    double rb = cutoff * (1.0 + 1e-10) + 1e-150;
    double z = (1.0 + kEps) * diag * ny2max * kUp;
    double beta[3], beta_max = 0.0;
    for (int l = 0; l < k; ++l) {
        beta[l] = ((1.0 + kEps) * rb * ny2[l] + kTiny * ny1[l]) * kUp;
        beta_max = std::max(beta_max, beta[l]);
    }
    double w = ((beta_max + z * gmax) / (1.0 - gmax)) * kUp;
    for (int l = 0; l < k; ++l) {
        int m = periodic[l];
        y_cols_[m] = ycol[l];
        rho_[m] = (beta[l] + (w + z) * g[l]) * kUp + kEps * z;
        if (!std::isfinite(rho_[m])) return false;
    }

    for (int m = 0; m < 3; ++m) {
        if (!axes_[m]) continue;
        if (!pbc[m]) return false;
        double zmin = std::numeric_limits<double>::infinity(), zmax = -zmin;
        for (std::size_t a = 0; a < n_atoms; ++a) {
            if (!finite_atom[a]) continue;
            double v, e;
            if (!zeta(p + 3 * a, shift + 3 * a, m, v, e)) return false;
            zmin = std::min(zmin, v - e);
            zmax = std::max(zmax, v + e);
        }
        zeta_min_[m] = zmin;
        zeta_max_[m] = zmax;
    }
    usable_ = true;
    return true;
}

bool ShiftWindow::zeta(const double* p_a, const std::int64_t* shift_a, int axis, double& value,
                       double& err) const noexcept {
    const Vec& y = y_cols_[axis];
    double phi = (p_a[0] * y[0] + p_a[1] * y[1]) + p_a[2] * y[2];
    double e = kEps * ((std::fabs(p_a[0]) * std::fabs(y[0]) + std::fabs(p_a[1]) * std::fabs(y[1])) +
                       std::fabs(p_a[2]) * std::fabs(y[2])) + kTiny;
    double sh = static_cast<double>(shift_a[axis]);
    value = sh - phi;
    err = (e + 4.5e-16 * (std::fabs(sh) + std::fabs(phi))) * 1.01 + kTiny;
    return std::isfinite(value) && std::isfinite(err) && std::fabs(value) < 1e30 && err < 1e30;
}

bool ShiftWindow::q_bounds(const double* p_a, const std::int64_t* shift_a, int axis, double& lo,
                           double& hi) const noexcept {
    if (!usable_ || !axes_[axis]) return false;
    double v, e;
    if (!zeta(p_a, shift_a, axis, v, e)) return false;
    double rho = rho_[axis];
    lo = (zeta_min_[axis] - (v + e)) - rho;
    hi = (zeta_max_[axis] - (v - e)) + rho;
    double slack = 1e-14 * (std::fabs(zeta_min_[axis]) + std::fabs(zeta_max_[axis]) +
                            std::fabs(v) + e + rho) + 2.0;
    lo -= slack;
    hi += slack;
    return std::isfinite(lo) && std::isfinite(hi);
}

// Self images. A greedy pairwise (Lagrange) reduction finds an integer basis U of
// the periodic lattice with short vectors v_l = U_l·M. For S = Σ x_l U_l the
// computed |T| is at most Σ |x_l| w_l, w_l = |fl(v_l)| + 2·kEps·|A_l|, A_l = |U_l|·|M|
// (rounding of v_l and of T). Every integer x with Σ |x_l| w_l < cutoff·(1 - 1e-9)
// is therefore a row (i, i, S) of every finite atom, the product being far enough
// below cutoff² to survive the rounding of d2.
namespace {

constexpr double kSelfRadius = 1.0 - 1e-9;

/// The reduced basis: k periodic axes, rows U_l of coefficients and the bounds
/// w_l, sorted by w_l ascending (order[]). False when nothing sound can be said.
struct ReducedLattice {
    int k = 0;
    int periodic[3] = {0, 0, 0};
    std::int64_t u[3][3] = {};
    double w[3] = {0, 0, 0};
    int order[3] = {0, 1, 2};
};

bool reduce_periodic(const Cell& cell, const std::array<bool, 3>& pbc, double cutoff,
                     ReducedLattice& lat) {
    if (!(cutoff >= 1e-150 && cutoff <= 1e150)) return false;
    int* periodic = lat.periodic;
    int k = 0;
    for (int m = 0; m < 3; ++m)
        if (pbc[m]) periodic[k++] = m;
    lat.k = k;
    if (k == 0) return false;
    for (int m = 0; m < k; ++m)
        if (!finite(cell[periodic[m]])) return false;

    constexpr std::int64_t kMaxEntry = std::int64_t{1} << 40;
    auto& u = lat.u;
    for (int l = 0; l < k; ++l) u[l][l] = 1;
    auto combine = [&](const std::int64_t* coef) {
        Vec v{0.0, 0.0, 0.0};
        for (int m = 0; m < k; ++m)
            for (int x = 0; x < 3; ++x)
                v[x] += static_cast<double>(coef[m]) * cell[periodic[m]][x];
        return v;
    };
    std::array<Vec, 3> v;
    double n2[3];
    for (int l = 0; l < k; ++l) {
        v[l] = combine(u[l]);
        n2[l] = dot(v[l], v[l]);
    }
    for (int iter = 0; iter < 64; ++iter) {
        bool improved = false;
        for (int l = 0; l < k; ++l) {
            for (int m = 0; m < k; ++m) {
                if (l == m || !(n2[l] > 0.0) || !(n2[m] > 0.0)) continue;
                double mu = std::nearbyint(dot(v[m], v[l]) / n2[l]);
                if (!(std::fabs(mu) >= 1.0 && std::fabs(mu) <= 1099511627776.0)) continue;
                std::int64_t imu = static_cast<std::int64_t>(mu);
                std::int64_t cand[3] = {0, 0, 0};
                bool ok = true;
                for (int c = 0; c < k; ++c) {
                    __int128 val = static_cast<__int128>(u[m][c]) -
                                   static_cast<__int128>(imu) * u[l][c];
                    if (val > kMaxEntry || val < -kMaxEntry) ok = false;
                    else cand[c] = static_cast<std::int64_t>(val);
                }
                if (!ok) continue;
                Vec cv = combine(cand);
                double cn2 = dot(cv, cv);
                if (cn2 < n2[m] * (1.0 - 1e-12)) {
                    for (int c = 0; c < k; ++c) u[m][c] = cand[c];
                    v[m] = cv;
                    n2[m] = cn2;
                    improved = true;
                }
            }
        }
        if (!improved) break;
    }

    double* w = lat.w;
    int* order = lat.order;
    for (int l = 0; l < k; ++l) {
        double a2 = 0.0;
        for (int x = 0; x < 3; ++x) {
            double ax = 0.0;
            for (int m = 0; m < k; ++m)
                ax += std::fabs(static_cast<double>(u[l][m])) * std::fabs(cell[periodic[m]][x]);
            a2 += ax * ax;
        }
        w[l] = (std::sqrt(n2[l]) + 2.0 * kEps * std::sqrt(a2)) * kUp + kTiny;
        if (!std::isfinite(w[l])) return false;
    }
    for (int a = 1; a < k; ++a)  // at most three: insertion sort
        for (int b = a; b > 0 && w[order[b]] < w[order[b - 1]]; --b) std::swap(order[b], order[b - 1]);
    return true;
}

}  // namespace

// Rounding y to the nearest integer point maps the weighted L1 ball of radius
// R - Σ w_l / 2 into the set of self rows, so their count is at least that
// ball's volume, (2^t / t!) · Π (R' / w_l).
double self_image_rows(const Cell& cell, const std::array<bool, 3>& pbc, double cutoff,
                       const std::array<double, 3>& q_max) {
    ReducedLattice lat;
    if (!reduce_periodic(cell, pbc, cutoff, lat)) return 0.0;
    const int k = lat.k;
    const int* periodic = lat.periodic;
    const auto& u = lat.u;
    const double* w = lat.w;
    const int* order = lat.order;
    double radius = cutoff * kSelfRadius;
    double best = 0.0;
    for (int t = 1; t <= k; ++t) {
        double rc = radius;
        for (int m = 0; m < k; ++m) {
            double denom = 0.0;
            for (int s = 0; s < t; ++s)
                denom += std::fabs(static_cast<double>(u[order[s]][m])) / w[order[s]];
            if (denom > 0.0) rc = std::min(rc, q_max[periodic[m]] / (denom * kUp));
        }
        double half = 0.0;
        for (int s = 0; s < t; ++s) half += 0.5 * w[order[s]];
        double r = (rc - half * kUp) * (1.0 - 1e-12);
        if (!(r > 0.0)) continue;
        double vol = t == 1 ? 2.0 : t == 2 ? 2.0 : 8.0 / 6.0;
        for (int s = 0; s < t; ++s) vol *= r / w[order[s]];
        best = std::max(best, std::floor(vol * (1.0 - 1e-9)) - 1.0);
    }
    return best;
}

}  // namespace kestrix::vicinal::detail

namespace kestrix::vicinal::detail {

// A witness rather than a bound: the shortest multiple of each reduced vector
// U_l whose S leaves int64 is evaluated with the search's own formula, so a
// passing d2 is a row (i, i, S) of every finite atom.
bool self_image_beyond_int64(const Cell& cell, const std::array<bool, 3>& pbc, double cutoff) {
    ReducedLattice lat;
    if (!reduce_periodic(cell, pbc, cutoff, lat)) return false;
    const double cutoff2 = cutoff * cutoff;
    for (int l = 0; l < lat.k; ++l) {
        double largest = 0.0;
        for (int m = 0; m < lat.k; ++m)
            largest = std::max(largest, std::fabs(static_cast<double>(lat.u[l][m])));
        // Rounded up, so the largest component of x·U_l is at least 2^63.
        double x = std::ceil(0x1p63 / largest * (1.0 + 1e-15));
        double S[3] = {0.0, 0.0, 0.0};
        for (int m = 0; m < lat.k; ++m) S[lat.periodic[m]] = x * static_cast<double>(lat.u[l][m]);
        double D[3];
        translation(cell, S, D);
        if ((D[0] * D[0] + D[1] * D[1]) + D[2] * D[2] < cutoff2) return true;
    }
    return false;
}

}  // namespace kestrix::vicinal::detail
