#include "supercell.hpp"

#include <cstddef>
#include <cstdint>

#include "kestrix/panic.hpp"

namespace kestrix::lattica {
namespace {

constexpr const char* kShapeTooLarge =
    "ndarray: Shape too large, product of non-zero axis lengths overflows: "
    "the product exceeds the largest signed size (2^63 - 1)";

/// Element count of an n x 3 float64 result, refusing sizes that cannot be
/// represented before anything is allocated (reachable with zero-stride inputs).
std::size_t checked_element_count(std::uint64_t n_prim, std::uint64_t n_super) {
    constexpr std::uint64_t kSignedLimit = std::uint64_t{1} << 63;
    std::uint64_t n = 0, elements = 0;
    if (__builtin_mul_overflow(n_prim, n_super, &n) || __builtin_mul_overflow(n, 3u, &elements) ||
        elements >= kSignedLimit)
        panic(kShapeTooLarge);
    if (n > (kSignedLimit - 8) / 24) panic("capacity overflow");
    return static_cast<std::size_t>(elements);
}

/// Writes rows outer[o] + inner[i] for every o, i with i fastest; `prim_left`
/// keeps the primitive coordinate the left operand of every addition.
void fill(double* out, std::uint64_t n, const Strided2D<double>& outer,
          const Strided2D<double>& inner, bool prim_left) {
    std::uint64_t row = 0;
    for (std::ptrdiff_t o = 0; o < outer.rows; ++o) {
        const double ox = outer(o, 0), oy = outer(o, 1), oz = outer(o, 2);
        for (std::ptrdiff_t i = 0; i < inner.rows; ++i, ++row) {
            if (row >= n) panic(kIndexOutOfBounds);
            const double ix = inner(i, 0), iy = inner(i, 1), iz = inner(i, 2);
            double* dst = out + 3 * row;
            if (prim_left) {
                dst[0] = ix + ox;
                dst[1] = iy + oy;
                dst[2] = iz + oz;
            } else {
                dst[0] = ox + ix;
                dst[1] = oy + iy;
                dst[2] = oz + iz;
            }
        }
    }
}

}  // namespace

OwnedBuffer<double> make_supercell_positions(const Strided2D<double>& prim,
                                             const Strided2D<double>& lattice,
                                             bool cell_major) {
    const auto n_prim = static_cast<std::uint64_t>(prim.rows);
    const auto n_super = static_cast<std::uint64_t>(lattice.rows);
    auto out = OwnedBuffer<double>::zeroed(checked_element_count(n_prim, n_super));
    // An empty result never looks at the column counts.
    if (n_prim == 0 || n_super == 0) return out;
    if (prim.cols < 3 || lattice.cols < 3) panic(kIndexOutOfBounds);
    const std::uint64_t n = n_prim * n_super;
    if (cell_major) {
        fill(out.data(), n, lattice, prim, true);
    } else {
        fill(out.data(), n, prim, lattice, false);
    }
    return out;
}

}  // namespace kestrix::lattica
