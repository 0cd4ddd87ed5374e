#pragma once
// Float-to-integer truncation that saturates instead of overflowing: an
// out-of-range cast is undefined behaviour, and the search and the reduction
// both meet values far beyond int64.

#include <cmath>
#include <cstdint>
#include <limits>

namespace kestrix {

/// Truncation toward zero, saturated to [0, 2^64 - 1]; NaN and negatives give 0.
inline std::uint64_t saturating_u64(double x) noexcept {
    if (!(x >= 0.0)) return 0;
    if (x >= 18446744073709551616.0) return ~std::uint64_t{0};
    return static_cast<std::uint64_t>(x);
}

/// Truncation toward zero, saturated to the int64 range; NaN gives 0.
inline std::int64_t saturating_i64(double x) noexcept {
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (x < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

}  // namespace kestrix
