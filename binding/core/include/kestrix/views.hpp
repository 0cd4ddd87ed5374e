#pragma once
// Read-only strided views over array memory owned elsewhere (a NumPy array held
// for the call). Plain C++: the pure computations take these, never Python objects.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <source_location>
#include <type_traits>

#include "kestrix/panic.hpp"

namespace kestrix {

namespace detail {
template <class T>
inline T load(const char* p) noexcept {
    if constexpr (std::is_same_v<T, bool>) {
        return *reinterpret_cast<const unsigned char*>(p) != 0;
    } else {
        T v;  // memcpy: a stride need not keep elements aligned
        std::memcpy(&v, p, sizeof v);
        return v;
    }
}
}  // namespace detail

/// One-dimensional view: element r lies at data + r * stride (bytes).
template <class T>
struct Strided1D {
    const char* data = nullptr;
    std::ptrdiff_t len = 0;
    std::ptrdiff_t stride = 0;  // bytes

    std::ptrdiff_t size() const noexcept { return len; }
    T operator[](std::ptrdiff_t r) const noexcept { return detail::load<T>(data + r * stride); }
    /// Bounds-checked read; an index outside the view is an internal failure.
    T at(std::ptrdiff_t r,
         std::source_location where = std::source_location::current()) const {
        if (r < 0 || r >= len) panic(kIndexOutOfBounds, where);
        return (*this)[r];
    }
};

/// Two-dimensional view: element (r, c) lies at data + r * row_stride + c * col_stride.
template <class T>
struct Strided2D {
    const char* data = nullptr;
    std::ptrdiff_t rows = 0;
    std::ptrdiff_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes
    std::ptrdiff_t col_stride = 0;  // bytes

    T operator()(std::ptrdiff_t r, std::ptrdiff_t c) const noexcept {
        return detail::load<T>(data + r * row_stride + c * col_stride);
    }
    /// Bounds-checked read; an index outside the view is an internal failure.
    T at(std::ptrdiff_t r, std::ptrdiff_t c,
         std::source_location where = std::source_location::current()) const {
        if (r < 0 || r >= rows || c < 0 || c >= cols) panic(kIndexOutOfBounds, where);
        return (*this)(r, c);
    }
};

}  // namespace kestrix
