#pragma once
// Result objects built from native values: tuples and str.
// (Result arrays are in numpy.hpp.)

#include <array>
#include <span>
#include <string_view>

#include "kestrix/ref.hpp"

namespace kestrix::binding {

/// A new tuple holding the given references (taken over).
PyRef new_tuple(std::span<PyRef> items);
template <class... R>
PyRef make_tuple(R&&... items) {
    std::array<PyRef, sizeof...(R)> owned{std::move(items)...};
    return new_tuple(owned);
}
/// A new str from UTF-8 text.
PyRef new_str(std::string_view utf8);

}  // namespace kestrix::binding
