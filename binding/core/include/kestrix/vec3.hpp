#pragma once
// Three-vectors of doubles for the search's geometry, each operation in one
// fixed order of rounding.

#include <array>
#include <cmath>

namespace kestrix {

using Vec = std::array<double, 3>;

inline Vec cross(const Vec& a, const Vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double dot(const Vec& a, const Vec& b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }
inline Vec scaled(const Vec& a, double f) { return {a[0] * f, a[1] * f, a[2] * f}; }
inline bool finite(const Vec& a) {
    return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]);
}

}  // namespace kestrix
