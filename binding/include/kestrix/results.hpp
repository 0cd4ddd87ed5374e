#pragma once
// Result objects built from native values: tuples, str and lists of str.
// (Result arrays are in numpy.hpp.)

#include <array>
#include <span>
#include <string>
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
/// A new list of str from UTF-8 texts.
PyRef new_str_list(std::span<const std::string> items);

}  // namespace kestrix::binding
