// Exact dependence tests on the periodic rows (signs of integer polynomials in
// the float64 values) and the frame that bins atoms across those rows.

#include "cell_list_lattice.hpp"
#include "kestrix/vec3.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <vector>

namespace kestrix::vicinal::detail {
namespace {

// ------------------------------------------------ exact signs of polynomials

/// A non-negative integer in 32-bit limbs, least significant first.
using Limbs = std::vector<std::uint32_t>;

/// |x| = mantissa·2^exponent with an integer mantissa below 2^53 (x finite).
struct Split {
    std::uint64_t mantissa;
    int exponent;
};

Split split(double x) {
    int e = 0;
    double f = std::frexp(std::fabs(x), &e);
    return {static_cast<std::uint64_t>(std::ldexp(f, 53)), e - 53};
}

Limbs times(const Limbs& a, std::uint64_t m) {
    const std::uint64_t parts[2] = {m & 0xffffffffu, m >> 32};
    Limbs r(a.size() + 2, 0);
    for (int h = 0; h < 2; ++h) {
        std::uint64_t carry = 0;
        for (std::size_t k = 0; k < a.size(); ++k) {
            std::uint64_t t = static_cast<std::uint64_t>(a[k]) * parts[h] + r[k + h] + carry;
            r[k + h] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        for (std::size_t k = a.size() + h; carry; ++k) {
            std::uint64_t t = r[k] + carry;
            r[k] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
    }
    return r;
}

/// acc += v·2^shift.
void add_shifted(Limbs& acc, const Limbs& v, std::size_t shift) {
    std::size_t words = shift / 32;
    unsigned bits = static_cast<unsigned>(shift % 32);
    if (acc.size() < v.size() + words + 2) acc.resize(v.size() + words + 2, 0);
    std::uint64_t carry = 0;
    for (std::size_t k = 0; k <= v.size(); ++k) {
        std::uint64_t lo = k < v.size() ? static_cast<std::uint64_t>(v[k]) << bits : 0;
        std::uint64_t hi = (k > 0 && bits) ? static_cast<std::uint64_t>(v[k - 1]) >> (32 - bits) : 0;
        std::uint64_t t = static_cast<std::uint64_t>(acc[k + words]) + ((lo | hi) & 0xffffffffu) + carry;
        acc[k + words] = static_cast<std::uint32_t>(t);
        carry = t >> 32;
    }
    for (std::size_t k = v.size() + words + 1; carry; ++k) {
        if (k == acc.size()) acc.push_back(0);
        std::uint64_t t = static_cast<std::uint64_t>(acc[k]) + carry;
        acc[k] = static_cast<std::uint32_t>(t);
        carry = t >> 32;
    }
}

int compare(Limbs a, Limbs b) {
    while (!a.empty() && a.back() == 0) a.pop_back();
    while (!b.empty() && b.back() == 0) b.pop_back();
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (std::size_t k = a.size(); k-- > 0;)
        if (a[k] != b[k]) return a[k] < b[k] ? -1 : 1;
    return 0;
}

/// One signed product of finite doubles.
struct Term {
    int sign;
    std::initializer_list<double> factors;
};

/// The sign of a sum of products, computed exactly: every product is an
/// integer times a power of two, all aligned to the smallest power.
int exact_sign(std::initializer_list<Term> terms) {
    struct Product {
        bool negative;
        Limbs magnitude;
        int exponent;
    };
    std::vector<Product> products;
    int lowest = std::numeric_limits<int>::max();
    for (const Term& t : terms) {
        Product p{t.sign < 0, Limbs{1}, 0};
        bool zero = false;
        for (double f : t.factors) {
            if (f == 0.0) zero = true;
            p.negative ^= std::signbit(f);
            Split s = split(f);
            p.magnitude = times(p.magnitude, s.mantissa);
            p.exponent += s.exponent;
        }
        if (zero) continue;
        lowest = std::min(lowest, p.exponent);
        products.push_back(std::move(p));
    }
    Limbs positive, negative;
    for (const Product& p : products)
        add_shifted(p.negative ? negative : positive, p.magnitude,
                    static_cast<std::size_t>(p.exponent - lowest));
    return compare(positive, negative);
}

// ------------------------------------------------ vectors without overflow

double largest_component(const Vec& v) {
    return std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])});
}
Vec times_pow2(const Vec& v, int e) {
    return {std::ldexp(v[0], e), std::ldexp(v[1], e), std::ldexp(v[2], e)};
}
/// v scaled by a power of two to a largest component in [1, 2); v itself when zero.
Vec unit_scale(const Vec& v) {
    double m = largest_component(v);
    return m > 0.0 ? times_pow2(v, -std::ilogb(m)) : v;
}
/// |v| without overflow or underflow in the squares.
double norm(const Vec& v) {
    double m = largest_component(v);
    if (!(m > 0.0)) return m;
    int e = std::ilogb(m);
    Vec u = times_pow2(v, -e);
    return std::ldexp(std::sqrt(dot(u, u)), e);
}

}  // namespace

/// Whether a sum of at most six products, computed in floating point as
/// `value` with `magnitude` the sum of the products' absolute values, is
/// certainly not zero: its rounding error stays far below |value| while no
/// product overflows or underflows.
bool surely_nonzero(double value, double magnitude) {
    return magnitude > 1e-250 && magnitude < 1e250 && std::fabs(value) > 1e-14 * magnitude;
}

bool periodic_rows_dependent(const Cell& cell, const std::array<bool, 3>& pbc) {
    Vec rows[3];
    int k = 0;
    for (int m = 0; m < 3; ++m)
        if (pbc[m]) rows[k++] = cell[m];
    if (k == 0) return false;
    if (k == 1) return rows[0][0] == 0.0 && rows[0][1] == 0.0 && rows[0][2] == 0.0;
    if (k == 2) {
        const Vec &u = rows[0], &v = rows[1];
        for (int x = 0; x < 3; ++x) {
            int y = (x + 1) % 3, z = (x + 2) % 3;
            double p = u[y] * v[z], q = u[z] * v[y];
            if (surely_nonzero(p - q, std::fabs(p) + std::fabs(q)) ||
                exact_sign({{1, {u[y], v[z]}}, {-1, {u[z], v[y]}}}) != 0)
                return false;
        }
        return true;
    }
    const Vec &a = rows[0], &b = rows[1], &c = rows[2];
    double t[6] = {a[0] * b[1] * c[2], a[0] * b[2] * c[1], a[1] * b[2] * c[0],
                   a[1] * b[0] * c[2], a[2] * b[0] * c[1], a[2] * b[1] * c[0]};
    double value = ((t[0] - t[1]) + (t[2] - t[3])) + (t[4] - t[5]), magnitude = 0.0;
    for (double v : t) magnitude += std::fabs(v);
    if (surely_nonzero(value, magnitude)) return false;
    return exact_sign({{1, {a[0], b[1], c[2]}},
                       {-1, {a[0], b[2], c[1]}},
                       {1, {a[1], b[2], c[0]}},
                       {-1, {a[1], b[0], c[2]}},
                       {1, {a[2], b[0], c[1]}},
                       {-1, {a[2], b[1], c[0]}}}) == 0;
}

bool make_bin_frame(const Cell& cell, const std::array<bool, 3>& pbc, const double* p,
                    const std::uint8_t* finite_atom, std::size_t n_atoms, BinFrame& frame) {
    // Each periodic row is scaled by a power of two to unit size, which leaves
    // its direction and its coordinates' ratios exact; open rows are replaced
    // by directions across the periodic ones.
    std::array<Vec, 3> rows{};
    int exponent[3] = {0, 0, 0};
    int periodic[3], open[3], n_periodic = 0, n_open = 0;
    for (int m = 0; m < 3; ++m) {
        if (pbc[m]) {
            periodic[n_periodic++] = m;
            double big = largest_component(cell[m]);
            if (!(big > 0.0) || !std::isfinite(big)) return false;
            exponent[m] = std::ilogb(big);
            rows[m] = times_pow2(cell[m], -exponent[m]);
        } else {
            open[n_open++] = m;
        }
    }
    if (n_periodic == 0) {
        for (int m = 0; m < 3; ++m) rows[m] = {m == 0 ? 1.0 : 0.0, m == 1 ? 1.0 : 0.0, m == 2 ? 1.0 : 0.0};
    } else if (n_periodic == 1) {
        const Vec& u = rows[periodic[0]];
        int x = 0;
        for (int k = 1; k < 3; ++k)
            if (std::fabs(u[k]) < std::fabs(u[x])) x = k;
        Vec e{0.0, 0.0, 0.0};
        e[x] = 1.0;
        Vec w1 = unit_scale(cross(u, e));
        rows[open[0]] = w1;
        rows[open[1]] = unit_scale(cross(u, w1));
    } else if (n_periodic == 2) {
        rows[open[0]] = unit_scale(cross(rows[periodic[0]], rows[periodic[1]]));
    }

    std::array<Vec, 3> dual = {cross(rows[1], rows[2]), cross(rows[2], rows[0]), cross(rows[0], rows[1])};
    double det = dot(rows[0], dual[0]);
    if (!(det != 0.0) || !std::isfinite(det)) return false;
    double inv = 1.0 / det;
    for (auto& y : dual) {
        for (double& v : y) v *= inv;
        if (!finite(y) || !(norm(y) > 0.0)) return false;
    }
    for (int k = 0; k < 3; ++k)
        for (int x = 0; x < 3; ++x) frame.dual[k][x] = dual[k][x];

    for (int l = 0; l < n_periodic; ++l) {
        int m = periodic[l];
        frame.origin[m] = 0.0;
        frame.scale[m] = std::ldexp(1.0, -exponent[m]);
        frame.height[m] = std::ldexp(1.0 / norm(dual[m]), exponent[m]);
    }
    for (int l = 0; l < n_open; ++l) {
        int m = open[l];
        frame.origin[m] = 0.0;
        frame.scale[m] = 1.0;
        double lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (std::size_t a = 0; a < n_atoms; ++a) {
            if (!finite_atom[a]) continue;
            double t = frame.coordinate(p + 3 * a, m);
            lo = std::min(lo, t);
            hi = std::max(hi, t);
        }
        double extent = hi - lo;
        if (!std::isfinite(extent)) return false;
        // A power of two above the atoms' extent: the coordinates stay in [0, 1).
        double length = extent > 0.0 ? std::ldexp(1.0, std::ilogb(extent) + 1) : 1.0;
        frame.origin[m] = lo;
        frame.scale[m] = 1.0 / length;
        frame.height[m] = length / norm(dual[m]);
    }
    for (double h : frame.height)
        if (!(h > 0.0) || !std::isfinite(h)) return false;
    frame.volume = n_periodic == 3
                       ? std::ldexp(std::fabs(det), exponent[0] + exponent[1] + exponent[2])
                       : 0.0;
    return true;
}

}  // namespace kestrix::vicinal::detail
