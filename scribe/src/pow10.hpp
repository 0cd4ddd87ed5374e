#pragma once
// Powers of ten for the number readers and writers: one table of integers,
// and the tables derived from it at compile time (exact doubles, powers of
// five).

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrix::scribe::detail {

/// 10^k for k = 0 .. 19: every power of ten that 64 bits hold.
inline constexpr std::array<std::uint64_t, 20> kPow10 = [] {
    std::array<std::uint64_t, 20> powers{};
    std::uint64_t power = 1;
    for (std::uint64_t& p : powers) {
        p = power;
        power *= 10;  // wraps after the last entry, which is never stored
    }
    return powers;
}();

/// 10^k for k = 0 .. 22: every power of ten that a double holds exactly
/// (5^22 < 2^53). Each step multiplies exact values whose product is exact.
inline constexpr std::array<double, 23> kExactPow10 = [] {
    std::array<double, 23> powers{};
    for (std::size_t k = 0; k < kPow10.size(); ++k) powers[k] = double(kPow10[k]);
    for (std::size_t k = kPow10.size(); k < powers.size(); ++k) powers[k] = powers[k - 1] * 10.0;
    return powers;
}();
static_assert(kExactPow10[22] == 1e22 && kExactPow10[19] == 1e19);

/// 5^k for k = 0 .. 19: 10^k without its k factors of two.
inline constexpr std::array<std::uint64_t, 20> kPow5Small = [] {
    std::array<std::uint64_t, 20> powers{};
    for (std::size_t k = 0; k < powers.size(); ++k) powers[k] = kPow10[k] >> k;
    return powers;
}();
static_assert(kPow5Small[19] == 19073486328125ull);

}  // namespace kestrix::scribe::detail
